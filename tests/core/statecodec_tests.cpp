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

TEST (StateCodec, LabelCleanUp)
{
	EXPECT_EQ (cleanLabel (std::u16string (70, u'x') + u"tail"), std::u16string (64, u'x'));
	EXPECT_EQ (cleanLabel (u"Bass\tDI\nL\x01\x1F "), u"Bass DI L   ");
	EXPECT_EQ (cleanLabel (u""), u"Audio Server");
	// A cut never splits a surrogate pair: an emoji across units 64 and 65 goes whole.
	const std::u16string emoji = u"\U0001F3B9";
	EXPECT_EQ (cleanLabel (std::u16string (63, u'k') + emoji), std::u16string (63, u'k'));
	EXPECT_EQ (cleanLabel (std::u16string (62, u'k') + emoji + u"!"), std::u16string (62, u'k') + emoji);
	for (const std::u16string lone : {std::u16string (1, char16_t (0xD800)), std::u16string (u"a") + char16_t (0xDC00) + u"b",
	                                  std::u16string (63, u'k') + char16_t (0xD800) + u"b"})
	{
		try
		{
			cleanLabel (lone);
			ADD_FAILURE () << "accepted a lone surrogate";
		}
		catch (const std::runtime_error& e)
		{
			EXPECT_STREQ (e.what (), "Invalid name");
		}
	}
}
