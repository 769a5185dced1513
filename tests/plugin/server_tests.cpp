// The sender label, the status snapshot and the process-wide primary bookkeeping.
#include "server/audioserver.h"
#include "shared/processwide.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

using tarvo::AudioServer;
using tarvo::processWide;

TEST (AudioServerLabel, CleansAndCountsEveryAcceptedRename)
{
	AudioServer server;
	EXPECT_EQ (server.label (), u"Audio Server");
	EXPECT_EQ (server.labelGeneration (), 1u);

	server.setLabel (std::u16string (70, u'x') + u"tail");
	EXPECT_EQ (server.label (), std::u16string (64, u'x'));
	EXPECT_EQ (server.labelGeneration (), 2u);

	server.setLabel (u"Bass\tDI\nL\x01");
	EXPECT_EQ (server.label (), u"Bass DI L ");

	server.setLabel (u"");
	EXPECT_EQ (server.label (), u"Audio Server");

	const uint32_t before = server.labelGeneration ();
	server.setLabel (u"Audio Server"); // unchanged text still counts
	EXPECT_EQ (server.labelGeneration (), before + 1);
}

TEST (AudioServerLabel, LoneSurrogateIsRefusedAndLeavesTheLabel)
{
	AudioServer server;
	server.setLabel (u"Keys");
	const uint32_t before = server.labelGeneration ();
	const char16_t lone[] = {u'a', 0xD800, u'b', 0};
	try
	{
		server.setLabel (lone);
		FAIL () << "accepted a lone surrogate";
	}
	catch (const std::runtime_error& e)
	{
		EXPECT_STREQ (e.what (), "Invalid name");
	}
	EXPECT_EQ (server.label (), u"Keys");
	EXPECT_EQ (server.labelGeneration (), before);
	// A complete pair is fine.
	server.setLabel (u"Keys \U0001F3B9");
	EXPECT_EQ (server.label (), u"Keys \U0001F3B9");
}

TEST (AudioServerStatus, IdleServerWaitsForTheVisualiser)
{
	AudioServer server;
	server.setLabel (u"Drums");
	const tarvo::SenderStatus status = server.status ();
	EXPECT_EQ (status.name, u"Drums");
	EXPECT_EQ (status.text, u"Waiting for Tarvo");
	EXPECT_FALSE (status.connected);
	EXPECT_EQ (status.auditionMode, 0);
	server.start ();
	EXPECT_EQ (server.status ().text, u"Waiting for Tarvo");
	server.stop ();
}

TEST (AudioServerStatus, RolesFollowThePrimarySerial)
{
	processWide ().primarySerial = 0;
	AudioServer first, second;
	EXPECT_EQ (second.instanceSerial (), first.instanceSerial () + 1);
	EXPECT_EQ (first.status ().role, 0);
	EXPECT_EQ (second.status ().role, 0);
	processWide ().primarySerial = first.instanceSerial ();
	EXPECT_EQ (first.status ().role, 1);
	EXPECT_EQ (second.status ().role, 2);
	processWide ().primarySerial = 0;
}

TEST (AudioServerPrimary, DestroyingThePrimaryWithdrawsTheRoleOnce)
{
	auto primary = std::make_unique<AudioServer> ();
	auto other = std::make_unique<AudioServer> ();
	processWide ().primarySerial = primary->instanceSerial ();

	uint32_t generation = processWide ().primaryGeneration.load ();
	other.reset ();
	EXPECT_EQ (processWide ().primarySerial.load (), primary->instanceSerial ());
	EXPECT_EQ (processWide ().primaryGeneration.load (), generation);

	primary.reset ();
	EXPECT_EQ (processWide ().primarySerial.load (), 0u);
	EXPECT_EQ (processWide ().primaryGeneration.load (), generation + 1);
}

TEST (AudioServerPrimary, GenerationWatchCountsOncePerNoticedChange)
{
	AudioServer server;
	auto& count = server.mailbox ().primaryChangeCount;
	server.followPrimaryGeneration ();
	EXPECT_EQ (count.load (), 0u);

	// Three bumps between two calls count as one change.
	processWide ().primaryGeneration.fetch_add (3);
	server.followPrimaryGeneration ();
	EXPECT_EQ (count.load (), 1u);
	server.followPrimaryGeneration ();
	EXPECT_EQ (count.load (), 1u);

	processWide ().primaryGeneration.fetch_add (1);
	server.followPrimaryGeneration ();
	EXPECT_EQ (count.load (), 2u);
}

TEST (AudioServerCapture, NothingMovesWhileNoVisualiserIsConnected)
{
	AudioServer server;
	float left[8] = {1, 2, 3, 4, 5, 6, 7, 8};
	const float* channels[2] = {left, left};
	server.setCallPosition (1000);
	server.capture (channels, 2, 8, 0, 48000.0);
	const double wide[8] = {};
	const double* wideChannels[1] = {wide};
	server.capture (wideChannels, 1, 8, 0, 48000.0);
	EXPECT_FALSE (server.isCapturing ());
	EXPECT_EQ (server.ring ().waiting (), 0u);
	EXPECT_EQ (server.ring ().nextSequence (), 0u);
	EXPECT_EQ (server.ring ().droppedBlocks (), 0u);
	EXPECT_EQ (server.currentCallPosition (), 1000);
}
