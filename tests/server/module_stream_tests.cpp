// The built module streaming to a real client: what the host processes is what arrives, a
// Band Solo is heard, reported and expires, a refused command ends only its session.
#include "processbuffers.h"
#include "runtimefixture.h"
#include "teststreams.h"

#include "server/auditioncommand.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <thread>

using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace tarvo;
using namespace std::chrono_literals;
using client::Frame;

TEST (ModuleStream, WhatTheHostProcessesArrivesAndABandSoloIsHeardThenExpires)
{
	test::RuntimeDirectory runtime;
	std::string error;
	auto instance = test::builtInstance (2, 1024, 44100.0);
	auto record = test::waitForSender (runtime.path ());
	ASSERT_TRUE (record) << "activating the effect published no record";
	client::VisualiserClient client;
	ASSERT_TRUE (client.connect (*record, error)) << error;
	ASSERT_TRUE (test::readUntil (client, [] (const Frame& f) { return f.isKeepAlive (); }));

	// A call of 700 frames arrives whole, with the host's position, as 32-bit samples.
	host::ProcessBuffers buffers (2, 1024, kSample64);
	buffers.context ().state = ProcessContext::kPlaying | ProcessContext::kContTimeValid;
	buffers.context ().continousTimeSamples = 90000;
	for (int32 f = 0; f < 700; ++f)
		for (int32 c = 0; c < 2; ++c)
			buffers.setInput (c, f, (c ? -1.0 : 1.0) * (1.0 / 3.0 + f * 1e-4));
	ASSERT_EQ (instance->processor->process (buffers.prepare (700)), kResultOk);
	auto frame = test::readUntil (client, [] (const Frame& f) { return !f.isKeepAlive (); });
	ASSERT_TRUE (frame);
	const BlockHeader& h = frame->header; // state 0: a session, no audition, a fresh call: full audio
	EXPECT_EQ (std::make_tuple (h.position, h.frameCount, h.sampleRate, h.stateCode), std::make_tuple (int64_t (90000), 700u, 44100u, 0u));
	for (int32 f = 0; f < 700; ++f)
		for (int32 c = 0; c < 2; ++c)
			ASSERT_EQ (frame->samples[2 * f + c], float ((c ? -1.0 : 1.0) * (1.0 / 3.0 + f * 1e-4))) << f << "/" << c;
	ProcessData& offline = buffers.prepare (512);
	offline.processMode = kOffline;
	ASSERT_EQ (instance->processor->process (offline), kResultOk);
	EXPECT_FALSE (test::readUntil (client, [] (const Frame& f) { return !f.isKeepAlive (); }, 300ms)) << "an offline block was captured";

	// Calls of 512 frames of a 100 Hz + 3 kHz mix until a frame satisfies `accept` (with
	// `repeat`, a visualiser's command sent again every few calls); then how far the last
	// call's output departs from its input.
	int64 position = 0;
	uint32_t sequence = 0, soloId = 1;
	auto send = [&] (const AuditionCommand& command) { return client.sendBytes (&command, sizeof command, error); };
	auto processUntil = [&] (const std::function<bool (const Frame&)>& accept, int calls = 100,
	                         const std::function<AuditionCommand ()>& repeat = nullptr) {
		for (int i = 0; i < calls; ++i)
		{
			if (repeat && i % 5 == 0)
				send (repeat ());
			for (int32 f = 0; f < 512; ++f, ++position)
				for (int32 c = 0; c < 2; ++c)
					buffers.setInput (c, f, 0.3 * std::sin (0.01425 * position) + 0.3 * std::sin (0.4274 * position));
			EXPECT_EQ (instance->processor->process (buffers.prepare (512)), kResultOk);
			Frame next;
			while (client.readFrame (next, 0) == client::VisualiserClient::ReadResult::frame)
				if (accept (next))
					return std::optional<Frame> (next);
			std::this_thread::sleep_for (10ms);
		}
		return std::optional<Frame> ();
	};
	auto departure = [&] (const std::function<AuditionCommand ()>& repeat) {
		for (int i = 0; i < 4; ++i) // past any fade
			processUntil ([] (const Frame&) { return true; }, 1, repeat);
		double largest = 0.0;
		for (int32 f = 0; f < 512; ++f)
			largest = std::max (largest, std::fabs (buffers.output (0, f) - buffers.input (0, f)));
		return largest;
	};
	// (The wait above stalled the host: the first call after it retires whatever request
	// is current, so a few calls go first.)
	processUntil ([] (const Frame&) { return false; }, 3);
	const uint32_t session = frame->header.sessionId;
	auto bandSolo = [&] { return makeCommand (session, ++sequence, soloId, 0b0001, 250.0f, 1000.0f, 6000.0f, 0); };
	auto active = processUntil ([] (const Frame& f) { return f.header.stateCode == 1; }, 100, bandSolo);
	ASSERT_TRUE (active);
	EXPECT_EQ (std::make_pair (active->header.requestId, active->header.bandMask), std::make_pair (1u, 1u));
	EXPECT_GT (departure (bandSolo), 0.2); // the 3 kHz part is gone from the output, not from the stream
	EXPECT_EQ (buffers.outputBus ().silenceFlags, 0u);
	auto expired = processUntil ([] (const Frame& f) { return f.header.stateCode == 2; });
	ASSERT_TRUE (expired); // the repeats stopped
	EXPECT_EQ (expired->header.requestId, 1u);
	EXPECT_EQ (departure (nullptr), 0.0);

	// A refused command ends the session and its audition, and the next client gets the next one.
	soloId = 3; // (an expired request stays retired)
	ASSERT_TRUE (processUntil ([] (const Frame& f) { return f.header.stateCode == 1; }, 100, bandSolo));
	send (makeCommand (session, ++sequence, 2, 0b0010, 250.0f, 299.9f, 6000.0f, 0)); // 299.9 < 250 x 1.2
	EXPECT_TRUE (test::hungUp (client, 2000ms));
	EXPECT_EQ (departure (nullptr), 0.0);
	ASSERT_TRUE (client.connect (*record, error)) << error;
	frame = test::readUntil (client, [] (const Frame&) { return true; });
	ASSERT_TRUE (frame);
	EXPECT_EQ (frame->header.sessionId, session + 1);

	// Deactivating ends the session and withdraws the record; active again, a new run.
	ASSERT_EQ (instance->component->setActive (false), kResultOk);
	EXPECT_TRUE (test::hungUp (client, 2000ms));
	EXPECT_TRUE (std::filesystem::is_empty (runtime.path ()));
	ASSERT_EQ (instance->component->setActive (true), kResultOk);
	EXPECT_TRUE (test::waitForSender (runtime.path ()));
	EXPECT_TRUE (instance->component->terminate () == kResultOk && std::filesystem::is_empty (runtime.path ())); // ended while active
}
