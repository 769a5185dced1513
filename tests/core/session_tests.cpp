// What a visualiser's bytes do to the server: the handshake, the audition commands and
// their rules, the clear acknowledgement, and the hand-over to the audio thread; and the
// server fields of every frame.
#include "audition/auditionengine.h"
#include "server/auditioncommand.h"
#include "server/sessionprotocol.h"
#include "server/wireprotocol.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

using namespace tarvo;

namespace {

const std::string kToken (48, '7');
const float kNan = std::numeric_limits<float>::quiet_NaN ();
const float kInf = std::numeric_limits<float>::infinity ();
using Result = SessionProtocol::Result;

std::string bytesOf (const AuditionCommand& command) { return std::string (reinterpret_cast<const char*> (&command), sizeof command); }

struct Sessions : SessionProtocol::Authenticator
{
	int calls {0};
	uint32_t authenticate () noexcept override { return 41 + uint32_t (++calls); } // sessions 42, 43, ...
};

struct Rig
{
	Rig () : protocol (handshakeLine (kToken)) {}

	Result send (const std::string& bytes) { return protocol.receive (bytes.data (), bytes.size (), mailbox, sessions, now); }
	Result send (const AuditionCommand& command) { return send (bytesOf (command)); }
	Result handshake () { return send (handshakeLine (kToken)); }
	AuditionCommand band (uint32_t sequence, uint32_t requestId, uint32_t mask = 0b0010, float a = 250.0f,
	                      float b = 1000.0f, float c = 6000.0f) { return makeCommand (protocol.sessionId (), sequence, requestId, mask, a, b, c, 0); }
	uint32_t queued () const { return mailbox.writeIndex - mailbox.readIndex; }

	SessionProtocol protocol;
	AuditionMailbox mailbox;
	Sessions sessions;
	uint64_t now {5000};
};

} // namespace

TEST (Frames, KeepAliveAndServerFields)
{
	BlockHeader header = keepAliveHeader ();
	EXPECT_EQ (frameLength (header), 64u);
	EXPECT_EQ (frameLength (initialBlockHeader ()), 64u);
	EXPECT_EQ (std::make_tuple (header.sampleRate, header.channelCount, header.frameCount, header.stateCode, header.position),
	           std::make_tuple (48000u, 2u, 0u, 5u, int64_t (0)));

	// The server fields: instance, session, primary, request id, mask, state, spectrum.
	auto fill = [&] (uint64_t stateWord, uint32_t primarySerial, bool stale) {
		fillServerFields (header, 3, 9, stateWord, primarySerial, stale);
		return std::make_tuple (header.instanceSerial, header.sessionId, header.primarySerial, header.requestId,
		                        header.bandMask, header.stateCode, header.spectrumActive);
	};
	EXPECT_EQ (fill (makeStateWord (7, 1, 0b0101), 4, false), std::make_tuple (3u, 9u, 4u, 7u, 5u, 1u, 0u));
	EXPECT_EQ (fill (makeStateWord (8, 2, 16), 0, false), std::make_tuple (3u, 9u, 0u, 8u, 0u, 2u, 1u));
	// A stale processor reads as stalled whatever the state word says.
	EXPECT_EQ (fill (makeStateWord (8, 1, 0b10011), 0, true), std::make_tuple (3u, 9u, 0u, 8u, 0u, 4u, 0u));
	EXPECT_TRUE (isStale (1000, 749, 250));
	EXPECT_FALSE (isStale (1000, 750, 250));
}

