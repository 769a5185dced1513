// The effect component as hosts drive it: call sequences, bus arrangements, processing
// setup, the process callback across shapes, sizes and flags, and the saved state.
#include "linkedinstance.h"
#include "processbuffers.h"
#include "teststreams.h"

#include "controller/controller.h"
#include "processor/callfacts.h"

#include "pluginterfaces/vst/vstspeaker.h"
#include "public.sdk/source/vst/vstaudioeffect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>

using namespace Steinberg;
using namespace Steinberg::Vst;
using tarvo::host::ProcessBuffers;
using tarvo::test::ScriptedStream;
using tarvo::test::stateRecord;

namespace {

constexpr double kMarker = 12345.0;

/** An instance from the built module, set up for `channels` and both sample sizes, processing. */
std::unique_ptr<tarvo::host::PluginInstance> makeInstance (int32 channels)
{
	auto instance = tarvo::test::builtInstance (channels, 8192, 48000.0);
	instance->processor->setProcessing (true);
	return instance;
}

double pattern (int32 channel, int32 frame) { return 0.5 * std::sin (0.001 * frame * (channel + 1)) + 0.01 * channel; }

void fill (ProcessBuffers& buffers, int32 frames)
{
	for (int32 c = 0; c < buffers.channels (); ++c)
		for (int32 f = 0; f < frames; ++f)
			buffers.setInput (c, f, pattern (c, f));
}

/** The processor linked into this program, so that process-wide values are visible. */
struct LocalProcessor : tarvo::test::LinkedInstance
{
	LocalProcessor () : LinkedInstance (false) {}
	std::string saved ()
	{
		ScriptedStream stream;
		EXPECT_EQ (component->getState (&stream), kResultOk);
		EXPECT_EQ (stream.writes, 2); // the header, then the label bytes, also when there are none
		return stream.bytes;
	}
	tresult restore (const std::string& bytes, size_t* position = nullptr, int failCall = -1, int silentCall = -1)
	{
		ScriptedStream stream (bytes);
		stream.failCall = failCall;
		stream.silentCall = silentCall;
		const tresult result = component->setState (&stream);
		if (position)
			*position = stream.position;
		return result;
	}
};

} // namespace

