// The server thread end to end: real clients on the real pipe, the test thread playing the
// host's audio thread.
#include "runtimefixture.h"

#include "server/audioserver.h"
#include "server/wireprotocol.h"
#include "shared/steadyclock.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cmath>
#include <thread>

using namespace tarvo;
using namespace std::chrono_literals;
using client::Frame;
using client::VisualiserClient;
using Clock = std::chrono::steady_clock;

namespace {

bool isKeepAlive (const Frame& f) { return f.isKeepAlive (); }
bool isAudio (const Frame& f) { return !f.isKeepAlive (); }

/** Milliseconds of CPU this process spends, all threads, while the test thread sleeps. */
double cpuMillisAsleep (std::chrono::milliseconds span)
{
	const double before = test::processCpuMillis ();
	std::this_thread::sleep_for (span);
	return test::processCpuMillis () - before;
}

long long millisSince (Clock::time_point start)
{
	return std::chrono::duration_cast<std::chrono::milliseconds> (Clock::now () - start).count ();
}

/** Plays the audio thread for one call: left base + frame / 1e4, right negated. */
void processCall (AudioServer& server, int32_t frames, float base, int64_t position = kUnknownPosition,
                  double rate = 48000.0)
{
	std::vector<float> left, right;
	for (int32_t f = 0; f < frames; ++f)
		right.push_back (-left.emplace_back (base + float (f) * 1e-4f));
	const float* channels[2] = {left.data (), right.data ()};
	const uint64_t now = steadyMillis ();
	server.mailbox ().lastProcessMs = now;
	server.setCallPosition (position, now);
	server.capture (channels, 2, frames, 0, rate);
}

class PipeTest : public ::testing::Test, protected test::StartedServer
{
protected:
	void SetUp () override { ASSERT_TRUE (record) << "no discovery record appeared"; }

	/** Opens the pipe, sends the pieces a few ms apart, and tells whether the server hung up
	    within `limit` rather than authenticating. */
	bool refused (const std::vector<std::string>& pieces, std::chrono::milliseconds limit = 1000ms)
	{
		VisualiserClient client;
		std::string error;
		if (!client.open (client::pipeNameFor (record->id), error))
			return false;
		for (const std::string& piece : pieces)
		{
			client.sendBytes (piece.data (), piece.size (), error);
			std::this_thread::sleep_for (20ms);
		}
		return test::hungUp (client, limit);
	}

	/** Captures blocks of 1024 frames while the client does not read, until the pipe and
	    the ring are full. */
	void fillWhileNotReading ()
	{
		for (int i = 0; i < 150 && server.ring ().waiting () < 32; ++i)
		{
			processCall (server, 1024, 200.0f);
			std::this_thread::sleep_for (2ms);
		}
		ASSERT_EQ (server.ring ().waiting (), 32u);
	}
};

} // namespace

TEST_F (PipeTest, TheTokenOpensASessionAndAudioAndKeepAlivesFollow)
{
	VisualiserClient client;
	std::string error;
	server.mailbox ().stateWord.store (makeStateWord (9, 1, 0b0100)); // an earlier session's audition, and no call since
	ASSERT_TRUE (client.connect (*record, error)) << error;
	auto first = test::readUntil (client, [] (const Frame&) { return true; });
	ASSERT_TRUE (first);
	const BlockHeader& k = first->header; // a keep-alive right after the handshake; state 4: no process call yet, stale
	EXPECT_EQ (std::make_tuple (first->isKeepAlive (), client.bytesReceived (), k.sessionId, k.instanceSerial, k.stateCode, k.requestId),
	           std::make_tuple (true, uint64_t (64), 1u, server.instanceSerial (), 4u, 0u));
	ASSERT_TRUE (test::waitUntil ([&] { return server.isCapturing (); }, 1000ms));

	processCall (server, 2500, 0.25f, 7000);
	const uint32_t sizes[] = {1024, 1024, 452};
	for (uint32_t i = 0; i < 3; ++i)
	{
		auto frame = test::readUntil (client, isAudio);
		ASSERT_TRUE (frame) << "block " << i;
		const BlockHeader& h = frame->header;
		EXPECT_EQ (std::make_tuple (h.frameCount, h.sequence, h.position, h.sessionId, h.stateCode),
		           std::make_tuple (sizes[i], i, 7000 + 1024 * int64_t (i), 1u, 5u)); // state 5: a fresh call, no audition yet
		for (uint32_t f = 0; f < h.frameCount; ++f)
		{
			const float expected = 0.25f + float (f + 1024u * i) * 1e-4f;
			ASSERT_EQ (std::make_pair (frame->samples[2 * f], frame->samples[2 * f + 1]), std::make_pair (expected, -expected)) << f;
		}
	}

	// Keep-alives: 64 bytes about every 100 ms while no audio waits.
	const uint64_t bytes = client.bytesReceived ();
	const auto start = Clock::now ();
	auto last = start;
	long long longest = 0;
	for (int i = 0; i < 12; ++i)
	{
		ASSERT_TRUE (test::readUntil (client, isKeepAlive));
		longest = std::max (longest, millisSince (last));
		last = Clock::now ();
	}
	EXPECT_EQ (client.bytesReceived () - bytes, 12 * 64u); // twelve frames of 64 bytes and nothing else
	EXPECT_LE (longest, 200);
	EXPECT_GE (millisSince (start) / 12, 90);
}