TEST (SessionProtocol, OnlyTheExactHandshakeLineThenCommandsInOneReadOrSplit)
{
	const std::string expected = handshakeLine (kToken);
	EXPECT_EQ (expected, "TARVO6 " + kToken + "\n");
	std::string received = expected.substr (0, 30);
	EXPECT_EQ (takeHandshake (received, expected), HandshakeStep::needMore);
	received += expected.substr (30) + "commands";
	EXPECT_EQ (takeHandshake (received, expected), HandshakeStep::accepted);
	EXPECT_EQ (received, "commands");

	std::string eighty (80, 'x');
	EXPECT_EQ (takeHandshake (eighty, expected), HandshakeStep::needMore);
	for (std::string line : {"TARVO6 " + kToken + "\r\n", handshakeLine (std::string (48, 'b')),
	                         "TARVO6 " + kToken.substr (0, 47) + "\n", "TARVO5 " + kToken + "\n", std::string ("\n"),
	                         "TARVO6 " + kToken + "7\n", std::string (81, 'x')})
		EXPECT_EQ (takeHandshake (line, expected), HandshakeStep::refused) << line;
	EXPECT_FALSE (constantTimeEqual ("xbc", "abc", 3));
	EXPECT_FALSE (constantTimeEqual ("abc", "abd", 3));
	EXPECT_TRUE (constantTimeEqual ("abc", "abc", 3));

	Rig rig;
	EXPECT_EQ (rig.send ("TARVO6 " + kToken.substr (0, 10)), Result::keep);
	EXPECT_FALSE (rig.protocol.authenticated ());
	const AuditionCommand first = makeCommand (42, 1, 1, 0b0010, 250.0f, 1000.0f, 6000.0f, 0);
	const std::string second = bytesOf (makeCommand (42, 2, 2, 0b0100, 300.0f, 1500.0f, 6000.5f, 0));
	EXPECT_EQ (rig.send (kToken.substr (10) + "\n" + bytesOf (first) + second.substr (0, 13)), Result::keep);
	const SessionProtocol& protocol = rig.protocol;
	EXPECT_EQ (std::make_tuple (protocol.authenticated (), protocol.sessionId (), rig.sessions.calls, rig.queued (), protocol.pendingBytes ()),
	           std::make_tuple (true, 42u, 1, 1u, size_t (13))); // a partial command waits
	EXPECT_EQ (rig.send (second.substr (13)), Result::keep);
	EXPECT_EQ (rig.queued (), 2u);

	// Two whole commands in one read are taken in order; a spectrum request keeps its mode.
	EXPECT_EQ (rig.send (bytesOf (makeCommand (42, 3, 3, 0, 1000.0f, 0.6f, 0.0f, 1)) +
	                     bytesOf (makeCommand (42, 4, 4, 0b1000, 400.0f, 800.0f, 1000.0f, 0))),
	           Result::keep);
	EXPECT_EQ (rig.queued (), 4u);
	AuditionRequest taken[4];
	for (AuditionRequest& r : taken)
		ASSERT_TRUE (rig.mailbox.tryPop (r));
	auto fields = [] (const AuditionRequest& r) {
		return std::make_tuple (r.sessionId, r.sequence, r.requestId, r.bandMask, r.a, r.b, r.c, r.mode, r.expiry);
	};
	EXPECT_EQ (fields (taken[1]), std::make_tuple (42u, 2u, 2u, 0b0100u, 300.0, 1500.0, 6000.5, 0u, uint64_t (5500)));
	EXPECT_EQ (fields (taken[2]), std::make_tuple (42u, 3u, 3u, 0u, 1000.0, double (0.6f), 0.0, 1u, uint64_t (5500)));
	EXPECT_EQ (fields (taken[3]), std::make_tuple (42u, 4u, 4u, 0b1000u, 400.0, 800.0, 1000.0, 0u, uint64_t (5500)));

	// Ending the session: bytes are bytes again until a new handshake, and the old
	// session's id then ends the new session.
	rig.protocol.endSession ();
	EXPECT_EQ (std::make_pair (protocol.authenticated (), protocol.pendingBytes ()), std::make_pair (false, size_t (0)));
	EXPECT_EQ (rig.send (first), Result::keep);
	rig.protocol.endSession ();
	rig.handshake ();
	EXPECT_EQ (rig.protocol.sessionId (), 43u);
	EXPECT_EQ (rig.send (rig.band (1, 1, 0b0001)), Result::keep); // numbering starts afresh
	EXPECT_EQ (rig.send (first), Result::end);
	Rig wrong;
	EXPECT_EQ (wrong.send ("x\n"), Result::end);
	EXPECT_EQ (wrong.sessions.calls, 0);
}

