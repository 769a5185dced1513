// The built module streaming to a real client: what the host processes is what arrives.
#include "processbuffers.h"
#include "runtimefixture.h"
#include "teststreams.h"

#include "pluginterfaces/vst/vstspeaker.h"
#include "server/auditioncommand.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <thread>

using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace std::chrono_literals;
using tarvo::client::Frame;
using tarvo::client::VisualiserClient;

namespace {

constexpr double kTwoPi = 6.283185307179586;

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

	bool send (const tarvo::AuditionCommand& command)
	{
		std::string error;
		return client.sendBytes (&command, sizeof command, error);
	}

	/** Processes calls of 512 frames of a 100 Hz + 3 kHz mix until a frame satisfies `accept`. */
	std::optional<Frame> processUntil (tarvo::host::ProcessBuffers& buffers,
	                                   const std::function<bool (const Frame&)>& accept, int calls = 100)
	{
		for (int i = 0; i < calls; ++i)
		{
			for (int32 c = 0; c < buffers.channels (); ++c)
				for (int32 f = 0; f < 512; ++f)
				{
					const double t = double (position + f) / 44100.0;
					buffers.setInput (c, f, 0.3 * std::sin (kTwoPi * 100 * t) + 0.3 * std::sin (kTwoPi * 3000 * t));
				}
			position += 512;
			EXPECT_EQ (instance->processor->process (buffers.prepare (512)), kResultOk);
			Frame frame;
			while (client.readFrame (frame, 0) == VisualiserClient::ReadResult::frame)
				if (accept (frame))
					return frame;
			std::this_thread::sleep_for (std::chrono::milliseconds (10));
		}
		return std::nullopt;
	}

	bool hungUp () { return tarvo::test::hungUp (client, 2000ms); }

	/** How far the last processed call's output departs from its input. */
	static double difference (tarvo::host::ProcessBuffers& buffers)
	{
		double largest = 0.0;
		for (int32 f = 0; f < 512; ++f)
			largest = std::max (largest, std::fabs (buffers.output (0, f) - buffers.input (0, f)));
		return largest;
	}

	tarvo::test::RuntimeDirectory runtime;
	std::unique_ptr<tarvo::host::PluginInstance> instance;
	VisualiserClient client;
	int64 position {0};
};

} // namespace

TEST_F (ModuleStream, FramesCarryTheProcessedInputAndTheHostsPositionButNotOfflineRenders)
{
	activate (2, kSample64);
	tarvo::host::ProcessBuffers buffers (2, 1024, kSample64);
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
		ASSERT_EQ (processCall (buffers, 700, tag += 1.0 / 3.0), kResultOk);
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

	// An offline render is not captured; a silent-flagged channel arrives as zeros.
	ProcessData& offline = buffers.prepare (512);
	offline.processMode = kOffline;
	ASSERT_EQ (instance->processor->process (offline), kResultOk);
	EXPECT_FALSE (tarvo::test::readUntil (client, isAudio, 300ms)) << "an offline block was captured";
	buffers.prepare (300);
	buffers.inputBus ().silenceFlags = 1;
	ASSERT_EQ (instance->processor->process (buffers.prepare (300)), kResultOk);
	auto frame = tarvo::test::readUntil (client, isAudio);
	ASSERT_TRUE (frame);
	for (uint32_t f = 0; f < 300; ++f)
		ASSERT_EQ (frame->samples[2 * f], 0.0f);
	EXPECT_EQ (frame->samples[1], float (-tag));

	// Deactivating ends the session and withdraws the record; active again, a new run.
	ASSERT_EQ (instance->component->setActive (false), kResultOk);
	EXPECT_TRUE (hungUp ());
	EXPECT_TRUE (std::filesystem::is_empty (runtime.path ()));
	ASSERT_EQ (instance->component->setActive (true), kResultOk);
	EXPECT_TRUE (tarvo::test::waitForSender (runtime.path ()));
}

TEST_F (ModuleStream, ABandSoloIsHeardReportedAndExpires)
{
	activate (2, kSample32);
	tarvo::host::ProcessBuffers buffers (2, 1024, kSample32);
	auto first = processUntil (buffers, [] (const Frame& f) { return !f.isKeepAlive (); });
	ASSERT_TRUE (first);
	EXPECT_EQ (first->header.stateCode, 0u); // a session, no audition: full audio
	EXPECT_EQ (difference (buffers), 0.0);
	const uint32_t session = first->header.sessionId;
	auto settle = [&] {
		for (int i = 0; i < 4; ++i)
			processUntil (buffers, [] (const Frame&) { return true; }, 1);
	};

	ASSERT_TRUE (send (tarvo::makeCommand (session, 1, 1, 0b0001, 250.0f, 1000.0f, 6000.0f, 0)));
	auto active = processUntil (buffers, [] (const Frame& f) { return f.header.stateCode == 1; });
	ASSERT_TRUE (active);
	EXPECT_EQ (active->header.requestId, 1u);
	EXPECT_EQ (active->header.bandMask, 1u);
	EXPECT_EQ (active->header.spectrumActive, 0u);
	settle (); // past the fade the 3 kHz part is gone from the output, though the capture still has it
	EXPECT_GT (difference (buffers), 0.2);
	EXPECT_EQ (buffers.outputBus ().silenceFlags, 0u);

	// The repeats stop: the request expires, the output fades back to the input.
	auto expired = processUntil (buffers, [] (const Frame& f) { return f.header.stateCode == 2; });
	ASSERT_TRUE (expired);
	EXPECT_EQ (expired->header.requestId, 1u);
	settle ();
	EXPECT_EQ (difference (buffers), 0.0);
}

TEST_F (ModuleStream, ARefusedCommandEndsOnlyThatSession)
{
	activate (2, kSample32);
	tarvo::host::ProcessBuffers buffers (2, 1024, kSample32);
	auto frame = processUntil (buffers, [] (const Frame&) { return true; });
	ASSERT_TRUE (frame);
	const uint32_t session = frame->header.sessionId;
	send (tarvo::makeCommand (session, 1, 1, 0b0010, 250.0f, 299.9f, 6000.0f, 0)); // 299.9 < 250 x 1.2
	EXPECT_TRUE (hungUp ());

	// The next client gets the next session.
	auto record = tarvo::test::waitForSender (runtime.path ());
	ASSERT_TRUE (record);
	std::string error;
	ASSERT_TRUE (client.connect (*record, error)) << error;
	frame = tarvo::test::readUntil (client, [] (const Frame&) { return true; });
	ASSERT_TRUE (frame);
	EXPECT_EQ (frame->header.sessionId, session + 1);
}
