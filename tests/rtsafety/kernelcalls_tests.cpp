// Every Win32 call of a server thread is a round trip to the wineserver under Wine and
// costs a kernel transition on Windows: the pipe loop's calls per pass are counted while
// it listens, while a visualiser is connected with no audio, and while audio streams.
#include "instrumentation.h"
#include "runtimefixture.h"

#include "server/audioserver.h"
#include "shared/steadyclock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace tarvo;
using namespace std::chrono_literals;

namespace {

/** The server thread's calls, divided by its passes (one wait each), over `period`. */
double callsPerPass (const char* what, std::chrono::milliseconds period)
{
	const test::KernelCalls before = test::countedKernelCalls ();
	std::this_thread::sleep_for (period);
	test::KernelCalls calls = test::countedKernelCalls ();
	for (int i = 0; i < test::kKernelCallKinds; ++i)
		calls.count[i] -= before.count[i];
	const uint64_t passes = calls.count[test::kWait];
	const double perPass = passes ? double (calls.total ()) / double (passes) : 1e9;
	std::printf ("  %-28s %5llu passes, %5.2f calls per pass (writes %llu, reads %llu, other %llu)\n", what,
	             static_cast<unsigned long long> (passes), perPass, static_cast<unsigned long long> (calls.count[test::kWrite]),
	             static_cast<unsigned long long> (calls.count[test::kRead]),
	             static_cast<unsigned long long> (calls.count[test::kOtherCall]));
	return perPass;
}

} // namespace

TEST (PipeLoop, MakesFewKernelCallsPerPass)
{
	test::ignoreKernelCallsOfThisThread ();
	test::RuntimeDirectory runtime;
	AudioServer server;
	server.start ();
	const auto record = test::waitForSender (runtime.path ());
	ASSERT_TRUE (record);
	EXPECT_LE (callsPerPass ("listening", 600ms), 1.05);

	std::atomic<bool> done {false};
	std::atomic<uint64_t> audioFrames {0};
	std::thread visualiser ([&] {
		test::ignoreKernelCallsOfThisThread ();
		client::VisualiserClient client;
		std::string error;
		if (!client.connect (*record, error))
			return;
		client::Frame frame;
		while (!done.load ())
			if (client.readFrame (frame, 50) == client::VisualiserClient::ReadResult::frame && !frame.isKeepAlive ())
				++audioFrames;
	});
	ASSERT_TRUE (test::waitUntil ([&] { return server.isCapturing (); }, 2000ms));
	EXPECT_LE (callsPerPass ("connected, no audio", 600ms), 1.2);

	// 256 stereo frames every 5.33 ms, as a host's audio thread at 48 kHz.
	std::thread audio ([&] {
		test::ignoreKernelCallsOfThisThread (); // its own pacing sleeps
		std::vector<float> samples (256, 0.25f);
		const float* channels[2] = {samples.data (), samples.data ()};
		auto next = std::chrono::steady_clock::now ();
		while (!done.load ())
		{
			server.mailbox ().lastProcessMs = steadyMillis ();
			server.capture (channels, 2, 256, 0, 48000.0);
			next += std::chrono::microseconds (5333);
			std::this_thread::sleep_until (next);
		}
	});
	std::this_thread::sleep_for (200ms);
	const double streaming = callsPerPass ("streaming 256-frame blocks", 2000ms);
	done = true;
	audio.join ();
	visualiser.join ();
	EXPECT_GT (audioFrames.load (), 300u);
	EXPECT_LE (streaming, 2.3);
}
