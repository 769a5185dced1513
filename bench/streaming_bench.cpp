// A mixing session: N instances of the plug-in in one host process, loaded from the built
// bundle as a DAW loads them, one audio thread processing them all in real time at
// 256-frame blocks, and one visualiser process (this program again, as "reader") holding
// a connection to every sender. For each N it prints the host's and the reader's CPU
// share, the wineserver's when there is one, dropped blocks and the delivery delay.
//
// The delay: the host stamps each call's continuous time with its clock reading in
// microseconds (the plug-in copies it into the block header as the block's position), and
// the reader subtracts it from its own reading of the same system-wide clock.
#include "pluginmodule.h"
#include "processbuffers.h"
#include "visualiserclient.h"

#include "pluginterfaces/vst/ivstprocesscontext.h"
#include "pluginterfaces/vst/vstspeaker.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace tarvo;
using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

constexpr int32 kBlock = 256;
constexpr double kRate = 48000.0;

int64_t microsNow ()
{
	LARGE_INTEGER counter, frequency;
	QueryPerformanceCounter (&counter);
	QueryPerformanceFrequency (&frequency);
	return int64_t (double (counter.QuadPart) * 1e6 / double (frequency.QuadPart));
}

double cpuSeconds (HANDLE process)
{
	FILETIME created, ended, kernel, user;
	GetProcessTimes (process, &created, &ended, &kernel, &user);
	auto ticks = [] (const FILETIME& f) { return (uint64_t (f.dwHighDateTime) << 32) | f.dwLowDateTime; };
	return double (ticks (kernel) + ticks (user)) / 1e7;
}

/** CPU seconds of the wineservers (another Wine prefix's may be running beside ours), read
    from Linux's /proc through Wine's Z: drive; -1 on Windows, where there is none. */
