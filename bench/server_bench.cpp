// Measures, in one process: frames delivered per second to a reading client, the delay
// from capture to the frame's arrival, and the cost of capture against a plain memcpy.
#include "visualiserclient.h"

#include "server/audioserver.h"
#include "server/capturering.h"
#include "shared/steadyclock.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

using namespace tarvo;
using Clock = std::chrono::steady_clock;

namespace {

double nowMicros ()
{
	return std::chrono::duration<double, std::micro> (Clock::now ().time_since_epoch ()).count ();
}

struct StreamFigures
{
	double framesPerSecond {0};
	double p50 {0}, p99 {0}, max {0};
	uint64_t blocks {0}, dropped {0};
};

/** Streams `seconds` of stereo audio in `blockFrames` calls to a client that reads as fast
    as it can. Paced: calls at the 48 kHz rate (delay figures); unpaced: as fast as the
    ring drains (throughput). */
StreamFigures stream (int32_t blockFrames, double seconds, bool paced)
{
	const auto dir = std::filesystem::temp_directory_path () / ("tarvo-bench-" + std::to_string (GetCurrentProcessId ()));
	std::filesystem::remove_all (dir);
	SetEnvironmentVariableW (L"TARVO_AUDIO_SERVER_RUNTIME", dir.c_str ());

	auto server = std::make_unique<AudioServer> ();
	server->start ();
	std::vector<client::SenderRecord> senders;
	for (int i = 0; i < 300 && senders.empty (); ++i)
	{
		std::this_thread::sleep_for (std::chrono::milliseconds (10));
		senders = client::listSenders (dir);
	}
	client::VisualiserClient reader;
	std::string error;
	if (senders.empty () || !reader.connect (senders.front (), error))
	{
		std::fprintf (stderr, "server_bench: no sender to connect to %s\n", error.c_str ());
		std::exit (1);
	}
	while (!server->isCapturing ())
		std::this_thread::sleep_for (std::chrono::milliseconds (1));

	constexpr size_t kStamps = 1 << 20;
	std::vector<std::atomic<double>> capturedAt (kStamps);
	std::atomic<bool> done {false};
	std::vector<double> delays;
	uint64_t framesReceived = 0, blocksReceived = 0;
	uint32_t lastDropped = 0;

	std::thread client ([&] {
		client::Frame frame;
		while (!done.load ())
		{
			if (reader.readFrame (frame, 20) != client::VisualiserClient::ReadResult::frame || frame.isKeepAlive ())
				continue;
			const double arrived = nowMicros ();
			delays.push_back (arrived - capturedAt[frame.header.sequence % kStamps].load ());
			framesReceived += frame.header.frameCount;
			++blocksReceived;
			lastDropped = frame.header.dropped;
		}
	});

	std::vector<float> left (size_t (blockFrames), 0.25f), right (size_t (blockFrames), -0.25f);
	const float* channels[2] = {left.data (), right.data ()};
	const auto start = Clock::now ();
	const auto end = start + std::chrono::duration_cast<Clock::duration> (std::chrono::duration<double> (seconds));
	uint64_t calls = 0;
	while (Clock::now () < end)
	{
		if (paced)
			std::this_thread::sleep_until (start + std::chrono::duration_cast<Clock::duration> (
			                                           std::chrono::duration<double> (double (calls) * blockFrames / 48000.0)));
		else
			while (server->ring ().waiting () >= 31) // keep the ring from overflowing
				std::this_thread::yield ();
		capturedAt[server->ring ().nextSequence () % kStamps] = nowMicros ();
		server->mailbox ().lastProcessMs = steadyMillis ();
		server->capture (channels, 2, blockFrames, 0, 48000.0);
		++calls;
	}
	const double elapsed = std::chrono::duration<double> (Clock::now () - start).count ();
	std::this_thread::sleep_for (std::chrono::milliseconds (200)); // let the last frames arrive
	done = true;
	client.join ();
	server.reset ();
	std::filesystem::remove_all (dir);

	StreamFigures figures;
	figures.framesPerSecond = double (framesReceived) / elapsed;
	figures.blocks = blocksReceived;
	figures.dropped = lastDropped;
	if (!delays.empty ())
	{
		std::sort (delays.begin (), delays.end ());
		figures.p50 = delays[delays.size () / 2];
		figures.p99 = delays[std::min (delays.size () - 1, delays.size () * 99 / 100)];
		figures.max = delays.back ();
	}
	return figures;
}

/** Nanoseconds per frame of the ring's writer and of memcpy of the same bytes. */
void captureCost (int32_t blockFrames)
{
	auto ring = std::make_unique<CaptureRing> ();
	std::vector<float> left (size_t (blockFrames), 0.5f), right (size_t (blockFrames), -0.5f);
	const float* channels[2] = {left.data (), right.data ()};
	std::vector<float> destination (size_t (blockFrames) * 2);
	std::vector<float> source (size_t (blockFrames) * 2, 0.5f);
	const int iterations = std::max (2000, 4000000 / blockFrames);

	auto time = [&] (auto&& body) {
		double best = 1e30;
		for (int round = 0; round < 5; ++round)
		{
			const auto t0 = Clock::now ();
			for (int i = 0; i < iterations; ++i)
				body ();
			best = std::min (best, std::chrono::duration<double, std::nano> (Clock::now () - t0).count ());
		}
		return best / (double (iterations) * blockFrames);
	};
	const double captureNs = time ([&] {
		ring->write (channels, 2, blockFrames, 0, 48000.0, 0);
		ring->discardAll ();
	});
	const double memcpyNs = time ([&] {
		std::memcpy (destination.data (), source.data (), destination.size () * sizeof (float));
		asm volatile ("" : : "r"(destination.data ()) : "memory");
	});
	std::printf ("| %5d | %8.3f | %8.3f | %5.2f |\n", blockFrames, captureNs, memcpyNs, captureNs / memcpyNs);
}

} // namespace

int main (int argc, char** argv)
{
	const double seconds = argc > 1 ? std::atof (argv[1]) : 3.0;
	std::printf ("Audio server benchmark (48 kHz stereo, %.1f s per run)\n\n", seconds);

	std::printf ("Delivery to a reading client, calls paced at the audio rate:\n\n");
	std::printf ("| block | frames/s delivered | delay p50 (ms) | p99 (ms) | max (ms) | dropped |\n");
	std::printf ("|------:|-------------------:|---------------:|---------:|---------:|--------:|\n");
	for (int32_t block : {64, 512, 1024})
	{
		const StreamFigures f = stream (block, seconds, true);
		std::printf ("| %5d | %18.0f | %14.2f | %8.2f | %8.2f | %7llu |\n", block, f.framesPerSecond, f.p50 / 1000.0,
		             f.p99 / 1000.0, f.max / 1000.0, static_cast<unsigned long long> (f.dropped));
		std::fflush (stdout);
	}

	std::printf ("\nThroughput, calls as fast as the ring drains:\n\n");
	std::printf ("| block | frames/s delivered | x real time |\n|------:|-------------------:|------------:|\n");
	for (int32_t block : {64, 512, 1024})
	{
		const StreamFigures f = stream (block, seconds, false);
		std::printf ("| %5d | %18.0f | %11.1f |\n", block, f.framesPerSecond, f.framesPerSecond / 48000.0);
		std::fflush (stdout);
	}

	std::printf ("\nCapture cost per frame against memcpy of the same bytes:\n\n");
	std::printf ("| block | capture ns/frame | memcpy ns/frame | ratio |\n|------:|---------:|---------:|------:|\n");
	for (int32_t block : {64, 512, 1024})
		captureCost (block);
	return 0;
}
