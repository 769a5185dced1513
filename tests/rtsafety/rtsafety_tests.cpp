// The audio thread must never allocate, free or lock: process() is driven through every
// mode while a visualiser connects, auditions, stops reading and reconnects, and every
// heap operation and lock acquisition on the audio thread is counted. Meanwhile the server
// thread's Win32 calls are counted per pass of its loop: each is a round trip to the
// wineserver under Wine and a kernel transition on Windows.
#include "instrumentation.h"
#include "linkedinstance.h"
#include "runtimefixture.h"

#include "server/auditioncommand.h"
#include "shared/messages.h"

#include "pluginterfaces/vst/ivstprocesscontext.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

using namespace tarvo;
using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

enum class Mode
{
	realtime,
	offline,
	recording,
	stalling,
};

struct Passes
{
	uint64_t count;   // of the server thread's loop, one wait each
	double callsEach; // its Win32 calls, divided by the passes
};
/** The server thread's passes while `duration` passes, and its calls per pass. */
Passes passesDuring (const char* what, std::chrono::milliseconds duration, const std::function<void (int)>& each = [] (int) {});

/** The host's audio thread: calls process() every 5 ms (256 frames at 48 kHz), counting
    what happens inside each call. */
class AudioThread
{
public:
	explicit AudioThread (IAudioProcessor* processor) : processor (processor), thread ([this] {
		test::ignoreKernelCallsOfThisThread (); // its own pacing sleeps
		run ();
	}) {}
	~AudioThread ()
	{
		stop = true;
		thread.join ();
	}

	std::atomic<Mode> mode {Mode::realtime};
	std::atomic<double> slowestMicros {0.0};
	std::atomic<uint64_t> calls {0};

private:
	void run ()
	{
		host::ProcessBuffers wide (2, 256, kSample64), narrow (2, 256, kSample32);
		for (uint64_t n = 0; !stop.load (); ++n, ++calls)
		{
			host::ProcessBuffers& buffers = n % 3 == 0 ? wide : narrow;
			for (int32 c = 0; c < 2; ++c)
				for (int32 f = 0; f < 256; ++f)
					buffers.setInput (c, f, 0.3 * std::sin (0.05 * double (f + 256 * n)) * (c ? -1 : 1));
			ProcessData& data = buffers.prepare (256);
			const Mode m = mode.load ();
			data.processMode = m == Mode::offline ? kOffline : (n % 5 == 0 ? kPrefetch : kRealtime);
			buffers.context ().state = ProcessContext::kPlaying | ProcessContext::kContTimeValid |
			                           (m == Mode::recording ? ProcessContext::kRecording : 0);
			buffers.context ().continousTimeSamples = int64 (n) * 256;

			test::beginCountingOnThisThread ();
			const auto t0 = Clock::now ();
			processor->process (data);
			const double micros = std::chrono::duration<double, std::micro> (Clock::now () - t0).count ();
			test::endCounting ();
			slowestMicros = std::max (slowestMicros.load (), micros);
			std::this_thread::sleep_for (m == Mode::stalling ? 300ms : 5ms);
		}
	}

	IAudioProcessor* processor;
	std::atomic<bool> stop {false};
	std::thread thread;
};

/** A visualiser reading on its own thread (unless paused), sending commands from the
    test's thread. */
class Visualiser
{
public:
	explicit Visualiser (const client::SenderRecord& sender)
	{
		std::string error;
		EXPECT_TRUE (client.connect (sender, error)) << error;
		reader = std::thread ([this] {
			test::ignoreKernelCallsOfThisThread ();
			for (client::Frame frame; !stop.load ();)
				if (paused.load ())
					std::this_thread::sleep_for (5ms);
				else if (client.readFrame (frame, 20) == client::VisualiserClient::ReadResult::frame)
				{
					session = frame.header.sessionId;
					dropped = frame.header.dropped;
				}
		});
		test::waitUntil ([&] { return session.load () != 0; }, 2000ms);
	}
	~Visualiser ()
	{
		stop = true;
		reader.join ();
	}

