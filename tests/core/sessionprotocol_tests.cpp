#include "audition/auditionengine.h"
#include "server/sessionprotocol.h"
#include "server/wireprotocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

using namespace tarvo;

namespace {

const std::string kToken (48, '7');

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

	SessionProtocol::Result send (const std::string& bytes)
	{
		return protocol.receive (bytes.data (), bytes.size (), mailbox, sessions, now);
	}
	SessionProtocol::Result send (const AuditionCommand& command)
	{
		return send (std::string (reinterpret_cast<const char*> (&command), sizeof command));
	}
	SessionProtocol::Result handshake () { return send (handshakeLine (kToken)); }
	AuditionCommand band (uint32_t sequence, uint32_t requestId, uint32_t mask = 0b0010, float a = 250.0f,
	                      float b = 1000.0f, float c = 6000.0f)
	{
		return makeCommand (protocol.sessionId (), sequence, requestId, mask, a, b, c, 0);
	}
	AuditionCommand spectrum (uint32_t sequence, uint32_t requestId, float centre, float width, float c = 0.0f,
	                          uint32_t mask = 0)
	{
		return makeCommand (protocol.sessionId (), sequence, requestId, mask, centre, width, c, 1);
	}
	uint32_t queued () const { return mailbox.writeIndex - mailbox.readIndex; }

	SessionProtocol protocol;
	AuditionMailbox mailbox;
	Sessions sessions;
	uint64_t now {5000};
};

using Result = SessionProtocol::Result;
const float kNan = std::numeric_limits<float>::quiet_NaN ();
const float kInf = std::numeric_limits<float>::infinity ();

} // namespace

TEST (SessionProtocol, HandshakeAndCommandsInOneRead)
{
	Rig rig;
	const AuditionCommand first = makeCommand (42, 1, 1, 0b0010, 250.0f, 1000.0f, 6000.0f, 0);
	const AuditionCommand second = makeCommand (42, 2, 2, 0b0100, 300.0f, 1500.0f, 6000.5f, 0);
	std::string bytes = handshakeLine (kToken);
	bytes.append (reinterpret_cast<const char*> (&first), 40);
	bytes.append (reinterpret_cast<const char*> (&second), 40);
	bytes.append ("0123456789"); // a partial third waits
	EXPECT_EQ (rig.send (bytes), Result::keep);
	EXPECT_TRUE (rig.protocol.authenticated ());
	EXPECT_EQ (rig.protocol.sessionId (), 42u);
	EXPECT_EQ (rig.queued (), 2u);
	EXPECT_EQ (rig.protocol.pendingBytes (), 10u);

	AuditionRequest request;
	ASSERT_TRUE (rig.mailbox.tryPop (request));
	ASSERT_TRUE (rig.mailbox.tryPop (request));
	EXPECT_EQ (request.sessionId, 42u);
	EXPECT_EQ (request.sequence, 2u);
	EXPECT_EQ (request.requestId, 2u);
	EXPECT_EQ (request.bandMask, 0b0100u);
	EXPECT_EQ (request.c, 6000.5);
	EXPECT_EQ (request.expiry, 5500u);
	EXPECT_EQ (rig.sessions.calls, 1);
}

TEST (SessionProtocol, CommandsSplitAcrossReads)
{
	Rig rig;
	rig.handshake ();
	const AuditionCommand command = rig.band (1, 1);
	const std::string bytes (reinterpret_cast<const char*> (&command), 40);
	EXPECT_EQ (rig.send (bytes.substr (0, 13)), Result::keep);
	EXPECT_EQ (rig.queued (), 0u);
	EXPECT_EQ (rig.send (bytes.substr (13)), Result::keep);
	EXPECT_EQ (rig.queued (), 1u);
}

TEST (SessionProtocol, NothingBeforeTheHandshakeCounts)
{
	Rig rig;
	EXPECT_EQ (rig.send ("TARVO6 " + kToken.substr (0, 10)), Result::keep);
	EXPECT_FALSE (rig.protocol.authenticated ());
	EXPECT_EQ (rig.send ("x\n"), Result::end);
	EXPECT_EQ (rig.sessions.calls, 0);
}

