#include "audition/auditionengine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>
#include <limits>

using namespace tarvo;

TEST (AuditionEngine, StaleLimitIsTwiceTheBlockPlusFiftyButAtLeast250)
{
	EXPECT_EQ (AuditionEngine::staleLimitFor (512, 48000.0), 250u);    // 71.3 raised to 250
	EXPECT_EQ (AuditionEngine::staleLimitFor (16384, 44100.0), 793u);  // 793.0 truncated
	EXPECT_EQ (AuditionEngine::staleLimitFor (8192, 8000.0), 2098u);   // 2048 + 50
	EXPECT_EQ (AuditionEngine::staleLimitFor (512, std::nan ("")), 250u);
	EXPECT_EQ (AuditionEngine::staleLimitFor (512, 0.0), UINT32_MAX);  // infinite duration saturates
}

TEST (AuditionEngine, BeginBlockPublishesTimeAndLimit)
{
	AuditionEngine engine;
	AuditionMailbox mailbox;
	engine.beginBlock (mailbox, 44100.0, 123456, false, 16384);
	EXPECT_EQ (mailbox.lastProcessMs.load (), 123456u);
	EXPECT_EQ (mailbox.staleLimitMs.load (), 793u);
	engine.beginBlock (mailbox, 48000.0, 123460, false, 512);
	EXPECT_EQ (mailbox.lastProcessMs.load (), 123460u);
	EXPECT_EQ (mailbox.staleLimitMs.load (), 250u);
}

namespace {

/** An engine at 48 kHz with 512-frame blocks, a session 1 and a clock the test moves. */
struct EngineRig
{
	EngineRig () { mailbox.activeSessionId = 1; }

	void request (uint32_t requestId, uint32_t mask, uint32_t mode = 0, double a = 250.0, double b = 1000.0,
	              double c = 6000.0, uint32_t session = 1)
	{
		AuditionRequest r;
		r.sessionId = session;
		r.sequence = ++sequence;
		r.requestId = requestId;
		r.bandMask = mask;
		r.a = a;
		r.b = b;
		r.c = c;
		r.mode = mode;
		r.expiry = now + 500;
		ASSERT_TRUE (mailbox.tryPush (r));
	}
	uint32_t block (bool suspend = false, int32_t frames = 512, double rate = 48000.0)
	{
		engine.beginBlock (mailbox, rate, now, suspend, frames);
		return uint32_t (engine.state ());
	}
	/** Processes the block's audio too, so fades advance. */
	void audio (int32_t frames = 512)
	{
		std::vector<double> buffer (size_t (frames), 0.1);
		const double* in[1] = {buffer.data ()};
		double* out[1] = {buffer.data ()};
		if (!engine.filters ().isIdle ())
			engine.filters ().process (in, out, 1, frames, 0);
	}
	uint64_t word () const { return mailbox.stateWord.load (); }
	/** Lets time pass in 10 ms blocks, as a host playing along would; returns the last state. */
	uint32_t play (uint64_t ms)
	{
		uint32_t state = 0;
		for (uint64_t end = now + ms; now < end;)
		{
			now += 10;
			state = block ();
		}
		return state;
	}

	AuditionEngine engine;
	AuditionMailbox mailbox;
	uint64_t now {100000};
	uint32_t sequence {0};
};

} // namespace

TEST (AuditionEngine, ARequestIsInForceInTheBlockItArrives)
{
	EngineRig rig;
	rig.request (7, 0b0010);
	EXPECT_EQ (rig.block (), 1u);
	EXPECT_EQ (rig.word (), makeStateWord (7, 1, 2));
	EXPECT_FALSE (rig.engine.filters ().isIdle ());
	EXPECT_EQ (rig.engine.filters ().selection (), 2u);
}

