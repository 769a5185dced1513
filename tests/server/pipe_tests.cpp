// The server thread end to end: a real client on the real pipe, the test thread playing
// the host's audio thread.
#include "runtimefixture.h"

#include "server/audioserver.h"
#include "server/wireprotocol.h"
#include "shared/processwide.h"
#include "shared/steadyclock.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

using namespace tarvo;
using namespace std::chrono_literals;
using client::Frame;
using client::VisualiserClient;
using Clock = std::chrono::steady_clock;

namespace {

bool isKeepAlive (const Frame& f) { return f.isKeepAlive (); }
bool isAudio (const Frame& f) { return !f.isKeepAlive (); }

class PipeTest : public ::testing::Test
{
protected:
	void SetUp () override
	{
		server = std::make_unique<AudioServer> ();
		server->start ();
		auto found = test::waitForSender (runtime.path ());
		ASSERT_TRUE (found) << "no discovery record appeared";
		record = *found;
	}

	void TearDown () override { server.reset (); }

	/** Plays the audio thread: one process call of `frames` stereo frames, sample values
	    base + frame index / 1e4 on the left and the negated value on the right. */
	void processCall (int32_t frames, float base, int64_t position = kUnknownPosition)
	{
		std::vector<float> left (static_cast<size_t> (frames)), right (static_cast<size_t> (frames));
		for (int32_t f = 0; f < frames; ++f)
		{
			left[size_t (f)] = base + float (f) * 1e-4f;
			right[size_t (f)] = -left[size_t (f)];
		}
		const float* channels[2] = {left.data (), right.data ()};
		server->mailbox ().lastProcessMs = steadyMillis ();
		server->setCallPosition (position);
		server->capture (channels, 2, frames, 0, 48000.0);
	}

	bool connectAndAuthenticate (VisualiserClient& client)
	{
		std::string error;
		if (!client.connect (record, error))
		{
			ADD_FAILURE () << error;
			return false;
		}
		return test::readUntil (client, isKeepAlive).has_value () &&
		       test::waitUntil ([&] { return server->isCapturing (); }, 1000ms);
	}

	/** Opens the pipe, sends `bytes`, and tells whether the server hung up within `limit`. */
	bool refusedAfterSending (const std::string& bytes, std::chrono::milliseconds limit = 1000ms)
	{
		VisualiserClient client;
		std::string error;
		if (!client.open (client::pipeNameFor (record.id), error) || !client.sendBytes (bytes.data (), bytes.size (), error))
		{
			ADD_FAILURE () << error;
			return false;
		}
		Frame frame;
		const auto end = Clock::now () + limit;
		while (Clock::now () < end)
		{
			const auto result = client.readFrame (frame, 50);
			if (result == VisualiserClient::ReadResult::closed)
				return true;
			if (result == VisualiserClient::ReadResult::frame)
				return false; // authenticated after all
		}
		return false;
	}

	test::RuntimeDirectory runtime;
	std::unique_ptr<AudioServer> server;
	client::SenderRecord record;
};

} // namespace

TEST_F (PipeTest, HandshakeInOneReadThenExactAudio)
{
	VisualiserClient client;
	std::string error;
	ASSERT_TRUE (client.connect (record, error)) << error;
	auto first = test::readUntil (client, [] (const Frame&) { return true; });
	ASSERT_TRUE (first);
	EXPECT_TRUE (first->isKeepAlive ()); // right after the handshake
	EXPECT_EQ (client.bytesReceived (), 64u);
	EXPECT_EQ (first->header.sessionId, 1u);
	EXPECT_EQ (first->header.instanceSerial, server->instanceSerial ());
	EXPECT_EQ (first->header.stateCode, 4u); // no process call yet: stale
	ASSERT_TRUE (test::waitUntil ([&] { return server->isCapturing (); }, 1000ms));

	processCall (2500, 0.25f, 7000);
	const uint32_t sizes[] = {1024, 1024, 452};
	for (int i = 0; i < 3; ++i)
	{
		auto frame = test::readUntil (client, isAudio);
		ASSERT_TRUE (frame) << "block " << i;
		const BlockHeader& h = frame->header;
		EXPECT_EQ (h.frameCount, sizes[i]);
		EXPECT_EQ (h.channelCount, 2u);
		EXPECT_EQ (h.sampleRate, 48000u);
		EXPECT_EQ (h.sequence, uint32_t (i));
		EXPECT_EQ (h.position, 7000 + 1024 * i);
		EXPECT_EQ (h.sessionId, 1u);
		EXPECT_EQ (h.stateCode, 5u); // fresh process call, no audition state yet
		for (uint32_t f = 0; f < h.frameCount; ++f)
		{
			const float expected = 0.25f + float (f + 1024u * uint32_t (i)) * 1e-4f;
			ASSERT_EQ (frame->samples[2 * f], expected);
			ASSERT_EQ (frame->samples[2 * f + 1], -expected);
		}
	}
}

