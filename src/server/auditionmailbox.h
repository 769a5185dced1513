// Hand-over of audition requests from the server thread to the audio thread, and the
// atomics through which the audio thread reports back.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace tarvo {

struct AuditionRequest
{
	uint32_t sessionId {0};
	uint32_t sequence {0};
	uint32_t requestId {0};
	uint32_t bandMask {0};
	double a {250.0};
	double b {1000.0};
	double c {6000.0};
	uint64_t expiry {0};
	uint32_t mode {0};
};

/** stateWord packs what the audio thread decided for the latest block. */
inline constexpr uint64_t makeStateWord (uint32_t requestId, uint32_t code, uint32_t selection) noexcept
{
	return uint64_t (requestId) << 32 | uint64_t (code) << 8 | selection;
}
inline constexpr uint64_t kNoSessionStateWord = makeStateWord (0, 5, 0);

/** Single-producer (server thread), single-consumer (audio thread) request queue plus
    the shared state words. */
struct AuditionMailbox
{
	static constexpr uint32_t kCapacity = 32;
	static_assert ((kCapacity & (kCapacity - 1)) == 0, "capacity must be a power of two");
	static_assert (std::atomic<uint32_t>::is_always_lock_free);
	static_assert (std::atomic<uint64_t>::is_always_lock_free);

	std::array<AuditionRequest, kCapacity> requests {};
	alignas (64) std::atomic<uint32_t> writeIndex {0};
	alignas (64) std::atomic<uint32_t> readIndex {0};

	alignas (64) std::atomic<uint32_t> activeSessionId {0};
	std::atomic<uint64_t> primaryChangeCount {0};
	std::atomic<uint64_t> lastProcessMs {0};
	std::atomic<uint32_t> staleLimitMs {250};
	std::atomic<uint64_t> stateWord {kNoSessionStateWord};

	/** Server thread: queues a request; false when 32 are waiting. */
	bool tryPush (const AuditionRequest& request) noexcept
	{
		const uint32_t w = writeIndex.load (std::memory_order_relaxed);
		const uint32_t r = readIndex.load (std::memory_order_acquire);
		if (w - r >= kCapacity)
			return false;
		requests[w % kCapacity] = request;
		writeIndex.store (w + 1, std::memory_order_release);
		return true;
	}

	/** Audio thread: takes the oldest request; false when none waits. */
	bool tryPop (AuditionRequest& request) noexcept
	{
		const uint32_t r = readIndex.load (std::memory_order_relaxed);
		if (r == writeIndex.load (std::memory_order_acquire))
			return false;
		request = requests[r % kCapacity];
		readIndex.store (r + 1, std::memory_order_release);
		return true;
	}
};

} // namespace tarvo