TEST_F (PipeTest, WrongHandshakesAndSilentClientsAreHungUpOnAndSessionsFollowOneAnother)
{
	// (Which lines are refused is the protocol's business; here, that a refusal hangs up.)
	const std::string line = handshakeLine (record->token);
	std::string lastWrong = record->token;
	lastWrong.back () = lastWrong.back () == '0' ? '1' : '0';
	EXPECT_TRUE (refused ({handshakeLine (lastWrong)}));
	EXPECT_TRUE (refused ({std::string (81, 'T')}));
	EXPECT_FALSE (refused ({std::string (80, 'T')}, 400ms)); // 80 without a line feed are within the limit
	// Split, even one byte at a time, the line is accepted.
	EXPECT_FALSE (refused ({line.substr (0, 1), line.substr (1, 1), line.substr (2, 30), line.substr (32)}, 400ms));

	// A token from an earlier run is refused (the new run's client gets in below).
	const client::SenderRecord earlier = *record;
	server.stop ();
	server.start ();
	record = test::waitForSender (runtime.path (), 3000ms, earlier.id);
	ASSERT_TRUE (record);
	EXPECT_TRUE (refused ({handshakeLine (earlier.token)}));

	// A silent client is dropped 2 s after connecting, and the pipe serves the next one.
	VisualiserClient silent;
	std::string error;
	ASSERT_TRUE (silent.open (client::pipeNameFor (record->id), error)) << error;
	const auto connected = Clock::now ();
	EXPECT_TRUE (test::hungUp (silent, 4000ms));
	EXPECT_GE (millisSince (connected), 1990);
	EXPECT_LE (millisSince (connected), 2500);

	uint32_t firstSession = 0;
	for (uint32_t n = 0; n < 3; ++n)
	{
		VisualiserClient client;
		ASSERT_TRUE (authenticate (client));
		processCall (server, 64, float (n + 1));
		auto frame = test::readUntil (client, isAudio);
		ASSERT_TRUE (frame);
		firstSession = n ? firstSession : frame->header.sessionId;
		EXPECT_EQ (frame->header.sessionId, firstSession + n); // each the next session
		EXPECT_EQ (frame->samples[0], float (n + 1)); // nothing of an earlier session
		client.close ();
		ASSERT_TRUE (test::waitUntil ([&] { return !server.isCapturing (); }, 1000ms));
	}
	EXPECT_EQ (client::listSenders (runtime.path ()).size (), 1u); // the same run throughout
	EXPECT_EQ (client::listSenders (runtime.path ())[0].id, record->id);
}

