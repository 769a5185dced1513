// Many instances in one host process, each streaming to its own visualiser; a runtime
// directory that becomes unusable while a server runs; renames under a polling reader.
#include "linkedinstance.h"
#include "runtimefixture.h"

#include "server/audioserver.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

using namespace tarvo;
using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

int threadsInThisProcess ()
{
	HANDLE snapshot = CreateToolhelp32Snapshot (TH32CS_SNAPTHREAD, 0);
	THREADENTRY32 entry {};
	entry.dwSize = sizeof entry;
	int count = 0;
	for (BOOL more = Thread32First (snapshot, &entry); more; more = Thread32Next (snapshot, &entry))
		count += entry.th32OwnerProcessID == GetCurrentProcessId ();
	CloseHandle (snapshot);
	return count;
}

double loadSeconds ()
{
	const char* value = std::getenv ("TARVO_LOAD_SECONDS");
	return value ? std::atof (value) : 60.0;
}

/** One visualiser reading its sender's stream on its own thread. */
struct CountingClient
{
	client::VisualiserClient pipe;
	std::thread reader;
	std::atomic<bool> stop {false};
	std::atomic<uint64_t> frames {0};
	std::atomic<uint64_t> gaps {0};
	std::atomic<uint32_t> dropped {0};
	std::atomic<bool> authenticated {false};

	void start ()
	{
		reader = std::thread ([this] {
			client::Frame frame;
			int64_t last = -1;
			while (!stop.load ())
			{
				if (pipe.readFrame (frame, 20) != client::VisualiserClient::ReadResult::frame)
					continue;
				authenticated = true;
				if (frame.isKeepAlive ())
					continue;
				if (last >= 0)
					gaps += uint64_t (int64_t (frame.header.sequence) - last - 1);
				last = frame.header.sequence;
				dropped = frame.header.dropped;
				frames += frame.header.frameCount;
			}
		});
	}
};

} // namespace

TEST (Load, SixteenInstancesStreamWithoutLossAndLeaveNothingBehind)
{
	constexpr int kInstances = 16;
	constexpr int32 kBlock = 256;
	const double seconds = loadSeconds ();
	test::RuntimeDirectory runtime;
	const int threadsBefore = threadsInThisProcess ();
	{
		std::vector<std::unique_ptr<test::LinkedInstance>> instances;
		for (int i = 0; i < kInstances; ++i)
		{
			instances.push_back (std::make_unique<test::LinkedInstance> (false));
			instances.back ()->processorPoint->notify (test::makeMessage ("tarvo.poll"));
			instances.back ()->activate ();
		}
		std::vector<client::SenderRecord> senders;
		ASSERT_TRUE (test::waitUntil ([&] { return (senders = client::listSenders (runtime.path ())).size () == kInstances; }, 10s))
		    << senders.size () << " records";
		std::set<std::string> ids;
		for (const auto& s : senders)
			ids.insert (s.id);
		EXPECT_EQ (ids.size (), size_t (kInstances));

		std::vector<std::unique_ptr<CountingClient>> clients;
		for (const auto& sender : senders)
		{
			clients.push_back (std::make_unique<CountingClient> ());
			std::string error;
			ASSERT_TRUE (clients.back ()->pipe.connect (sender, error)) << error;
			clients.back ()->start ();
		}
		ASSERT_TRUE (test::waitUntil ([&] {
			for (auto& c : clients)
				if (!c->authenticated.load ())
					return false;
			return true;
		}, 5s));

		// The host's audio thread: every instance, 256 frames, paced at 48 kHz.
		FILETIME created, ended, kernelBefore, userBefore, kernelAfter, userAfter;
		GetProcessTimes (GetCurrentProcess (), &created, &ended, &kernelBefore, &userBefore);
		const auto started = Clock::now ();
		uint64_t calls = 0;
		const uint64_t totalCalls = uint64_t (seconds * 48000.0 / kBlock);
		double slowest = 0.0;
		for (; calls < totalCalls; ++calls)
		{
			std::this_thread::sleep_until (started + std::chrono::duration_cast<Clock::duration> (
			                                              std::chrono::duration<double> (double (calls) * kBlock / 48000.0)));
			const auto t0 = Clock::now ();
			for (auto& instance : instances)
				instance->process (kBlock);
			slowest = std::max (slowest, std::chrono::duration<double, std::micro> (Clock::now () - t0).count ());
		}
		const double wall = std::chrono::duration<double> (Clock::now () - started).count ();
		GetProcessTimes (GetCurrentProcess (), &created, &ended, &kernelAfter, &userAfter);
		auto ticks = [] (const FILETIME& f) { return (uint64_t (f.dwHighDateTime) << 32) | f.dwLowDateTime; };
		const double cpu = double (ticks (kernelAfter) - ticks (kernelBefore) + ticks (userAfter) - ticks (userBefore)) / 1e7;

		// Let the last frames arrive, then count.
		const uint64_t expected = calls * kBlock;
		test::waitUntil ([&] {
			for (auto& c : clients)
				if (c->frames.load () < expected)
					return false;
			return true;
		}, 5s);
		uint64_t gaps = 0, dropped = 0;
		for (auto& c : clients)
		{
			EXPECT_EQ (c->frames.load (), expected);
			gaps += c->gaps.load ();
			dropped += c->dropped.load ();
		}
		std::printf ("  %d instances, %.0f s: %llu calls of %d frames each, slowest round of 16 calls %.0f us\n",
		             kInstances, wall, static_cast<unsigned long long> (calls), kBlock, slowest);
		std::printf ("  every client received %llu frames; gaps %llu, dropped %llu; process CPU %.1f %% of one core\n",
		             static_cast<unsigned long long> (expected), static_cast<unsigned long long> (gaps),
		             static_cast<unsigned long long> (dropped), 100.0 * cpu / wall);
		EXPECT_EQ (gaps, 0u);
		EXPECT_EQ (dropped, 0u);

		// Every client vanishes at once, without a word; then the host stops.
		for (auto& c : clients)
			c->pipe.close ();
		for (auto& c : clients)
		{
			c->stop = true;
			c->reader.join ();
		}
		instances.clear (); // deactivates, terminates and releases every instance
	}
	EXPECT_TRUE (std::filesystem::is_empty (runtime.path ())) << "a record or temporary file was left";
	EXPECT_TRUE (test::waitUntil ([&] { return threadsInThisProcess () <= threadsBefore; }, 2s))
	    << threadsInThisProcess () << " threads now, " << threadsBefore << " before";
}

