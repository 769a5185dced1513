#include "shared/statecodec.h"

#include "shared/senderstatus.h"
#include "shared/utf8.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tarvo {
namespace {
constexpr uint8_t kStateMagic[4] = {'T', 'R', 'N', '1'};
}

std::array<uint8_t, kStateHeaderSize> encodeStateHeader (uint32_t labelBytes) noexcept
{
	return {kStateMagic[0],
	        kStateMagic[1],
	        kStateMagic[2],
	        kStateMagic[3],
	        static_cast<uint8_t> (labelBytes),
	        static_cast<uint8_t> (labelBytes >> 8),
	        static_cast<uint8_t> (labelBytes >> 16),
	        static_cast<uint8_t> (labelBytes >> 24)};
}

std::optional<uint32_t> decodeStateHeader (const uint8_t (&header)[kStateHeaderSize]) noexcept
{
	if (std::memcmp (header, kStateMagic, sizeof kStateMagic) != 0)
		return std::nullopt;
	// Little-endian; a length above the limit needs a high byte only past 65535.
	const uint32_t length = uint32_t (header[4]) | uint32_t (header[5]) << 8;
	if (header[6] != 0 || header[7] != 0 || length > kMaxStateLabelBytes)
		return std::nullopt;
	return length;
}

std::u16string cleanLabel (std::u16string text)
{
	if (text.size () > kMaxLabelUnits)
	{
		// A lead surrogate (D800 to DBFF) last, its trail (DC00 to DFFF) first past the cut.
		const bool splitsPair = (text[kMaxLabelUnits - 1] & 0xFC00) == 0xD800 && (text[kMaxLabelUnits] & 0xFC00) == 0xDC00;
		text.resize (splitsPair ? kMaxLabelUnits - 1 : kMaxLabelUnits);
	}
	for (auto& unit : text)
		unit = std::max (unit, u' '); // control characters become spaces
	if (text.empty ())
		text = kDefaultLabel;
	if (!isValidUtf16 (text))
		throw std::runtime_error ("Invalid name");
	return text;
}

std::optional<std::u16string> decodeStateLabel (std::string_view bytes)
{
	try
	{
		auto label = fromUtf8 (bytes);
		if (label.size () > kMaxLabelUnits)
			return std::nullopt;
		return label;
	}
	catch (const std::runtime_error&)
	{
		return std::nullopt;
	}
}

} // namespace tarvo
