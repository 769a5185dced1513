// Minimal RIFF/WAVE reading (16/24/32-bit PCM, 32/64-bit float) and writing (32-bit float).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tarvo::tools {

struct WavData
{
	uint32_t sampleRate {0};
	uint16_t channels {0};
	std::vector<float> samples; // interleaved
	size_t frames () const { return channels ? samples.size () / channels : 0; }
};

/** Reads a WAV file; on failure returns false and says why in `error`. */
bool readWav (const std::string& path, WavData& wav, std::string& error);

/** Streams 32-bit float frames to a WAV file; the header is completed by close(). */
class WavWriter
{
public:
	WavWriter () = default;
	~WavWriter ();
	WavWriter (const WavWriter&) = delete;
	WavWriter& operator= (const WavWriter&) = delete;

	bool open (const std::string& path, uint32_t sampleRate, uint16_t channels, std::string& error);
	bool write (const float* interleaved, size_t frames);
	bool close ();
	bool isOpen () const { return file != nullptr; }
	uint64_t framesWritten () const { return frames; }

private:
	std::FILE* file {nullptr};
	uint16_t channelCount {0};
	uint64_t frames {0};
};

} // namespace tarvo::tools