	void request (uint32_t requestId, uint32_t mask, uint32_t mode = 0, float a = 250.0f, float b = 1000.0f)
	{
		const auto command = makeCommand (session.load (), ++sequence, requestId, mask, a, b, mode ? 0.0f : 6000.0f, mode);
		std::string error;
		client.sendBytes (&command, sizeof command, error);
	}

	client::VisualiserClient client;
	std::atomic<uint32_t> session {0};
	std::atomic<uint32_t> dropped {0}; // as the last frame counted them
	std::atomic<bool> paused {false};
	uint32_t sequence {0};

private:
	std::atomic<bool> stop {false};
	std::thread reader;
};

/** Lets `duration` pass, calling `each` every 20 ms. */
void hold (std::chrono::milliseconds duration, const std::function<void (int)>& each = [] (int) {})
{
	const auto end = Clock::now () + duration;
	for (int step = 0; Clock::now () < end; ++step)
	{
		each (step);
		std::this_thread::sleep_for (20ms);
	}
}

Passes passesDuring (const char* what, std::chrono::milliseconds duration, const std::function<void (int)>& each)
{
	const test::KernelCalls before = test::countedKernelCalls ();
	hold (duration, each);
	test::KernelCalls calls = test::countedKernelCalls ();
	for (int i = 0; i < test::kKernelCallKinds; ++i)
		calls.count[i] -= before.count[i];
	const uint64_t passes = calls.count[test::kWait];
	const double perPass = passes ? double (calls.total ()) / double (passes) : 1e9;
	std::printf ("  %-28s %5llu passes, %5.2f calls per pass (writes %llu, reads %llu, other %llu)\n", what,
	             static_cast<unsigned long long> (passes), perPass, static_cast<unsigned long long> (calls.count[test::kWrite]),
	             static_cast<unsigned long long> (calls.count[test::kRead]),
	             static_cast<unsigned long long> (calls.count[test::kOtherCall]));
	return {passes, perPass};
}

} // namespace

