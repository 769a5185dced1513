// The process callback driven through the built module, as the SDK validator would.
#include "processbuffers.h"
#include "teststreams.h"

#include "processor/callfacts.h"

#include "pluginterfaces/vst/vstspeaker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

using namespace Steinberg;
using namespace Steinberg::Vst;
using tarvo::host::ProcessBuffers;
using tarvo::test::builtModule;

namespace {

constexpr double kMarker = 12345.0;
constexpr int32 kMaxBlock = 8192;

double pattern (int32 channel, int32 frame)
{
	return 0.5 * std::sin (0.001 * frame * (channel + 1)) + 0.01 * channel;
}

class ProcessTest : public ::testing::Test
{
protected:
	// One processor per layout; configured for both sample sizes, active and processing.
	IAudioProcessor* processorFor (int32 channels, int32 sampleSize)
	{
		std::string error;
		PClassInfo info;
		builtModule ().factory ()->getClassInfo (0, &info);
		instance = tarvo::host::PluginInstance::create (builtModule ().factory (), info.cid, error);
		EXPECT_TRUE (instance) << error;
		IAudioProcessor* processor = instance->processor;
		SpeakerArrangement arrangement = channels == 1 ? SpeakerArr::kMono : SpeakerArr::kStereo;
		EXPECT_EQ (processor->setBusArrangements (&arrangement, 1, &arrangement, 1), kResultOk);
		ProcessSetup setup {kRealtime, sampleSize, kMaxBlock, 48000.0};
		EXPECT_EQ (processor->setupProcessing (setup), kResultOk);
		EXPECT_EQ (instance->component->setActive (true), kResultOk);
		processor->setProcessing (true);
		return processor;
	}

	void TearDown () override
	{
		if (instance)
		{
			instance->processor->setProcessing (false);
			instance->component->setActive (false);
		}
		instance.reset ();
	}

	std::unique_ptr<tarvo::host::PluginInstance> instance;
};

void fill (ProcessBuffers& buffers, int32 frames)
{
	for (int32 c = 0; c < buffers.channels (); ++c)
		for (int32 f = 0; f < frames; ++f)
			buffers.setInput (c, f, pattern (c, f));
}

bool outputsUntouched (const ProcessBuffers& buffers, int32 frames)
{
	for (int32 c = 0; c < buffers.channels (); ++c)
		for (int32 f = 0; f < frames; ++f)
			if (buffers.output (c, f) != kMarker)
				return false;
	return true;
}

} // namespace

TEST_F (ProcessTest, PassThroughMatrix)
{
	std::mt19937 random (7);
	std::vector<int32> sizes = {1, 1023, 1024, 1025, kMaxBlock};
	for (int i = 0; i < 6; ++i)
		sizes.push_back (1 + static_cast<int32> (random () % kMaxBlock));
	const int32 modes[] = {kRealtime, kPrefetch, kOffline};
	const uint32 contextStates[] = {0, ProcessContext::kPlaying,
	                                ProcessContext::kPlaying | ProcessContext::kContTimeValid,
	                                ProcessContext::kPlaying | ProcessContext::kRecording};

	int cases = 0;
	for (int32 channels : {1, 2})
	{
		for (int32 sampleSize : {kSample32, kSample64})
		{
			IAudioProcessor* processor = processorFor (channels, sampleSize);
			for (bool inPlace : {false, true})
			{
				for (uint64 silence = 0; silence < (1u << channels); ++silence)
				{
					for (int32 frames : sizes)
					{
						SCOPED_TRACE (testing::Message ()
						              << channels << " ch, " << (sampleSize ? 64 : 32) << "-bit, "
						              << (inPlace ? "in place" : "separate") << ", silence " << silence
						              << ", " << frames << " frames");
						ProcessBuffers buffers (channels, kMaxBlock, sampleSize, inPlace);
						if (!inPlace)
							buffers.fillOutputs (kMarker);
						fill (buffers, frames);
						ProcessData& data = buffers.prepare (frames);
						data.processMode = modes[cases % 3];
						data.processContext = cases % 5 == 4 ? nullptr : &buffers.context ();
						buffers.context ().state = contextStates[cases % 4];
						buffers.context ().projectTimeSamples = 4096;
						buffers.context ().continousTimeSamples = 8192;
						buffers.inputBus ().silenceFlags = silence;
						buffers.outputBus ().silenceFlags = ~uint64 (0);
						++cases;

						ASSERT_EQ (processor->process (data), kResultOk);
						EXPECT_EQ (buffers.outputBus ().silenceFlags, silence);
						for (int32 c = 0; c < channels; ++c)
						{
							const bool silent = (silence >> c) & 1u;
							for (int32 f = 0; f < frames; ++f)
							{
								const double expected = silent ? 0.0 : buffers.isDouble ()
								                                            ? pattern (c, f)
								                                            : double (float (pattern (c, f)));
								ASSERT_EQ (buffers.output (c, f), expected) << "channel " << c << " frame " << f;
								if (!inPlace)
									ASSERT_EQ (buffers.input (c, f), buffers.isDouble () ? pattern (c, f)
									                                                     : double (float (pattern (c, f))))
									    << "input modified";
							}
							// Nothing is written past the block.
							if (!inPlace && frames < kMaxBlock)
								ASSERT_EQ (buffers.output (c, frames), kMarker);
						}
					}
				}
			}
			TearDown ();
		}
	}
	EXPECT_EQ (cases, 264);
}

