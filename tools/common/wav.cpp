#include "wav.h"

#include <cstring>

namespace tarvo::tools {
namespace {

uint32_t le32 (const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t (p[3]) << 24; }
uint16_t le16 (const uint8_t* p) { return static_cast<uint16_t> (p[0] | p[1] << 8); }

void put32 (uint8_t* p, uint32_t v)
{
	for (int i = 0; i < 4; ++i)
		p[i] = static_cast<uint8_t> (v >> (8 * i));
}
void put16 (uint8_t* p, uint16_t v)
{
	p[0] = static_cast<uint8_t> (v);
	p[1] = static_cast<uint8_t> (v >> 8);
}

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;

} // namespace

bool readWav (const std::string& path, WavData& wav, std::string& error)
{
	std::FILE* f = std::fopen (path.c_str (), "rb");
	if (!f)
	{
		error = "cannot open " + path;
		return false;
	}
	std::vector<uint8_t> bytes;
	uint8_t chunk[65536];
	size_t got;
	while ((got = std::fread (chunk, 1, sizeof chunk, f)) > 0)
		bytes.insert (bytes.end (), chunk, chunk + got);
	std::fclose (f);

	if (bytes.size () < 12 || std::memcmp (bytes.data (), "RIFF", 4) != 0 ||
	    std::memcmp (bytes.data () + 8, "WAVE", 4) != 0)
	{
		error = path + " is not a RIFF/WAVE file";
		return false;
	}

	uint16_t format = 0, channels = 0, bits = 0;
	uint32_t rate = 0;
	const uint8_t* data = nullptr;
	size_t dataSize = 0;
	size_t pos = 12;
	while (pos + 8 <= bytes.size ())
	{
		const uint32_t size = le32 (&bytes[pos + 4]);
		const size_t body = pos + 8;
		const size_t available = bytes.size () - body;
		const size_t length = size < available ? size : available;
		if (std::memcmp (&bytes[pos], "fmt ", 4) == 0 && length >= 16)
		{
			format = le16 (&bytes[body]);
			channels = le16 (&bytes[body + 2]);
			rate = le32 (&bytes[body + 4]);
			bits = le16 (&bytes[body + 14]);
			if (format == kFormatExtensible && length >= 26)
				format = le16 (&bytes[body + 24]);
		}
		else if (std::memcmp (&bytes[pos], "data", 4) == 0)
		{
			data = &bytes[body];
			dataSize = length;
		}
		pos = body + size + (size & 1u);
	}

	if (!data || channels == 0 || rate == 0)
	{
		error = path + " has no usable fmt or data chunk";
		return false;
	}
	const bool pcm = format == kFormatPcm && (bits == 16 || bits == 24 || bits == 32);
	const bool flt = format == kFormatFloat && (bits == 32 || bits == 64);
	if (!pcm && !flt)
	{
		error = path + ": unsupported sample format (format " + std::to_string (format) + ", " +
		        std::to_string (bits) + " bits)";
		return false;
	}

	const size_t width = bits / 8;
	const size_t count = dataSize / width / channels * channels;
	wav.sampleRate = rate;
	wav.channels = channels;
	wav.samples.resize (count);
	for (size_t i = 0; i < count; ++i)
	{
		const uint8_t* p = data + i * width;
		float v = 0.0f;
		if (flt && bits == 32)
			std::memcpy (&v, p, 4);
		else if (flt)
		{
			double d;
			std::memcpy (&d, p, 8);
			v = static_cast<float> (d);
		}
		else if (bits == 16)
			v = static_cast<int16_t> (le16 (p)) / 32768.0f;
		else if (bits == 24)
			v = static_cast<float> (static_cast<int32_t> ((uint32_t (p[0]) << 8) | (uint32_t (p[1]) << 16) | (uint32_t (p[2]) << 24)) / 2147483648.0);
		else
			v = static_cast<float> (static_cast<int32_t> (le32 (p)) / 2147483648.0);
		wav.samples[i] = v;
	}
	return true;
}

WavWriter::~WavWriter ()
{
	close ();
}

bool WavWriter::open (const std::string& path, uint32_t sampleRate, uint16_t channels,
                      std::string& error)
{
	close ();
	file = std::fopen (path.c_str (), "wb");
	if (!file)
	{
		error = "cannot create " + path;
		return false;
	}
	channelCount = channels;
	frames = 0;
	uint8_t header[44] = {};
	std::memcpy (header, "RIFF", 4);
	std::memcpy (header + 8, "WAVE", 4);
	std::memcpy (header + 12, "fmt ", 4);
	put32 (header + 16, 16);
	put16 (header + 20, kFormatFloat);
	put16 (header + 22, channels);
	put32 (header + 24, sampleRate);
	put32 (header + 28, sampleRate * channels * 4u);
	put16 (header + 32, static_cast<uint16_t> (channels * 4));
	put16 (header + 34, 32);
	std::memcpy (header + 36, "data", 4);
	if (std::fwrite (header, 1, sizeof header, file) != sizeof header)
	{
		error = "cannot write " + path;
		close ();
		return false;
	}
	return true;
}

bool WavWriter::write (const float* interleaved, size_t count)
{
	if (!file)
		return false;
	const size_t samples = count * channelCount;
	if (std::fwrite (interleaved, sizeof (float), samples, file) != samples)
		return false;
	frames += count;
	return true;
}

bool WavWriter::close ()
{
	if (!file)
		return true;
	const uint64_t dataBytes = frames * channelCount * 4u;
	uint8_t sizes[4];
	bool ok = true;
	put32 (sizes, static_cast<uint32_t> (36 + dataBytes));
	ok &= std::fseek (file, 4, SEEK_SET) == 0 && std::fwrite (sizes, 1, 4, file) == 4;
	put32 (sizes, static_cast<uint32_t> (dataBytes));
	ok &= std::fseek (file, 40, SEEK_SET) == 0 && std::fwrite (sizes, 1, 4, file) == 4;
	ok &= std::fclose (file) == 0;
	file = nullptr;
	return ok;
}

} // namespace tarvo::tools
