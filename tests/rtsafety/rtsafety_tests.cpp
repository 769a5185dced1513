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

enum class Mode { realtime, offline, recording, stalling, fewFrames, fewestFrames };

/** The host's audio thread: calls process() every 5 ms (256 frames at 48 kHz; 16 as a live player,
    4 as a host that splits its buffers at automation points), counting what happens in each call. */
struct AudioThread
{
	explicit AudioThread (IAudioProcessor* processor) : thread ([this, processor] { run (*processor); }) {}
	~AudioThread () { stop = true; thread.join (); }

	void run (IAudioProcessor& processor)
	{
		test::ignoreKernelCallsOfThisThread (); // its own pacing sleeps
		host::ProcessBuffers wide (2, 256, kSample64), narrow (2, 256, kSample32);
		for (uint64_t n = 0; !stop.load (); ++n, ++calls)
		{
			host::ProcessBuffers& buffers = n % 3 == 0 ? wide : narrow;
			const Mode m = mode.load ();
			const int32 frames = m == Mode::fewFrames ? 16 : m == Mode::fewestFrames ? 4 : 256;
			for (int32 c = 0; c < 2; ++c)
				for (int32 f = 0; f < frames; ++f)
					buffers.setInput (c, f, 0.3 * std::sin (0.05 * double (f + 256 * n)) * (c ? -1 : 1));
			ProcessData& data = buffers.prepare (frames);
			data.processMode = m == Mode::offline ? kOffline : (n % 5 == 0 ? kPrefetch : kRealtime);
			buffers.context ().state = ProcessContext::kPlaying | ProcessContext::kContTimeValid |
			                           (m == Mode::recording ? ProcessContext::kRecording : 0);
			buffers.context ().continousTimeSamples = int64 (n) * 256;

			test::beginCountingOnThisThread ();
			const auto t0 = Clock::now ();
			processor.process (data);
			const double micros = std::chrono::duration<double, std::micro> (Clock::now () - t0).count ();
			test::endCounting ();
			slowestMicros = std::max (slowestMicros.load (), micros);
			std::this_thread::sleep_for (m == Mode::stalling ? 300ms : 5ms);
		}
	}

	std::atomic<Mode> mode {Mode::realtime};
	std::atomic<double> slowestMicros {0.0};
	std::atomic<uint64_t> calls {0};
	std::atomic<bool> stop {false};
	std::thread thread;
};

/** A visualiser reading on its own thread (unless paused), sending commands from the
    test's thread. */
struct Visualiser
{
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
	~Visualiser () { stop = true; reader.join (); }

	void request (uint32_t requestId, uint32_t mask, uint32_t mode = 0, float a = 250.0f, float b = 1000.0f)
	{
		const auto command = makeCommand (session.load (), ++sequence, requestId, mask, a, b, mode ? 0.0f : 6000.0f, mode);
		std::string error;
		client.sendBytes (&command, sizeof command, error);
	}

	client::VisualiserClient client;
	std::atomic<uint32_t> session {0};
	std::atomic<uint32_t> dropped {0}; // as the last frame counted them
	std::atomic<bool> paused {false}, stop {false};
	uint32_t sequence {0};
	std::thread reader;
};

/** Lets `duration` pass, calling `each` every 20 ms. */
void hold (std::chrono::milliseconds duration, const std::function<void (int)>& each = [] (int) {})
{
	const auto end = Clock::now () + duration;
	for (int step = 0; Clock::now () < end; ++step, std::this_thread::sleep_for (20ms))
		each (step);
}

/** Lets `duration` pass and checks the server thread's passes of its loop (one wait each)
    and its Win32 calls per pass against the most allowed. */
void expectPasses (const char* what, std::chrono::milliseconds duration, uint64_t mostPasses, double mostCallsEach)
{
	const test::KernelCalls before = test::countedKernelCalls ();
	hold (duration);
	test::KernelCalls calls = test::countedKernelCalls ();
	for (int i = 0; i < test::kKernelCallKinds; ++i)
		calls.count[i] -= before.count[i];
	const uint64_t passes = calls.count[test::kWait];
	const double perPass = passes ? double (calls.total ()) / double (passes) : 1e9;
	std::printf ("  %-28s %5llu passes, %5.2f calls per pass (writes %llu, reads %llu, other %llu)\n", what, passes, perPass,
	             calls.count[test::kWrite], calls.count[test::kRead], calls.count[test::kOtherCall]);
	EXPECT_LE (passes, mostPasses) << what;
	EXPECT_LE (perPass, mostCallsEach) << what;
}

} // namespace

