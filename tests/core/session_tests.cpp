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
#include <vector>

using namespace tarvo;

namespace {

const std::string kToken (48, '7');
const float kNan = std::numeric_limits<float>::quiet_NaN ();
const float kInf = std::numeric_limits<float>::infinity ();
using Result = SessionProtocol::Result;

struct Sessions : SessionProtocol::Authenticator
{
	uint32_t next {41};
	int calls {0};
	uint32_t authenticate () noexcept override
	{
		++calls;
		return ++next;
	}
};

struct Rig
{
	Rig () : protocol (handshakeLine (kToken)) {}

	Result send (const std::string& bytes) { return protocol.receive (bytes.data (), bytes.size (), mailbox, sessions, now); }
	Result send (const AuditionCommand& command)
	{
		return send (std::string (reinterpret_cast<const char*> (&command), sizeof command));
	}
	Result handshake () { return send (handshakeLine (kToken)); }
	AuditionCommand band (uint32_t sequence, uint32_t requestId, uint32_t mask = 0b0010, float a = 250.0f,
	                      float b = 1000.0f, float c = 6000.0f)
	{
		return makeCommand (protocol.sessionId (), sequence, requestId, mask, a, b, c, 0);
	}
	AuditionCommand spectrum (float centre, float width, float c = 0.0f, uint32_t mask = 0)
	{
		return makeCommand (protocol.sessionId (), 1, 1, mask, centre, width, c, 1);
	}
	uint32_t queued () const { return mailbox.writeIndex - mailbox.readIndex; }

	SessionProtocol protocol;
	AuditionMailbox mailbox;
	Sessions sessions;
	uint64_t now {5000};
};

} // namespace

TEST (Handshake, OnlyTheExactLineWithinEightyBytes)
{
	const std::string expected = handshakeLine (kToken);
	EXPECT_EQ (expected, "TARVO6 " + kToken + "\n");
	std::string received = expected.substr (0, 30);
	EXPECT_EQ (takeHandshake (received, expected), HandshakeStep::needMore);
	received += expected.substr (30) + "commands";
	EXPECT_EQ (takeHandshake (received, expected), HandshakeStep::accepted);
	EXPECT_EQ (received, "commands");

	std::string eighty (80, 'x'), eightyOne (81, 'x');
	EXPECT_EQ (takeHandshake (eighty, expected), HandshakeStep::needMore);
	EXPECT_EQ (takeHandshake (eightyOne, expected), HandshakeStep::refused);
	for (std::string line : {"TARVO6 " + kToken + "\r\n", handshakeLine (std::string (48, 'b')),
	                         "TARVO6 " + kToken.substr (0, 47) + "\n", "TARVO5 " + kToken + "\n", std::string ("\n"),
	                         "TARVO6 " + kToken + "7\n"})
		EXPECT_EQ (takeHandshake (line, expected), HandshakeStep::refused) << line;
	EXPECT_FALSE (constantTimeEqual ("xbc", "abc", 3));
	EXPECT_FALSE (constantTimeEqual ("abc", "abd", 3));
	EXPECT_TRUE (constantTimeEqual ("abc", "abc", 3));
}

TEST (Frames, KeepAliveAndServerFields)
{
	BlockHeader header = keepAliveHeader ();
	EXPECT_EQ (frameLength (header), 64u);
	EXPECT_EQ (header.sampleRate, 48000u);
	EXPECT_EQ (header.channelCount, 2u);
	EXPECT_EQ (header.frameCount, 0u);
	EXPECT_EQ (header.stateCode, 5u);
	EXPECT_EQ (header.position, 0);

	fillServerFields (header, 3, 9, makeStateWord (7, 1, 0b0101), 4, false);
	EXPECT_EQ (header.instanceSerial, 3u);
	EXPECT_EQ (header.sessionId, 9u);
	EXPECT_EQ (header.primarySerial, 4u);
	EXPECT_EQ (header.requestId, 7u);
	EXPECT_EQ (header.bandMask, 5u);
	EXPECT_EQ (header.stateCode, 1u);
	EXPECT_EQ (header.spectrumActive, 0u);
	fillServerFields (header, 3, 9, makeStateWord (8, 2, 16), 0, false);
	EXPECT_EQ (header.spectrumActive, 1u);
	EXPECT_EQ (header.bandMask, 0u);
	EXPECT_EQ (header.stateCode, 2u);
	// A stale processor reads as stalled whatever the state word says.
	fillServerFields (header, 3, 9, makeStateWord (8, 1, 0b10011), 0, true);
	EXPECT_EQ (header.stateCode, 4u);
	EXPECT_EQ (header.spectrumActive, 0u);
	EXPECT_EQ (header.bandMask, 0u);
	EXPECT_EQ (header.requestId, 8u);
	EXPECT_TRUE (isStale (1000, 749, 250));
	EXPECT_FALSE (isStale (1000, 750, 250));
	EXPECT_EQ (frameLength (initialBlockHeader ()), 64u);
}