TEST_F (PipeTest, HandshakeSplitOverSeveralWrites)
{
	VisualiserClient client;
	std::string error;
	ASSERT_TRUE (client.open (client::pipeNameFor (record.id), error)) << error;
	const std::string line = handshakeLine (record.token);
	for (size_t at = 0; at < line.size (); at += 20)
	{
		const std::string piece = line.substr (at, 20);
		ASSERT_TRUE (client.sendBytes (piece.data (), piece.size (), error)) << error;
		std::this_thread::sleep_for (30ms);
	}
	auto frame = test::readUntil (client, isKeepAlive);
	ASSERT_TRUE (frame);
	EXPECT_EQ (frame->header.sessionId, 1u);
}

TEST_F (PipeTest, WrongHandshakesAreHungUpOn)
{
	EXPECT_TRUE (refusedAfterSending ("TARVO6 " + std::string (48, '0') + "\n"));
	EXPECT_TRUE (refusedAfterSending ("TARVO6 " + record.token + "\r\n"));
	EXPECT_TRUE (refusedAfterSending (std::string (81, 'T')));
	EXPECT_TRUE (refusedAfterSending ("TARVO5 " + record.token + "\n"));
	// 80 bytes without a line feed are still within the limit.
	EXPECT_FALSE (refusedAfterSending (std::string (80, 'T'), 400ms));

	// After all that, the right line still works, with the first session id.
	VisualiserClient client;
	ASSERT_TRUE (connectAndAuthenticate (client));
}

TEST_F (PipeTest, ATokenFromAnEarlierRunIsRefused)
{
	const client::SenderRecord earlier = record;
	server->stop ();
	server->start ();
	auto next = test::waitForSender (runtime.path (), 3000ms, earlier.id);
	ASSERT_TRUE (next);
	EXPECT_NE (next->token, earlier.token);
	record = *next;
	EXPECT_TRUE (refusedAfterSending (handshakeLine (earlier.token)));
}

TEST_F (PipeTest, SilentClientIsDroppedAfterTwoSecondsAndTheNextIsServed)
{
	VisualiserClient silent;
	std::string error;
	ASSERT_TRUE (silent.open (client::pipeNameFor (record.id), error)) << error;
	const auto connected = Clock::now ();
	Frame frame;
	VisualiserClient::ReadResult result = VisualiserClient::ReadResult::timeout;
	while (Clock::now () - connected < 4s && result != VisualiserClient::ReadResult::closed)
		result = silent.readFrame (frame, 100);
	const auto waited = std::chrono::duration_cast<std::chrono::milliseconds> (Clock::now () - connected).count ();
	std::printf ("  silent client dropped after %lld ms\n", static_cast<long long> (waited));
	EXPECT_EQ (result, VisualiserClient::ReadResult::closed);
	EXPECT_GE (waited, 1990);
	EXPECT_LE (waited, 2500);

	VisualiserClient next;
	ASSERT_TRUE (connectAndAuthenticate (next));
}

TEST_F (PipeTest, ReconnectingGivesANewSessionOnTheSamePipe)
{
	for (uint32_t session = 1; session <= 3; ++session)
	{
		VisualiserClient client;
		std::string error;
		ASSERT_TRUE (client.connect (record, error)) << error;
		auto frame = test::readUntil (client, isKeepAlive);
		ASSERT_TRUE (frame);
		EXPECT_EQ (frame->header.sessionId, session);
		client.close ();
		ASSERT_TRUE (test::waitUntil ([&] { return !server->isCapturing (); }, 1000ms));
	}
	EXPECT_EQ (client::listSenders (runtime.path ()).size (), 1u);
}

