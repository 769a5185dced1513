// Writes 8-bit RGB images as PNG (uncompressed deflate blocks; no library needed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvo::tools {

/** `rgb` holds width x height pixels, 3 bytes each, rows top to bottom. */
bool writePng (const std::string& path, uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);

} // namespace tarvo::tools
