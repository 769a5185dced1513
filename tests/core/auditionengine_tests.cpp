// The audition engine's decisions, one process call at a time, with a clock the test moves.
#include "audition/auditionengine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <tuple>
#include <vector>

using namespace tarvo;

namespace {

constexpr uint32_t kFull = 0, kActive = 1, kExpired = 2, kSuspended = 3, kStalled = 4, kNoSession = 5, kCleared = 6;

/** An engine at 48 kHz with 512-frame blocks in session 1. */
struct Rig
{
	Rig () { mailbox.activeSessionId = 1; }

	void request (uint32_t requestId, uint32_t mask, uint32_t mode = 0, double a = 300.0, double b = 1200.0,
	              double c = 6000.0, uint32_t session = 1)
	{
		const AuditionRequest r {session, ++sequence, requestId, mask, a, b, c, now + 500, mode};
		ASSERT_TRUE (mailbox.tryPush (r));
	}
	uint32_t block (bool suspend = false, int32_t frames = 512, double rate = 48000.0)
	{
		engine.beginBlock (mailbox, rate, now, suspend, frames);
		return uint32_t (engine.state ());
	}
	/** Queues a request and begins a block with it. */
	template <typename... Args>
	uint32_t ask (Args... args)
	{
		request (args...);
		return block ();
	}
	/** Processes the block's audio too, so fades and glides advance. */
	void audio (int32_t frames = 512)
	{
		std::vector<double> buffer (size_t (frames), 0.1);
		const double* in[1] = {buffer.data ()};
		double* out[1] = {buffer.data ()};
		if (!engine.filters ().isIdle ())
			engine.filters ().process (in, out, 1, frames, 0);
	}
	/** Time passes in 10 ms blocks; returns the last state. */
	uint32_t play (uint64_t ms)
	{
		uint32_t state = 0;
		for (uint64_t end = now + ms; now < end;)
		{
			now += 10;
			state = block ();
			audio (480);
		}
		return state;
	}
	uint64_t word () const { return mailbox.stateWord.load (); }
	uint32_t waiting () const { return mailbox.writeIndex - mailbox.readIndex; }

	AuditionEngine engine;
	AuditionMailbox mailbox;
	uint64_t now {100000};
	uint32_t sequence {0};
};

} // namespace

