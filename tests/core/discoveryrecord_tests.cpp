#include "discovery/discoveryrecord.h"

#include <gtest/gtest.h>

using namespace tarvo;

TEST (DiscoveryRecord, QuotingEscapesOnlyQuotesAndBackslashes)
{
	EXPECT_EQ (quoteJson (""), "\"\"");
	EXPECT_EQ (quoteJson ("Audio Server"), "\"Audio Server\"");
	EXPECT_EQ (quoteJson ("say \"hi\" C:\\x"), "\"say \\\"hi\\\" C:\\\\x\"");
	EXPECT_EQ (quoteJson (std::string ("a\x01\n\tb\x1f", 6)), "\"a   b \"");
	EXPECT_EQ (quoteJson ("\x7f\xC3\xA9"), "\"\x7f\xC3\xA9\"");
	EXPECT_EQ (quoteJson (std::string ("nul\0!", 5)), "\"nul !\"");
}

TEST (DiscoveryRecord, NinePiecesInOrder)
{
	const std::string id (48, 'a'), token (48, 'b');
	const std::string text = composeDiscoveryRecord (id, token, 4242, "Kick \"In\"");
	EXPECT_EQ (text, "{\"version\":6,\"id\":\"" + id + "\",\"token\":\"" + token +
	                     "\",\"pid\":4242,\"label\":\"Kick \\\"In\\\"\"}");
	// 144 bytes plus the pid's digits plus the quoted label.
	EXPECT_EQ (composeDiscoveryRecord (id, token, 7, "").size (), 144u + 1u + 2u);
	EXPECT_EQ (composeDiscoveryRecord (id, token, 0, "x").find ("\"pid\":0,"), 128u); // 18 + 50 + 9 + 50 bytes, then the comma
}
