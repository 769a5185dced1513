#include "server/auditionmailbox.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace tarvo;

TEST (AuditionMailbox, StartsWithNoSessionState)
{
	AuditionMailbox mailbox;
	EXPECT_EQ (mailbox.stateWord.load (), 0x500u);
	EXPECT_EQ (mailbox.staleLimitMs.load (), 250u);
	EXPECT_EQ (mailbox.activeSessionId.load (), 0u);
	EXPECT_EQ (mailbox.primaryChangeCount.load (), 0u);
	EXPECT_EQ (mailbox.requests[31].c, 6000.0);
	EXPECT_EQ (makeStateWord (7, 1, 16), (uint64_t (7) << 32) | 0x110u);
}

TEST (AuditionMailbox, HoldsExactlyThirtyTwoInOrder)
{
	AuditionMailbox mailbox;
	for (uint32_t i = 0; i < 32; ++i)
	{
		AuditionRequest r;
		r.sequence = i + 1;
		ASSERT_TRUE (mailbox.tryPush (r));
	}
	AuditionRequest extra;
	EXPECT_FALSE (mailbox.tryPush (extra));
	AuditionRequest out;
	for (uint32_t i = 0; i < 32; ++i)
	{
		ASSERT_TRUE (mailbox.tryPop (out));
		EXPECT_EQ (out.sequence, i + 1);
	}
	EXPECT_FALSE (mailbox.tryPop (out));
}

TEST (AuditionMailbox, RandomSequenceMatchesShadowQueueAcrossIndexWrap)
{
	AuditionMailbox mailbox;
	// Start near the 32-bit wrap so free-running indices overflow during the run.
	mailbox.writeIndex = 0xFFFFFFF0u;
	mailbox.readIndex = 0xFFFFFFF0u;
	std::deque<uint32_t> shadow;
	std::mt19937 random (42);
	uint32_t next = 1;
	for (int step = 0; step < 20000; ++step)
	{
		if (random () % 2)
		{
			AuditionRequest r;
			r.sequence = next;
			const bool pushed = mailbox.tryPush (r);
			ASSERT_EQ (pushed, shadow.size () < 32);
			if (pushed)
				shadow.push_back (next++);
		}
		else
		{
			AuditionRequest r;
			const bool popped = mailbox.tryPop (r);
			ASSERT_EQ (popped, !shadow.empty ());
			if (popped)
			{
				ASSERT_EQ (r.sequence, shadow.front ());
				shadow.pop_front ();
			}
		}
	}
}

// The server thread fills the queue while the audio thread drains it: every request
// arrives once, in order and whole.
TEST (AuditionMailbox, TwoThreadStressDeliversEveryRequestWhole)
{
	auto mailbox = std::make_unique<AuditionMailbox> ();
	constexpr uint32_t kRequests = 200000;
	std::vector<uint32_t> problems;
	std::thread consumer ([&] {
		uint32_t expected = 1;
		AuditionRequest r;
		while (expected <= kRequests)
		{
			if (!mailbox->tryPop (r))
			{
				std::this_thread::yield ();
				continue;
			}
			// Every field was written from the same sequence number.
			if (r.sequence != expected || r.requestId != expected || r.a != double (expected) ||
			    r.expiry != uint64_t (expected) * 3)
				problems.push_back (expected);
			++expected;
		}
	});
	for (uint32_t n = 1; n <= kRequests;)
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
