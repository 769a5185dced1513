// CPU share of 16 plug-in instances streaming at once: 16 processors in this process,
// paced at 48 kHz with 256-frame blocks, each streaming to its own visualiser (a
// tarvo-probe process, so that the readers' work is not counted here).
#include "server/audioserver.h"
#include "shared/steadyclock.h"
#include "visualiserclient.h"

#include <windows.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace tarvo;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kInstances = 16;
constexpr int32_t kBlock = 256;

uint64_t ticks (const FILETIME& f)
{
	return (uint64_t (f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

double processCpuSeconds ()
{
	FILETIME created, ended, kernel, user;
	GetProcessTimes (GetCurrentProcess (), &created, &ended, &kernel, &user);
	return double (ticks (kernel) + ticks (user)) / 1e7;
}

} // namespace

int main (int argc, char** argv)
{
	const double seconds = argc > 1 ? std::atof (argv[1]) : 10.0;
	const std::filesystem::path probe = argc > 2 ? std::filesystem::path (argv[2])
	                                             : std::filesystem::path (argv[0]).parent_path () / ".." / "tools" / "tarvo-probe.exe";
	const auto dir = std::filesystem::temp_directory_path () / ("tarvo-stream-bench-" + std::to_string (GetCurrentProcessId ()));
	std::filesystem::remove_all (dir);
	SetEnvironmentVariableW (L"TARVO_AUDIO_SERVER_RUNTIME", dir.c_str ());

	// The audio path of each instance: its server's capture, as the process callback does it.
	std::vector<std::unique_ptr<AudioServer>> servers;
	for (int i = 0; i < kInstances; ++i)
	{
		servers.push_back (std::make_unique<AudioServer> ());
		servers.back ()->setLabel (u"Bench " + std::u16string (1, char16_t (u'A' + i)));
		servers.back ()->start ();
	}
	std::vector<client::SenderRecord> senders;
	for (int i = 0; i < 500 && senders.size () < size_t (kInstances); ++i)
	{
		std::this_thread::sleep_for (std::chrono::milliseconds (20));
		senders = client::listSenders (dir);
	}
	if (senders.size () < size_t (kInstances))
	{
		std::fprintf (stderr, "streaming_bench: only %zu of %d senders published\n", senders.size (), kInstances);
		return 1;
	}

	std::vector<PROCESS_INFORMATION> readers;
	for (const auto& sender : senders)
	{
		std::wstring command = L"\"" + probe.wstring () + L"\" watch --dir \"" + dir.wstring () + L"\" --id " +
		                       std::wstring (sender.id.begin (), sender.id.end ()) + L" --seconds " +
		                       std::to_wstring (int (seconds + 10));
		STARTUPINFOW startup {};
		startup.cb = sizeof startup;
		startup.dwFlags = STARTF_USESTDHANDLES;
		startup.hStdOutput = startup.hStdError = nullptr; // quiet
		PROCESS_INFORMATION process {};
		if (!CreateProcessW (nullptr, command.data (), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
		                     &startup, &process))
		{
			std::fprintf (stderr, "streaming_bench: cannot start %ls\n", probe.c_str ());
			return 1;
		}
		readers.push_back (process);
	}
	int capturing = 0;
	for (int i = 0; i < 1000 && capturing < kInstances; ++i)
	{
		std::this_thread::sleep_for (std::chrono::milliseconds (20));
		capturing = 0;
		for (auto& s : servers)
			capturing += s->isCapturing ();
	}
	if (capturing < kInstances)
	{
		std::fprintf (stderr, "streaming_bench: only %d of %d visualisers connected\n", capturing, kInstances);
		return 1;
	}

	std::vector<float> left (kBlock), right (kBlock);
	for (int32_t f = 0; f < kBlock; ++f)
		left[size_t (f)] = right[size_t (f)] = float (0.3 * std::sin (f * 0.05));
	const float* channels[2] = {left.data (), right.data ()};
	const double cpuBefore = processCpuSeconds ();
	const auto started = Clock::now ();
	const uint64_t calls = uint64_t (seconds * 48000.0 / kBlock);
	for (uint64_t n = 0; n < calls; ++n)
	{
		std::this_thread::sleep_until (started + std::chrono::duration_cast<Clock::duration> (
		                                              std::chrono::duration<double> (double (n) * kBlock / 48000.0)));
		for (auto& s : servers)
		{
			s->mailbox ().lastProcessMs = steadyMillis ();
			s->capture (channels, 2, kBlock, 0, 48000.0);
		}
	}
	const double wall = std::chrono::duration<double> (Clock::now () - started).count ();
	const double cpu = processCpuSeconds () - cpuBefore;
	uint32_t dropped = 0, streaming = 0;
	for (auto& s : servers)
	{
		dropped += s->ring ().droppedBlocks ();
		streaming += s->isCapturing ();
	}

	for (auto& process : readers)
	{
		TerminateProcess (process.hProcess, 0);
		CloseHandle (process.hThread);
		CloseHandle (process.hProcess);
	}
	servers.clear ();
	std::filesystem::remove_all (dir);

	std::printf ("| instances streaming | seconds | CPU, share of one core | per instance | dropped blocks |\n");
	std::printf ("|--------------------:|--------:|-----------------------:|-------------:|---------------:|\n");
	std::printf ("| %u of %d | %.1f | %.2f %% | %.3f %% | %u |\n", streaming, kInstances, wall, 100.0 * cpu / wall,
	             100.0 * cpu / wall / kInstances, dropped);
	return 0;
}