TEST_F (PipeTest, ASlowReaderMakesTheRingDropAndWhatIsLeftGoesWithTheSessionAndTheRun)
{
	VisualiserClient client;
	ASSERT_TRUE (authenticate (client));
	double slowest = 0.0;
	float value = 0.0f;
	const auto end = Clock::now () + 2500ms;
	while (Clock::now () < end) // the client stops reading while audio arrives at the real rate
	{
		const auto t0 = Clock::now ();
		processCall (server, 1024, value += 1.0f);
		slowest = std::max (slowest, std::chrono::duration<double, std::micro> (Clock::now () - t0).count ());
		std::this_thread::sleep_for (21ms);
	}
	EXPECT_LT (slowest, 20000.0); // waiting for the stalled pipe would take seconds
	EXPECT_EQ (server.ring ().waiting (), 32u);
	// Its write pending on the full pipe, the server thread sleeps until the client reads.
	EXPECT_LT (cpuMillisAsleep (500ms), 50.0);

	// Reading again: every gap is accounted for by the dropped count, no block is torn.
	uint64_t gaps = 0, blocks = 0;
	int64_t lastSequence = -1;
	uint32_t firstDropped = 0, lastDropped = 0;
	auto account = [&] (const Frame& frame) {
		const BlockHeader& h = frame.header;
		if (blocks++ == 0)
			firstDropped = h.dropped;
		else
			gaps += uint64_t (int64_t (h.sequence) - lastSequence - 1);
		lastSequence = h.sequence;
		lastDropped = h.dropped;
		for (uint32_t f = 0; f < h.frameCount; ++f)
			ASSERT_EQ (std::floor (frame.samples[2 * f]), std::floor (frame.samples[0]));
	};
	while (auto frame = test::readUntil (client, isAudio, 300ms))
		account (*frame);
	processCall (server, 256, 100.0f);
	auto resumed = test::readUntil (client, isAudio);
	ASSERT_TRUE (resumed) << "streaming did not resume";
	EXPECT_EQ (resumed->samples[0], 100.0f);
	account (*resumed);
	EXPECT_GT (gaps, 0u);
	EXPECT_EQ (gaps, uint64_t (lastDropped - firstDropped));
	EXPECT_EQ (blocks + gaps, uint64_t (value) + 1); // every call received or dropped

	// A session that ends, or a run that stops, with a full ring leaves nothing in it.
	fillWhileNotReading ();
	client.close ();
	ASSERT_TRUE (test::waitUntil ([&] { return !server.isCapturing (); }, 1000ms));
	EXPECT_TRUE (test::waitUntil ([&] { return server.ring ().waiting () == 0; }, 500ms));
	ASSERT_TRUE (authenticate (client));
	fillWhileNotReading ();
	server.stop ();
	EXPECT_EQ (server.ring ().waiting (), 0u);
}

TEST_F (PipeTest, ALiveHostWithSmallBuffersLosesNothing)
{
	// 32-frame calls at 96 kHz, 3,000 a second on the host's schedule for three seconds,
	// to a visualiser that reads as fast as it can: every frame arrives, in order.
	VisualiserClient client;
	ASSERT_TRUE (authenticate (client));
	constexpr uint32_t kCalls = 9000;
	int64_t received = 0, misplaced = 0;
	uint32_t gaps = 0, firstDropped = 0, lastDropped = 0;
	std::thread reader ([&] {
		int64_t last = -1;
		while (received < kCalls * 32)
		{
			auto frame = test::readUntil (client, isAudio, 1000ms);
			if (!frame)
				return;
			const BlockHeader& h = frame->header;
			gaps += last < 0 ? 0 : uint32_t (int64_t (h.sequence) - last - 1);
			misplaced += h.position != received;
			(last < 0 ? firstDropped : lastDropped) = h.dropped;
			received += h.frameCount;
			last = h.sequence;
		}
	});
	const auto start = Clock::now ();
	for (uint32_t n = 0; n < kCalls; ++n)
	{
		const auto due = start + std::chrono::microseconds (n * 1000000ull / 3000);
		if (due - Clock::now () >= 1ms)
			std::this_thread::sleep_for (due - Clock::now ());
		processCall (server, 32, float (n), int64_t (n) * 32, 96000.0);
	}
	reader.join ();
	// (received, misplaced, gaps in the sequence, dropped as the headers count it, as the ring does)
	EXPECT_EQ (std::make_tuple (received, misplaced, gaps, lastDropped - firstDropped, server.ring ().droppedBlocks ()),
	           std::make_tuple (int64_t (kCalls) * 32, 0, 0u, 0u, 0u));

	// Twenty calls at once, more than one pass sends (a host catching up after a hiccup), go
	// out together rather than a batch per wake-up: of five such bursts, at least one
	// arrives without a pause of 4 ms between two of its frames.
	int fewestPauses = 20;
	for (int burst = 0; burst < 5; ++burst)
	{
		std::this_thread::sleep_for (20ms);
		for (int n = 0; n < 20; ++n)
			processCall (server, 64, 1.0f);
		int pauses = 0;
		auto last = Clock::now ();
		for (int frame = 0; frame < 20; ++frame)
		{
			ASSERT_TRUE (test::readUntil (client, isAudio, 1000ms));
			pauses += frame > 0 && Clock::now () - last >= 4ms;
			last = Clock::now ();
		}
		fewestPauses = std::min (fewestPauses, pauses);
	}
	EXPECT_EQ (fewestPauses, 0);
}

