#include "png.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace tarvo::tools {
namespace {

uint32_t crc32 (const uint8_t* data, size_t size, uint32_t crc = 0)
{
	static const std::array<uint32_t, 256> table = [] {
		std::array<uint32_t, 256> t {};
		for (uint32_t n = 0; n < 256; ++n)
		{
			uint32_t c = n;
			for (int k = 0; k < 8; ++k)
				c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
			t[n] = c;
		}
		return t;
	}();
	crc = ~crc;
	for (size_t i = 0; i < size; ++i)
		crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
	return ~crc;
}

void put32 (std::vector<uint8_t>& out, uint32_t v)
{
	for (int shift = 24; shift >= 0; shift -= 8)
		out.push_back (static_cast<uint8_t> (v >> shift));
}

void chunk (std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& body)
{
	put32 (out, static_cast<uint32_t> (body.size ()));
	const size_t start = out.size ();
	out.insert (out.end (), type, type + 4);
	out.insert (out.end (), body.begin (), body.end ());
	put32 (out, crc32 (out.data () + start, out.size () - start));
}

} // namespace

bool writePng (const std::string& path, uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb)
{
	if (rgb.size () != size_t (width) * height * 3)
		return false;
	// Each row starts with filter type 0 (none).
	std::vector<uint8_t> raw;
	raw.reserve ((size_t (width) * 3 + 1) * height);
	for (uint32_t y = 0; y < height; ++y)
	{
		raw.push_back (0);
		raw.insert (raw.end (), rgb.begin () + std::ptrdiff_t (size_t (y) * width * 3),
		            rgb.begin () + std::ptrdiff_t (size_t (y + 1) * width * 3));
	}
	// zlib stream of stored deflate blocks.
	std::vector<uint8_t> z = {0x78, 0x01};
	uint32_t a = 1, b = 0;
	for (uint8_t v : raw)
	{
		a = (a + v) % 65521;
		b = (b + a) % 65521;
	}
	for (size_t at = 0; at < raw.size () || at == 0; at += 65535)
	{
		const size_t length = std::min<size_t> (65535, raw.size () - at);
		z.push_back (at + length >= raw.size () ? 1 : 0);
		z.push_back (static_cast<uint8_t> (length));
		z.push_back (static_cast<uint8_t> (length >> 8));
		z.push_back (static_cast<uint8_t> (~length));
		z.push_back (static_cast<uint8_t> (~length >> 8));
		z.insert (z.end (), raw.begin () + std::ptrdiff_t (at), raw.begin () + std::ptrdiff_t (at + length));
		if (raw.empty ())
			break;
	}
	put32 (z, (b << 16) | a);

	std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
	std::vector<uint8_t> header;
	put32 (header, width);
	put32 (header, height);
	header.insert (header.end (), {8, 2, 0, 0, 0}); // 8-bit RGB, no interlace
	chunk (file, "IHDR", header);
	chunk (file, "IDAT", z);
	chunk (file, "IEND", {});

	std::FILE* f = std::fopen (path.c_str (), "wb");
	if (!f)
		return false;
	const bool ok = std::fwrite (file.data (), 1, file.size (), f) == file.size ();
	return std::fclose (f) == 0 && ok;
}

} // namespace tarvo::tools
