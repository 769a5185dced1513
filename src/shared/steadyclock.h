#pragma once

#include <chrono>
#include <cstdint>

namespace tarvo {

/** The monotonic steady clock in whole milliseconds since its epoch. Read on the audio
    thread: it allocates nothing and takes no lock. */
inline uint64_t steadyMillis () noexcept
{
	const auto since = std::chrono::steady_clock::now ().time_since_epoch ();
	return static_cast<uint64_t> (std::chrono::duration_cast<std::chrono::nanoseconds> (since).count ()) /
	       1000000u;
}

} // namespace tarvo