TEST_F (PipeTest, StatusFollowsTheSessionAndStopIsPrompt)
{
	EXPECT_EQ (server.status ().text, u"Waiting for Tarvo");
	// Listening, and serving a session with nothing to send, the thread sleeps: a second of
	// either costs the process well under a tenth of a core.
	EXPECT_LT (cpuMillisAsleep (1s), 100.0);
	VisualiserClient client;
	ASSERT_TRUE (authenticate (client));
	EXPECT_LT (cpuMillisAsleep (1s), 100.0);
	auto& mailbox = server.mailbox ();
	mailbox.lastProcessMs = steadyMillis () - 1000;
	EXPECT_EQ (server.status ().text, u"Connected \u00B7 waiting for audio");
	EXPECT_TRUE (server.status ().connected);
	mailbox.lastProcessMs = steadyMillis ();
	mailbox.staleLimitMs = 60000;
	const std::tuple<uint64_t, uint64_t, const char16_t*, int64_t> states[] = {
	    {makeStateWord (0, 0, 0), 0, u"Connected \u00B7 full audio", 0}, {makeStateWord (3, 1, 0b0110), 0, u"Band Solo active", 1},
	    {makeStateWord (3, 1, 0b1000), 0, u"Band Solo active", 1},      {makeStateWord (4, 1, 16), 0, u"Spectrum audition active", 2},
	    {makeStateWord (4, 1, 16), 1, u"Full audio \u00B7 cleared", 0}};
	for (const auto& [word, changes, text, mode] : states)
	{
		mailbox.stateWord = word;
		mailbox.primaryChangeCount = changes;
		EXPECT_EQ (std::make_tuple (server.status ().text, server.status ().auditionMode), std::make_tuple (std::u16string (text), mode));
	}
	mailbox.lastProcessMs = steadyMillis () - 120000; // clearing outranks a stalled host
	EXPECT_EQ (server.status ().text, u"Full audio \u00B7 cleared");
	mailbox.primaryChangeCount = 0;
	mailbox.staleLimitMs = 250;

	const auto stopping = Clock::now ();
	server.stop ();
	EXPECT_LT (millisSince (stopping), 300);
	EXPECT_TRUE (test::hungUp (client, 1000ms));
	EXPECT_EQ (std::make_tuple (server.isRunning (), server.isCapturing (), server.status ().text),
	           std::make_tuple (false, false, u"Waiting for Tarvo"));
	EXPECT_TRUE (std::filesystem::is_empty (runtime.path ()));
	server.stop (); // again: harmless
	server.start ();
	server.start (); // twice: one thread, one record
	ASSERT_TRUE (test::waitForSender (runtime.path ()));
	std::this_thread::sleep_for (200ms);
	EXPECT_EQ (client::listSenders (runtime.path ()).size (), 1u);
	// Restarted, as after every deactivation, it sleeps again while it listens.
	EXPECT_LT (cpuMillisAsleep (1s), 100.0);
}

TEST (ServerRun, ClientsThatHangUpAtOnceEndOnlyTheirOwnSession)
{
	// Clients that open the fresh pipe and close it before the server first listens on it:
	// the run, its id and its token stay.
	test::RuntimeDirectory runtime;
	std::string id;
	std::thread opener ([&] {
		const auto end = Clock::now () + 5s;
		std::error_code ec;
		while (id.empty () && Clock::now () < end)
			for (std::filesystem::directory_iterator it (runtime.path (), ec), last; !ec && it != last; it.increment (ec))
				id = it->path ().filename ().string ().substr (0, 48); // the record or its .tmp
		const std::string name = client::pipeNameFor (id);
		for (int closed = 0; closed < 30 && Clock::now () < end;)
			if (HANDLE pipe = CreateFileA (name.c_str (), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
			    pipe != INVALID_HANDLE_VALUE)
			{
				CloseHandle (pipe);
				++closed;
			}
	});
	AudioServer server;
	server.start ();
	opener.join ();
	auto record = test::waitForSender (runtime.path ());
	ASSERT_TRUE (record);
	EXPECT_EQ (std::make_tuple (record->id, client::listSenders (runtime.path ()).size (), server.status ().text),
	           std::make_tuple (id, size_t (1), u"Waiting for Tarvo"));
	VisualiserClient visualiser;
	std::string error;
	ASSERT_TRUE (visualiser.connect (*record, error)) << error;
	ASSERT_TRUE (test::waitUntil ([&] { return server.isCapturing (); }, 2000ms));
	processCall (server, 1, 0.5f); // a single frame is audio too, in either sample size
	const double wide[1] = {0.75}, *channels[2] = {wide, wide};
	server.capture (channels, 2, 1, 0, 48000.0);
	for (const float expected : {0.5f, 0.75f})
	{
		auto frame = test::readUntil (visualiser, isAudio);
		ASSERT_TRUE (frame);
		EXPECT_EQ (frame->samples[0], expected);
	}
}