TEST (RealTimeSafety, TheAudioThreadNeitherAllocatesNorLocksAndTheServerThreadCallsLittle)
{
	// A counter that cannot count proves nothing: check it on this thread first.
	const auto start = test::audioThreadCounts (); // other tests of this program count too
	test::beginCountingOnThisThread ();
	auto* p = new int (3);
	asm volatile ("" : : "r"(p) : "memory"); // the compiler may not drop the pair
	delete p;
	void* raw = std::malloc (16);
	asm volatile ("" : : "r"(raw) : "memory");
	std::free (raw);
	test::endCounting ();
	const auto afterHeap = test::audioThreadCounts ();
	EXPECT_EQ (afterHeap.allocations - start.allocations, 2u);
	EXPECT_EQ (afterHeap.frees - start.frees, 2u);
	EXPECT_EQ (afterHeap.locks - start.locks, 0u);
	// (A mutex's first lock may also allocate it: that is counted too, as it should be.)
	std::mutex m;
	test::beginCountingOnThisThread ();
	m.lock ();
	m.unlock ();
	test::endCounting ();
	EXPECT_EQ (test::audioThreadCounts ().locks - afterHeap.locks, 1u);

	test::ignoreKernelCallsOfThisThread ();
	test::RuntimeDirectory runtime;
	test::LinkedInstance instance;
	instance.activate ();
	auto sender = test::waitForSender (runtime.path ());
	ASSERT_TRUE (sender);

	const auto before = test::audioThreadCounts ();
	AudioThread audio (instance.processor);
	constexpr uint64_t kAnyPasses = ~0ull;
	constexpr double kAnyCalls = 1e9;
	expectPasses ("listening", 600ms, 12, 1.05); // nobody connected: about every 100 ms

	double slowestWhileStalled = 0.0;
	{
		// A visualiser joins during an offline render, which captures nothing: with no block
		// length known, the session wakes every 8 ms, not every millisecond.
		audio.mode = Mode::offline;
		Visualiser visualiser (*sender);
		expectPasses ("connected, offline render", 500ms, 80, kAnyCalls);
		audio.mode = Mode::realtime;
		expectPasses ("streaming 256-frame blocks", 1500ms, kAnyPasses, 2.3);
		EXPECT_EQ (test::timersTicking (), 1u); // the session's wake-up
		uint32_t id = 1;
		hold (500ms, [&] (int) { visualiser.request (id, 0b0010); }); // Band Solo
		++id;
		hold (500ms, [&] (int) { visualiser.request (id, 0, 1, 1000.0f, 0.5f); }); // spectrum
		hold (400ms, [&] (int) { ++id; visualiser.request (id, id % 2 ? 0b0001 : 0b0011); }); // crossfades
		hold (400ms, [&] (int step) { visualiser.request (++id, 0b0110, 0, 200.0f + 10.0f * float (step)); }); // glides

		visualiser.paused = true; // stops reading: the pipe fills, the ring drops
		audio.slowestMicros = 0.0;
		++id; // (a repeat must repeat its request exactly, or the session ends)
		const auto repeat = [&] (int) { visualiser.request (id, 0b0110, 0, 400.0f); };
		// Until about three times what the pipe and the ring hold together has been played,
		// however slowly a loaded machine paces the audio thread.
		const uint64_t stalledFrom = audio.calls.load ();
		for (const auto until = Clock::now () + 10s; audio.calls.load () < stalledFrom + 400 && Clock::now () < until;)
			hold (100ms, repeat);
		slowestWhileStalled = audio.slowestMicros.load ();
		EXPECT_EQ (test::timersTicking (), 0u) << "the wake-up ticked on while a write waited";
		visualiser.paused = false;

		for (const Mode mode : {Mode::offline, Mode::recording})
		{
			audio.mode = mode;
			hold (200ms, repeat);
		}
		audio.mode = Mode::stalling; // connected, with a block every 300 ms at most
		expectPasses ("connected, hardly any audio", 900ms, kAnyPasses, 1.2);
		audio.mode = Mode::realtime;

		instance.controller->sendRequest (kMessageClear); // every audition cleared
		hold (200ms, [&] (int) { visualiser.request (++id, 0b0001); });
		visualiser.request (++id, 0); // the acknowledgement
		instance.controller->sendRequest (kMessagePrimary);
		instance.controller->renameSender (u"Renamed while streaming");
		hold (300ms, [&] (int) { visualiser.request (id + 1, 0b1000); });
		EXPECT_TRUE (instance.poll ().connected) << "the session ended before the visualiser left";
		EXPECT_GT (visualiser.dropped.load (), 0u) << "the pipe never filled";
		for (const auto& few : {std::pair (Mode::fewFrames, 5u), std::pair (Mode::fewestFrames, 1u)})
		{
			audio.mode = few.first; // 16 blocks of 16 or of 4 frames fill half the ring in 5.3 or 1.3 ms
			EXPECT_TRUE (test::waitUntil ([&] { return test::lastTimerPeriod () == few.second; }, 1000ms)) << few.second;
		}
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
	const auto after = test::audioThreadCounts ();
	const uint64_t allocations = after.allocations - before.allocations, frees = after.frees - before.frees,
	               locks = after.locks - before.locks;
	std::printf ("  %llu process() calls: %llu allocations, %llu frees, %llu lock acquisitions on the audio thread\n"
	             "  slowest process() while the visualiser stopped reading: %.1f us\n",
	             calls, allocations, frees, locks, slowestWhileStalled);
	EXPECT_GT (calls, 500u);
	EXPECT_EQ (allocations + frees + locks, 0u) << "the audio thread allocated, freed or locked (counts above)";
	// Waiting for the stalled pipe would take seconds; 20 ms leaves room for a preemption.
	EXPECT_LT (slowestWhileStalled, 20000.0);
}
