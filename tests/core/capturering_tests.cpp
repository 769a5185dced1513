// The capture ring: blocks, positions, drops, silence, and a reader on another thread.
#include "server/capturering.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace tarvo;

namespace {

struct Stereo
{
	explicit Stereo (int32_t frames) : left (size_t (frames)), right (size_t (frames))
	{
		for (int32_t f = 0; f < frames; ++f)
		{
			left[size_t (f)] = float (f) * 0.001f;
			right[size_t (f)] = -float (f) * 0.001f - 0.5f;
		}
	}
	std::vector<float> left, right;
	const float* pointers[2] {left.data (), right.data ()};
};

} // namespace

TEST (CaptureRing, CutsCallsIntoNumberedBlocksWithPositions)
{
	auto ring = std::make_unique<CaptureRing> ();
	Stereo in (2500);
	ring->write (in.pointers, 2, 0, 0, 48000.0, 0);
	ring->write (in.pointers, 2, -5, 0, 48000.0, 0);
	EXPECT_EQ (ring->waiting (), 0u);
	EXPECT_EQ (ring->nextSequence (), 0u);

	ring->write (in.pointers, 2, 1, 0, 1e12, 0); // a rate past 32 bits is the largest it can say
	ASSERT_EQ (ring->waiting (), 1u);
	CaptureBlock huge;
	ASSERT_TRUE (ring->tryTake (huge));
	EXPECT_EQ (huge.header.sampleRate, UINT32_MAX);
	ring->write (in.pointers, 2, 2500, 0, 48000.9, 1000);
	ASSERT_EQ (ring->waiting (), 3u);
	CaptureBlock block;
	const uint32_t sizes[] = {1024, 1024, 452};
	for (uint32_t i = 0; i < 3; ++i)
	{
		ASSERT_TRUE (ring->tryTake (block));
		const BlockHeader& h = block.header;
		EXPECT_EQ (std::string (h.magic, 4), "TRS1");
		EXPECT_EQ (h.version, 6u);
		EXPECT_EQ (h.sampleRate, 48000u);
		EXPECT_EQ (h.channelCount, 2u);
		EXPECT_EQ (h.frameCount, sizes[i]);
		EXPECT_EQ (h.sequence, i + 1);
		EXPECT_EQ (h.dropped, 0u);
		EXPECT_EQ (h.position, 1000 + 1024 * int64_t (i));
		EXPECT_EQ (h.stateCode, 5u); // server fields keep their construction values
		for (uint32_t f = 0; f < sizes[i]; ++f)
		{
			ASSERT_EQ (block.samples[2 * f], in.left[1024 * i + f]);
			ASSERT_EQ (block.samples[2 * f + 1], in.right[1024 * i + f]);
		}
	}
	EXPECT_FALSE (ring->tryTake (block));

	// Unknown positions stay unknown; one near the end of the range wraps.
	ring->write (in.pointers, 2, 2100, 0, 44100.0, kUnknownPosition);
	ring->write (in.pointers, 2, 2100, 0, 44100.0, INT64_MAX - 1000);
	const int64_t positions[] = {kUnknownPosition, kUnknownPosition, kUnknownPosition, INT64_MAX - 1000, INT64_MIN + 23};
	for (int64_t expected : positions)
	{
		ASSERT_TRUE (ring->tryTake (block));
		EXPECT_EQ (block.header.position, expected);
		EXPECT_EQ (block.header.sampleRate, 44100u);
	}
}

TEST (CaptureRing, AFullRingDropsTheNewestBlockAndTheDiscardCountsOn)
{
	auto ring = std::make_unique<CaptureRing> ();
	Stereo in (64);
	for (int i = 0; i < 33; ++i)
		ring->write (in.pointers, 2, 64, 0, 48000.0, 0);
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

	for (int i = 0; i < 5; ++i)
		ring->write (in.pointers, 2, 16, 0, 48000.0, 0);
	ring->discardAll ();
	EXPECT_EQ (ring->waiting (), 0u);
	ring->write (in.pointers, 2, 16, 0, 48000.0, 0);
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (block.header.sequence, 39u);
}

TEST (CaptureRing, MonoSilentMissingAndWideChannels)
{
	auto ring = std::make_unique<CaptureRing> ();
	Stereo in (16);
	CaptureBlock block;
	ring->write (in.pointers, 1, 16, 0, 48000.0, 0);
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (block.header.channelCount, 1u);
	for (int f = 0; f < 16; ++f)
		ASSERT_EQ (block.samples[f], in.left[size_t (f)]);

	const float* missingLeft[2] = {nullptr, in.right.data ()};
	const struct
	{
		const float* const* channels;
		uint64_t silence;
		bool left, right;
	} cases[] = {{in.pointers, 0b10, true, false}, {in.pointers, 0b01, false, true}, {missingLeft, 0, false, true}, {nullptr, 0, false, false}};
	for (const auto& c : cases)
	{
		ring->write (c.channels, 2, 16, c.silence, 48000.0, 0);
		ASSERT_TRUE (ring->tryTake (block));
		for (size_t f = 0; f < 16; ++f)
		{
			ASSERT_EQ (block.samples[2 * f], c.left ? in.left[f] : 0.0f);
			ASSERT_EQ (block.samples[2 * f + 1], c.right ? in.right[f] : 0.0f);
		}
	}
	const std::vector<double> wide = {0.1, 1.0 / 3.0, -2.0 / 3.0, 1e-40, 0.5 + 1e-12, 0.7};
	const double* channels[2] = {wide.data (), wide.data () + 3};
	ring->write (channels, 2, 3, 0, 96000.0, 0);
	ASSERT_TRUE (ring->tryTake (block));
	for (size_t f = 0; f < 3; ++f)
	{
		EXPECT_EQ (block.samples[2 * f], static_cast<float> (wide[f]));
		EXPECT_EQ (block.samples[2 * f + 1], static_cast<float> (wide[f + 3]));
	}
}

// The reader checks every block it takes: order, gaps only where the writer counted drops,
// and every sample of a block from the same call (no torn blocks).
TEST (CaptureRing, TwoThreadStressKeepsOrderAndWholeBlocks)
{
	auto ring = std::make_unique<CaptureRing> ();
	constexpr int kCalls = 20000;
	std::atomic<bool> done {false};
	std::vector<uint32_t> problems;
	uint64_t taken = 0, gaps = 0;
	uint32_t lastDropped = 0;
	std::thread reader ([&] {
		CaptureBlock block;
		int64_t lastSequence = -1;
		while (ring->tryTake (block) || !done.load () || ring->tryTake (block))
		{
			if (block.header.frameCount == 0)
				continue;
			const BlockHeader& h = block.header;
			if (int64_t (h.sequence) <= lastSequence || float (h.position) != block.samples[0])
				problems.push_back (h.sequence);
			gaps += uint64_t (int64_t (h.sequence) - lastSequence - 1);
			lastSequence = h.sequence;
			for (uint32_t i = 0; i < h.frameCount * h.channelCount; ++i)
				if (block.samples[i] != block.samples[0])
				{
					problems.push_back (h.sequence);
					break;
				}
			lastDropped = h.dropped;
			++taken;
			block.header.frameCount = 0;
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
	EXPECT_EQ (gaps, uint64_t (lastDropped));
	EXPECT_GT (taken, 0u);
}
