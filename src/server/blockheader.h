// The 64-byte header that opens every captured block and every frame on the pipe.
// All fields little-endian; the layout is the wire format.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvo {

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "BlockHeader is sent as it lies in memory: a little-endian target is required"
#endif

inline constexpr uint32_t kProtocolVersion = 6;
inline constexpr char kBlockMagic[4] = {'T', 'R', 'S', '1'};
inline constexpr int64_t kUnknownPosition = INT64_MIN;

struct BlockHeader
{
	char magic[4];
	uint32_t version;
	uint32_t sampleRate;
	uint32_t channelCount;
	uint32_t frameCount;
	uint32_t sequence;
	uint32_t dropped;
	uint32_t instanceSerial; // server fields from here ...
	uint32_t sessionId;
	uint32_t requestId;
	uint32_t bandMask;
	uint32_t stateCode;
	uint32_t spectrumActive;
	uint32_t primarySerial; // ... to here
	int64_t position;
};

static_assert (sizeof (BlockHeader) == 64);
static_assert (offsetof (BlockHeader, instanceSerial) == 28);
static_assert (offsetof (BlockHeader, primarySerial) == 52);
static_assert (offsetof (BlockHeader, position) == 56);

inline constexpr uint32_t kMaxBlockFrames = 1024;
inline constexpr uint32_t kMaxBlockSamples = 2048;

/** One capture slot, sent as one frame: header, then interleaved float samples. */
struct CaptureBlock
{
	BlockHeader header;
	float samples[kMaxBlockSamples];
};
static_assert (sizeof (CaptureBlock) == 8256);

/** A header with the construction values: 48000 Hz, stereo, no frames, no session (code 5). */
inline BlockHeader initialBlockHeader () noexcept
{
	BlockHeader h {};
	h.magic[0] = kBlockMagic[0];
	h.magic[1] = kBlockMagic[1];
	h.magic[2] = kBlockMagic[2];
	h.magic[3] = kBlockMagic[3];
	h.version = kProtocolVersion;
	h.sampleRate = 48000;
	h.channelCount = 2;
	h.stateCode = 5;
	return h;
}

/** The frame length on the wire for a header: 64 bytes plus its samples. */
inline size_t frameLength (const BlockHeader& h) noexcept
{
	return sizeof (BlockHeader) + size_t (h.channelCount) * h.frameCount * sizeof (float);
}

} // namespace tarvo
