// The processor's persistent state: "TRN1", an unsigned 32-bit little-endian byte
// length N, then N bytes of the sender label in UTF-8 (no terminator, no BOM).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

inline constexpr size_t kStateHeaderSize = 8;
inline constexpr uint32_t kMaxStateLabelBytes = 256;
inline constexpr size_t kMaxLabelUnits = 64;

std::array<uint8_t, kStateHeaderSize> encodeStateHeader (uint32_t labelBytes) noexcept;

/** The label length announced by a header, or nothing when the magic is wrong or the
    length exceeds kMaxStateLabelBytes. */
std::optional<uint32_t> decodeStateHeader (const uint8_t (&header)[kStateHeaderSize]) noexcept;

/** The sender label as it is kept: cut to 64 UTF-16 units (to 63 where the cut would
    split a surrogate pair), control characters turned into blanks, "Audio Server" for an
    empty text. Throws std::runtime_error("Invalid name") for text that is not UTF-16. */
std::u16string cleanLabel (std::u16string text);

/** Decodes stored label bytes; nothing when they are not UTF-8 or the label is longer
    than kMaxLabelUnits UTF-16 code units. */
std::optional<std::u16string> decodeStateLabel (std::string_view bytes);

} // namespace tarvo