TEST (SessionProtocol, FieldRulesAtTheirBoundaries)
{
	struct Case
	{
		const char* what;
		bool accepted;
		AuditionCommand (*make) (Rig&);
	};
	const Case cases[] = {
	    {"250/300/6000", true, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 300.0f, 6000.0f); }},
	    {"b 299.9", false, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 299.9f, 6000.0f); }},
	    {"c exactly 1.2 b", true, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 1000.0f, 1200.0f); }},
	    {"c 20000", true, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 1000.0f, 20000.0f); }},
	    {"c 20000.5", false, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 1000.0f, 20000.5f); }},
	    {"a 25", true, [] (Rig& r) { return r.band (1, 1, 1, 25.0f, 1000.0f, 6000.0f); }},
	    {"a 24.9", false, [] (Rig& r) { return r.band (1, 1, 1, 24.9f, 1000.0f, 6000.0f); }},
	    {"a NaN", false, [] (Rig& r) { return r.band (1, 1, 1, kNan, 1000.0f, 6000.0f); }},
	    {"b infinite", false, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, kInf, 6000.0f); }},
	    {"c -infinite", false, [] (Rig& r) { return r.band (1, 1, 1, 250.0f, 1000.0f, -kInf); }},
	    {"mask 15", true, [] (Rig& r) { return r.band (1, 1, 15); }},
	    {"mask 16", false, [] (Rig& r) { return r.band (1, 1, 16); }},
	    {"spectrum", true, [] (Rig& r) { return r.spectrum (1, 1, 1000.0f, 0.6f); }},
	    {"spectrum b 0.44", true, [] (Rig& r) { return r.spectrum (1, 1, 1000.0f, 0.44f); }},
	    {"spectrum b 0.4399", false, [] (Rig& r) { return r.spectrum (1, 1, 1000.0f, 0.4399f); }},
	    {"spectrum b 1.0", true, [] (Rig& r) { return r.spectrum (1, 1, 1000.0f, 1.0f); }},
	    {"spectrum b 1.0001", false, [] (Rig& r) { return r.spectrum (1, 1, 1000.0f, 1.0001f); }},
	    {"spectrum a 20", true, [] (Rig& r) { return r.spectrum (1, 1, 20.0f, 0.6f); }},
	    {"spectrum a 19.99", false, [] (Rig& r) { return r.spectrum (1, 1, 19.99f, 0.6f); }},
	    {"spectrum a 20000", true, [] (Rig& r) { return r.spectrum (1, 1, 20000.0f, 0.6f); }},
	    {"spectrum a NaN", false, [] (Rig& r) { return r.spectrum (1, 1, kNan, 0.6f); }},
	    {"spectrum b NaN", false, [] (Rig& r) { return r.spectrum (1, 1, 1000.0f, kNan); }},
	    {"spectrum mask 1", false, [] (Rig& r) { return r.spectrum (1, 1, 1000.0f, 0.6f, 0.0f, 1); }},
	    {"spectrum c 0.5", false, [] (Rig& r) { return r.spectrum (1, 1, 1000.0f, 0.6f, 0.5f); }},
	    {"spectrum c -0.0", true, [] (Rig& r) { return r.spectrum (1, 1, 1000.0f, 0.6f, -0.0f); }},
	    {"spectrum c NaN", true, [] (Rig& r) { return r.spectrum (1, 1, 1000.0f, 0.6f, kNan); }},
	    {"spectrum c -1e-30", false, [] (Rig& r) { return r.spectrum (1, 1, 1000.0f, 0.6f, -1e-30f); }},
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
		const Result result = rig.send (c.make (rig));
		EXPECT_EQ (result, c.accepted ? Result::keep : Result::end) << c.what;
		EXPECT_EQ (rig.queued (), c.accepted ? 1u : 0u) << c.what;
	}
}

