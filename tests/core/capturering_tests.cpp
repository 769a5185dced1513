// The capture ring: blocks, positions, drops, silence, and a reader on another thread.
#include "server/capturering.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <tuple>
#include <thread>
#include <vector>

using namespace tarvo;

namespace {

struct Stereo
{
	explicit Stereo (int32_t frames) : left (size_t (frames)), right (size_t (frames))
	{
		for (size_t f = 0; f < left.size (); ++f)
			right[f] = -(left[f] = float (f) * 0.001f) - 0.5f;
	}
	std::vector<float> left, right;
	const float* pointers[2] {left.data (), right.data ()};
};

/** A ring fed from the host's timeline: frame p of `line` is captured at position p. */
struct Timeline
{
	void call (int64_t at, int32_t frames, uint32_t session = 0, double rate = 48000.0)
	{
		const float* window[2] = {line.left.data () + at, line.right.data () + at};
		ring->write (window, 2, frames, 0, rate, positions ? at : kUnknownPosition, session, nowMs);
		nowMs += uint64_t (frames) / 48;
	}
	/** Takes the next block, which must hold `frames` frames of the timeline from `at`. */
	void take (uint32_t frames, int64_t at)
	{
		ASSERT_TRUE (ring->tryTake (block));
		ASSERT_EQ (block.header.frameCount, frames);
		ASSERT_EQ (block.header.position, positions ? at : kUnknownPosition);
		for (uint32_t f = 0; f < frames; ++f)
			ASSERT_EQ (std::make_pair (block.samples[2 * f], block.samples[2 * f + 1]),
			           std::make_pair (line.left[size_t (at) + f], line.right[size_t (at) + f])) << f;
	}

	std::unique_ptr<CaptureRing> ring {std::make_unique<CaptureRing> ()};
	Stereo line {16384};
	CaptureBlock block;
	bool positions {true};
	uint64_t nowMs {5000};
};

} // namespace

TEST (CaptureRing, CutsCallsIntoNumberedBlocksWithPositionsDropsWhenFullAndTakesEveryKindOfChannel)
{
	auto ring = std::make_unique<CaptureRing> ();
	Stereo in (2500);
	CaptureBlock block;
	ring->write (in.pointers, 2, 0, 0, 48000.0, 0); // nothing to capture
	ring->write (in.pointers, 2, 1, 0, 1e12, 0);    // a rate past 32 bits is the largest it can say
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (block.header.sampleRate, UINT32_MAX);

	ring->write (in.pointers, 2, 2500, 0, 48000.9, 1000);
	ASSERT_EQ (ring->waiting (), 3u);
	const uint32_t sizes[] = {1024, 1024, 452};
	for (uint32_t i = 0; i < 3; ++i)
	{
		ASSERT_TRUE (ring->tryTake (block));
		const BlockHeader& h = block.header; // server fields keep their construction values
		EXPECT_EQ (std::make_tuple (std::string (h.magic, 4), h.version, h.sampleRate, h.channelCount, h.frameCount,
		                            h.sequence, h.dropped, h.position, h.stateCode),
		           std::make_tuple (std::string ("TRS1"), 6u, 48000u, 2u, sizes[i], i + 1, 0u, 1000 + 1024 * int64_t (i), 5u));
		for (uint32_t f = 0; f < sizes[i]; ++f)
			ASSERT_EQ (std::make_pair (block.samples[2 * f], block.samples[2 * f + 1]),
			           std::make_pair (in.left[1024 * i + f], in.right[1024 * i + f]));
	}
	EXPECT_FALSE (ring->tryTake (block));

	// Unknown positions stay unknown; one near the end of the range wraps.
	ring->write (in.pointers, 2, 2100, 0, 44100.0, kUnknownPosition);
	ring->write (in.pointers, 2, 2100, 0, 44100.0, INT64_MAX - 1000);
	for (int64_t expected : {kUnknownPosition, kUnknownPosition, kUnknownPosition, INT64_MAX - 1000, INT64_MIN + 23, INT64_MIN + 1047})
	{
		ASSERT_TRUE (ring->tryTake (block));
		EXPECT_EQ (block.header.position, expected);
	}

	// Full at 32: the newest block is dropped and counted; a discard empties the ring and
	// the numbering goes on.
	for (int i = 0; i < 33; ++i)
		ring->write (in.pointers, 2, 64, 0, 48000.0, 0);
	EXPECT_EQ (std::make_pair (ring->waiting (), ring->droppedBlocks ()), std::make_pair (32u, 1u));
	for (uint32_t i = 0; i < 32; ++i)
		ASSERT_TRUE (ring->tryTake (block) && block.header.sequence == 10 + i && block.header.dropped == 0);
	ring->write (in.pointers, 2, 64, 0, 48000.0, 0);
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (std::make_pair (block.header.sequence, block.header.dropped), std::make_pair (43u, 1u)); // 42 was dropped
	for (int i = 0; i < 5; ++i)
		ring->write (in.pointers, 2, 16, 0, 48000.0, 0);
	ring->discardAll ();
	ring->write (in.pointers, 2, 16, 0, 48000.0, 0);
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (block.header.sequence, 49u);

	// Mono, silent, missing and double-precision channels.
	const float* mono[1] = {in.left.data () + 1}; // a mono bus hands over one pointer, no more
	ring->write (mono, 1, 16, 0, 48000.0, 0);
	ASSERT_TRUE (ring->tryTake (block));
	EXPECT_EQ (block.header.channelCount, 1u);
	for (size_t f = 0; f < 16; ++f)
		ASSERT_EQ (block.samples[f], in.left[f + 1]);

	const float* missingLeft[2] = {nullptr, in.right.data ()};
	const struct { const float* const* channels; uint64_t silence; bool left, right; } cases[] = {
	    {in.pointers, 0b10, true, false}, {in.pointers, 0b01, false, true}, {missingLeft, 0, false, true}, {nullptr, 0, false, false}};
	for (const auto& c : cases)
	{
		ring->write (c.channels, 2, 16, c.silence, 48000.0, 0);
		ASSERT_TRUE (ring->tryTake (block));
		for (size_t f = 0; f < 16; ++f)
			ASSERT_EQ (std::make_pair (block.samples[2 * f], block.samples[2 * f + 1]),
			           std::make_pair (c.left ? in.left[f] : 0.0f, c.right ? in.right[f] : 0.0f));
	}
	const double wide[6] = {0.1, 1.0 / 3.0, -2.0 / 3.0, 1e-40, 0.5 + 1e-12, 0.7};
	const double* channels[2] = {wide, wide + 3};
	ring->write (channels, 2, 3, 0, 96000.0, 0);
	ASSERT_TRUE (ring->tryTake (block));
	for (size_t f = 0; f < 3; ++f)
		EXPECT_EQ (std::make_pair (block.samples[2 * f], block.samples[2 * f + 1]),
		           std::make_pair (static_cast<float> (wide[f]), static_cast<float> (wide[f + 3])));
}

