// What the server thread does when the system fails its calls or answers as Windows does
// where Wine does not: an operation that fails ends one visualiser's session at once, and
// the run, its id and its token stay; a run that fails outright is retried about once a
// second, and costs nothing meanwhile; runtime folders at a drive's or a share's root, or
// behind a device path, publish.
#include "instrumentation.h"
#include "runtimefixture.h"

#include "discovery/access.h"
#include "discovery/discoveryfiles.h"
#include "server/audioserver.h"
#include "shared/steadyclock.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <thread>

using namespace tarvo;
using namespace std::chrono_literals;

TEST (FailingCalls, AFailedConnectOrWriteEndsOnlyThatSession)
{
	test::ignoreKernelCallsOfThisThread (); // the client's own calls fail nowhere
	const uint64_t runs = test::runsBegun ();
	test::failNextConnect (); // the first listen gives up before any client comes
	test::StartedServer started;
	AudioServer& server = started.server;
	const auto& record = started.record;
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
	EXPECT_TRUE (started.authenticate (second));
	for (int i = 0; i < 3; ++i) // the rest followed, and nothing else
		EXPECT_TRUE (test::readUntil (second, [] (const client::Frame& f) { return f.isKeepAlive (); }));
	const auto senders = client::listSenders (started.runtime.path ());
	ASSERT_EQ (senders.size (), 1u);
	EXPECT_EQ (std::make_pair (senders[0].id, test::runsBegun () - runs), std::make_pair (record->id, uint64_t (1))); // one run
	server.stop ();
}

TEST (FailingCalls, WithoutAHighResolutionTimerTheStreamWakesByItsTimeOut)
{
	test::ignoreKernelCallsOfThisThread ();
	test::refuseTimers (true);
	test::StartedServer started;
	AudioServer& server = started.server;
	client::VisualiserClient visualiser;
	ASSERT_TRUE (started.authenticate (visualiser));
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

TEST (FailingCalls, ARunThatKeepsFailingIsRetriedAboutOnceASecondCostsNothingAndRecoversWhenFixed)
{
	// A run that fails with a visualiser attached (its folder went, and a rename cannot be
	// published) takes the session with it: the audio thread no longer sees one.
	test::StartedServer started;
	AudioServer& server = started.server;
	client::VisualiserClient visualiser;
	ASSERT_TRUE (started.authenticate (visualiser));
	std::filesystem::remove_all (started.runtime.path ());
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
	EXPECT_TRUE (retries >= 2 && retries <= 4) << retries;
	EXPECT_EQ (server.status ().text, u"Connection unavailable");

	// Fixed, the next retry publishes, and the run counts itself available just after.
	test::setRuntimeVariable (started.runtime.path ().wstring ());
	const auto fixed = std::chrono::steady_clock::now ();
	ASSERT_TRUE (test::waitForSender (started.runtime.path (), 2500ms)) << "the server did not recover";
	EXPECT_LE (std::chrono::steady_clock::now () - fixed, 1600ms);
	EXPECT_TRUE (test::waitUntil ([&] { return server.status ().text == u"Waiting for Tarvo"; }, 500ms));
	server.stop ();
}

TEST (FailingCalls, RuntimeFoldersAtRootsOrBehindADevicePathPublishAndNeverPastALink)
{
	// Windows refuses to create a drive's or a share's root (access denied), and its C
	// runtime's stat sees every "\\?\" path as missing; Wine answers neither way.
	test::RuntimeDirectory scratch;
	const std::filesystem::path drive = scratch.path () / "drive", share = scratch.path () / "share";
	std::filesystem::create_directories (drive);
	std::filesystem::create_directories (share);
	test::mapRoot (L"T:\\", drive.wstring ());
	test::mapRoot (L"\\\\tarvo-server\\share", share.wstring ());
	const std::pair<std::wstring, std::filesystem::path> folders[] = {
	    {L"T:\\", drive}, {L"\\\\tarvo-server\\share", share},
	    {L"\\\\tarvo-server\\share\\Studio\\Senders", share / "Studio" / "Senders"},
	    {L"\\\\?\\" + (scratch.path () / "device" / "Senders").wstring (), scratch.path () / "device" / "Senders"}};
	for (const auto& [variable, folder] : folders)
	{
		SCOPED_TRACE (std::filesystem::path (variable).string ());
		test::setRuntimeVariable (variable);
		AudioServer server;
		server.start ();
		EXPECT_TRUE (test::waitForSender (folder, 2000ms));
		EXPECT_EQ (server.status ().text, u"Waiting for Tarvo");
		server.stop ();
		EXPECT_TRUE (client::listSenders (folder).empty ());
	}
	test::unmapRoots ();
	EXPECT_EQ (test::callsOnServerAlone (), 0u) << "the climb went above the share";

	// A link under the temporary name whose target does not exist yet: on Windows a create
	// follows it unless told to open the link itself.
	AccessDescriptor access = makeAccessDescriptor ();
	DiscoveryFiles files (drive / "0123.json");
	PublicationContext context {0, files, "0123", std::string (48, 'c'), access};
	const auto elsewhere = drive / "elsewhere";
	test::linkAsWindows (files.temporaryPath ().wstring (), elsewhere.wstring ());
	EXPECT_EQ (test::errorOf ([&] { publishDiscoveryRecord (context, 1, u"Linked"); }), "Discovery write failed");
	test::unmapRoots ();
	EXPECT_FALSE (std::filesystem::exists (elsewhere)) << "the record was written at the link's target";

	const std::pair<const wchar_t*, size_t> roots[] = {
	    {L"C:\\", 3}, {L"C:/x", 3}, {L"C:", 0}, {L"x\\server\\share\\y", 0}, {L"\\\\server\\share", 14},
	    {L"\\\\server\\share\\x", 15}, {L"//server//share/x", 16}, {L"\\\\server", 0},
	    {L"\\\\?\\C:\\x", 7}, {L"\\\\.\\C:\\", 7}, {L"\\\\?\\Volume{1}\\x", 14},
	    {L"\\\\?\\UNC\\server\\share\\x", 21}, {L"\\\\.\\UNC\\server\\share\\x", 21}, {L"\\\\?\\UNC\\server", 0},
	};
	for (const auto& [path, length] : roots)
		EXPECT_EQ (windowsRootLength (path), length) << std::filesystem::path (path).string ();
}
