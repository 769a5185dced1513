// A mixing session: N instances of the plug-in in one host process, loaded from the built
// bundle as a DAW loads them, one audio thread processing them all in real time, and one
// visualiser process (this program again, as "reader") holding a connection to every
// sender. Two tables: 1 to 128 instances at 256-frame blocks and 48 kHz, and one instance
// at host buffers from 16 to 4096 frames and rates from 44.1 to 192 kHz. Each row gives
// the host's and the reader's CPU share, the wineserver's when there is one, dropped
// blocks and the delivery delay.
//
// The delay: the host writes its clock reading, in microseconds, into every frame of a
// call's audio (the upper 20 bits in the left channel, the lower 20 in the right, both
// exact as 32-bit floats), and the reader subtracts the first frame's stamp of each block
// from its own reading of the same system-wide clock: the age of the oldest audio in the
// block. The timeline position runs on in samples, as a host's does.
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

int64_t microsNow ()
{
	LARGE_INTEGER counter, frequency;
	QueryPerformanceCounter (&counter);
	QueryPerformanceFrequency (&frequency);
	return int64_t (double (counter.QuadPart) * 1e6 / double (frequency.QuadPart));
}

/** One measurement: how many instances, at which host buffer and sample rate. */
struct Setting
{
	int instances;
	int32 block;
	double rate;
};

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
			const int64_t stamp = int64_t (frame->samples[0]) << 20 | int64_t (frame->samples[1]);
			delays.push_back (double (microsNow () - stamp) / 1000.0);
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