TEST (Faults, AnUnusableRuntimeDirectoryDuringARunRecoversByItself)
{
	test::RuntimeDirectory runtime;
	AudioServer server;
	server.start ();
	ASSERT_TRUE (test::waitForSender (runtime.path ()));

	// The folder is replaced by a file; the next publication (after a rename) fails.
	std::error_code ec;
	std::filesystem::remove_all (runtime.path (), ec);
	std::ofstream (runtime.path ()) << "in the way";
	server.setLabel (u"Renamed");
	ASSERT_TRUE (test::waitUntil ([&] { return server.status ().text == u"Connection unavailable"; }, 1500ms));
	std::this_thread::sleep_for (1200ms); // retried, still failing
	EXPECT_EQ (server.status ().text, u"Connection unavailable");

	std::filesystem::remove (runtime.path ());
	auto record = test::waitForSender (runtime.path (), 2500ms);
	ASSERT_TRUE (record) << "no recovery once the folder could be made again";
	EXPECT_EQ (record->label, "Renamed");
	// The record goes out just before the run counts itself available.
	EXPECT_TRUE (test::waitUntil ([&] { return server.status ().text == u"Waiting for Tarvo"; }, 500ms));
	server.stop ();
}

TEST (Faults, AThousandRenamesUnderAPollingReader)
{
	test::RuntimeDirectory runtime;
	AudioServer server;
	server.start ();
	auto first = test::waitForSender (runtime.path ());
	ASSERT_TRUE (first);

	std::atomic<bool> done {false};
	std::atomic<int> reads {0}, invalid {0}, vanished {0};
	std::thread reader ([&] {
		while (!done.load ())
		{
			client::SenderRecord record;
			std::string error;
			if (client::readSenderRecord (first->file, record, error))
			{
				++reads;
				if (record.id != first->id || record.token != first->token || record.label.rfind ("Take ", 0) != 0 &&
				                                                                  record.label != "Audio Server")
					++invalid;
			}
			else if (error == "the record vanished")
				++vanished;
			else
				++invalid;
			std::this_thread::sleep_for (1ms);
		}
	});
	for (int i = 0; i < 1000; ++i)
	{
		server.setLabel (u"Take " + std::u16string (size_t (i % 50 + 1), u'#'));
		std::this_thread::sleep_for (1ms);
	}
	std::this_thread::sleep_for (300ms);
	done = true;
	reader.join ();
	std::printf ("  %d reads during 1000 renames: %d invalid, %d found no record\n", reads.load (), invalid.load (),
	             vanished.load ());
	EXPECT_GT (reads.load (), 100);
	EXPECT_EQ (invalid.load (), 0);
	EXPECT_EQ (vanished.load (), 0);
	EXPECT_NE (server.status ().text, u"Connection unavailable"); // the run survived
	EXPECT_EQ (client::listSenders (runtime.path ()).front ().id, first->id);
	server.stop ();
}
