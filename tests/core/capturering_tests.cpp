#include "server/capturering.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

using namespace tarvo;

namespace {

struct Stereo
{
	explicit Stereo (int32_t frames) : left (frames), right (frames)
	{
		for (int32_t f = 0; f < frames; ++f)
		{
			left[f] = float (f) * 0.001f;
			right[f] = -float (f) * 0.001f;
		}
		pointers[0] = left.data ();
		pointers[1] = right.data ();
	}
	std::vector<float> left, right;
	const float* pointers[2];
};

std::unique_ptr<CaptureRing> makeRing ()
{
	return std::make_unique<CaptureRing> ();
}

} // namespace

TEST (CaptureRing, SplitsALongCallIntoNumberedBlocksWithPositions)
{
	auto ring = makeRing ();
	Stereo in (2500);
	ring->write (in.pointers, 2, 2500, 0, 48000.9, 1000);
	ASSERT_EQ (ring->waiting (), 3u);

	CaptureBlock block;
	const uint32_t sizes[] = {1024, 1024, 452};
	for (uint32_t i = 0; i < 3; ++i)
	{
		ASSERT_TRUE (ring->tryTake (block));
		EXPECT_EQ (std::string (block.header.magic, 4), "TRS1");
		EXPECT_EQ (block.header.version, 6u);
		EXPECT_EQ (block.header.sampleRate, 48000u);
		EXPECT_EQ (block.header.channelCount, 2u);
		EXPECT_EQ (block.header.frameCount, sizes[i]);
		EXPECT_EQ (block.header.sequence, i);
		EXPECT_EQ (block.header.dropped, 0u);
		EXPECT_EQ (block.header.position, 1000 + 1024 * int64_t (i));
		EXPECT_EQ (block.header.stateCode, 5u); // server fields keep their construction values
		const int32_t first = int32_t (i) * 1024;
		for (uint32_t f = 0; f < sizes[i]; ++f)
		{
			ASSERT_EQ (block.samples[2 * f], in.left[first + f]);
			ASSERT_EQ (block.samples[2 * f + 1], in.right[first + f]);
		}
	}
	EXPECT_FALSE (ring->tryTake (block));
}

TEST (CaptureRing, UnknownAndExtremePositions)
{
	auto ring = makeRing ();
	Stereo in (2100);
	ring->write (in.pointers, 2, 2100, 0, 44100.0, kUnknownPosition);
	CaptureBlock block;
	for (int i = 0; i < 3; ++i)
	{
		ASSERT_TRUE (ring->tryTake (block));
		EXPECT_EQ (block.header.position, kUnknownPosition) << "block " << i;
		EXPECT_EQ (block.header.sampleRate, 44100u);
	}
	// Near the end of the range the position wraps instead of overflowing.
	ring->write (in.pointers, 2, 2100, 0, 44100.0, INT64_MAX - 1000);
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (block.header.position, INT64_MAX - 1000);
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (block.header.position, INT64_MIN + 23); // INT64_MAX - 1000 + 1024, wrapped
}

TEST (CaptureRing, FullRingDropsTheNewestBlockAndCountsIt)
{
	auto ring = makeRing ();
	Stereo in (64);
	for (int i = 0; i < 32; ++i)
		ring->write (in.pointers, 2, 64, 0, 48000.0, 0);
	ASSERT_EQ (ring->waiting (), 32u);
	ring->write (in.pointers, 2, 64, 0, 48000.0, 0); // dropped
	EXPECT_EQ (ring->waiting (), 32u);
	EXPECT_EQ (ring->droppedBlocks (), 1u);
	EXPECT_EQ (ring->nextSequence (), 33u);

	CaptureBlock block;
	for (uint32_t i = 0; i < 32; ++i)
	{
		ASSERT_TRUE (ring->tryTake (block));
		EXPECT_EQ (block.header.sequence, i);
		EXPECT_EQ (block.header.dropped, 0u);
	}
	ring->write (in.pointers, 2, 64, 0, 48000.0, 0);
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (block.header.sequence, 33u); // 32 was the dropped one
	EXPECT_EQ (block.header.dropped, 1u);
}

