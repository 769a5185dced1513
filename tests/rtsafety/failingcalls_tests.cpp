// What the server thread does when the system fails its calls: an operation that fails
// ends one visualiser's session at once, and the run, its id and its token stay; a run
// that fails outright is retried about once a second, and costs nothing meanwhile.
#include "instrumentation.h"
#include "runtimefixture.h"

#include "server/audioserver.h"
#include "shared/steadyclock.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <thread>

using namespace tarvo;
using namespace std::chrono_literals;

namespace {

bool authenticates (client::VisualiserClient& client, const client::SenderRecord& record, AudioServer& server)
{
	std::string error;
	return client.connect (record, error) && test::readUntil (client, [] (const client::Frame&) { return true; }) &&
	       test::waitUntil ([&] { return server.isCapturing (); }, 1000ms);
}

} // namespace

TEST (FailingCalls, AFailedConnectOrWriteEndsOnlyThatSession)
{
	test::ignoreKernelCallsOfThisThread (); // the client's own calls fail nowhere
	test::RuntimeDirectory runtime;
	AudioServer server;
	const uint64_t runs = test::runsBegun ();
	test::failNextConnect (); // the first listen gives up before any client comes
	server.start ();
	const auto record = test::waitForSender (runtime.path ());
	ASSERT_TRUE (record);
	std::this_thread::sleep_for (300ms);
	EXPECT_EQ (server.status ().text, u"Waiting for Tarvo");

	test::failNextWrite (); // the session's first frame cannot be written
	client::VisualiserClient first;
	std::string error;
	ASSERT_TRUE (first.connect (*record, error)) << error;
	EXPECT_TRUE (test::hungUp (first, 1000ms)) << "the failed write did not end the session";

	client::VisualiserClient second;
	test::shortenNextWrite (); // the next session's first write takes half of its frame
	EXPECT_TRUE (authenticates (second, *record, server));
	for (int i = 0; i < 3; ++i) // the rest followed, and nothing else
		EXPECT_TRUE (test::readUntil (second, [] (const client::Frame& f) { return f.isKeepAlive (); }));
	const auto senders = client::listSenders (runtime.path ());
	ASSERT_EQ (senders.size (), 1u);
	EXPECT_EQ (senders[0].id, record->id); // the same run throughout
	EXPECT_EQ (test::runsBegun () - runs, 1u);
	server.stop ();
}

TEST (FailingCalls, WithoutAHighResolutionTimerTheStreamWakesByItsTimeOut)
{
	test::ignoreKernelCallsOfThisThread ();
	test::refuseTimers (true);
	test::RuntimeDirectory runtime;
	AudioServer server;
	server.start ();
	const auto record = test::waitForSender (runtime.path ());
	ASSERT_TRUE (record);
	client::VisualiserClient visualiser;
	ASSERT_TRUE (authenticates (visualiser, *record, server));
	test::refuseTimers (false);
	// 256-frame calls at 48 kHz for a second: every block arrives, and the thread wakes
	// about every 8 ms rather than spinning.
	const uint64_t waits = test::countedKernelCalls ().count[test::kWait];
	int received = 0;
	std::thread reader ([&] {
		test::ignoreKernelCallsOfThisThread ();
		while (received < 188 && test::readUntil (visualiser, [] (const client::Frame& f) { return !f.isKeepAlive (); }))
			++received;
	});
	std::vector<float> audio (256, 0.25f);
	const float* channels[2] = {audio.data (), audio.data ()};
	for (int call = 0; call < 188; ++call)
	{
		server.mailbox ().lastProcessMs = steadyMillis ();
		server.capture (channels, 2, 256, 0, 48000.0);
		std::this_thread::sleep_for (5ms);
	}
	reader.join ();
	EXPECT_EQ (received, 188);
	EXPECT_LT (test::countedKernelCalls ().count[test::kWait] - waits, 400u);
	server.stop ();
}

TEST (FailingCalls, ARunThatKeepsFailingIsRetriedAboutOnceASecondAndCostsNothingMeanwhile)
{
	// A run that fails with a visualiser attached (its folder went, and a rename cannot be
	// published) takes the session with it: the audio thread no longer sees one.
	test::RuntimeDirectory runtime;
	AudioServer server;
	server.start ();
	const auto record = test::waitForSender (runtime.path ());
	ASSERT_TRUE (record);
	client::VisualiserClient visualiser;
	ASSERT_TRUE (authenticates (visualiser, *record, server));
	std::filesystem::remove_all (runtime.path ());
	server.setLabel (u"Renamed into nowhere");
	ASSERT_TRUE (test::waitUntil ([&] { return server.status ().text == u"Connection unavailable"; }, 1000ms));
	EXPECT_EQ (server.mailbox ().activeSessionId.load (), 0u);
	EXPECT_FALSE (server.isCapturing ());

	test::setRuntimeVariable (L"relative\\runtime");
	ASSERT_TRUE (test::waitUntil ([&] { return server.status ().text == u"Connection unavailable"; }, 1000ms));
	const uint64_t runs = test::runsBegun ();
	const double cpu = test::processCpuMillis ();
	std::this_thread::sleep_for (3100ms);
	const uint64_t retries = test::runsBegun () - runs;
	EXPECT_LT (test::processCpuMillis () - cpu, 150.0);
	EXPECT_GE (retries, 2u);
	EXPECT_LE (retries, 4u);
	EXPECT_EQ (server.status ().text, u"Connection unavailable");
	server.stop ();
}