TEST (SessionProtocol, HandshakeAndCommandsInOneReadOrSplit)
{
	Rig rig;
	EXPECT_EQ (rig.send ("TARVO6 " + kToken.substr (0, 10)), Result::keep);
	EXPECT_FALSE (rig.protocol.authenticated ());
	const AuditionCommand first = makeCommand (42, 1, 1, 0b0010, 250.0f, 1000.0f, 6000.0f, 0);
	const AuditionCommand second = makeCommand (42, 2, 2, 0b0100, 300.0f, 1500.0f, 6000.5f, 0);
	std::string bytes = kToken.substr (10) + "\n";
	bytes.append (reinterpret_cast<const char*> (&first), 40);
	bytes.append (reinterpret_cast<const char*> (&second), 13);
	EXPECT_EQ (rig.send (bytes), Result::keep);
	EXPECT_TRUE (rig.protocol.authenticated ());
	EXPECT_EQ (rig.protocol.sessionId (), 42u);
	EXPECT_EQ (rig.sessions.calls, 1);
	EXPECT_EQ (rig.queued (), 1u);
	EXPECT_EQ (rig.protocol.pendingBytes (), 13u); // a partial command waits
	EXPECT_EQ (rig.send (std::string (reinterpret_cast<const char*> (&second) + 13, 27)), Result::keep);
	EXPECT_EQ (rig.queued (), 2u);

	// Two whole commands in one read are taken in order.
	const AuditionCommand third = makeCommand (42, 3, 3, 0b0001, 250.0f, 1000.0f, 6000.0f, 0);
	const AuditionCommand fourth = makeCommand (42, 4, 4, 0b1000, 400.0f, 800.0f, 1000.0f, 0);
	std::string two (reinterpret_cast<const char*> (&third), 40);
	two.append (reinterpret_cast<const char*> (&fourth), 40);
	EXPECT_EQ (rig.send (two), Result::keep);
	EXPECT_EQ (rig.queued (), 4u);
	AuditionRequest request, last;
	ASSERT_TRUE (rig.mailbox.tryPop (request));
	ASSERT_TRUE (rig.mailbox.tryPop (request));
	ASSERT_TRUE (rig.mailbox.tryPop (last));
	ASSERT_TRUE (rig.mailbox.tryPop (last));
	EXPECT_EQ (last.sequence, 4u);
	EXPECT_EQ (last.bandMask, 0b1000u);
	EXPECT_EQ (last.c, 1000.0);
	EXPECT_EQ (request.sessionId, 42u);
	EXPECT_EQ (request.sequence, 2u);
	EXPECT_EQ (request.requestId, 2u);
	EXPECT_EQ (request.bandMask, 0b0100u);
	EXPECT_EQ (request.a, 300.0);
	EXPECT_EQ (request.b, 1500.0);
	EXPECT_EQ (request.c, 6000.5);
	EXPECT_EQ (request.mode, 0u);
	EXPECT_EQ (request.expiry, 5500u);

	// Ending the session: bytes are bytes again until a new handshake, and the old
	// session's id then ends the new session.
	rig.protocol.endSession ();
	EXPECT_FALSE (rig.protocol.authenticated ());
	EXPECT_EQ (rig.protocol.pendingBytes (), 0u);
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

TEST (SessionProtocol, FieldRulesAtTheirBoundaries)
{
	const struct
	{
		const char* what;
		bool accepted;
		AuditionCommand (*make) (Rig&);
	} cases[] = {
	    {"250/300/6000", true, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 300.0f, 6000.0f); }},
	    {"b 299.9", false, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 299.9f, 6000.0f); }},
	    {"c exactly 1.2 b", true, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 1000.0f, 1200.0f); }},
	    {"c 1199.9", false, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 1000.0f, 1199.9f); }},
	    {"c 20000", true, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 1000.0f, 20000.0f); }},
	    {"c 20000.5", false, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 1000.0f, 20000.5f); }},
	    {"a 25", true, [] (Rig& r) { return r.band (1, 1, 1, 25.0f, 1000.0f, 6000.0f); }},
	    {"a 24.9", false, [] (Rig& r) { return r.band (1, 1, 1, 24.9f, 1000.0f, 6000.0f); }},
	    {"a NaN", false, [] (Rig& r) { return r.band (1, 1, 1, kNan, 1000.0f, 6000.0f); }},
	    {"b infinite", false, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, kInf, 6000.0f); }},
	    {"c -infinite", false, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 1000.0f, -kInf); }},
	    {"mask 15", true, [] (Rig& r) { return r.band (1, 1, 15); }},
	    {"mask 16", false, [] (Rig& r) { return r.band (1, 1, 16); }},
	    {"spectrum", true, [] (Rig& r) { return r.spectrum (1000.0f, 0.6f); }},
	    {"spectrum b 0.44", true, [] (Rig& r) { return r.spectrum (1000.0f, 0.44f); }},
	    {"spectrum b 0.4399", false, [] (Rig& r) { return r.spectrum (1000.0f, 0.4399f); }},
	    {"spectrum b 1.0", true, [] (Rig& r) { return r.spectrum (1000.0f, 1.0f); }},
	    {"spectrum b 1.0001", false, [] (Rig& r) { return r.spectrum (1000.0f, 1.0001f); }},
	    {"spectrum a 20", true, [] (Rig& r) { return r.spectrum (20.0f, 0.6f); }},
	    {"spectrum a 19.99", false, [] (Rig& r) { return r.spectrum (19.99f, 0.6f); }},
	    {"spectrum a 20000", true, [] (Rig& r) { return r.spectrum (20000.0f, 0.6f); }},
	    {"spectrum a 20000.5", false, [] (Rig& r) { return r.spectrum (20000.5f, 0.6f); }},
	    {"spectrum a NaN", false, [] (Rig& r) { return r.spectrum (kNan, 0.6f); }},
	    {"spectrum b NaN", false, [] (Rig& r) { return r.spectrum (1000.0f, kNan); }},
	    {"spectrum mask 1", false, [] (Rig& r) { return r.spectrum (1000.0f, 0.6f, 0.0f, 1); }},
	    {"spectrum c 0.5", false, [] (Rig& r) { return r.spectrum (1000.0f, 0.6f, 0.5f); }},
	    {"spectrum c -0.0", true, [] (Rig& r) { return r.spectrum (1000.0f, 0.6f, -0.0f); }},
	    {"spectrum c NaN", true, [] (Rig& r) { return r.spectrum (1000.0f, 0.6f, kNan); }},
	    {"spectrum c -1e-30", false, [] (Rig& r) { return r.spectrum (1000.0f, 0.6f, -1e-30f); }},
	    {"mode 2", false, [] (Rig& r) { auto c = r.band (1, 1); c.mode = 2; return c; }},
	    {"magic", false, [] (Rig& r) { auto c = r.band (1, 1); c.magic[3] = '1'; return c; }},
	    {"version 5", false, [] (Rig& r) { auto c = r.band (1, 1); c.version = 5; return c; }},
	    {"session 0", false, [] (Rig& r) { auto c = r.band (1, 1); c.sessionId = 0; return c; }},
	    {"other session", false, [] (Rig& r) { auto c = r.band (1, 1); c.sessionId += 1; return c; }},
	    {"sequence 0", false, [] (Rig& r) { return r.band (0, 1); }},
	    {"request 0", false, [] (Rig& r) { return r.band (1, 0); }},
	};
	for (const auto& c : cases)
	{
		Rig rig;
		rig.handshake ();
		EXPECT_EQ (rig.send (c.make (rig)), c.accepted ? Result::keep : Result::end) << c.what;
		EXPECT_EQ (rig.queued (), c.accepted ? 1u : 0u) << c.what;
	}
	// Zero ids are malformed whatever the session has seen.
	for (uint32_t zero = 0; zero < 3; ++zero)
		EXPECT_FALSE (hasValidFields (makeCommand (zero != 0, zero != 1, zero != 2, 1, 250.0f, 1000.0f, 6000.0f, 0)));
}

TEST (SessionProtocol, SequenceAndRequestIdRulesAndTheThirtyThirdCommand)
{
	auto second = [] (const std::function<AuditionCommand (Rig&)>& make) {
		Rig r;
		r.handshake ();
		r.send (r.band (5, 3));
		r.now += 300;
		const Result result = r.send (make (r));
		AuditionRequest request;
		while (r.mailbox.tryPop (request))
		{
		}
		return result == Result::keep ? request.expiry : 0; // the queued expiry, 0 when refused
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
	EXPECT_EQ (mailbox->stateWord.load (), 0x500u);
	EXPECT_EQ (mailbox->staleLimitMs.load (), 250u);
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
	for (AuditionRequest left; mailbox->tryPop (left);)
	{
	}
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
		AuditionRequest r;
		r.sequence = r.requestId = n;
		r.a = double (n);
		r.expiry = uint64_t (n) * 3;
		if (mailbox->tryPush (r))
			++n;
		else
			std::this_thread::yield ();
	}
	consumer.join ();
	EXPECT_TRUE (problems.empty ()) << problems.size () << " requests arrived torn or out of order";
}