TEST (Lifecycle, BusesArrangementsSetupCallSequencesAndWhatTheProcessorReports)
{
	IComponent* component = nullptr;
	PClassInfo info;
	tarvo::test::builtModule ().factory ()->getClassInfo (0, &info);
	ASSERT_EQ (tarvo::test::builtModule ().factory ()->createInstance (info.cid, IComponent::iid, reinterpret_cast<void**> (&component)),
	           kResultOk);
	for (int cycle = 0; cycle < 2; ++cycle)
	{
		ASSERT_EQ (component->initialize (tarvo::host::hostContext ()), kResultOk);
		EXPECT_NE (component->initialize (tarvo::host::hostContext ()), kResultOk); // adds nothing
		EXPECT_EQ (component->getBusCount (kAudio, kOutput), 1); // (the buses themselves: see the package check)
		EXPECT_EQ (component->terminate (), kResultOk);
		EXPECT_EQ (component->getBusCount (kAudio, kInput), 0);
	}
	component->release ();

	auto instance = tarvo::test::builtInstance (2, 8192, 48000.0, false);
	IAudioProcessor* processor = instance->processor;
	for (int32 size : {int32 (kSample32), int32 (kSample64), 2, -1})
		EXPECT_EQ (processor->canProcessSampleSize (size), size == kSample32 || size == kSample64 ? kResultTrue : kResultFalse);
	SpeakerArrangement mono = SpeakerArr::kMono, stereo = SpeakerArr::kStereo, surround = SpeakerArr::k51;
	EXPECT_EQ (processor->setBusArrangements (&mono, 1, &mono, 1), kResultOk);
	SpeakerArrangement two[2] = {stereo, stereo};
	const std::tuple<SpeakerArrangement*, int32, SpeakerArrangement*, int32> refused[] = {
	    {&mono, 1, &stereo, 1}, {&stereo, 1, &mono, 1},   {&surround, 1, &surround, 1}, {two, 2, &stereo, 1},
	    {&stereo, 1, two, 2},   {nullptr, 0, nullptr, 0}, {&stereo, 0, &stereo, 1},     {nullptr, 1, nullptr, 1}};
	for (const auto& [in, numIns, out, numOuts] : refused)
		EXPECT_EQ (processor->setBusArrangements (in, numIns, out, numOuts), kResultFalse);
	auto arrangements = [&] {
		SpeakerArrangement in = 0, out = 0;
		processor->getBusArrangement (kInput, 0, in);
		processor->getBusArrangement (kOutput, 0, out);
		return std::make_pair (in, out);
	};
	EXPECT_EQ (arrangements (), std::make_pair (mono, mono)); // refusals change nothing
	EXPECT_EQ (processor->setBusArrangements (&stereo, 1, &stereo, 1), kResultOk);
	EXPECT_EQ (arrangements (), std::make_pair (stereo, stereo));

	const double nan = std::numeric_limits<double>::quiet_NaN (), inf = std::numeric_limits<double>::infinity ();
	const std::tuple<double, int32, int32, tresult> setups[] = {
	    {8000.0, 512, kSample32, kResultOk},          {384000.0, 512, kSample32, kResultOk},
	    {44100.0, 1, kSample64, kResultOk},           {7999.0, 512, kSample32, kInvalidArgument},
	    {384000.5, 512, kSample32, kInvalidArgument}, {nan, 512, kSample32, kInvalidArgument},
	    {inf, 512, kSample32, kInvalidArgument},      {-inf, 512, kSample32, kInvalidArgument},
	    {48000.0, 0, kSample32, kInvalidArgument},    {48000.0, 512, 2, kResultFalse}};
	for (const auto& [rate, maxBlock, size, result] : setups)
	{
		ProcessSetup setup {kRealtime, size, maxBlock, rate};
		EXPECT_EQ (processor->setupProcessing (setup), result) << rate << " Hz, " << maxBlock << ", size " << size;
	}

	EXPECT_EQ (instance->component->setActive (true), kResultOk);
	EXPECT_EQ (instance->component->setActive (true), kResultOk);
	for (int cycle = 0; cycle < 2; ++cycle)
	{
		EXPECT_EQ (processor->setProcessing (true), kNotImplemented);
		ProcessBuffers buffers (2, 256, kSample32);
		fill (buffers, 256);
		EXPECT_EQ (processor->process (buffers.prepare (256)), kResultOk);
		EXPECT_EQ (buffers.output (1, 255), float (pattern (1, 255)));
		EXPECT_EQ (processor->setProcessing (false), kNotImplemented);
		EXPECT_EQ (instance->component->setActive (false), kResultOk);
		EXPECT_EQ (instance->component->setActive (cycle == 0), kResultOk);
	}
	for (int twice = 0; twice < 2; ++twice)
		EXPECT_EQ (instance->component->terminate (), kResultOk);

	// As the SDK's base class does: a refused sample size still takes the rest of the setup,
	// so the processor and its auditions agree on the rate.
	struct Effect : AudioEffect { using AudioEffect::processSetup; };
	IPtr<Effect> effect = owned (new Effect);
	ProcessSetup setup {kOffline, 7, 333, 96000.0};
	EXPECT_EQ (effect->setupProcessing (setup), kResultFalse);
	const ProcessSetup& taken = effect->processSetup;
	EXPECT_EQ (std::make_tuple (taken.sampleRate, taken.maxSamplesPerBlock, taken.processMode, taken.symbolicSampleSize),
	           std::make_tuple (96000.0, 333, int32 (kOffline), int32 (kSample32)));
}