TEST (AuditionEngine, RepeatsKeepItAliveAndItExpiresAtFiveHundredMilliseconds)
{
	EngineRig rig;
	rig.request (3, 0b0100);
	uint64_t lastRepeat = rig.now;
	for (int step = 0; step < 300; ++step) // about 3.2 s of 512-frame blocks
	{
		if (rig.now - lastRepeat >= 400)
		{
			rig.request (3, 0b0100);
			lastRepeat = rig.now;
		}
		ASSERT_EQ (rig.block (), 1u) << "at " << rig.now;
		rig.now += 10;
	}
	// The repeats stop: in force until the first block at or after the expiry.
	const uint64_t expiry = lastRepeat + 500;
	while (rig.now + 10 < expiry)
	{
		ASSERT_EQ (rig.block (), 1u);
		rig.now += 10;
	}
	rig.now = expiry - 1;
	EXPECT_EQ (rig.block (), 1u);
	rig.now = expiry;
	EXPECT_EQ (rig.block (), 2u);
	EXPECT_EQ (rig.word (), makeStateWord (3, 2, 0));

	// A late repeat of the same request stays retired; a newer request id plays at once.
	rig.now += 10;
	rig.request (3, 0b0100);
	EXPECT_EQ (rig.block (), 2u);
	rig.now += 10;
	rig.request (4, 0b0100);
	EXPECT_EQ (rig.block (), 1u);
	EXPECT_EQ (rig.word (), makeStateWord (4, 1, 4));
}

TEST (AuditionEngine, FullAudioRequestsAndTheAllBandsMask)
{
	EngineRig rig;
	rig.request (1, 15);
	EXPECT_EQ (rig.block (), 0u);
	EXPECT_EQ (rig.word (), makeStateWord (1, 0, 0));
	EXPECT_TRUE (rig.engine.filters ().isIdle ());

	rig.request (2, 0);
	EXPECT_EQ (rig.block (), 0u);
	EXPECT_EQ (rig.play (600), 0u); // a full-audio request that runs out never asked for anything
}

TEST (AuditionEngine, SpectrumRequests)
{
	EngineRig rig;
	rig.request (1, 0, 1, 1000.0, 0.6, 0.0);
	EXPECT_EQ (rig.block (), 1u);
	EXPECT_EQ (rig.word (), makeStateWord (1, 1, 16));
	EXPECT_EQ (rig.engine.filters ().selection (), 16u);

	// Width 1.0: reported as a spectrum audition, heard as the input.
	EngineRig open;
	open.request (1, 0, 1, 1000.0, 1.0, 0.0);
	EXPECT_EQ (open.block (), 1u);
	EXPECT_EQ (open.engine.currentSelection (), 16u);
	EXPECT_TRUE (open.engine.filters ().isIdle ());

	// Expired, the bank returns to the default crossovers rather than the spectrum values.
	EXPECT_EQ (rig.play (500), 2u);
	EXPECT_EQ (rig.engine.filters ().selection (), 0u);
}

TEST (AuditionEngine, OfflineAndRecordingSuspendAtOnce)
{
	EngineRig rig;
	rig.request (5, 0b0001);
	EXPECT_EQ (rig.block (), 1u);
	rig.audio ();
	EXPECT_EQ (rig.block (true), 3u);
	EXPECT_TRUE (rig.engine.filters ().isIdle ()); // reset, no fade
	EXPECT_EQ (rig.word (), makeStateWord (5, 3, 0));
	rig.now += 10;
	EXPECT_EQ (rig.block (), 2u); // the request that was playing stays retired
}

TEST (AuditionEngine, AStalledHostResetsTheBank)
{
	EngineRig rig;
	EXPECT_EQ (rig.block (), 0u); // the first call is never stalled
	rig.request (1, 0b0001);
	rig.now += 250;
	EXPECT_EQ (rig.block (), 1u); // 250 ms is the limit, not past it
	rig.audio ();
	rig.now += 251;
	EXPECT_EQ (rig.block (), 4u);
	EXPECT_TRUE (rig.engine.filters ().isIdle ());

	EngineRig big;
	big.block (false, 16384, 44100.0);
	big.now += 793;
	EXPECT_EQ (big.block (false, 16384, 44100.0), 0u);
	big.now += 794;
	EXPECT_EQ (big.block (false, 16384, 44100.0), 4u);

	// After a reset the next call is not compared with the one before.
	rig.engine.reset (48000.0);
	rig.now += 5000;
	EXPECT_NE (rig.block (), 4u);
}