TEST (SessionProtocol, FieldSequenceAndRequestIdRulesAndTheThirtyThirdCommand)
{
	// Sequence and request id 1 in the session's own id, unless `tamper` changes them.
	const struct
	{
		const char* what;
		bool accepted;
		uint32_t mode, mask;
		float a, b, c;
		void (*tamper) (AuditionCommand&);
	} cases[] = {
	    {"250/300/6000", true, 0, 1, 250.0f, 300.0f, 6000.0f},         {"b 299.9", false, 0, 1, 250.0f, 299.9f, 6000.0f},
	    {"c exactly 1.2 b", true, 0, 1, 250.0f, 1000.0f, 1200.0f},     {"c 1199.9", false, 0, 1, 250.0f, 1000.0f, 1199.9f},
	    {"c 20000", true, 0, 1, 250.0f, 1000.0f, 20000.0f},            {"c 20000.5", false, 0, 1, 250.0f, 1000.0f, 20000.5f},
	    {"a 25", true, 0, 1, 25.0f, 1000.0f, 6000.0f},                 {"a 24.9", false, 0, 1, 24.9f, 1000.0f, 6000.0f},
	    {"a NaN", false, 0, 1, kNan, 1000.0f, 6000.0f},                {"b infinite", false, 0, 1, 250.0f, kInf, 6000.0f},
	    {"c -infinite", false, 0, 1, 250.0f, 1000.0f, -kInf},          {"mask 15", true, 0, 15, 250.0f, 1000.0f, 6000.0f},
	    {"mask 16", false, 0, 16, 250.0f, 1000.0f, 6000.0f},           {"mode 2", false, 2, 2, 250.0f, 1000.0f, 6000.0f},
	    {"mode 2, spectrum fields", false, 2, 0, 1000.0f, 0.6f, 0.0f},
	    {"spectrum", true, 1, 0, 1000.0f, 0.6f, 0.0f},                 {"spectrum b 0.44", true, 1, 0, 1000.0f, 0.44f, 0.0f},
	    {"spectrum b 0.4399", false, 1, 0, 1000.0f, 0.4399f, 0.0f},    {"spectrum b 1.0", true, 1, 0, 1000.0f, 1.0f, 0.0f},
	    {"spectrum b 1.0001", false, 1, 0, 1000.0f, 1.0001f, 0.0f},    {"spectrum a 20", true, 1, 0, 20.0f, 0.6f, 0.0f},
	    {"spectrum a 19.99", false, 1, 0, 19.99f, 0.6f, 0.0f},         {"spectrum a 20000", true, 1, 0, 20000.0f, 0.6f, 0.0f},
	    {"spectrum a 20000.5", false, 1, 0, 20000.5f, 0.6f, 0.0f},     {"spectrum a NaN", false, 1, 0, kNan, 0.6f, 0.0f},
	    {"spectrum b NaN", false, 1, 0, 1000.0f, kNan, 0.0f},          {"spectrum mask 1", false, 1, 1, 1000.0f, 0.6f, 0.0f},
	    {"spectrum c 0.5", false, 1, 0, 1000.0f, 0.6f, 0.5f},          {"spectrum c -0.0", true, 1, 0, 1000.0f, 0.6f, -0.0f},
	    {"spectrum c NaN", true, 1, 0, 1000.0f, 0.6f, kNan},           {"spectrum c -1e-30", false, 1, 0, 1000.0f, 0.6f, -1e-30f},
	    {"magic", false, 0, 2, 250.0f, 1000.0f, 6000.0f, [] (AuditionCommand& c) { c.magic[3] = '1'; }},
	    {"version 5", false, 0, 2, 250.0f, 1000.0f, 6000.0f, [] (AuditionCommand& c) { c.version = 5; }},
	    {"session 0", false, 0, 2, 250.0f, 1000.0f, 6000.0f, [] (AuditionCommand& c) { c.sessionId = 0; }},
	    {"other session", false, 0, 2, 250.0f, 1000.0f, 6000.0f, [] (AuditionCommand& c) { c.sessionId += 1; }},
	    {"sequence 0", false, 0, 2, 250.0f, 1000.0f, 6000.0f, [] (AuditionCommand& c) { c.sequence = 0; }},
	    {"request 0", false, 0, 2, 250.0f, 1000.0f, 6000.0f, [] (AuditionCommand& c) { c.requestId = 0; }},
	};
	for (const auto& c : cases)
	{
		Rig rig;
		rig.handshake ();
		AuditionCommand command = makeCommand (rig.protocol.sessionId (), 1, 1, c.mask, c.a, c.b, c.c, c.mode);
		if (c.tamper)
			c.tamper (command);
		EXPECT_EQ (rig.send (command), c.accepted ? Result::keep : Result::end) << c.what;
		EXPECT_EQ (rig.queued (), c.accepted ? 1u : 0u) << c.what;
	}
	// Zero ids are malformed whatever the session has seen.
	for (uint32_t zero = 0; zero < 3; ++zero)
		EXPECT_FALSE (hasValidFields (makeCommand (zero != 0, zero != 1, zero != 2, 1, 250.0f, 1000.0f, 6000.0f, 0)));

	auto second = [] (const std::function<AuditionCommand (Rig&)>& make) {
		Rig r;
		r.handshake ();
		r.send (r.band (5, 3));
		r.now += 300;
		return r.send (make (r)) == Result::keep ? r.mailbox.requests[1].expiry : 0; // the queued expiry, 0 when refused
	};
	EXPECT_EQ (second ([] (Rig& r) { return r.band (6, 3); }), 5800u); // an identical repeat: a fresh expiry
	EXPECT_EQ (second ([] (Rig& r) { return r.band (6, 4, 0b0100); }), 5800u);
	EXPECT_EQ (second ([] (Rig& r) { return r.band (5, 3); }), 0u);                 // same sequence
	EXPECT_EQ (second ([] (Rig& r) { return r.band (4, 4); }), 0u);                 // lower sequence
	EXPECT_EQ (second ([] (Rig& r) { return r.band (6, 2); }), 0u);                 // lower request id
	EXPECT_EQ (second ([] (Rig& r) { return r.band (6, 3, 0b0100); }), 0u);         // same id, other mask
	EXPECT_EQ (second ([] (Rig& r) { return r.band (6, 3, 0b0010, 251.0f); }), 0u); // same id, other value

	Rig rig;
	rig.handshake ();
	for (uint32_t i = 1; i <= 32; ++i)
		ASSERT_EQ (rig.send (rig.band (i, 1)), Result::keep) << i;
	EXPECT_EQ (rig.send (rig.band (33, 1)), Result::end); // the audio thread took none of them
	EXPECT_EQ (rig.queued (), 32u);
}