TEST_F (PipeTest, KeepAlivesAreSixtyFourBytesAboutEveryHundredMilliseconds)
{
	VisualiserClient client;
	ASSERT_TRUE (connectAndAuthenticate (client));
	uint64_t bytes = client.bytesReceived ();
	auto last = Clock::now ();
	long long longest = 0, total = 0;
	for (int i = 0; i < 15; ++i)
	{
		auto frame = test::readUntil (client, isKeepAlive);
		ASSERT_TRUE (frame);
		const auto now = Clock::now ();
		const long long gap = std::chrono::duration_cast<std::chrono::milliseconds> (now - last).count ();
		longest = std::max (longest, gap);
		total += gap;
		last = now;
		EXPECT_EQ (client.bytesReceived () - bytes, 64u);
		bytes = client.bytesReceived ();
		EXPECT_EQ (frame->header.frameCount, 0u);
		EXPECT_EQ (frame->header.sampleRate, 48000u);
		EXPECT_EQ (frame->header.channelCount, 2u);
	}
	std::printf ("  keep-alive gaps: mean %lld ms, longest %lld ms\n", total / 15, longest);
	EXPECT_LE (longest, 200);
	EXPECT_GE (total / 15, 90);
}

TEST_F (PipeTest, ASlowReaderMakesTheRingDropWhileCaptureStaysQuick)
{
	VisualiserClient client;
	ASSERT_TRUE (connectAndAuthenticate (client));

	// The client stops reading for 5 s while "audio" arrives at the real rate.
	double slowest = 0.0;
	float value = 0.0f;
	const auto end = Clock::now () + 5000ms;
	while (Clock::now () < end)
	{
		const auto t0 = Clock::now ();
		processCall (1024, value += 1.0f);
		slowest = std::max (slowest, std::chrono::duration<double, std::micro> (Clock::now () - t0).count ());
		std::this_thread::sleep_for (21ms);
	}
	std::printf ("  slowest capture while the reader stalled: %.1f us (%d calls, ring holds %u)\n", slowest,
	             int (value), server->ring ().waiting ());
	EXPECT_LT (slowest, 20000.0); // waiting for the stalled pipe would take seconds

	// Reading again: every gap in the sequence is accounted for by the dropped count. The
	// block written after the queue drained shows the gap left by the dropped ones.
	uint64_t gaps = 0, blocks = 0;
	int64_t lastSequence = -1;
	uint32_t firstDropped = 0, lastDropped = 0;
	bool resumed = false;
	auto account = [&] (const Frame& frame) {
		const BlockHeader& h = frame.header;
		if (blocks++ == 0)
			firstDropped = h.dropped;
		else
			gaps += uint64_t (int64_t (h.sequence) - lastSequence - 1);
		lastSequence = h.sequence;
		lastDropped = h.dropped;
		// A block is never torn: every left sample comes from the same call (whole-number base).
		for (uint32_t f = 0; f < h.frameCount; ++f)
			ASSERT_EQ (std::floor (frame.samples[2 * f]), std::floor (frame.samples[0]));
	};
	while (auto frame = test::readUntil (client, isAudio, 300ms))
		account (*frame);
	processCall (256, 100.0f);
	if (auto frame = test::readUntil (client, isAudio))
	{
		resumed = frame->samples[0] == 100.0f;
		account (*frame);
	}
	std::printf ("  %llu blocks received, %llu dropped while the reader stalled\n",
	             static_cast<unsigned long long> (blocks), static_cast<unsigned long long> (gaps));
	EXPECT_TRUE (resumed) << "streaming did not resume";
	EXPECT_GT (gaps, 0u);
	EXPECT_EQ (gaps, uint64_t (lastDropped - firstDropped));
	EXPECT_EQ (blocks + gaps, uint64_t (value) + 1); // every call is either received or dropped
}

TEST_F (PipeTest, StopWhileListeningIsPromptAndWithdrawsTheRecord)
{
	const auto t0 = Clock::now ();
	server->stop ();
	const auto took = std::chrono::duration_cast<std::chrono::milliseconds> (Clock::now () - t0).count ();
	std::printf ("  stop took %lld ms\n", static_cast<long long> (took));
	EXPECT_LT (took, 300);
	EXPECT_FALSE (server->isRunning ());
	EXPECT_TRUE (std::filesystem::is_empty (runtime.path ()));
	server->stop (); // again: harmless
}

