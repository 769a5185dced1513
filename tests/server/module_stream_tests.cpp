// The built module streaming to a real client: what the host processes is what arrives.
#include "processbuffers.h"
#include "runtimefixture.h"
#include "teststreams.h"

#include "pluginterfaces/vst/vstspeaker.h"

#include <gtest/gtest.h>

using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace std::chrono_literals;
using tarvo::client::Frame;
using tarvo::client::VisualiserClient;

namespace {

bool isAudio (const Frame& f) { return !f.isKeepAlive (); }

class ModuleStream : public ::testing::Test
{
protected:
	void activate (int32 channels, int32 sampleSize)
	{
		std::string error;
		PClassInfo info;
		tarvo::test::builtModule ().factory ()->getClassInfo (0, &info);
		instance = tarvo::host::PluginInstance::create (tarvo::test::builtModule ().factory (), info.cid, error);
		ASSERT_TRUE (instance) << error;
		SpeakerArrangement arrangement = channels == 1 ? SpeakerArr::kMono : SpeakerArr::kStereo;
		ASSERT_EQ (instance->processor->setBusArrangements (&arrangement, 1, &arrangement, 1), kResultOk);
		ProcessSetup setup {kRealtime, sampleSize, 1024, 44100.0};
		ASSERT_EQ (instance->processor->setupProcessing (setup), kResultOk);
		ASSERT_EQ (instance->component->setActive (true), kResultOk);
		instance->processor->setProcessing (true);

		auto record = tarvo::test::waitForSender (runtime.path ());
		ASSERT_TRUE (record) << "activating the effect published no record";
		ASSERT_TRUE (client.connect (*record, error)) << error;
		ASSERT_TRUE (tarvo::test::readUntil (client, [] (const Frame& f) { return f.isKeepAlive (); }));
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

	/** Processes one call whose samples are `tag` + frame / 1e4 (negated on channel 1). */
	tresult processCall (tarvo::host::ProcessBuffers& buffers, int32 frames, double tag)
	{
		for (int32 c = 0; c < buffers.channels (); ++c)
			for (int32 f = 0; f < frames; ++f)
				buffers.setInput (c, f, (c ? -1.0 : 1.0) * (tag + f * 1e-4));
		return instance->processor->process (buffers.prepare (frames));
	}

	tarvo::test::RuntimeDirectory runtime;
	std::unique_ptr<tarvo::host::PluginInstance> instance;
	VisualiserClient client;
};

} // namespace

TEST_F (ModuleStream, FramesCarryTheProcessedInputAndTheHostsPosition)
{
	activate (2, kSample32);
	tarvo::host::ProcessBuffers buffers (2, 1024, kSample32);
	ProcessContext& context = buffers.context ();
	context.continousTimeSamples = 90000;
	context.projectTimeSamples = 500;

	struct Case
	{
		uint32 state;
		int64 expected;
	} cases[] = {
	    {ProcessContext::kPlaying | ProcessContext::kContTimeValid, 90000},
	    {ProcessContext::kPlaying, 500},
	    {0, INT64_MIN},
	};
	double tag = 0.0;
	for (const auto& c : cases)
	{
		context.state = c.state;
		ASSERT_EQ (processCall (buffers, 700, tag += 1.0), kResultOk);
		auto frame = tarvo::test::readUntil (client, isAudio);
		ASSERT_TRUE (frame);
		EXPECT_EQ (frame->header.position, c.expected) << "state " << c.state;
		EXPECT_EQ (frame->header.frameCount, 700u);
		EXPECT_EQ (frame->header.sampleRate, 44100u);
		EXPECT_NE (frame->header.stateCode, 4u); // the call just happened: not stale
		for (uint32_t f = 0; f < 700; ++f)
		{
			ASSERT_EQ (frame->samples[2 * f], float (tag + f * 1e-4));
			ASSERT_EQ (frame->samples[2 * f + 1], float (-(tag + f * 1e-4)));
		}
	}
}

TEST_F (ModuleStream, OfflineRenderingIsNotCapturedAndSilenceIsZeros)
{
	activate (1, kSample64);
	tarvo::host::ProcessBuffers buffers (1, 1024, kSample64);
	ProcessData& data = buffers.prepare (512);
	data.processMode = kOffline;
	ASSERT_EQ (instance->processor->process (data), kResultOk);
	EXPECT_FALSE (tarvo::test::readUntil (client, isAudio, 300ms)) << "an offline block was captured";

	// Back in real time, a silent-flagged channel arrives as zeros; 64-bit input as floats.
	ASSERT_EQ (processCall (buffers, 300, 1.0 / 3.0), kResultOk);
	auto frame = tarvo::test::readUntil (client, isAudio);
	ASSERT_TRUE (frame);
	EXPECT_EQ (frame->header.channelCount, 1u);
	EXPECT_EQ (frame->samples[0], float (1.0 / 3.0));
	buffers.prepare (300);
	buffers.inputBus ().silenceFlags = 1;
	ASSERT_EQ (instance->processor->process (buffers.prepare (300)), kResultOk);
	frame = tarvo::test::readUntil (client, isAudio);
	ASSERT_TRUE (frame);
	for (uint32_t f = 0; f < 300; ++f)
		ASSERT_EQ (frame->samples[f], 0.0f);
}

TEST_F (ModuleStream, DeactivatingEndsTheSessionAndWithdrawsTheRecord)
{
	activate (2, kSample32);
	ASSERT_EQ (instance->component->setActive (false), kResultOk);
	Frame frame;
	auto result = VisualiserClient::ReadResult::frame;
	for (int i = 0; i < 40 && result != VisualiserClient::ReadResult::closed; ++i)
		result = client.readFrame (frame, 50);
	EXPECT_EQ (result, VisualiserClient::ReadResult::closed);
	EXPECT_TRUE (tarvo::client::listSenders (runtime.path ()).empty ());
	EXPECT_TRUE (std::filesystem::is_empty (runtime.path ()));

	// Active again: a new run under a new id.
	ASSERT_EQ (instance->component->setActive (true), kResultOk);
	EXPECT_TRUE (tarvo::test::waitForSender (runtime.path ()));
}
