#include "shared/utf8.h"

#include <gtest/gtest.h>

#include <stdexcept>

using tarvo::fromUtf8;
using tarvo::isValidUtf16;
using tarvo::toUtf8;

TEST (Utf8, RoundTripsEveryEncodingLength)
{
	// 1-, 2-, 3- and 4-byte sequences, the last a surrogate pair in UTF-16.
	const std::u16string text = u"A\u00E9\u20AC\U0001F600z";
	const std::string bytes = toUtf8 (text);
	EXPECT_EQ (bytes, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
	EXPECT_EQ (fromUtf8 (bytes), text);
	EXPECT_EQ (toUtf8 (u""), "");
	EXPECT_EQ (fromUtf8 (""), u"");
	// An embedded NUL is a character like any other.
	EXPECT_EQ (fromUtf8 (std::string ("a\0b", 3)), std::u16string (u"a\0b", 3));
}

TEST (Utf8, RefusesLoneSurrogatesInUtf16)
{
	const char16_t lead[] = {u'a', 0xD83D, u'b', 0};
	const char16_t trail[] = {0xDE00, 0};
	const char16_t endsInLead[] = {u'x', 0xD83D, 0};
	for (const char16_t* bad : {lead, trail, endsInLead})
	{
		EXPECT_FALSE (isValidUtf16 (bad));
		EXPECT_THROW (toUtf8 (bad), std::runtime_error);
	}
	EXPECT_TRUE (isValidUtf16 (u"\U0001F600"));
	try
	{
		toUtf8 (trail);
		FAIL () << "no exception";
	}
	catch (const std::runtime_error& e)
	{
		EXPECT_STREQ (e.what (), "Invalid name");
	}
}

TEST (Utf8, RefusesMalformedUtf8)
{
	const char* bad[] = {
	    "\x80",             // continuation without a lead
	    "\xC3",             // truncated 2-byte sequence
	    "\xE2\x82",         // truncated 3-byte sequence
	    "\xC0\xAF",         // overlong '/'
	    "\xE0\x80\xAF",     // overlong '/'
	    "\xED\xA0\x80",     // an encoded surrogate
	    "\xF4\x90\x80\x80", // above U+10FFFF
	    "\xFF",             // never valid
	    "ok\xC3(",          // bad continuation byte
	};
	for (const char* bytes : bad)
		EXPECT_THROW (fromUtf8 (bytes), std::runtime_error) << bytes;
	EXPECT_EQ (fromUtf8 ("\xF4\x8F\xBF\xBF").size (), 2u); // U+10FFFF is the last valid one
}
