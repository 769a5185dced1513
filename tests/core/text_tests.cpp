// Text at the edges: UTF-8 both ways, the sender label's rule, the state record's header
// and label, and the discovery record's quoting.
#include "discovery/discoveryrecord.h"
#include "shared/statecodec.h"
#include "shared/utf8.h"

#include "../errorof.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace tarvo;

TEST (Utf8, RoundTripsEveryLengthAndRefusesWhatIsNotText)
{
	// 1- to 4-byte sequences at the edges of their ranges, the last a pair in UTF-16.
	const std::u16string text = u"A\u007F\u0080\u00E9\u07FF\u0800\u20AC\uFFFF\U00010000\U0001F600\U0010FFFFz";
	const std::string bytes = toUtf8 (text);
	EXPECT_EQ (bytes, "A\x7F\xC2\x80\xC3\xA9\xDF\xBF\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF\xF0\x90\x80\x80\xF0\x9F\x98\x80"
	                  "\xF4\x8F\xBF\xBFz");
	EXPECT_EQ (fromUtf8 (bytes), text);
	EXPECT_EQ (fromUtf8 (std::string ("a\0b", 3)), std::u16string (u"a\0b", 3));
	EXPECT_TRUE (isValidUtf16 (text));

	const char16_t lead[] = {u'a', 0xD83D, u'b', 0}, trail[] = {0xDE00, 0}, endsInLead[] = {u'x', 0xD83D, 0};
	for (const char16_t* bad : {lead, trail, endsInLead})
	{
		EXPECT_FALSE (isValidUtf16 (bad));
		EXPECT_EQ (test::errorOf ([&] { toUtf8 (bad); }), "Invalid name");
	}
	// A lead at the end of the text is refused though a trail follows it in memory.
	const std::u16string pair = u"x\U0001F600";
	const std::u16string_view cut = std::u16string_view (pair).substr (0, 2);
	EXPECT_FALSE (isValidUtf16 (cut));
	EXPECT_TRUE (isValidUtf16 (std::u16string_view (u"ab\xDC00").substr (0, 2))); // nor is a trail past the end read
	EXPECT_EQ (test::errorOf ([&] { toUtf8 (cut); }), "Invalid name");
	for (const char* bad : {"\x80", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF",
	                        "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xFF", "\xF8\x88\x80\x80\x80", "ok\xC3("})
		EXPECT_EQ (test::errorOf ([&] { fromUtf8 (bad); }), "Invalid name") << bad;
	// So is a UTF-8 character cut off at the end of the bytes, whatever follows in memory.
	const std::string accent = "a\xC3\xA9";
	EXPECT_EQ (test::errorOf ([&] { fromUtf8 (std::string_view (accent).substr (0, 2)); }), "Invalid name");
}

TEST (StateCodec, HeaderLabelLimitsAndTheSenderLabelRule)
{
	EXPECT_EQ (encodeStateHeader (0x01020307), (std::array<uint8_t, 8> {'T', 'R', 'N', '1', 0x07, 0x03, 0x02, 0x01}));
	auto decode = [] (std::array<uint8_t, 8> bytes) {
		uint8_t raw[8];
		std::copy (bytes.begin (), bytes.end (), raw);
		return decodeStateHeader (raw);
	};
	EXPECT_EQ (decode (encodeStateHeader (256)), 256u);
	EXPECT_EQ (decode (encodeStateHeader (0)), 0u);
	for (uint32_t tooLong : {257u, 0x01000100u, 0x00010100u}) // the high bytes count
		EXPECT_FALSE (decode (encodeStateHeader (tooLong))) << tooLong;
	auto wrongMagic = encodeStateHeader (7);
	wrongMagic[3] = '2';
	EXPECT_FALSE (decode (wrongMagic));

	// The label limit counts UTF-16 units: 32 four-byte characters are 64 units.
	EXPECT_EQ (decodeStateLabel (std::string (64, 'a'))->size (), 64u);
	EXPECT_FALSE (decodeStateLabel (std::string (65, 'a')));
	std::string emoji;
	for (int i = 0; i < 32; ++i)
		emoji += "\xF0\x9F\x98\x80";
	EXPECT_EQ (decodeStateLabel (emoji)->size (), 64u);
	EXPECT_FALSE (decodeStateLabel (emoji + "a"));
	EXPECT_FALSE (decodeStateLabel ("bad\xC3("));
	EXPECT_EQ (*decodeStateLabel (""), u"");

	// A sender's label: cut to 64 units, controls as spaces, an empty one the default.
	EXPECT_EQ (cleanLabel (std::u16string (70, u'x') + u"tail"), std::u16string (64, u'x'));
	EXPECT_EQ (cleanLabel (std::u16string (64, u'y')), std::u16string (64, u'y'));
	EXPECT_EQ (cleanLabel (u"Bass\tDI\nL\x01\x1F "), u"Bass DI L   ");
	EXPECT_EQ (cleanLabel (u""), u"Audio Server");
	// A cut never splits a surrogate pair: an emoji across units 64 and 65 goes whole.
	const std::u16string piano = u"\U0001F3B9";
	EXPECT_EQ (cleanLabel (std::u16string (63, u'k') + piano), std::u16string (63, u'k'));
	EXPECT_EQ (cleanLabel (std::u16string (62, u'k') + piano + u"!"), std::u16string (62, u'k') + piano);
	EXPECT_EQ (cleanLabel (std::u16string (64, u'k') + char16_t (0xDC00)), std::u16string (64, u'k')); // cut off whole
	for (const std::u16string& lone : {std::u16string (1, char16_t (0xD800)), std::u16string (u"a") + char16_t (0xDC00),
	                                  std::u16string (63, u'k') + char16_t (0xD800) + u"b"})
		EXPECT_EQ (test::errorOf ([&] { cleanLabel (lone); }), "Invalid name");
}

TEST (DiscoveryRecord, NinePiecesAndQuoting)
{
	EXPECT_EQ (quoteJson (""), "\"\"");
	EXPECT_EQ (quoteJson ("say \"hi\" C:\\x"), "\"say \\\"hi\\\" C:\\\\x\"");
	EXPECT_EQ (quoteJson (std::string ("a\x01\n\tb\x1f\0!", 8)), "\"a   b  !\"");
	EXPECT_EQ (quoteJson ("\x20\x7f\xC3\xA9"), "\" \x7f\xC3\xA9\"");
	const std::string id (48, 'a'), token (48, 'b');
	EXPECT_EQ (composeDiscoveryRecord (id, token, 4242, "Kick \"In\""),
	           "{\"version\":6,\"id\":\"" + id + "\",\"token\":\"" + token + "\",\"pid\":4242,\"label\":\"Kick \\\"In\\\"\"}");
	EXPECT_EQ (composeDiscoveryRecord (id, token, 7, "").size (), 144u + 1u + 2u);
}