TEST (CaptureRing, WhileTheReaderIsBehindShortCallsGatherIntoFullerBlocks)
{
	Timeline t;
	// While the reader keeps up every call goes out at once; from 24 waiting on, 64-frame
	// calls gather until a block holds 1024 frames.
	int64_t at = 0;
	for (; at < 24 * 64 + 20 * 64; at += 64)
		t.call (at, 64);
	EXPECT_EQ (std::make_pair (t.ring->waiting (), t.ring->gatheredFrames ()), std::make_pair (25u, 256u));
	for (int i = 0; i < 24; ++i)
		t.take (64, 64 * i);
	t.take (1024, 24 * 64);
	EXPECT_EQ (t.block.header.sequence, 24u);
	// The reader caught up: the next call goes out with what had gathered.
	t.call (at, 64);
	t.take (320, at - 256);
	EXPECT_EQ (std::make_pair (t.block.header.sequence, t.ring->gatheredFrames ()), std::make_pair (25u, 0u));
	at += 64;

	// A jump on the timeline, or another rate, sends what gathered before it; a new
	// visualiser's session throws it away.
	for (int i = 0; i < 24; ++i, at += 64)
		t.call (at, 64);
	t.call (at, 64);
	t.call (at + 1000, 64); // a jump
	t.call (at + 1064, 64, 0, 44100.0);
	t.call (at + 1128, 64, 7); // the next session: the 64 frames at 44.1 kHz are never sent
	EXPECT_EQ (std::make_pair (t.ring->waiting (), t.ring->gatheredFrames ()), std::make_pair (26u, 64u));
	for (int i = 0; i < 24; ++i)
		ASSERT_TRUE (t.ring->tryTake (t.block));
	t.take (64, at);
	t.take (64, at + 1000);
	t.call (at + 1192, 64, 7);
	t.take (128, at + 1128);
	EXPECT_EQ (t.block.header.sequence, t.ring->nextSequence () - 1); // no number was spent on the thrown-away block
	EXPECT_EQ (t.ring->droppedBlocks (), 0u);
}