double wineserverSeconds ()
{
	WIN32_FIND_DATAW entry;
	HANDLE find = FindFirstFileW (L"Z:\\proc\\*", &entry);
	if (find == INVALID_HANDLE_VALUE)
		return -1.0;
	double seconds = -1.0;
	do
	{
		if (entry.cFileName[0] < L'0' || entry.cFileName[0] > L'9')
			continue;
		const std::wstring path = std::wstring (L"Z:\\proc\\") + entry.cFileName + L"\\stat";
		HANDLE file = CreateFileW (path.c_str (), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
		if (file == INVALID_HANDLE_VALUE)
			continue;
		char text[1024] = {};
		DWORD got = 0;
		ReadFile (file, text, sizeof text - 1, &got, nullptr);
		CloseHandle (file);
		const char* name = std::strstr (text, "(wineserver");
		if (!name)
			continue;
		// After the name: state, then fields 4 to 13, then utime and stime in clock ticks.
		const char* p = std::strchr (name, ')');
		unsigned long long utime = 0, stime = 0;
		if (p && std::sscanf (p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) == 2)
			seconds = std::max (seconds, 0.0) + double (utime + stime) / 100.0;
	} while (FindNextFileW (find, &entry));
	FindClose (find);
	return seconds;
}

// ---- the visualiser ----

/** Follows every sender in `dir` until `count` stream audio, then measures for `seconds`
    and prints one line of figures. */
int reader (const std::filesystem::path& dir, size_t count, double seconds)
{
	client::SenderGroup group;
	std::map<std::string, uint32_t> dropped;
	std::map<std::string, uint32_t> lastSequence;
	std::vector<double> delays;
	uint64_t frames = 0, gaps = 0, keepAlives = 0;
	bool measuring = false;
	auto handle = [&] (const client::SenderRecord& sender, const client::Frame* frame) {
		if (!frame)
		{
			std::printf ("lost %s\n", sender.label.c_str ());
			std::fflush (stdout);
			return;
		}
		const BlockHeader& h = frame->header;
		if (frame->isKeepAlive ())
		{
			keepAlives += measuring;
			return;
		}
		auto last = lastSequence.find (sender.id);
		if (measuring)
		{
			++frames;
			gaps += last != lastSequence.end () ? h.sequence - (last->second + 1) : 0;
			delays.push_back (double (microsNow () - h.position) / 1000.0);
		}
		lastSequence[sender.id] = h.sequence;
		dropped[sender.id] = h.dropped;
	};

	const auto giveUp = std::chrono::steady_clock::now () + std::chrono::seconds (60);
	while (lastSequence.size () < count && std::chrono::steady_clock::now () < giveUp)
	{
		for (const auto& sender : client::listSenders (dir))
		{
			std::string error;
			if (!group.has (sender.id))
				group.add (sender, error);
		}
		group.poll (50, handle);
	}
	if (lastSequence.size () < count)
	{
		std::printf ("failed: %zu of %zu senders stream\n", lastSequence.size (), count);
		return 1;
	}
	std::map<std::string, uint32_t> droppedBefore = dropped;
	std::printf ("ready\n");
	std::fflush (stdout);
	measuring = true;
	const double cpuBefore = cpuSeconds (GetCurrentProcess ());
	const auto started = std::chrono::steady_clock::now ();
	const auto end = started + std::chrono::milliseconds (int64_t (seconds * 1000));
	while (std::chrono::steady_clock::now () < end)
		group.poll (50, handle);
	const double wall = std::chrono::duration<double> (std::chrono::steady_clock::now () - started).count ();
	const double cpu = cpuSeconds (GetCurrentProcess ()) - cpuBefore;

	uint64_t droppedInWindow = 0;
	for (const auto& [id, total] : dropped)
		droppedInWindow += total - droppedBefore[id];
	std::sort (delays.begin (), delays.end ());
	auto percentile = [&] (double p) { return delays.empty () ? 0.0 : delays[size_t (p * double (delays.size () - 1))]; };
	std::printf ("result %zu %.4f %llu %llu %llu %llu %.3f %.3f %.3f\n", group.size (), cpu / wall,
	             static_cast<unsigned long long> (frames), static_cast<unsigned long long> (keepAlives),
	             static_cast<unsigned long long> (gaps), static_cast<unsigned long long> (droppedInWindow),
	             percentile (0.5), percentile (0.99), delays.empty () ? 0.0 : delays.back ());
	std::fflush (stdout);
	return 0;
}

// ---- the host ----

/** The reader's process, its output read line by line. */
class ReaderProcess
{
public:
	bool start (const std::wstring& command)
	{
		SECURITY_ATTRIBUTES inherit {sizeof inherit, nullptr, TRUE};
		HANDLE write = nullptr;
		if (!CreatePipe (&output, &write, &inherit, 0))
			return false;
		SetHandleInformation (output, HANDLE_FLAG_INHERIT, 0);
		STARTUPINFOW startup {};
		startup.cb = sizeof startup;
		startup.dwFlags = STARTF_USESTDHANDLES;
		startup.hStdOutput = startup.hStdError = write;
		std::wstring line = command;
		const bool started = CreateProcessW (nullptr, line.data (), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
		                                     nullptr, &startup, &process);
		CloseHandle (write);
		return started;
	}
	~ReaderProcess ()
	{
		if (process.hProcess)
		{
			WaitForSingleObject (process.hProcess, 5000);
			TerminateProcess (process.hProcess, 1);
			CloseHandle (process.hThread);
			CloseHandle (process.hProcess);
		}
		if (output)
			CloseHandle (output);
	}
	/** The next line, empty when the reader is gone. */
	std::string readLine ()
	{
		std::string line;
		char ch = 0;
		DWORD got = 0;
		while (ReadFile (output, &ch, 1, &got, nullptr) && got == 1 && ch != '\n')
			if (ch != '\r')
				line.push_back (ch);
		return line;
	}

private:
	HANDLE output {nullptr};
	PROCESS_INFORMATION process {};
};

struct Instance
{
	std::unique_ptr<host::PluginInstance> plugin;
	std::unique_ptr<host::ProcessBuffers> buffers;
};

int hostSession (const std::filesystem::path& self, double seconds, const std::vector<int>& sizes)
{
	std::string error;
	auto module = host::PluginModule::load (TARVO_MODULE_FILE, error);
	if (!module)
	{
		std::fprintf (stderr, "streaming_bench: %s\n", error.c_str ());
		return 1;
	}
	PClassInfo info;
	module->factory ()->getClassInfo (0, &info);

	std::printf ("| instances | host CPU, share of one core | per instance | visualiser CPU | wineserver CPU | "
	             "audio frames received | dropped blocks | gaps | delay p50 (ms) | p99 (ms) | max (ms) | late audio cycles |\n");
	std::printf ("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
	std::fflush (stdout);
	int status = 0;
	for (const int count : sizes)
	{
		const auto dir = std::filesystem::temp_directory_path () /
		                 ("tarvo-scaling-" + std::to_string (GetCurrentProcessId ()) + "-" + std::to_string (count));
		std::filesystem::remove_all (dir);
		SetEnvironmentVariableW (L"TARVO_AUDIO_SERVER_RUNTIME", dir.c_str ());

		std::vector<Instance> instances;
		for (int i = 0; i < count; ++i)
		{
			Instance instance;
			instance.plugin = host::PluginInstance::create (module->factory (), info.cid, error);
			if (!instance.plugin)
			{
				std::fprintf (stderr, "streaming_bench: %s\n", error.c_str ());
				return 1;
			}
			IAudioProcessor* processor = instance.plugin->processor;
			SpeakerArrangement stereo = SpeakerArr::kStereo;
			processor->setBusArrangements (&stereo, 1, &stereo, 1);
			ProcessSetup setup {kRealtime, kSample32, kBlock, kRate};
			processor->setupProcessing (setup);
			instance.plugin->component->setActive (true);
			processor->setProcessing (true);
			instance.buffers = std::make_unique<host::ProcessBuffers> (2, kBlock, kSample32);
			for (int32 f = 0; f < kBlock; ++f)
				for (int32 c = 0; c < 2; ++c)
					instance.buffers->setInput (c, f, 0.3 * std::sin (0.05 * f + i));
			instance.buffers->context ().state = ProcessContext::kPlaying | ProcessContext::kContTimeValid;
			instances.push_back (std::move (instance));
		}

		// The host's audio thread: every 5.33 ms, one call of each instance.
		std::atomic<bool> stop {false};
		std::atomic<uint64_t> lateCalls {0};
		std::thread audio ([&] {
			SetThreadPriority (GetCurrentThread (), THREAD_PRIORITY_TIME_CRITICAL);
			const auto started = std::chrono::steady_clock::now ();
			for (uint64_t n = 0; !stop.load (); ++n)
			{
				// Whole milliseconds of sleep, as an audio device's period would wake the
				// thread: no spinning on the way, and the schedule stays absolute.
				const auto due = started + std::chrono::microseconds (int64_t (double (n) * kBlock / kRate * 1e6));
				const auto ahead = std::chrono::duration_cast<std::chrono::milliseconds> (due - std::chrono::steady_clock::now ());
				if (ahead.count () >= 1)
					Sleep (DWORD (ahead.count ()));
				if (std::chrono::steady_clock::now () - due > std::chrono::microseconds (int64_t (kBlock / kRate * 1e6)))
					++lateCalls;
				const int64_t stamp = microsNow ();
				for (Instance& instance : instances)
				{
					instance.buffers->context ().continousTimeSamples = stamp;
					instance.plugin->processor->process (instance.buffers->prepare (kBlock));
				}
			}
		});

		ReaderProcess reader;
		const std::wstring command = L"\"" + self.wstring () + L"\" reader \"" + dir.wstring () + L"\" " +
		                             std::to_wstring (count) + L" " + std::to_wstring (seconds);
		std::string line;
		if (reader.start (command))
			while ((line = reader.readLine ()) != "ready" && !line.empty () && line.rfind ("failed", 0) != 0)
			{
			}
		double hostCpu = 0.0, wineserverCpu = -1.0;
		if (line == "ready")
		{
			const double before = cpuSeconds (GetCurrentProcess ());
			const double serverBefore = wineserverSeconds ();
			const auto started = std::chrono::steady_clock::now ();
			while ((line = reader.readLine ()).rfind ("result", 0) != 0 && !line.empty ())
			{
			}
			const double wall = std::chrono::duration<double> (std::chrono::steady_clock::now () - started).count ();
			hostCpu = (cpuSeconds (GetCurrentProcess ()) - before) / wall;
			const double serverAfter = wineserverSeconds ();
			if (serverBefore >= 0.0 && serverAfter >= 0.0)
				wineserverCpu = (serverAfter - serverBefore) / wall;
		}
		stop = true;
		audio.join ();
		for (Instance& instance : instances)
		{
			instance.plugin->processor->setProcessing (false);
			instance.plugin->component->setActive (false);
		}
		instances.clear ();
		std::filesystem::remove_all (dir);

		size_t connected = 0;
		double readerCpu = 0.0, p50 = 0.0, p99 = 0.0, worst = 0.0;
		unsigned long long frames = 0, keepAlives = 0, gaps = 0, dropped = 0;
		if (std::sscanf (line.c_str (), "result %zu %lf %llu %llu %llu %llu %lf %lf %lf", &connected, &readerCpu, &frames,
		                 &keepAlives, &gaps, &dropped, &p50, &p99, &worst) != 9)
		{
			std::printf ("| %d | the visualiser failed: %s |\n", count, line.c_str ());
			status = 1;
			continue;
		}
		char server[32] = "-";
		if (wineserverCpu >= 0.0)
			std::snprintf (server, sizeof server, "%.1f %%", 100.0 * wineserverCpu);
		std::printf ("| %d | %.1f %% | %.2f %% | %.1f %% | %s | %llu | %llu | %llu | %.2f | %.2f | %.2f | %llu |\n", count,
		             100.0 * hostCpu, 100.0 * hostCpu / count, 100.0 * readerCpu, server, frames, dropped, gaps, p50, p99,
		             worst, static_cast<unsigned long long> (lateCalls.load ()));
		std::fflush (stdout);
	}
	return status;
}

} // namespace

int main (int argc, char** argv)
{
	if (argc >= 5 && std::string (argv[1]) == "reader")
		return reader (argv[2], size_t (std::atoi (argv[3])), std::atof (argv[4]));
	if (argc >= 2 && (std::string (argv[1]) == "--help" || std::string (argv[1]) == "-h"))
	{
		std::printf ("usage: streaming_bench [SECONDS [INSTANCES...]]   (default 20 s; 1 16 32 64 128)\n");
		return 0;
	}
	const double seconds = argc > 1 ? std::atof (argv[1]) : 20.0;
	std::vector<int> sizes;
	for (int i = 2; i < argc; ++i)
		sizes.push_back (std::atoi (argv[i]));
	if (sizes.empty ())
		sizes = {1, 16, 32, 64, 128};
	wchar_t path[MAX_PATH];
	GetModuleFileNameW (nullptr, path, MAX_PATH);
	return hostSession (path, seconds, sizes);
}