TEST (AuditionEngine, PublishesTimeStallsOnlyPastTheStaleLimitAndSuspendClearStallAndResetRetireTheRequest)
{
	const struct { int32_t frames; double rate; uint32_t limit; } limits[] = {
	    {512, 48000.0, 250}, {16384, 44100.0, 793}, {8192, 8000.0, 2098}, {512, std::nan (""), 250}, {512, 0.0, UINT32_MAX}};
	for (const auto& l : limits)
		EXPECT_EQ (AuditionEngine::staleLimitFor (l.frames, l.rate), l.limit) << l.frames << " at " << l.rate;

	// Published at every call. The stall limit is not past at 793 ms for 16384 frames at
	// 44.1 kHz, nor at 250 ms; the first call after construction or a reset is never stalled.
	Rig timing;
	EXPECT_EQ (timing.block (false, 16384, 44100.0), kFull);
	EXPECT_EQ (std::make_tuple (timing.mailbox.lastProcessMs.load (), timing.mailbox.staleLimitMs.load (), timing.word ()),
	           std::make_tuple (uint64_t (100000), 793u, makeStateWord (0, kFull, 0)));
	timing.now += 793;
	EXPECT_EQ (timing.block (false, 16384, 44100.0), kFull);
	timing.now += 794;
	EXPECT_EQ (timing.block (false, 16384, 44100.0), kStalled);
	timing.engine.reset (44100.0);
	EXPECT_EQ (std::make_pair (timing.engine.lastBlockMillis (), timing.engine.filters ().currentSampleRate ()),
	           std::make_pair (uint64_t (0), 44100.0));
	timing.now += 5000;
	EXPECT_EQ (timing.block (), kFull);
	timing.now += 250;
	EXPECT_EQ (timing.block (), kFull);

	// A host exactly on time with a long block and then a shorter one: the gap is the long
	// block's length, within its limit though past the short one's. The audition plays on;
	// a real stall after the short block is still caught.
	const struct { double rate; int32_t longer, shorter; } uneven[] = {{44100.0, 16384, 4096}, {8000.0, 2048, 64}};
	for (const auto& u : uneven)
	{
		SCOPED_TRACE (u.rate);
		Rig host;
		host.request (4, 0b0010);
		EXPECT_EQ (host.block (false, u.longer, u.rate), kActive);
		host.now += uint64_t (u.longer * 1000.0 / u.rate); // 371 and 256 ms
		host.request (4, 0b0010);
		EXPECT_EQ (host.block (false, u.shorter, u.rate), kActive);
		host.now += 251;
		EXPECT_EQ (host.block (false, u.shorter, u.rate), kStalled);
	}

	// Each rule retires whatever was current; the first that applies decides the code.
	const struct { bool suspend, cleared, stalled; uint32_t code; bool idleAtOnce; } rules[] = {
	    {true, true, true, kSuspended, true}, {false, true, true, kCleared, false}, {false, false, true, kStalled, true}};
	for (const auto& r : rules)
	{
		SCOPED_TRACE (r.code);
		Rig rig;
		EXPECT_EQ (rig.ask (5, 0b0001), kActive);
		rig.audio (1024);
		rig.mailbox.primaryChangeCount = r.cleared ? 1 : 0;
		rig.now += r.stalled ? 251 : 10;
		EXPECT_EQ (rig.block (r.suspend), r.code);
		EXPECT_EQ (rig.word (), makeStateWord (5, r.code, 0));
		EXPECT_EQ (rig.engine.filters ().isIdle (), r.idleAtOnce); // reset, or a fade
		rig.mailbox.primaryChangeCount = 0;
		rig.now += 10;
		EXPECT_EQ (rig.ask (5, 0b0001), kExpired); // the same request again: retired for good
		EXPECT_EQ (rig.ask (6, 0b0001), kActive);
	}

	// While a clear is pending nothing plays, whatever arrives.
	Rig rig;
	rig.mailbox.primaryChangeCount = 1;
	for (uint32_t id = 1; id <= 3; ++id)
	{
		EXPECT_EQ (rig.ask (id, 0b0100), kCleared);
		EXPECT_EQ (rig.engine.currentSelection (), 0u);
	}

	// A reset retires the current request at once.
	Rig reset;
	EXPECT_EQ (reset.ask (8, 0b0010), kActive);
	reset.engine.reset (48000.0);
	EXPECT_TRUE (reset.engine.filters ().isIdle ());
	EXPECT_EQ (reset.engine.state (), AuditionState::noSession);
	reset.now += 10;
	EXPECT_EQ (reset.block (), kExpired);
	EXPECT_EQ (reset.ask (8, 0b0010), kExpired);
}

TEST (AuditionEngine, RequestsPlayInTheirBlockAndExpireFiveHundredMillisecondsAfterTheLastRepeat)
{
	Rig rig;
	EXPECT_EQ (rig.ask (3, 0b0100), kActive);
	EXPECT_EQ (rig.word (), makeStateWord (3, kActive, 0b0100));
	EXPECT_EQ (rig.engine.filters ().selection (), 0b0100u);
	uint64_t lastRepeat = rig.now;
	for (int step = 0; step < 300; ++step) // repeats every 400 ms keep it going
	{
		if (rig.now - lastRepeat >= 400)
		{
			rig.request (3, 0b0100);
			lastRepeat = rig.now;
		}
		ASSERT_EQ (rig.block (), kActive) << "at " << rig.now;
		rig.audio (480);
		rig.now += 10;
	}
	EXPECT_EQ (rig.engine.filters ().crossovers ()[0], 300.0);
	while (rig.now < lastRepeat + 499)
	{
		rig.now = std::min (rig.now + 10, lastRepeat + 499);
		ASSERT_EQ (rig.block (), kActive);
	}
	rig.now = lastRepeat + 500;
	EXPECT_EQ (rig.block (), kExpired);
	EXPECT_EQ (rig.word (), makeStateWord (3, kExpired, 0));
	rig.audio (720); // an expired band request keeps its crossovers while it fades out
	EXPECT_EQ (rig.engine.filters ().crossovers ()[0], 300.0);

	rig.now += 10;
	EXPECT_EQ (rig.ask (3, 0b0100), kExpired); // a late repeat stays retired
	EXPECT_EQ (rig.ask (4, 0b0100), kActive); // a newer request id plays at once

	// A full-audio request, and a mask of all four bands, play the input; running out,
	// they never asked for anything.
	EXPECT_EQ (rig.ask (5, 15), kFull);
	EXPECT_EQ (rig.word (), makeStateWord (5, kFull, 0));
	rig.request (6, 0);
	EXPECT_EQ (rig.play (600), kFull);
	EXPECT_TRUE (rig.engine.filters ().isIdle ());

	// Spectrum requests play and expire alike.
	Rig spectrum;
	EXPECT_EQ (spectrum.ask (1, 0, 1, 1000.0, 0.6, 0.0), kActive);
	EXPECT_EQ (spectrum.word (), makeStateWord (1, kActive, 16));
	EXPECT_EQ (spectrum.engine.filters ().selection (), 16u);
	spectrum.audio (480);
	EXPECT_GT (spectrum.engine.filters ().centreFrequency (), 630.0);

	// Expired, the bank is handed the default crossovers, not the spectrum values: the
	// crossovers stay where they were while the section fades out.
	EXPECT_EQ (spectrum.play (500), kExpired);
	EXPECT_EQ (spectrum.engine.filters ().selection (), 0u);
	spectrum.audio (720);
	EXPECT_EQ (spectrum.engine.filters ().crossovers (), (std::array<double, 3> {250.0, 1000.0, 6000.0}));

	// Width 1.0: reported as a spectrum audition, heard as the input.
	Rig open;
	EXPECT_EQ (open.ask (1, 0, 1, 1000.0, 1.0, 0.0), kActive);
	EXPECT_EQ (open.engine.currentSelection (), 16u);
	EXPECT_TRUE (open.engine.filters ().isIdle ());
}