TEST_F (PipeTest, StatusFollowsTheSession)
{
	EXPECT_EQ (server->status ().text, u"Waiting for Tarvo");
	EXPECT_FALSE (server->status ().connected);
	VisualiserClient client;
	ASSERT_TRUE (connectAndAuthenticate (client));

	auto& mailbox = server->mailbox ();
	mailbox.lastProcessMs = steadyMillis () - 1000;
	EXPECT_EQ (server->status ().text, u"Connected \u00B7 waiting for audio");
	EXPECT_TRUE (server->status ().connected);

	mailbox.lastProcessMs = steadyMillis ();
	mailbox.staleLimitMs = 60000;
	EXPECT_EQ (server->status ().text, u"Connected \u00B7 full audio");
	EXPECT_EQ (server->status ().auditionMode, 0);

	mailbox.stateWord = makeStateWord (3, 1, 0b0110);
	EXPECT_EQ (server->status ().text, u"Band Solo active");
	EXPECT_EQ (server->status ().auditionMode, 1);
	mailbox.stateWord = makeStateWord (4, 1, 16);
	EXPECT_EQ (server->status ().text, u"Spectrum audition active");
	EXPECT_EQ (server->status ().auditionMode, 2);

	mailbox.primaryChangeCount = 1;
	EXPECT_EQ (server->status ().text, u"Full audio \u00B7 cleared");
	EXPECT_EQ (server->status ().auditionMode, 0);
	mailbox.lastProcessMs = steadyMillis () - 120000; // clearing outranks a stalled host
	EXPECT_EQ (server->status ().text, u"Full audio \u00B7 cleared");
	mailbox.primaryChangeCount = 0;
	mailbox.staleLimitMs = 250;

	client.close ();
	EXPECT_TRUE (test::waitUntil ([&] { return server->status ().text == u"Waiting for Tarvo"; }, 1000ms));
}

TEST_F (PipeTest, ServersSideBySideAreFollowedFromOneGroup)
{
	// Three senders, each with its own id, token and stream, read from one thread; one
	// goes away and the others stream on.
	AudioServer second, third;
	second.setLabel (u"Second");
	third.setLabel (u"Third");
	second.start ();
	third.start ();
	ASSERT_TRUE (test::waitUntil ([&] { return client::listSenders (runtime.path ()).size () == 3; }, 3000ms));
	const auto senders = client::listSenders (runtime.path ());
	EXPECT_NE (senders[0].id, senders[1].id);
	EXPECT_NE (senders[0].token, senders[2].token);

	client::SenderGroup group;
	std::string error;
	for (const auto& sender : senders)
		ASSERT_TRUE (group.add (sender, error)) << error;
	AudioServer* servers[3] = {server.get (), &second, &third};
	ASSERT_TRUE (test::waitUntil ([&] { return server->isCapturing () && second.isCapturing () && third.isCapturing (); }, 2000ms));
	std::map<std::string, std::vector<float>> firstSamples;
	std::vector<std::string> gone;
	auto follow = [&] (std::chrono::milliseconds limit, size_t audioFrom) {
		const auto end = Clock::now () + limit;
		while (Clock::now () < end && firstSamples.size () < audioFrom)
			group.poll (20, [&] (const client::SenderRecord& sender, const Frame* frame) {
				if (!frame)
					gone.push_back (sender.label);
				else if (!frame->isKeepAlive ())
					firstSamples.emplace (sender.label, frame->samples);
			});
	};
	for (int i = 0; i < 3; ++i)
	{
		const float value = 0.1f * float (i + 1);
		const float samples[2] = {value, -value};
		const float* channels[2] = {samples, samples + 1};
		servers[i]->mailbox ().lastProcessMs = steadyMillis ();
		servers[i]->capture (channels, 2, 1, 0, 48000.0);
	}
	follow (2000ms, 3);
	ASSERT_EQ (firstSamples.size (), 3u);
	EXPECT_EQ (firstSamples["Audio Server"], (std::vector<float> {0.1f, -0.1f}));
	EXPECT_EQ (firstSamples["Second"], (std::vector<float> {0.2f, -0.2f}));
	EXPECT_EQ (firstSamples["Third"], (std::vector<float> {0.3f, -0.3f}));

	second.stop ();
	EXPECT_EQ (client::listSenders (runtime.path ()).size (), 2u);
	firstSamples.clear ();
	const float samples[2] = {0.5f, 0.5f};
	const float* channels[2] = {samples, samples + 1};
	third.mailbox ().lastProcessMs = steadyMillis ();
	third.capture (channels, 2, 1, 0, 48000.0);
	follow (2000ms, 1);
	EXPECT_EQ (gone, std::vector<std::string> {"Second"});
	EXPECT_EQ (firstSamples.count ("Third"), 1u);
	EXPECT_EQ (group.size (), 2u);
}