/** Measures one setting and prints its row of `table`; false when the visualiser failed. */
bool measure (IPluginFactory* factory, const TUID cid, const std::filesystem::path& self, double seconds,
              const Setting& setting, bool bufferTable)
{
	const int count = setting.instances;
	const int32 block = setting.block;
	const double rate = setting.rate;
	std::string error;
	const auto dir = std::filesystem::temp_directory_path () /
	                 ("tarvo-scaling-" + std::to_string (GetCurrentProcessId ()) + "-" + std::to_string (count) + "-" +
	                  std::to_string (block) + "-" + std::to_string (int (rate)));
	std::filesystem::remove_all (dir);
	SetEnvironmentVariableW (L"TARVO_AUDIO_SERVER_RUNTIME", dir.c_str ());

	std::vector<Instance> instances;
	for (int i = 0; i < count; ++i)
	{
		Instance instance;
		instance.plugin = host::PluginInstance::create (factory, cid, error);
		if (!instance.plugin)
		{
			std::fprintf (stderr, "streaming_bench: %s\n", error.c_str ());
			return false;
		}
		IAudioProcessor* processor = instance.plugin->processor;
		SpeakerArrangement stereo = SpeakerArr::kStereo;
		processor->setBusArrangements (&stereo, 1, &stereo, 1);
		ProcessSetup setup {kRealtime, kSample32, block, rate};
		processor->setupProcessing (setup);
		instance.plugin->component->setActive (true);
		processor->setProcessing (true);
		instance.buffers = std::make_unique<host::ProcessBuffers> (2, block, kSample32);
		instance.buffers->context ().state = ProcessContext::kPlaying | ProcessContext::kContTimeValid;
		instances.push_back (std::move (instance));
	}

	// The host's audio thread: one call of each instance per host buffer.
	const double bufferSeconds = block / rate;
	std::atomic<bool> stop {false};
	std::atomic<uint64_t> lateCalls {0}, calls {0};
	std::thread audio ([&] {
		SetThreadPriority (GetCurrentThread (), THREAD_PRIORITY_TIME_CRITICAL);
		auto started = std::chrono::steady_clock::now ();
		const auto period = std::chrono::nanoseconds (int64_t (bufferSeconds * 1e9));
		// An audio device does not catch up on buffers it missed: a cycle more than 2 ms
		// (or two buffers) late is counted and the schedule starts again from now.
		const auto xrun = std::max (std::chrono::nanoseconds (2000000), 2 * period);
		for (uint64_t n = 0, first = 0; !stop.load (); ++n)
		{
			// Whole milliseconds of sleep, as an audio device's period would wake the
			// thread: no spinning on the way, and the schedule stays absolute. Buffers
			// shorter than a millisecond go out in bursts, as they do from a device
			// driver's own buffer.
			const auto due = started + int64_t (n - first) * period;
			const auto ahead = std::chrono::duration_cast<std::chrono::milliseconds> (due - std::chrono::steady_clock::now ());
			if (ahead.count () >= 1)
				Sleep (DWORD (ahead.count ()));
			if (std::chrono::steady_clock::now () - due > xrun)
			{
				++lateCalls;
				started = std::chrono::steady_clock::now ();
				first = n;
			}
			const int64_t stamp = microsNow ();
			for (Instance& instance : instances)
			{
				ProcessData& data = instance.buffers->prepare (block);
				std::fill_n (data.inputs[0].channelBuffers32[0], block, float (stamp >> 20 & 0xFFFFF));
				std::fill_n (data.inputs[0].channelBuffers32[1], block, float (stamp & 0xFFFFF));
				instance.buffers->context ().continousTimeSamples = int64 (n) * block;
				instance.plugin->processor->process (data);
			}
			++calls;
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
	double hostCpu = 0.0, wineserverCpu = -1.0, callRate = 0.0;
	if (line == "ready")
	{
		const double before = cpuSeconds (GetCurrentProcess ());
		const double serverBefore = wineserverSeconds ();
		const uint64_t callsBefore = calls.load ();
		const auto started = std::chrono::steady_clock::now ();
		while ((line = reader.readLine ()).rfind ("result", 0) != 0 && !line.empty ())
		{
		}
		const double wall = std::chrono::duration<double> (std::chrono::steady_clock::now () - started).count ();
		hostCpu = (cpuSeconds (GetCurrentProcess ()) - before) / wall;
		callRate = double (calls.load () - callsBefore) / wall;
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
		std::printf ("| %d | the visualiser failed: %s |\n", bufferTable ? int (block) : count, line.c_str ());
		std::fflush (stdout);
		return false;
	}
	char server[32] = "-";
	if (wineserverCpu >= 0.0)
		std::snprintf (server, sizeof server, "%.1f %%", 100.0 * wineserverCpu);
	if (bufferTable)
		std::printf ("| %d | %.1f | %.0f | %llu | %llu | %llu | %.2f | %.2f | %.1f %% | %.1f %% | %s | %llu |\n", int (block),
		             rate / 1000.0, callRate, frames, dropped, gaps, p50, p99, 100.0 * hostCpu, 100.0 * readerCpu, server,
		             static_cast<unsigned long long> (lateCalls.load ()));
	else
		std::printf ("| %d | %.1f %% | %.2f %% | %.1f %% | %s | %llu | %llu | %llu | %.2f | %.2f | %.2f | %llu |\n", count,
		             100.0 * hostCpu, 100.0 * hostCpu / count, 100.0 * readerCpu, server, frames, dropped, gaps, p50, p99,
		             worst, static_cast<unsigned long long> (lateCalls.load ()));
	std::fflush (stdout);
	return true;
}

int hostSession (const std::filesystem::path& self, double seconds, const std::vector<Setting>& settings,
                 bool bufferTable)
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

	if (bufferTable)
	{
		std::printf ("| host buffer (frames) | rate (kHz) | process calls per second | audio frames received | "
		             "dropped blocks | gaps | delay p50 (ms) | p99 (ms) | host CPU | visualiser CPU | wineserver CPU | "
		             "late audio cycles |\n");
		std::printf ("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
	}
	else
	{
		std::printf ("| instances | host CPU, share of one core | per instance | visualiser CPU | wineserver CPU | "
		             "audio frames received | dropped blocks | gaps | delay p50 (ms) | p99 (ms) | max (ms) | late audio cycles |\n");
		std::printf ("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
	}
	std::fflush (stdout);
	int status = 0;
	for (const Setting& setting : settings)
		if (!measure (module->factory (), info.cid, self, seconds, setting, bufferTable))
			status = 1;
	return status;
}

} // namespace

int main (int argc, char** argv)
{
	if (argc >= 5 && std::string (argv[1]) == "reader")
		return reader (argv[2], size_t (std::atoi (argv[3])), std::atof (argv[4]));
	if (argc >= 2 && (std::string (argv[1]) == "--help" || std::string (argv[1]) == "-h"))
	{
		std::printf ("usage: streaming_bench [SECONDS [INSTANCES...]]   1 16 32 64 128 instances by default, 20 s each\n"
		             "       streaming_bench buffers [SECONDS [FRAMES RATE]]\n"
		             "                                   one instance at host buffers of 16 to 4096 frames and\n"
		             "                                   44.1 to 192 kHz, 6 s each (or at the one buffer given)\n");
		return 0;
	}
	wchar_t path[MAX_PATH];
	GetModuleFileNameW (nullptr, path, MAX_PATH);
	std::vector<Setting> settings;
	if (argc >= 2 && std::string (argv[1]) == "buffers")
	{
		const double seconds = argc > 2 ? std::atof (argv[2]) : 6.0;
		if (argc > 4)
			settings.push_back ({1, int32 (std::atoi (argv[3])), std::atof (argv[4])});
		else
			for (const int32 block : {16, 32, 64, 128, 256, 512, 1024, 4096})
				for (const double rate : {44100.0, 48000.0, 96000.0, 192000.0})
					settings.push_back ({1, block, rate});
		return hostSession (path, seconds, settings, true);
	}
	const double seconds = argc > 1 ? std::atof (argv[1]) : 20.0;
	for (int i = 2; i < argc; ++i)
		settings.push_back ({std::atoi (argv[i]), 256, 48000.0});
	if (settings.empty ())
		for (const int count : {1, 16, 32, 64, 128})
			settings.push_back ({count, 256, 48000.0});
	return hostSession (path, seconds, settings, false);
}