TEST (Process, PassesAudioThroughInEveryShapeSizeModeAndSilence)
{
	std::mt19937 random (7);
	std::vector<int32> sizes = {1, 1023, 1024, 1025, 8192};
	for (int i = 0; i < 3; ++i)
		sizes.push_back (1 + int32 (random () % 8192));
	const int32 modes[] = {kRealtime, kPrefetch, kOffline};
	int cases = 0;
	for (int32 channels : {1, 2})
	{
		auto instance = makeInstance (channels);
		for (int32 size : {kSample32, kSample64})
			for (bool inPlace : {false, true})
				for (uint64 silence = 0; silence < (1u << channels); ++silence)
					for (int32 frames : sizes)
					{
						SCOPED_TRACE (testing::Message () << channels << " ch, " << (size ? 64 : 32) << "-bit, "
						                                  << (inPlace ? "in place" : "separate") << ", silence " << silence
						                                  << ", " << frames << " frames");
						ProcessBuffers buffers (channels, 8192, size, inPlace);
						if (!inPlace)
							buffers.fillOutputs (kMarker);
						fill (buffers, frames);
						ProcessData& data = buffers.prepare (frames);
						data.processMode = modes[cases % 3];
						data.processContext = cases % 5 == 4 ? nullptr : &buffers.context ();
						buffers.inputBus ().silenceFlags = silence;
						buffers.outputBus ().silenceFlags = ~uint64 (0);
						++cases;
						ASSERT_EQ (instance->processor->process (data), kResultOk);
						EXPECT_EQ (buffers.outputBus ().silenceFlags, silence);
						for (int32 c = 0; c < channels; ++c)
						{
							const double in = size == kSample64 ? pattern (c, frames - 1) : double (float (pattern (c, frames - 1)));
							EXPECT_EQ (buffers.output (c, frames - 1), (silence >> c) & 1u ? 0.0 : in);
							EXPECT_EQ (buffers.output (c, 0), (silence >> c) & 1u ? 0.0 : buffers.input (c, 0));
							if (!inPlace)
							{
								EXPECT_EQ (buffers.input (c, 0), size == kSample64 ? pattern (c, 0) : double (float (pattern (c, 0))));
								if (frames < 8192)
								{
									EXPECT_EQ (buffers.output (c, frames), kMarker); // nothing past the block
								}
							}
						}
					}
	}
	EXPECT_EQ (cases, 192);
}

TEST (Process, CallsThatCannotBeProcessedLeaveSilenceOrNothing)
{
	auto instance = makeInstance (2);
	IAudioProcessor* processor = instance->processor;
	auto call = [&] (int32 size, const std::function<void (ProcessBuffers&, ProcessData&)>& shape, uint64 outFlags = 0xAB) {
		auto buffers = std::make_unique<ProcessBuffers> (3, 64, size);
		buffers->fillOutputs (kMarker);
		fill (*buffers, 64);
		ProcessData& data = buffers->prepare (64);
		buffers->inputBus ().numChannels = buffers->outputBus ().numChannels = 2;
		buffers->inputBus ().silenceFlags = 1;
		buffers->outputBus ().silenceFlags = outFlags;
		shape (*buffers, data);
		const tresult result = processor->process (data);
		return std::make_pair (result, std::move (buffers));
	};
	// Nothing to do: nothing touched.
	for (auto shape : std::vector<std::function<void (ProcessBuffers&, ProcessData&)>> {
	         [] (ProcessBuffers&, ProcessData& d) { d.numSamples = 0; }, [] (ProcessBuffers&, ProcessData& d) { d.numSamples = -64; },
	         [] (ProcessBuffers&, ProcessData& d) { d.numOutputs = 0; }})
	{
		auto [result, buffers] = call (kSample32, shape);
		EXPECT_EQ (std::make_tuple (result, buffers->output (0, 0), buffers->outputBus ().silenceFlags),
		           std::make_tuple (kResultOk, kMarker, uint64 (0xAB)));
	}
	// An unknown sample size: flags copied first, no audio written.
	auto [unknown, unknownBuffers] = call (kSample32, [] (ProcessBuffers&, ProcessData& d) { d.symbolicSampleSize = 2; });
	EXPECT_EQ (std::make_tuple (unknown, unknownBuffers->output (1, 10), unknownBuffers->outputBus ().silenceFlags),
	           std::make_tuple (kInvalidArgument, kMarker, uint64 (1)));

	// Shapes the processor cannot carry leave silence in every output channel passed.
	const std::tuple<int32, int32, int32, bool, tresult> shapes[] = {
	    {0, 2, 2, true, kResultOk},        {1, 1, 2, true, kInvalidArgument},  {1, 2, 1, true, kInvalidArgument},
	    {1, 3, 3, true, kInvalidArgument}, {1, 2, 3, true, kInvalidArgument},  {1, -1, -1, true, kInvalidArgument},
	    {1, 2, 2, false, kInvalidArgument}};
	for (int32 size : {kSample32, kSample64})
		for (const auto& [inputs, inChannels, outChannels, inputArray, expected] : shapes)
		{
			SCOPED_TRACE (testing::Message () << inputs << " inputs, " << inChannels << "/" << outChannels << ", size " << size);
			auto [result, buffers] = call (size, [&] (ProcessBuffers& b, ProcessData& d) {
				d.numInputs = inputs;
				b.inputBus ().numChannels = inChannels;
				b.outputBus ().numChannels = outChannels;
				if (!inputArray)
					d.inputs = nullptr;
			}, 0);
			EXPECT_EQ (result, expected);
			const int32 written = std::max (outChannels, 0);
			for (int32 c = 0; c < 3; ++c)
				EXPECT_EQ (buffers->output (c, 63), c < written ? 0.0 : kMarker) << "channel " << c;
			EXPECT_EQ (buffers->outputBus ().silenceFlags, (uint64 (1) << written) - 1);
		}
	// Silence flags name exactly the channels a bus has, up to all 64 bits.
	for (int32 channels : {63, 64})
	{
		ProcessBuffers many (channels, 64, kSample32);
		ProcessData& data = many.prepare (64);
		many.inputBus ().numChannels = many.outputBus ().numChannels = channels; // not a layout it carries
		EXPECT_EQ (processor->process (data), kInvalidArgument);
		EXPECT_EQ (many.outputBus ().silenceFlags, channels == 64 ? ~uint64 (0) : (uint64 (1) << 63) - 1);
	}
	EXPECT_EQ (call (kSample32, [] (ProcessBuffers&, ProcessData& d) { d.outputs = nullptr; }).first, kInvalidArgument);

	// Null channel pointers read as silence and are skipped on output.
	for (int32 size : {kSample32, kSample64})
	{
		auto drop = [size] (AudioBusBuffers& bus, int c) {
			if (size == kSample64)
				bus.channelBuffers64[c] = nullptr;
			else
				bus.channelBuffers32[c] = nullptr;
		};
		auto [missingIn, a] = call (size, [&] (ProcessBuffers& b, ProcessData&) {
			b.inputBus ().silenceFlags = 0;
			drop (b.inputBus (), 1);
		});
		EXPECT_EQ (std::make_tuple (missingIn, a->output (1, 10), a->output (0, 10)), std::make_tuple (kResultOk, 0.0, a->input (0, 10)));
		auto [missingOut, b] = call (size, [&] (ProcessBuffers& bf, ProcessData&) {
			bf.inputBus ().silenceFlags = 0;
			drop (bf.outputBus (), 0);
		});
		EXPECT_EQ (std::make_tuple (missingOut, b->output (1, 10)), std::make_tuple (kResultOk, b->input (1, 10)));
		auto [noArray, c] = call (size, [] (ProcessBuffers& bf, ProcessData&) { bf.inputBus ().channelBuffers32 = nullptr; });
		EXPECT_EQ (std::make_tuple (noArray, c->output (0, 0), c->output (1, 63)), std::make_tuple (kResultOk, 0.0, 0.0));
	}
}