TEST (AuditionEngine, DrainsTheQueueAndKeepsTheNewestOfTheSession)
{
	EngineRig rig;
	for (int i = 0; i < 20; ++i)
		rig.request (1, 0b0001);
	rig.request (2, 0b0010, 0, 250.0, 1000.0, 6000.0, 99); // another session: dropped
	for (int i = 0; i < 11; ++i)
		rig.request (1, 0b0001);
	EXPECT_EQ (rig.mailbox.writeIndex - rig.mailbox.readIndex, 32u);
	EXPECT_EQ (rig.block (), 1u);
	EXPECT_EQ (rig.mailbox.writeIndex - rig.mailbox.readIndex, 0u);
	EXPECT_EQ (rig.engine.currentRequest ().sequence, 32u);
	EXPECT_EQ (rig.engine.currentRequest ().sessionId, 1u);

	// More than one call's worth arriving over time: 32 taken now, the rest next call.
	for (int i = 0; i < 32; ++i)
		rig.request (1, 0b0001);
	EXPECT_EQ (rig.block (), 1u);
	for (int i = 0; i < 8; ++i)
		rig.request (1, 0b0001);
	EXPECT_EQ (rig.mailbox.writeIndex - rig.mailbox.readIndex, 8u);
	rig.block ();
	EXPECT_EQ (rig.mailbox.writeIndex - rig.mailbox.readIndex, 0u);
	EXPECT_EQ (rig.engine.currentRequest ().sequence, rig.sequence);

	// An entry whose sequence is not above the current one's is dropped.
	AuditionRequest stale;
	stale.sessionId = 1;
	stale.sequence = 3;
	stale.requestId = 9;
	stale.bandMask = 0b1000;
	stale.expiry = rig.now + 500;
	rig.mailbox.tryPush (stale);
	rig.block ();
	EXPECT_NE (rig.engine.currentRequest ().requestId, 9u);
}

TEST (AuditionEngine, SessionEndFadesToFullAudio)
{
	EngineRig rig;
	rig.request (6, 0b0010);
	EXPECT_EQ (rig.block (), 1u);
	rig.audio (1024);
	rig.mailbox.activeSessionId = 0;
	EXPECT_EQ (rig.block (), 5u);
	EXPECT_EQ (rig.word (), makeStateWord (0, 5, 0));
	EXPECT_FALSE (rig.engine.filters ().isIdle ()); // fading, not cut
	rig.audio (720);
	EXPECT_TRUE (rig.engine.filters ().isIdle ());

	// A new session accepts only its own entries.
	rig.mailbox.activeSessionId = 2;
	rig.request (1, 0b0001, 0, 250.0, 1000.0, 6000.0, 1);
	EXPECT_EQ (rig.block (), 0u);
	rig.request (1, 0b0001, 0, 250.0, 1000.0, 6000.0, 2);
	EXPECT_EQ (rig.block (), 1u);
}

TEST (AuditionEngine, APendingClearForcesFullAudioUntilAcknowledged)
{
	EngineRig rig;
	rig.request (4, 0b0010);
	EXPECT_EQ (rig.block (), 1u);
	rig.mailbox.primaryChangeCount = 1;
	for (int i = 0; i < 5; ++i)
	{
		rig.request (5 + i, 0b0100);
		EXPECT_EQ (rig.block (), 6u);
		EXPECT_EQ (rig.engine.currentSelection (), 0u);
	}
	rig.mailbox.primaryChangeCount = 0;
	EXPECT_EQ (rig.block (), 2u); // whatever was current is retired
	rig.request (20, 0b0100);
	EXPECT_EQ (rig.block (), 1u);
}

TEST (AuditionEngine, ResetLeavesTheBankIdleAtTheNewRate)
{
	AuditionEngine engine;
	EXPECT_TRUE (engine.filters ().isIdle ());
	EXPECT_EQ (engine.state (), AuditionState::noSession);
	engine.reset (44100.0);
	EXPECT_TRUE (engine.filters ().isIdle ());
	EXPECT_EQ (engine.filters ().currentSampleRate (), 44100.0);
	EXPECT_EQ (engine.lastBlockMillis (), 0u);
}
