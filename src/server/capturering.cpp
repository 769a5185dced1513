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

int64_t advanced (int64_t position, uint32_t frames) noexcept
{
	// Wrapping addition: a position near the end of the range must not overflow.
	return position == kUnknownPosition ? kUnknownPosition
	                                    : static_cast<int64_t> (static_cast<uint64_t> (position) + frames);
}

} // namespace

void CaptureRing::publish () noexcept
{
	BlockHeader& h = slots[writeCounter.load (std::memory_order_relaxed) % kSlots].header;
	h.frameCount = openFrames;
	h.sequence = sequence++;
	h.dropped = dropped;
	openFrames = 0;
	writeCounter.fetch_add (1); // publishes header and samples
}

template <typename Sample>
void CaptureRing::writeBlocks (const Sample* const* channels, int32_t channelCount, int32_t frameCount,
                               uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session) noexcept
{
	const uint32_t rate = wholeHertz (sampleRate);
	const Sample* sources[2] = {nullptr, nullptr};
	for (int32_t c = 0; c < channelCount && c < 2; ++c)
		sources[c] = ((silenceFlags >> c) & 1u) || !channels ? nullptr : channels[c];

	if (openFrames != 0)
	{
		const BlockHeader& h = slots[writeCounter.load (std::memory_order_relaxed) % kSlots].header;
		if (session != openSession)
			openFrames = 0; // captured for an earlier visualiser: never sent
		else if (h.sampleRate != rate || h.channelCount != uint32_t (channelCount) ||
		         advanced (h.position, openFrames) != position)
			publish ();
	}

	for (int32_t offset = 0; offset < frameCount;)
	{
		const uint32_t w = writeCounter.load (std::memory_order_relaxed);
		if (openFrames == 0)
		{
			const uint32_t r = readCounter.load (std::memory_order_acquire);
			if (w - r >= kSlots)
			{
				offset += std::min (frameCount - offset, int32_t (kMaxBlockFrames));
				++dropped;
				++sequence;
				continue;
			}
			BlockHeader& h = slots[w % kSlots].header;
			h.sampleRate = rate;
			h.channelCount = static_cast<uint32_t> (channelCount);
			h.position = advanced (position, uint32_t (offset));
			openSession = session;
		}

		const int32_t n = std::min (frameCount - offset, int32_t (kMaxBlockFrames - openFrames));
		float* out = slots[w % kSlots].samples + size_t (openFrames) * size_t (channelCount);
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
		openFrames += uint32_t (n);
		offset += n;
		if (openFrames == kMaxBlockFrames)
			publish ();
	}
	if (openFrames != 0 && waiting () < kGatherFrom)
		publish ();
}

void CaptureRing::write (const float* const* channels, int32_t channelCount, int32_t frameCount,
                         uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session) noexcept
{
	writeBlocks (channels, channelCount, frameCount, silenceFlags, sampleRate, position, session);
}

void CaptureRing::write (const double* const* channels, int32_t channelCount, int32_t frameCount,
                         uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session) noexcept
{
	writeBlocks (channels, channelCount, frameCount, silenceFlags, sampleRate, position, session);
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
