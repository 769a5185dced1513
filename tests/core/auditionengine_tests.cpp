#include "audition/auditionengine.h"

#include <gtest/gtest.h>

#include <cmath>
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
