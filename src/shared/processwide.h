// Values shared by every instance loaded in one host process.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvo {

struct ProcessWide
{
	/** Source of instance serials; the first instance gets 1. */
	std::atomic<uint32_t> serialCounter {1};
	/** Serial of the primary sender, 0 when there is none. */
	std::atomic<uint32_t> primarySerial {0};
	/** Bumped by every change of the primary designation, a clear, a state restore and
	    the destruction of the primary sender. Each bump clears every running audition. */
	std::atomic<uint32_t> primaryGeneration {0};
};

static_assert (std::atomic<uint32_t>::is_always_lock_free);

ProcessWide& processWide () noexcept;

} // namespace tarvo
