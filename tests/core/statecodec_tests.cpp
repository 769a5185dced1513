#include "shared/statecodec.h"

#include <gtest/gtest.h>

using namespace tarvo;

namespace {
std::optional<uint32_t> decode (const std::array<uint8_t, 8>& bytes)
{
	uint8_t header[8];
	std::copy (bytes.begin (), bytes.end (), header);
	return decodeStateHeader (header);
}
} // namespace

TEST (StateCodec, HeaderIsMagicAndLittleEndianLength)
{
	const auto header = encodeStateHeader (0x01020307);
	const std::array<uint8_t, 8> expected = {'T', 'R', 'N', '1', 0x07, 0x03, 0x02, 0x01};
	EXPECT_EQ (header, expected);
}

TEST (StateCodec, HeaderLengthLimitAndMagic)
{
	EXPECT_EQ (decode (encodeStateHeader (0)), 0u);
	EXPECT_EQ (decode (encodeStateHeader (256)), 256u);
	EXPECT_FALSE (decode (encodeStateHeader (257)));
	EXPECT_FALSE (decode (encodeStateHeader (0xFFFFFFFF)));
	auto wrongMagic = encodeStateHeader (7);
	wrongMagic[3] = '2';
	EXPECT_FALSE (decode (wrongMagic));
}

TEST (StateCodec, LabelLimitIsCountedInUtf16Units)
{
	EXPECT_EQ (decodeStateLabel (std::string (64, 'a'))->size (), 64u);
	EXPECT_FALSE (decodeStateLabel (std::string (65, 'a')));
	// 32 four-byte characters are 64 UTF-16 units: accepted; one more is too many.
	std::string emoji;
	for (int i = 0; i < 32; ++i)
		emoji += "\xF0\x9F\x98\x80";
	EXPECT_EQ (decodeStateLabel (emoji)->size (), 64u);
	EXPECT_FALSE (decodeStateLabel (emoji + "a"));
	EXPECT_FALSE (decodeStateLabel ("bad\xC3("));
	EXPECT_EQ (*decodeStateLabel (""), u"");
}