TEST (AuditionEngine, TakesAtMostThirtyTwoKeepsTheNewestOfItsSessionAndForgetsAnOldSession)
{
	Rig rig;
	for (int i = 0; i < 20; ++i)
		rig.request (1, 0b0001);
	rig.request (2, 0b0010, 0, 250.0, 1000.0, 6000.0, 99); // another session: dropped
	for (int i = 0; i < 11; ++i)
		rig.request (1, 0b0001);
	EXPECT_EQ (rig.waiting (), 32u);
	EXPECT_EQ (rig.block (), kActive);
	EXPECT_EQ (rig.waiting (), 0u);
	EXPECT_EQ (rig.engine.currentRequest ().sequence, 32u);

	// 40 arriving while the host is not processing: 32 now, the other 8 at the next call.
	for (int i = 0; i < 32; ++i)
		rig.request (1, 0b0001);
	EXPECT_FALSE (rig.mailbox.tryPush ({}));
	rig.block ();
	for (int i = 0; i < 8; ++i)
		rig.request (1, 0b0001);
	EXPECT_EQ (rig.waiting (), 8u);
	rig.block ();
	EXPECT_EQ (rig.waiting (), 0u);
	EXPECT_EQ (rig.engine.currentRequest ().sequence, rig.sequence);

	// An entry whose sequence is not above the current one's is dropped.
	rig.sequence = 2;
	rig.request (9, 0b1000);
	rig.block ();
	EXPECT_EQ (rig.engine.currentRequest ().requestId, 1u);

	// Once its session ends, the audition fades to full audio.
	Rig ended;
	EXPECT_EQ (ended.ask (6, 0b0010, 0, 400.0, 1600.0, 7000.0), kActive);
	ended.audio (1024);
	ended.mailbox.activeSessionId = 0;
	EXPECT_EQ (ended.block (), kNoSession);
	EXPECT_EQ (ended.word (), makeStateWord (0, kNoSession, 0));
	EXPECT_FALSE (ended.engine.filters ().isIdle ()); // fading, not cut
	ended.audio (720);
	EXPECT_TRUE (ended.engine.filters ().isIdle ());

	// The next session accepts only its own entries, from request id 1 again, and the
	// bank starts from the default crossovers.
	ended.mailbox.activeSessionId = 2;
	EXPECT_EQ (ended.ask (1, 0b0001, 0, 300.0, 1200.0, 6000.0, 1), kFull);
	EXPECT_EQ (ended.ask (1, 0b0001, 0, 300.0, 1200.0, 6000.0, 2), kActive);
	EXPECT_EQ (ended.engine.currentRequest ().sessionId, 2u);
}