TEST (SessionProtocol, SequenceAndRequestIdRules)
{
	Rig rig;
	rig.handshake ();
	ASSERT_EQ (rig.send (rig.band (5, 3)), Result::keep);
	// An identical repeat with a higher sequence is accepted, with a fresh expiry.
	rig.now += 300;
	ASSERT_EQ (rig.send (rig.band (6, 3)), Result::keep);
	AuditionRequest request;
	rig.mailbox.tryPop (request);
	rig.mailbox.tryPop (request);
	EXPECT_EQ (request.expiry, 5800u);

	auto refused = [] (const std::function<AuditionCommand (Rig&)>& second) {
		Rig r;
		r.handshake ();
		r.send (r.band (5, 3));
		return r.send (second (r)) == Result::end;
	};
	EXPECT_TRUE (refused ([] (Rig& r) { return r.band (5, 3); }));                // same sequence
	EXPECT_TRUE (refused ([] (Rig& r) { return r.band (4, 4); }));                // lower sequence
	EXPECT_TRUE (refused ([] (Rig& r) { return r.band (6, 2); }));                // lower request id
	EXPECT_TRUE (refused ([] (Rig& r) { return r.band (6, 3, 0b0100); }));        // same id, other content
	EXPECT_TRUE (refused ([] (Rig& r) { return r.band (6, 3, 0b0010, 251.0f); })); // same id, other content
	EXPECT_FALSE (refused ([] (Rig& r) { return r.band (6, 4, 0b0100); }));       // a new request
}

TEST (SessionProtocol, TheThirtyThirdUntakenCommandEndsTheSession)
{
	Rig rig;
	rig.handshake ();
	for (uint32_t i = 1; i <= 32; ++i)
		ASSERT_EQ (rig.send (rig.band (i, 1)), Result::keep) << i;
	EXPECT_EQ (rig.send (rig.band (33, 1)), Result::end);
	EXPECT_EQ (rig.queued (), 32u);
}

TEST (SessionProtocol, AClearIsAcknowledgedOnlyByANewerFullAudioRequest)
{
	Rig rig;
	rig.handshake ();
	rig.send (rig.band (1, 5));
	rig.mailbox.primaryChangeCount = 1; // noticed at the next command
	rig.send (rig.band (2, 5, 0b0010));
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 1u);
	rig.send (rig.band (3, 5, 0b0010)); // the old request id does not acknowledge
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 1u);
	rig.send (rig.band (4, 6, 0b0010)); // newer, but not full audio
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 1u);
	rig.send (rig.band (5, 7, 0)); // newer and full audio
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 0u);

	// A change counted meanwhile by the audio thread is not lost.
	rig.mailbox.primaryChangeCount = 2;
	rig.send (rig.band (6, 8, 0));
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 0u);
	rig.mailbox.primaryChangeCount = 3;
	rig.send (rig.band (7, 8, 0)); // the same full-audio request again: recorded id is 8, not newer
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 3u);
}

TEST (SessionProtocol, AStaleRepeatNeverAcknowledgesALaterClear)
{
	// Request, clear, acknowledge, clear again, then the old acknowledgement repeated: the
	// second clear holds until a newer request id arrives.
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
	rig.mailbox.primaryChangeCount.fetch_add (1);
	EXPECT_EQ (state (), AuditionState::cleared);
	rig.send (rig.band (2, 6, 0));
	EXPECT_EQ (state (), AuditionState::fullAudio);
	rig.mailbox.primaryChangeCount.fetch_add (1);
	rig.send (rig.band (3, 6, 0)); // the same acknowledgement, a new sequence
	EXPECT_EQ (rig.mailbox.primaryChangeCount.load (), 1u);
	EXPECT_EQ (state (), AuditionState::cleared);
	EXPECT_EQ (state (), AuditionState::cleared);
	rig.send (rig.band (4, 7, 0));
	EXPECT_EQ (state (), AuditionState::fullAudio);
}

TEST (SessionProtocol, EndingASessionWaitsForANewHandshake)
{
	Rig rig;
	rig.handshake ();
	rig.send (rig.band (1, 9));
	rig.protocol.endSession ();
	EXPECT_FALSE (rig.protocol.authenticated ());
	const AuditionCommand old = rig.band (2, 9);
	EXPECT_EQ (rig.send (std::string (reinterpret_cast<const char*> (&old), 40)), Result::keep); // just bytes now
	EXPECT_EQ (rig.protocol.pendingBytes (), 40u);
	rig.protocol.endSession ();
	rig.handshake ();
	EXPECT_EQ (rig.protocol.sessionId (), 43u);
	EXPECT_EQ (rig.send (old), Result::end); // the old session's id ends the new session
}
