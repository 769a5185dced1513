// Lock-free single-producer (audio thread) single-consumer (server thread) ring of 32
// captured blocks. A full ring never blocks and never overwrites: the newest block is
// dropped and counted, and the gap shows in the sequence numbers.
//
// Each call's audio is published at the end of the call while the reader keeps up. While
// it is behind (24 blocks or more waiting), the audio of short calls gathers in one block
// of up to 1024 frames, so a host with 16-sample buffers fills the ring no faster than one
// with 1024-sample buffers. The gathered block is published once full, once the writer
// finds the reader caught up, or by the reader itself when it has taken everything else:
// a host that stops calling leaves nothing behind. A block holds audio that is contiguous
// on the timeline: by position where the host gives one, else by the time between calls.
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
	static_assert (std::atomic<uint64_t>::is_always_lock_free);

	CaptureRing () noexcept;

	/** Blocks that may wait before the audio of further calls gathers into one block. */
	static constexpr uint32_t kGatherFrom = 24;

	/** A call that comes this much later than the audio gathered before it lasts follows
	    a gap, when the host gives no position to tell. */
	static constexpr uint64_t kGapMillis = 20;

	/** Audio thread: cuts the call into blocks of at most 1024 frames and publishes each,
	    or drops it when 32 are waiting. Silent or missing channels are captured as zeros.
	    Audio gathers only with the audio before it on the timeline (by `position`, or by
	    `nowMs`, the call's time, when the position is unknown), at the same rate and channel
	    count, and for the same `session`; a block gathered for an earlier session is never
	    published. */
	void write (const float* const* channels, int32_t channelCount, int32_t frameCount,
	            uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session = 0,
	            uint64_t nowMs = 0) noexcept;
	void write (const double* const* channels, int32_t channelCount, int32_t frameCount,
	            uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session = 0,
	            uint64_t nowMs = 0) noexcept;

	/** Server thread: copies the oldest block, its header and the samples it holds, to
	    `destination` (room for a whole CaptureBlock) and frees its slot; when none is
	    published, the block the writer left gathering. Returns the bytes copied, the
	    block's frame length; 0 when there is nothing to take. */
	size_t tryTake (void* destination) noexcept;
	bool tryTake (CaptureBlock& out) noexcept { return tryTake (static_cast<void*> (&out)) != 0; }
	/** Server thread: throws away every block published so far, and the one gathering. */
	void discardAll () noexcept;

	uint32_t waiting () const noexcept { return written () - readCounter.load (); }
	/** Audio-thread counters; read them elsewhere only while the writer is idle. */
	uint32_t nextSequence () const noexcept { return sequence + heldTaken (); }
	uint32_t droppedBlocks () const noexcept { return dropped; }
	/** Frames gathered in the block not yet published. */
	uint32_t gatheredFrames () const noexcept { return heldTaken () ? 0 : openFrames; }

private:
	template <typename Sample>
	void writeBlocks (const Sample* const* channels, int32_t channelCount, int32_t frameCount,
	                  uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session,
	                  uint64_t nowMs) noexcept;
	void publish () noexcept;
	uint32_t written () const noexcept { return uint32_t (writeState.load ()); }
	/** The reader published the block the writer left gathering, which the writer learns
	    at its next call. */
	bool heldTaken () const noexcept { return openFrames != 0 && !(writeState.load () & kHeld); }
	/** Server thread: publishes the block the writer left gathering, if it did. */
	void takeOverHeld () noexcept;

	std::array<CaptureBlock, kSlots> slots;
	// The write counter in the low 32 bits. kHeld is set while the block gathering in the
	// counter's slot, its header complete, may be published by the reader: the writer sets
	// it at the end of a call and takes it back at the start of the next, and whichever
	// side's compare-and-swap wins owns the block.
	static constexpr uint64_t kHeld = uint64_t (1) << 32;
	alignas (64) std::atomic<uint64_t> writeState {0};
	alignas (64) std::atomic<uint32_t> readCounter {0};
	alignas (64) uint32_t sequence {0};
	uint32_t dropped {0};
	// The block being filled, in the slot of the write counter, which only a publish hands
	// to the reader.
	uint32_t openFrames {0};
	uint32_t openSession {0};
	uint64_t openSinceMs {0}; // the time of the block's first call
};

} // namespace tarvo