TEST (CaptureRing, MonoSilentAndMissingChannels)
{
	auto ring = makeRing ();
	Stereo in (16);
	CaptureBlock block;

	ring->write (in.pointers, 1, 16, 0, 48000.0, 0);
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (block.header.channelCount, 1u);
	for (int f = 0; f < 16; ++f)
		ASSERT_EQ (block.samples[f], in.left[f]);

	ring->write (in.pointers, 2, 16, 0b10, 48000.0, 0); // right channel flagged silent
	ASSERT_TRUE (ring->tryTake (block));
	for (int f = 0; f < 16; ++f)
	{
		ASSERT_EQ (block.samples[2 * f], in.left[f]);
		ASSERT_EQ (block.samples[2 * f + 1], 0.0f);
	}

	const float* missingLeft[2] = {nullptr, in.right.data ()};
	ring->write (missingLeft, 2, 16, 0, 48000.0, 0);
	ASSERT_TRUE (ring->tryTake (block));
	for (int f = 0; f < 16; ++f)
	{
		ASSERT_EQ (block.samples[2 * f], 0.0f);
		ASSERT_EQ (block.samples[2 * f + 1], in.right[f]);
	}

	ring->write (static_cast<const float* const*> (nullptr), 2, 16, 0, 48000.0, 0);
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (block.samples[0], 0.0f);
}

TEST (CaptureRing, EmptyCallsMoveNothing)
{
	auto ring = makeRing ();
	Stereo in (16);
	ring->write (in.pointers, 2, 0, 0, 48000.0, 0);
	ring->write (in.pointers, 2, -5, 0, 48000.0, 0);
	EXPECT_EQ (ring->waiting (), 0u);
	EXPECT_EQ (ring->nextSequence (), 0u);
}

TEST (CaptureRing, DoubleInputIsRoundedToNearestFloat)
{
	auto ring = makeRing ();
	std::vector<double> samples = {0.1, 1.0 / 3.0, -2.0 / 3.0, 1e-40, 0.5 + 1e-12};
	const double* channels[1] = {samples.data ()};
	ring->write (channels, 1, int32_t (samples.size ()), 0, 96000.0, 0);
	CaptureBlock block;
	ASSERT_TRUE (ring->tryTake (block));
	for (size_t i = 0; i < samples.size (); ++i)
		EXPECT_EQ (block.samples[i], static_cast<float> (samples[i]));
}

TEST (CaptureRing, DiscardAllEmptiesTheRingButCountersRunOn)
{
	auto ring = makeRing ();
	Stereo in (16);
	for (int i = 0; i < 5; ++i)
		ring->write (in.pointers, 2, 16, 0, 48000.0, 0);
	ring->discardAll ();
	EXPECT_EQ (ring->waiting (), 0u);
	ring->write (in.pointers, 2, 16, 0, 48000.0, 0);
	CaptureBlock block;
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (block.header.sequence, 5u);
}

// The reader checks every block it takes: sequence order, gaps only where the writer
// counted drops, and sample content written by one call only (no torn blocks).
TEST (CaptureRing, TwoThreadStressKeepsOrderAndWholeBlocks)
{
	auto ring = makeRing ();
	constexpr int kCalls = 20000;
	std::atomic<bool> done {false};
	std::vector<uint32_t> problems;
	uint64_t taken = 0, gaps = 0;
	uint32_t lastDropped = 0;

	std::thread reader ([&] {
		CaptureBlock block;
		int64_t lastSequence = -1;
		for (;;)
		{
			if (!ring->tryTake (block))
			{
				if (done.load ())
				{
					if (!ring->tryTake (block))
						break;
				}
				else
				{
					std::this_thread::yield ();
					continue;
				}
			}
			const BlockHeader& h = block.header;
			if (int64_t (h.sequence) <= lastSequence)
				problems.push_back (h.sequence);
			gaps += uint64_t (int64_t (h.sequence) - lastSequence - 1);
			lastSequence = h.sequence;
			// Every sample of a block carries the call number it was written by.
			const float tag = block.samples[0];
			for (uint32_t i = 0; i < h.frameCount * h.channelCount; ++i)
				if (block.samples[i] != tag)
				{
					problems.push_back (h.sequence);
					break;
				}
			if (float (h.position) != tag)
				problems.push_back (h.sequence);
			lastDropped = h.dropped;
			++taken;
		}
	});

	std::vector<float> samples (300);
	const float* channels[2] = {samples.data (), samples.data ()};
	for (int call = 0; call < kCalls; ++call)
	{
		std::fill (samples.begin (), samples.end (), float (call));
		ring->write (channels, 2, 300, 0, 48000.0, call);
	}
	done = true;
	reader.join ();

	EXPECT_TRUE (problems.empty ()) << problems.size () << " bad blocks";
	EXPECT_EQ (taken + ring->droppedBlocks (), uint64_t (kCalls));
	// Gaps seen by the reader equal the drops counted up to its last block.
	EXPECT_EQ (gaps, uint64_t (lastDropped));
	EXPECT_GT (taken, 0u);
}
