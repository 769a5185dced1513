#include "server/capturering.h"

#include <algorithm>
#include <cstring>

namespace tarvo {

CaptureRing::CaptureRing () noexcept
{
	// Every page of the ring is touched here, so the audio thread never meets a first-touch
	// page fault in capture.
	for (auto& slot : slots)
	{
		slot.header = initialBlockHeader ();
		std::memset (slot.samples, 0, sizeof slot.samples);
	}
}

namespace {

uint32_t wholeHertz (double sampleRate) noexcept
{
	if (!(sampleRate >= 0.0))
		return 0;
	return static_cast<uint32_t> (std::min (sampleRate, 4294967295.0));
}

} // namespace

template <typename Sample>
void CaptureRing::writeBlocks (const Sample* const* channels, int32_t channelCount,
                               int32_t frameCount, uint64_t silenceFlags, double sampleRate,
                               int64_t position) noexcept
{
	const uint32_t rate = wholeHertz (sampleRate);
	const Sample* sources[2] = {nullptr, nullptr};
	for (int32_t c = 0; c < channelCount && c < 2; ++c)
		sources[c] = ((silenceFlags >> c) & 1u) || !channels ? nullptr : channels[c];

	for (int32_t offset = 0; offset < frameCount; offset += int32_t (kMaxBlockFrames))
	{
		const int32_t remaining = frameCount - offset;
		const int32_t n = std::min (remaining, int32_t (kMaxBlockFrames));
		const uint32_t w = writeCounter.load (std::memory_order_relaxed);
		const uint32_t r = readCounter.load (std::memory_order_acquire);
		if (w - r >= kSlots)
		{
			++dropped;
			++sequence;
			continue;
		}

		CaptureBlock& block = slots[w % kSlots];
		BlockHeader& h = block.header;
		h.sampleRate = rate;
		h.channelCount = static_cast<uint32_t> (channelCount);
		h.frameCount = static_cast<uint32_t> (n);
		h.sequence = sequence++;
		h.dropped = dropped;
		// Wrapping addition: a position near the end of the range must not overflow.
		h.position = position == kUnknownPosition
		                 ? kUnknownPosition
		                 : static_cast<int64_t> (static_cast<uint64_t> (position) + static_cast<uint64_t> (offset));

		float* out = block.samples;
		const Sample* first = sources[0] ? sources[0] + offset : nullptr;
		const Sample* second = channelCount == 2 && sources[1] ? sources[1] + offset : nullptr;
		if (channelCount == 1)
		{
			for (int32_t f = 0; f < n; ++f)
				out[f] = first ? static_cast<float> (first[f]) : 0.0f;
		}
		else if (first && second)
		{
			for (int32_t f = 0; f < n; ++f)
			{
				out[2 * f] = static_cast<float> (first[f]);
				out[2 * f + 1] = static_cast<float> (second[f]);
			}
		}
		else
		{
			for (int32_t f = 0; f < n; ++f)
			{
				out[2 * f] = first ? static_cast<float> (first[f]) : 0.0f;
				out[2 * f + 1] = second ? static_cast<float> (second[f]) : 0.0f;
			}
		}
		writeCounter.fetch_add (1); // publishes header and samples
	}
}

void CaptureRing::write (const float* const* channels, int32_t channelCount, int32_t frameCount,
                         uint64_t silenceFlags, double sampleRate, int64_t position) noexcept
{
	writeBlocks (channels, channelCount, frameCount, silenceFlags, sampleRate, position);
}

void CaptureRing::write (const double* const* channels, int32_t channelCount, int32_t frameCount,
                         uint64_t silenceFlags, double sampleRate, int64_t position) noexcept
{
	writeBlocks (channels, channelCount, frameCount, silenceFlags, sampleRate, position);
}

size_t CaptureRing::tryTake (void* destination) noexcept
{
	const uint32_t r = readCounter.load (std::memory_order_relaxed);
	const uint32_t w = writeCounter.load (std::memory_order_acquire);
	if (r == w)
		return 0;
	// Only what the frame carries: the rest of the slot is stale and never sent.
	const CaptureBlock& slot = slots[r % kSlots];
	const size_t length = std::min (frameLength (slot.header), sizeof (CaptureBlock));
	std::memcpy (destination, &slot, length);
	readCounter.store (r + 1, std::memory_order_release);
	return length;
}

void CaptureRing::discardAll () noexcept
{
	readCounter.store (writeCounter.load (std::memory_order_acquire), std::memory_order_release);
}

} // namespace tarvo