TEST (ServerRun, ClientsThatHangUpAtOnceEndOnlyTheirOwnSession)
{
	// Clients that open the fresh pipe and close it before the server first listens on
	// it: the run, its id and its token stay.
	test::RuntimeDirectory runtime;
	std::string id;
	std::thread client ([&] {
		const auto end = Clock::now () + 5s;
		std::error_code ec;
		while (id.empty () && Clock::now () < end)
			for (std::filesystem::directory_iterator it (runtime.path (), ec), last; !ec && it != last; it.increment (ec))
				id = it->path ().filename ().string ().substr (0, 48); // the record or its .tmp
		const std::string name = client::pipeNameFor (id);
		for (int closed = 0; closed < 30 && Clock::now () < end;)
		{
			HANDLE pipe = CreateFileA (name.c_str (), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
			if (pipe != INVALID_HANDLE_VALUE)
			{
				CloseHandle (pipe);
				++closed;
			}
		}
	});
	AudioServer server;
	server.start ();
	client.join ();
	ASSERT_EQ (id.size (), 48u);

	auto record = test::waitForSender (runtime.path ());
	ASSERT_TRUE (record);
	EXPECT_EQ (record->id, id);
	EXPECT_EQ (client::listSenders (runtime.path ()).size (), 1u);
	EXPECT_EQ (server.status ().text, u"Waiting for Tarvo");
	VisualiserClient visualiser;
	std::string error;
	ASSERT_TRUE (visualiser.connect (*record, error)) << error;
	ASSERT_TRUE (test::readUntil (visualiser, isKeepAlive));
	ASSERT_TRUE (test::waitUntil ([&] { return server.isCapturing (); }, 1000ms));
	const float samples[4] = {0.5f, 0.25f, 0.5f, 0.25f};
	const float* channels[2] = {samples, samples + 2};
	server.mailbox ().lastProcessMs = steadyMillis ();
	server.capture (channels, 2, 2, 0, 48000.0);
	EXPECT_TRUE (test::readUntil (visualiser, isAudio));
}

TEST (ServerRecovery, AnUnusableRuntimeDirectoryFailsUntilFixed)
{
	test::RuntimeDirectory runtime;
	test::setRuntimeVariable (L"relative\\runtime");
	AudioServer server;
	server.start ();
	ASSERT_TRUE (test::waitUntil ([&] { return server.status ().text == u"Connection unavailable"; }, 1000ms));
	std::this_thread::sleep_for (1200ms); // at least one retry, still failing
	EXPECT_EQ (server.status ().text, u"Connection unavailable");

	test::setRuntimeVariable (runtime.path ().wstring ());
	const auto fixed = Clock::now ();
	auto record = test::waitForSender (runtime.path (), 2500ms);
	ASSERT_TRUE (record) << "the server did not recover";
	const auto took = std::chrono::duration_cast<std::chrono::milliseconds> (Clock::now () - fixed).count ();
	std::printf ("  recovered %lld ms after the directory became usable\n", static_cast<long long> (took));
	EXPECT_LE (took, 1600);
	// The record goes out just before the run counts itself available.
	EXPECT_TRUE (test::waitUntil ([&] { return server.status ().text == u"Waiting for Tarvo"; }, 500ms));

	// A file in place of the directory is refused too.
	server.stop ();
	const auto blocked = runtime.path () / "blocked";
	std::ofstream (blocked) << "not a folder";
	test::setRuntimeVariable (blocked.wstring ());
	server.start ();
	EXPECT_TRUE (test::waitUntil ([&] { return server.status ().text == u"Connection unavailable"; }, 1000ms));
	server.stop ();
}

TEST (ServerStart, StartTwiceRunsOneThreadAndStopWithoutStartIsHarmless)
{
	test::RuntimeDirectory runtime;
	AudioServer idle;
	idle.stop ();
	EXPECT_FALSE (idle.isRunning ());

	AudioServer server;
	server.start ();
	server.start ();
	ASSERT_TRUE (test::waitForSender (runtime.path ()));
	std::this_thread::sleep_for (200ms);
	EXPECT_EQ (client::listSenders (runtime.path ()).size (), 1u); // one run, one record
	server.stop ();
}