TEST (Process, PositionAndSuspendFromModeAndTransport)
{
	ProcessContext context {};
	context.projectTimeSamples = 1000;
	context.continousTimeSamples = 5000;
	ProcessData data {};
	data.processMode = kRealtime;
	EXPECT_EQ (std::make_pair (tarvo::readCallFacts (data).position, tarvo::readCallFacts (data).suspend), std::make_pair (INT64_MIN, false));
	data.processContext = &context;
	const std::tuple<uint32, int32, int64, bool> cases[] = {
	    {ProcessContext::kPlaying | ProcessContext::kContTimeValid, kRealtime, 5000, false},
	    {ProcessContext::kPlaying, kPrefetch, 1000, false},         {0, kRealtime, INT64_MIN, false},
	    {ProcessContext::kContTimeValid, kRealtime, 5000, false},   {ProcessContext::kRecording, kRealtime, INT64_MIN, true},
	    {ProcessContext::kPlaying, kOffline, 1000, true}};
	for (const auto& [state, mode, position, suspend] : cases)
	{
		context.state = state;
		data.processMode = mode;
		EXPECT_EQ (std::make_pair (tarvo::readCallFacts (data).position, tarvo::readCallFacts (data).suspend),
		           std::make_pair (position, suspend)) << state << " mode " << mode;
	}
}

