// Lock-free single-producer (audio thread) single-consumer (server thread) ring of 32
// captured blocks. A full ring never blocks and never overwrites: the newest block is
// dropped and counted, and the gap shows in the sequence numbers.
//
// Each call's audio is published at the end of the call while the reader keeps up. While
// it is behind (24 blocks or more waiting), the audio of short calls gathers in one block
// of up to 1024 frames, published once full or once the reader has caught up again, so a
// host with 16-sample buffers fills the ring no faster than one with 1024-sample buffers.
#pragma once

#include "server/blockheader.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace tarvo {

class CaptureRing
{
public:
	static constexpr uint32_t kSlots = 32;
	static_assert ((kSlots & (kSlots - 1)) == 0, "slot index is the counter's low bits");
	static_assert (std::atomic<uint32_t>::is_always_lock_free);

	CaptureRing () noexcept;

	/** Blocks that may wait before the audio of further calls gathers into one block. */
	static constexpr uint32_t kGatherFrom = 24;

	/** Audio thread: cuts the call into blocks of at most 1024 frames and publishes each,
	    or drops it when 32 are waiting. Silent or missing channels are captured as zeros.
	    Audio gathers only with the audio before it on the timeline, at the same rate and
	    channel count, and for the same `session`; a block gathered for an earlier session
	    is never published. */
	void write (const float* const* channels, int32_t channelCount, int32_t frameCount,
	            uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session = 0) noexcept;
	void write (const double* const* channels, int32_t channelCount, int32_t frameCount,
	            uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session = 0) noexcept;

	/** Server thread: copies the oldest block, its header and the samples it holds, to
	    `destination` (room for a whole CaptureBlock) and frees its slot. Returns the bytes
	    copied, the block's frame length; 0 when the ring is empty. */
	size_t tryTake (void* destination) noexcept;
	bool tryTake (CaptureBlock& out) noexcept { return tryTake (static_cast<void*> (&out)) != 0; }
	/** Server thread: throws away every block published so far. */
	void discardAll () noexcept;

	uint32_t waiting () const noexcept { return writeCounter.load () - readCounter.load (); }
	/** Audio-thread counters; read them elsewhere only while the writer is idle. */
	uint32_t nextSequence () const noexcept { return sequence; }
	uint32_t droppedBlocks () const noexcept { return dropped; }
	/** Frames gathered in the block not yet published. */
	uint32_t gatheredFrames () const noexcept { return openFrames; }

private:
	template <typename Sample>
	void writeBlocks (const Sample* const* channels, int32_t channelCount, int32_t frameCount,
	                  uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session) noexcept;
	void publish () noexcept;

	std::array<CaptureBlock, kSlots> slots;
	alignas (64) std::atomic<uint32_t> writeCounter {0};
	alignas (64) std::atomic<uint32_t> readCounter {0};
	alignas (64) uint32_t sequence {0};
	uint32_t dropped {0};
	// The block being filled, in the slot of the write counter, which only a publish hands
	// to the reader.
	uint32_t openFrames {0};
	uint32_t openSession {0};
};

} // namespace tarvo