TEST_F (ProcessTest, EmptyCallsTouchNothing)
{
	IAudioProcessor* processor = processorFor (2, kSample32);
	for (int variant = 0; variant < 3; ++variant)
	{
		ProcessBuffers buffers (2, 64, kSample32);
		buffers.fillOutputs (kMarker);
		fill (buffers, 64);
		ProcessData& data = buffers.prepare (64);
		if (variant == 0)
			data.numSamples = 0;
		if (variant == 1)
			data.numSamples = -64;
		if (variant == 2)
			data.numOutputs = 0;
		buffers.inputBus ().silenceFlags = 1;
		buffers.outputBus ().silenceFlags = 0xAB;
		EXPECT_EQ (processor->process (data), kResultOk) << variant;
		EXPECT_TRUE (outputsUntouched (buffers, 64)) << variant;
		EXPECT_EQ (buffers.outputBus ().silenceFlags, 0xABu) << variant;
	}
}

TEST_F (ProcessTest, UnusableBusShapesLeaveSilence)
{
	// Calls that cannot be processed still leave silence in every output channel the
	// host passed, never what its buffers held before.
	struct Shape
	{
		int32 inputs, inChannels, outChannels;
		tresult result;
	} shapes[] = {{0, 2, 2, kResultOk},         {1, 1, 2, kInvalidArgument}, {1, 2, 1, kInvalidArgument},
	              {1, 3, 3, kInvalidArgument}, {1, 2, 3, kInvalidArgument}, {1, -1, -1, kInvalidArgument}};
	for (int32 sampleSize : {kSample32, kSample64})
	{
		IAudioProcessor* processor = processorFor (2, sampleSize);
		for (const Shape& shape : shapes)
		{
			SCOPED_TRACE (testing::Message () << shape.inputs << " input buses, " << shape.inChannels << "/"
			                                  << shape.outChannels << " channels, " << (sampleSize ? 64 : 32) << "-bit");
			ProcessBuffers buffers (3, 64, sampleSize);
			buffers.fillOutputs (kMarker);
			fill (buffers, 64);
			ProcessData& data = buffers.prepare (64);
			data.numInputs = shape.inputs;
			buffers.inputBus ().numChannels = shape.inChannels;
			buffers.outputBus ().numChannels = shape.outChannels;
			buffers.outputBus ().silenceFlags = 0;
			EXPECT_EQ (processor->process (data), shape.result);
			const int32 written = std::max (shape.outChannels, 0);
			for (int32 c = 0; c < 3; ++c)
				EXPECT_EQ (buffers.output (c, 63), c < written ? 0.0 : kMarker) << "channel " << c;
			EXPECT_EQ (buffers.outputBus ().silenceFlags, (uint64 (1) << written) - 1);
		}
		TearDown ();
	}
}

TEST_F (ProcessTest, UnknownSampleSizeWritesNoAudio)
{
	IAudioProcessor* processor = processorFor (2, kSample32);
	ProcessBuffers buffers (2, 64, kSample32);
	buffers.fillOutputs (kMarker);
	fill (buffers, 64);
	ProcessData& data = buffers.prepare (64);
	data.symbolicSampleSize = 2;
	buffers.inputBus ().silenceFlags = 2;
	EXPECT_EQ (processor->process (data), kInvalidArgument);
	EXPECT_TRUE (outputsUntouched (buffers, 64));
	EXPECT_EQ (buffers.outputBus ().silenceFlags, 2u); // copied before the size is looked at
}