TEST (CaptureRing, GatheredAudioReachesTheReaderWhenTheHostStopsAndNeverSpansAGap)
{
	Timeline t;
	t.positions = false; // the host gives no position: its calls' times tell the timeline
	int64_t at = 0;
	for (; at < 24 * 96; at += 96)
		t.call (at, 96);
	for (int i = 0; i < 10; ++i, at += 48)
		t.call (at, 48);
	// The host stops calling: once the reader has taken the rest, the gathered 480 frames
	// come too, complete, with their own sequence number and the dropped count.
	EXPECT_EQ (t.ring->gatheredFrames (), 480u);
	for (int i = 0; i < 24; ++i)
		t.take (96, 96 * i);
	t.take (480, 24 * 96);
	EXPECT_EQ (t.block.header.sequence, 24u);
	EXPECT_FALSE (t.ring->tryTake (t.block));
	EXPECT_EQ (std::make_pair (t.ring->nextSequence (), t.ring->gatheredFrames ()), std::make_pair (25u, 0u));
	// The host resumes after 200 ms: the next block starts afresh, numbered on.
	t.nowMs += 200;
	t.call (at, 48);
	t.take (48, at);
	EXPECT_EQ (t.block.header.sequence, 25u);
	at += 48;

	// Behind again, the host pauses between two calls: what gathered before the pause is a
	// block of its own, and so is what follows. Calls on time still gather.
	for (int i = 0; i < 24; ++i, at += 96)
		t.call (at, 96);
	t.call (at, 48);
	t.call (at + 48, 48);
	t.nowMs += CaptureRing::kGapMillis + 10;
	t.call (at + 96, 48);
	t.call (at + 144, 48);
	for (int i = 0; i < 24; ++i)
		ASSERT_TRUE (t.ring->tryTake (t.block));
	t.take (96, at);
	t.take (96, at + 96);
	// Calls of 1500 frames on time: the 476 after each full block gather with the start of
	// the next call, a block that dates from its own first frame, not from its call's.
	at += 192;
	for (int i = 0; i < 24; ++i, at += 96)
		t.call (at, 96);
	t.call (at, 1500);
	t.call (at + 1500, 1500);
	for (int i = 0; i < 24; ++i)
		ASSERT_TRUE (t.ring->tryTake (t.block));
	t.take (1024, at);
	t.take (1024, at + 1024);
	t.take (952, at + 2048);
	EXPECT_EQ (t.ring->droppedBlocks (), 0u);
}

// The reader checks every block it takes: order, gaps only where the writer counted drops,
// every frame where the timeline puts it (no torn blocks, blocks that gathered several
// calls included), and blocks that follow each other without a gap join on the timeline.
TEST (CaptureRing, TwoThreadStressKeepsOrderAndWholeBlocks)
{
	auto ring = std::make_unique<CaptureRing> ();
	constexpr int kCalls = 20000;
	std::atomic<bool> done {false};
	uint64_t taken = 0, gaps = 0, problems = 0;
	uint32_t lastDropped = 0;
	std::thread reader ([&] {
		CaptureBlock block;
		int64_t next = 0;
		for (int64_t last = -1; ring->tryTake (block) || !done.load () || ring->tryTake (block); block.header.frameCount = 0)
		{
			const BlockHeader& h = block.header;
			if (h.frameCount == 0)
				continue;
			bool whole = int64_t (h.sequence) > last && (int64_t (h.sequence) != last + 1 || h.position == next);
			for (uint32_t f = 0; f < h.frameCount; ++f)
				whole = whole && block.samples[2 * f] == float (h.position + f) && block.samples[2 * f + 1] == block.samples[2 * f];
			problems += !whole;
			gaps += uint64_t (int64_t (h.sequence) - last - 1);
			last = h.sequence;
			next = h.position + h.frameCount;
			lastDropped = h.dropped;
			++taken;
		}
	});
	std::vector<float> samples (300);
	const float* channels[2] = {samples.data (), samples.data ()};
	for (int call = 0; call < kCalls; ++call)
	{
		for (size_t f = 0; f < samples.size (); ++f)
			samples[f] = float (int64_t (call) * 300 + int64_t (f));
		ring->write (channels, 2, 300, 0, 48000.0, int64_t (call) * 300);
	}
	done = true;
	reader.join ();
	EXPECT_EQ (problems, 0u) << "blocks out of order, torn or misplaced";
	EXPECT_EQ (taken + ring->droppedBlocks (), uint64_t (ring->nextSequence ()));
	EXPECT_EQ (gaps, uint64_t (lastDropped));
	EXPECT_GT (taken, 0u);
}