TEST (RealTimeSafety, TheAudioThreadNeitherAllocatesNorLocksAndTheServerThreadCallsLittle)
{
	test::ignoreKernelCallsOfThisThread ();
	test::RuntimeDirectory runtime;
	test::LinkedInstance instance;
	instance.activate ();
	auto sender = test::waitForSender (runtime.path ());
	ASSERT_TRUE (sender);

	const auto before = test::audioThreadCounts (); // other tests of this program count too
	AudioThread audio (instance.processor);
	const Passes listening = passesDuring ("listening", 600ms); // nobody connected
	EXPECT_LE (listening.callsEach, 1.05);
	EXPECT_LE (listening.count, 12u); // about every 100 ms

	double slowestWhileStalled = 0.0;
	{
		// A visualiser joins during an offline render, which captures nothing: with no block
		// length known, the session wakes every 8 ms, not every millisecond.
		audio.mode = Mode::offline;
		Visualiser visualiser (*sender);
		EXPECT_LE (passesDuring ("connected, offline render", 500ms).count, 80u);
		audio.mode = Mode::realtime;
		// 256 stereo frames every 5 ms, as a host's audio thread at 48 kHz.
		EXPECT_LE (passesDuring ("streaming 256-frame blocks", 1500ms).callsEach, 2.3);
		EXPECT_EQ (test::timersTicking (), 1u); // the session's wake-up
		uint32_t id = 1;
		hold (500ms, [&] (int) { visualiser.request (id, 0b0010); });                                 // Band Solo
		++id;
		hold (500ms, [&] (int) { visualiser.request (id, 0, 1, 1000.0f, 0.5f); });             // spectrum
		hold (400ms, [&] (int) {
			++id;
			visualiser.request (id, id % 2 ? 0b0001 : 0b0011); // crossfades
		});
		hold (400ms, [&] (int step) { visualiser.request (++id, 0b0110, 0, 200.0f + 10.0f * float (step)); }); // glides

		visualiser.paused = true; // stops reading: the pipe fills, the ring drops
		audio.slowestMicros = 0.0;
		++id; // (a repeat must repeat its request exactly, or the session ends)
		// Until about three times what the pipe and the ring hold together has been played,
		// however slowly a loaded machine paces the audio thread.
		const uint64_t stalledFrom = audio.calls.load ();
		const auto stalledUntil = Clock::now () + 10s;
		while (audio.calls.load () < stalledFrom + 400 && Clock::now () < stalledUntil)
			hold (100ms, [&] (int) { visualiser.request (id, 0b0110, 0, 400.0f); });
		slowestWhileStalled = audio.slowestMicros.load ();
		EXPECT_EQ (test::timersTicking (), 0u) << "the wake-up ticked on while a write waited";
		visualiser.paused = false;

		audio.mode = Mode::offline;
		hold (200ms, [&] (int) { visualiser.request (id, 0b0110, 0, 400.0f); });
		audio.mode = Mode::recording;
		hold (200ms, [&] (int) { visualiser.request (id, 0b0110, 0, 400.0f); });
		audio.mode = Mode::stalling; // connected, with a block every 300 ms at most
		EXPECT_LE (passesDuring ("connected, hardly any audio", 900ms).callsEach, 1.2);
		audio.mode = Mode::realtime;

		instance.controller->sendRequest (kMessageClear); // every audition cleared
		hold (200ms, [&] (int) { visualiser.request (++id, 0b0001); });
		visualiser.request (++id, 0); // the acknowledgement
		instance.controller->sendRequest (kMessagePrimary);
		instance.controller->renameSender (u"Renamed while streaming");
		hold (300ms, [&] (int) { visualiser.request (id + 1, 0b1000); });
		EXPECT_TRUE (instance.poll ().connected) << "the session ended before the visualiser left";
		EXPECT_GT (visualiser.dropped.load (), 0u) << "the pipe never filled";
	} // the visualiser disconnects mid-audition
	EXPECT_TRUE (test::waitUntil ([&] { return !instance.poll ().connected; }, 1000ms));
	// Nothing ticks for a session that ended (the status says so a moment before the timer stops).
	EXPECT_TRUE (test::waitUntil ([] { return test::timersTicking () == 0; }, 1000ms));

	{
		Visualiser again (*sender); // a new session
		hold (300ms, [&] (int) { again.request (1, 0b0100); });
	}
	hold (200ms);
	instance.controller->sendRequest (kMessagePrimary);

	const uint64_t calls = audio.calls.load ();
	auto counts = test::audioThreadCounts ();
	counts.allocations -= before.allocations;
	counts.frees -= before.frees;
	counts.locks -= before.locks;
	std::printf ("  %llu process() calls: %llu allocations, %llu frees, %llu lock acquisitions on the audio thread\n",
	             static_cast<unsigned long long> (calls), static_cast<unsigned long long> (counts.allocations),
	             static_cast<unsigned long long> (counts.frees), static_cast<unsigned long long> (counts.locks));
	std::printf ("  slowest process() while the visualiser stopped reading: %.1f us\n", slowestWhileStalled);
	EXPECT_GT (calls, 500u);
	EXPECT_EQ (counts.allocations, 0u);
	EXPECT_EQ (counts.frees, 0u);
	EXPECT_EQ (counts.locks, 0u);
	// Waiting for the stalled pipe would take seconds; 20 ms leaves room for a preemption.
	EXPECT_LT (slowestWhileStalled, 20000.0);
}

TEST (RealTimeSafety, TheCounterSeesWhatItShould)
{
	// A counter that cannot count proves nothing: check it on this thread.
	const auto before = test::audioThreadCounts ();
	test::beginCountingOnThisThread ();
	auto* p = new int (3);
	asm volatile ("" : : "r"(p) : "memory"); // the compiler may not drop the pair
	delete p;
	void* raw = std::malloc (16);
	asm volatile ("" : : "r"(raw) : "memory");
	std::free (raw);
	test::endCounting ();
	const auto afterHeap = test::audioThreadCounts ();
	EXPECT_EQ (afterHeap.allocations - before.allocations, 2u);
	EXPECT_EQ (afterHeap.frees - before.frees, 2u);
	EXPECT_EQ (afterHeap.locks - before.locks, 0u);

	// (A mutex's first lock may also allocate it: that is counted too, as it should be.)
	std::mutex m;
	test::beginCountingOnThisThread ();
	m.lock ();
	m.unlock ();
	test::endCounting ();
	EXPECT_EQ (test::audioThreadCounts ().locks - afterHeap.locks, 1u);

}