TEST (SessionProtocol, AClearIsAcknowledgedOnlyByANewerFullAudioRequest)
{
	Rig rig;
	AuditionEngine engine;
	auto state = [&] {
		engine.beginBlock (rig.mailbox, 48000.0, rig.now, false, 512);
		return engine.state ();
	};
	rig.handshake ();
	rig.mailbox.activeSessionId = rig.protocol.sessionId ();
	rig.send (rig.band (1, 5));
	EXPECT_EQ (state (), AuditionState::active);
	rig.mailbox.primaryChangeCount.fetch_add (1); // a clear, noticed at the next command
	EXPECT_EQ (state (), AuditionState::cleared);
	rig.send (rig.band (2, 5));       // the old request id does not acknowledge
	rig.send (rig.band (3, 6));       // newer, but not full audio
	rig.send (rig.band (4, 6, 0b0010)); // a repeat of it
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 1u);
	EXPECT_EQ (state (), AuditionState::cleared);
	rig.send (rig.band (5, 7, 0)); // newer and full audio
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 0u);
	EXPECT_EQ (state (), AuditionState::fullAudio);

	// A second clear, then the old acknowledgement repeated: the clear holds until a
	// newer request id arrives.
	rig.mailbox.primaryChangeCount.fetch_add (1);
	rig.send (rig.band (6, 7, 0));
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 1u);
	EXPECT_EQ (state (), AuditionState::cleared);
	rig.send (rig.band (7, 8, 0));
	EXPECT_EQ (state (), AuditionState::fullAudio);

	// A change counted meanwhile by the audio thread is not lost.
	rig.mailbox.primaryChangeCount = 2;
	rig.send (rig.band (8, 9, 0));
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 0u);
	rig.mailbox.primaryChangeCount = 3;
	rig.send (rig.band (9, 9, 0));
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 3u);
	// An acknowledgement the queue cannot take acknowledges nothing.
	rig.mailbox.writeIndex = rig.mailbox.readIndex.load () + 32;
	EXPECT_EQ (rig.send (rig.band (10, 10, 0)), Result::end);
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 3u);
}

