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
	// The held flag is clear here: only the writer moves the counter then, and the counter
	// wraps within its 32 bits.
	const uint32_t w = written ();
	BlockHeader& h = slots[w % kSlots].header;
	h.frameCount = openFrames;
	h.sequence = sequence++;
	h.dropped = dropped;
	openFrames = 0;
	writeState.store (uint32_t (w + 1)); // publishes header and samples
}

void CaptureRing::takeOverHeld () noexcept
{
	uint64_t state = writeState.load (std::memory_order_acquire);
	if (state & kHeld)
		writeState.compare_exchange_strong (state, uint32_t (uint32_t (state) + 1), std::memory_order_acq_rel);
}

template <typename Sample>
void CaptureRing::writeBlocks (const Sample* const* channels, int32_t channelCount, int32_t frameCount,
                               uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session,
                               uint64_t nowMs) noexcept
{
	const uint32_t rate = wholeHertz (sampleRate);
	const Sample* sources[2] = {nullptr, nullptr};
	for (int32_t c = 0; c < channelCount && c < 2; ++c)
		sources[c] = ((silenceFlags >> c) & 1u) || !channels ? nullptr : channels[c];

	if (openFrames != 0)
	{
		// The block left gathering at the end of the last call: still ours, or published by
		// the reader meanwhile (with the sequence number it was given).
		uint64_t held = kHeld | written ();
		if (!writeState.compare_exchange_strong (held, uint32_t (held), std::memory_order_acq_rel))
		{
			openFrames = 0;
			++sequence;
		}
	}
	if (openFrames != 0)
	{
		const BlockHeader& h = slots[written () % kSlots].header;
		const bool late = position == kUnknownPosition && rate != 0 &&
		                  nowMs - openSinceMs > uint64_t (openFrames) * 1000u / rate + kGapMillis;
		if (session != openSession)
			openFrames = 0; // captured for an earlier visualiser: never sent
		else if (h.sampleRate != rate || h.channelCount != uint32_t (channelCount) ||
		         advanced (h.position, openFrames) != position || late)
			publish ();
	}

	for (int32_t offset = 0; offset < frameCount;)
	{
		const uint32_t w = written ();
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
			openSinceMs = nowMs + (rate != 0 ? uint64_t (offset) * 1000u / rate : 0); // its first frame's time
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
	if (openFrames != 0)
	{
		// Complete as it stands, for the reader to take should no further call come.
		const uint32_t w = written ();
		BlockHeader& h = slots[w % kSlots].header;
		h.frameCount = openFrames;
		h.sequence = sequence;
		h.dropped = dropped;
		writeState.store (kHeld | w, std::memory_order_release);
	}
}

void CaptureRing::write (const float* const* channels, int32_t channelCount, int32_t frameCount,
                         uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session,
                         uint64_t nowMs) noexcept
{
	writeBlocks (channels, channelCount, frameCount, silenceFlags, sampleRate, position, session, nowMs);
}

void CaptureRing::write (const double* const* channels, int32_t channelCount, int32_t frameCount,
                         uint64_t silenceFlags, double sampleRate, int64_t position, uint32_t session,
                         uint64_t nowMs) noexcept
{
	writeBlocks (channels, channelCount, frameCount, silenceFlags, sampleRate, position, session, nowMs);
}

size_t CaptureRing::tryTake (void* destination) noexcept
{
	const uint32_t r = readCounter.load (std::memory_order_relaxed);
	uint32_t w = uint32_t (writeState.load (std::memory_order_acquire));
	if (r == w)
	{
		takeOverHeld ();
		w = written ();
	}
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
	takeOverHeld ();
	readCounter.store (written (), std::memory_order_release);
}

} // namespace tarvo
