#include "server/auditionmailbox.h"
#include "server/wireprotocol.h"

#include <gtest/gtest.h>

using namespace tarvo;

namespace {
const std::string kToken (48, 'a');
}

TEST (Handshake, AcceptsTheExactLineAndKeepsWhatFollows)
{
	const std::string expected = handshakeLine (kToken);
	EXPECT_EQ (expected.size (), 56u);
	EXPECT_EQ (expected.substr (0, 7), "TARVO6 ");
	std::string received = expected + "command bytes";
	EXPECT_EQ (takeHandshake (received, expected), HandshakeStep::accepted);
	EXPECT_EQ (received, "command bytes");
}

TEST (Handshake, WaitsForTheLineFeedUpToEightyBytes)
{
	const std::string expected = handshakeLine (kToken);
	std::string received = expected.substr (0, 30);
	EXPECT_EQ (takeHandshake (received, expected), HandshakeStep::needMore);
	received += expected.substr (30);
	EXPECT_EQ (takeHandshake (received, expected), HandshakeStep::accepted);

	std::string eighty (80, 'x');
	EXPECT_EQ (takeHandshake (eighty, expected), HandshakeStep::needMore);
	std::string eightyOne (81, 'x');
	EXPECT_EQ (takeHandshake (eightyOne, expected), HandshakeStep::refused);
}

TEST (Handshake, RefusesAnyOtherLine)
{
	const std::string expected = handshakeLine (kToken);
	std::string carriageReturn = "TARVO6 " + kToken + "\r\n";
	std::string otherToken = handshakeLine (std::string (48, 'b'));
	std::string prefix = "TARVO6 " + kToken.substr (0, 47) + "\n";
	std::string oldVersion = "TARVO5 " + kToken + "\n";
	std::string emptyLine = "\n";
	for (std::string* line : {&carriageReturn, &otherToken, &prefix, &oldVersion, &emptyLine})
	{
		const std::string before = *line;
		EXPECT_EQ (takeHandshake (*line, expected), HandshakeStep::refused) << before;
	}
	EXPECT_TRUE (constantTimeEqual ("abc", "abc", 3));
	EXPECT_FALSE (constantTimeEqual ("abc", "abd", 3));
	EXPECT_FALSE (constantTimeEqual ("xbc", "abc", 3));
}

TEST (Frames, KeepAliveAndServerFields)
{
	BlockHeader keepAlive = keepAliveHeader ();
	EXPECT_EQ (frameLength (keepAlive), 64u);
	EXPECT_EQ (keepAlive.sampleRate, 48000u);
	EXPECT_EQ (keepAlive.channelCount, 2u);
	EXPECT_EQ (keepAlive.frameCount, 0u);
	EXPECT_EQ (keepAlive.stateCode, 5u);
	EXPECT_EQ (keepAlive.position, 0);

	// Request 7, code 1, band mask 0b0101.
	fillServerFields (keepAlive, 3, 9, makeStateWord (7, 1, 0b0101), 4, false);
	EXPECT_EQ (keepAlive.instanceSerial, 3u);
	EXPECT_EQ (keepAlive.sessionId, 9u);
	EXPECT_EQ (keepAlive.primarySerial, 4u);
	EXPECT_EQ (keepAlive.requestId, 7u);
	EXPECT_EQ (keepAlive.bandMask, 5u);
	EXPECT_EQ (keepAlive.stateCode, 1u);
	EXPECT_EQ (keepAlive.spectrumActive, 0u);

	fillServerFields (keepAlive, 3, 9, makeStateWord (8, 1, 16), 0, false);
	EXPECT_EQ (keepAlive.spectrumActive, 1u);
	EXPECT_EQ (keepAlive.bandMask, 0u);

	// A stale processor reads as stalled whatever the state word says.
	fillServerFields (keepAlive, 3, 9, makeStateWord (8, 1, 16), 0, true);
	EXPECT_EQ (keepAlive.stateCode, 4u);
	EXPECT_EQ (keepAlive.spectrumActive, 0u);
	EXPECT_EQ (keepAlive.requestId, 8u);

	EXPECT_TRUE (isStale (1000, 749, 250));
	EXPECT_FALSE (isStale (1000, 750, 250));
}