TEST (AuditionMailbox, ThirtyTwoInOrderAcrossTheIndexWrapAndBetweenThreads)
{
	auto mailbox = std::make_unique<AuditionMailbox> ();
	EXPECT_EQ (std::make_pair (mailbox->stateWord.load (), mailbox->staleLimitMs.load ()), std::make_pair (uint64_t (0x500), 250u));
	EXPECT_EQ (makeStateWord (7, 1, 16), (uint64_t (7) << 32) | 0x110u);

	// A random sequence against a shadow queue, starting near the 32-bit wrap.
	mailbox->writeIndex = mailbox->readIndex = 0xFFFFFFF0u;
	std::deque<uint32_t> shadow;
	std::mt19937 random (42);
	uint32_t next = 1;
	for (int step = 0; step < 20000; ++step)
	{
		AuditionRequest r;
		if (random () % 2)
		{
			r.sequence = next;
			const bool pushed = mailbox->tryPush (r);
			ASSERT_EQ (pushed, shadow.size () < 32);
			if (pushed)
				shadow.push_back (next++);
		}
		else
		{
			const bool popped = mailbox->tryPop (r);
			ASSERT_EQ (popped, !shadow.empty ());
			if (popped)
			{
				ASSERT_EQ (r.sequence, shadow.front ());
				shadow.pop_front ();
			}
		}
	}

	// The server thread fills, the audio thread drains: every request once, in order, whole.
	mailbox->readIndex = mailbox->writeIndex.load ();
	constexpr uint32_t kRequests = 200000;
	std::vector<uint32_t> problems;
	std::thread consumer ([&] {
		AuditionRequest r;
		for (uint32_t expected = next; expected < next + kRequests;)
		{
			if (!mailbox->tryPop (r))
			{
				std::this_thread::yield ();
				continue;
			}
			if (r.sequence != expected || r.requestId != expected || r.a != double (expected) ||
			    r.expiry != uint64_t (expected) * 3)
				problems.push_back (expected);
			++expected;
		}
	});
	for (uint32_t n = next; n < next + kRequests;)
	{
		if (mailbox->tryPush ({0, n, n, 0, double (n), 1000.0, 6000.0, uint64_t (n) * 3}))
			++n;
		else
			std::this_thread::yield ();
	}
	consumer.join ();
	EXPECT_TRUE (problems.empty ()) << problems.size () << " requests arrived torn or out of order";
}