TEST (State, WhatIsSavedWhatARestoreAcceptsAndWhatTheControllerTakes)
{
	LocalProcessor p;
	EXPECT_EQ (p.saved (), stateRecord ("Audio Server"));
	uint32_t before = tarvo::test::primaryGeneration ();
	ASSERT_EQ (p.restore (stateRecord ("Drum Bu")), kResultOk);
	EXPECT_EQ (std::make_pair (tarvo::test::primaryGeneration (), p.saved ()), // a restore clears every audition
	           std::make_pair (before + 1, std::string ("TRN1\x07\x00\x00\x00", 8) + "Drum Bu"));

	// Nothing at all, or an empty label, is the default; what follows the label is not read;
	// the label is cleaned as a rename is.
	for (const auto& [record, label] : {std::make_pair (std::string (), "Audio Server"), std::make_pair (stateRecord (""), "Audio Server"),
	                                    std::make_pair (stateRecord ("Pad") + "trailing", "Pad"),
	                                    std::make_pair (stateRecord ("Vox\tLead"), "Vox Lead")})
	{
		ASSERT_EQ (p.restore (record), kResultOk) << label;
		EXPECT_EQ (p.saved (), stateRecord (label));
	}

	ASSERT_EQ (p.restore (stateRecord ("Keep")), kResultOk);
	before = tarvo::test::primaryGeneration ();
	for (const std::string& record : {"X" + stateRecord ("Other").substr (1), stateRecord (std::string (65, 'a')), stateRecord ("short", 10),
	                                  stateRecord ("bad\xC3(utf8"), std::string ("TRN1\x05\x00", 6)})
		EXPECT_EQ (p.restore (record), kResultFalse) << record.size () << " bytes";
	// The length is checked before the label is read: 256 announced bytes are read, 257 not.
	size_t position = 0;
	EXPECT_EQ (p.restore (stateRecord (std::string (256, 'a')), &position), kResultFalse);
	EXPECT_EQ (position, 8u + 256u);
	EXPECT_EQ (p.restore (stateRecord (std::string (257, 'a')), &position), kResultFalse);
	EXPECT_EQ (position, 8u);
	EXPECT_EQ (p.component->setState (nullptr), kResultFalse);
	for (int failing : {0, 1}) // a read that reports an error though it delivers everything
		EXPECT_EQ (p.restore (stateRecord ("Other"), nullptr, failing), kResultFalse);
	EXPECT_EQ (p.restore (stateRecord ("O"), nullptr, -1, 1), kResultFalse); // or does not say what it delivered
	EXPECT_EQ (std::make_pair (tarvo::test::primaryGeneration (), p.saved ()), std::make_pair (before, stateRecord ("Keep")));
	EXPECT_EQ (p.restore ("", nullptr, 0), kResultOk); // nothing delivered, whatever the result, is the default
	EXPECT_EQ (p.saved (), stateRecord ("Audio Server"));

	EXPECT_EQ (p.component->getState (nullptr), kInvalidArgument);
	for (int call : {0, 1})
		for (int shortBy : {0, 1})
		{
			ScriptedStream stream;
			stream.failCall = call;
			stream.shortBy = shortBy;
			stream.failResult = shortBy ? kResultOk : kResultFalse; // short but "successful" too
			EXPECT_EQ (p.component->getState (&stream), kResultFalse) << call << "/" << shortBy;
		}

	// The controller takes the label as it is stored, with no clean-up of its own: an empty
	// label stays empty, the processor's next status brings the cleaned one. A record it
	// cannot read changes nothing.
	IPtr<tarvo::Controller> controller = tarvo::test::makeController ();
	EXPECT_EQ (controller->cachedStatus (), (tarvo::SenderStatus {u"Audio Server", u"Waiting for audio processor"}));
	ASSERT_EQ (p.restore (stateRecord ("Guitars")), kResultOk);
	for (const auto& [record, name, result] : {
	         std::make_tuple (p.saved (), std::u16string (u"Guitars"), kResultOk), std::make_tuple (stateRecord (""), std::u16string (), kResultOk),
	         std::make_tuple (stateRecord ("a\tb"), std::u16string (u"a\tb"), kResultOk),
	         std::make_tuple (std::string (), std::u16string (u"Audio Server"), kResultOk),
	         std::make_tuple ("Tx" + stateRecord ("Other").substr (2), std::u16string (u"Audio Server"), kResultFalse)})
	{
		ScriptedStream stream (record);
		EXPECT_EQ (controller->setComponentState (&stream), result);
		EXPECT_EQ (controller->cachedStatus (), tarvo::SenderStatus {name});
	}
	EXPECT_EQ (controller->setComponentState (nullptr), kResultFalse);
}