TEST_F (ProcessTest, NullBusArraysAreRefusedNotDereferenced)
{
	IAudioProcessor* processor = processorFor (2, kSample32);
	ProcessBuffers buffers (2, 64, kSample32);
	ProcessData& data = buffers.prepare (64);
	data.inputs = nullptr;
	EXPECT_EQ (processor->process (data), kInvalidArgument);
	data = buffers.prepare (64);
	data.outputs = nullptr;
	EXPECT_EQ (processor->process (data), kInvalidArgument);
}

TEST_F (ProcessTest, NullChannelPointersReadAsSilenceAndAreSkippedOnOutput)
{
	for (int32 sampleSize : {kSample32, kSample64})
	{
		IAudioProcessor* processor = processorFor (2, sampleSize);
		const bool wide = sampleSize == kSample64;

		// A null input channel gives zeros; the other channel passes.
		{
			ProcessBuffers buffers (2, 64, sampleSize);
			buffers.fillOutputs (kMarker);
			fill (buffers, 64);
			ProcessData& data = buffers.prepare (64);
			if (wide)
				buffers.inputBus ().channelBuffers64[1] = nullptr;
			else
				buffers.inputBus ().channelBuffers32[1] = nullptr;
			EXPECT_EQ (processor->process (data), kResultOk);
			EXPECT_EQ (buffers.output (1, 10), 0.0);
			EXPECT_EQ (buffers.output (0, 10), buffers.input (0, 10));
		}
		// A null output channel is skipped; the other channel is written.
		{
			ProcessBuffers buffers (2, 64, sampleSize);
			buffers.fillOutputs (kMarker);
			fill (buffers, 64);
			ProcessData& data = buffers.prepare (64);
			if (wide)
				buffers.outputBus ().channelBuffers64[0] = nullptr;
			else
				buffers.outputBus ().channelBuffers32[0] = nullptr;
			EXPECT_EQ (processor->process (data), kResultOk);
			EXPECT_EQ (buffers.output (1, 10), buffers.input (1, 10));
		}
		// A null channel-pointer array counts as every channel missing.
		{
			ProcessBuffers buffers (2, 64, sampleSize);
			buffers.fillOutputs (kMarker);
			fill (buffers, 64);
			ProcessData& data = buffers.prepare (64);
			buffers.inputBus ().channelBuffers32 = nullptr; // the union member covers both sizes
			EXPECT_EQ (processor->process (data), kResultOk);
			EXPECT_EQ (buffers.output (0, 0), 0.0);
			EXPECT_EQ (buffers.output (1, 63), 0.0);

			data = buffers.prepare (64);
			buffers.outputBus ().channelBuffers32 = nullptr;
			EXPECT_EQ (processor->process (data), kResultOk);
		}
		TearDown ();
	}
}

TEST (CallFacts, PositionAndSuspendFromModeAndTransport)
{
	ProcessContext context {};
	context.projectTimeSamples = 1000;
	context.continousTimeSamples = 5000;
	ProcessData data {};
	data.processMode = kRealtime;

	// No context: no position, not recording.
	tarvo::CallFacts facts = tarvo::readCallFacts (data);
	EXPECT_EQ (facts.position, INT64_MIN);
	EXPECT_FALSE (facts.suspend);

	data.processContext = &context;
	context.state = ProcessContext::kPlaying | ProcessContext::kContTimeValid;
	EXPECT_EQ (tarvo::readCallFacts (data).position, 5000); // continuous time wins
	context.state = ProcessContext::kPlaying;
	EXPECT_EQ (tarvo::readCallFacts (data).position, 1000);
	context.state = 0;
	EXPECT_EQ (tarvo::readCallFacts (data).position, INT64_MIN);
	context.state = ProcessContext::kContTimeValid; // valid continuous time also when stopped
	EXPECT_EQ (tarvo::readCallFacts (data).position, 5000);

	// Offline or recording suspends auditions; prefetch alone does not.
	context.state = ProcessContext::kRecording;
	EXPECT_TRUE (tarvo::readCallFacts (data).suspend);
	context.state = ProcessContext::kPlaying;
	data.processMode = kPrefetch;
	EXPECT_FALSE (tarvo::readCallFacts (data).suspend);
	data.processMode = kOffline;
	EXPECT_TRUE (tarvo::readCallFacts (data).suspend);
	data.processContext = nullptr;
	EXPECT_TRUE (tarvo::readCallFacts (data).suspend);
}
