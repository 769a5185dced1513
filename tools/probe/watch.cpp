// tarvo-probe watch and record: follows one sender, or with --all every sender in the
// runtime directory from this one process, and reports each stream once a second.
#include "probe.h"

#include "../common/signal.h"
#include "../common/wav.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <vector>

namespace tarvo::probe {
namespace {

using Clock = std::chrono::steady_clock;

/** One followed stream: its figures for the current second and for the whole run, and
    its WAV file while recording. */
struct Stream
{
	client::SenderRecord sender;
	bool connected {false};
	uint64_t connections {0};

	uint64_t audioFrames {0}, keepAlives {0}, gaps {0};
	tools::LevelMeter meters[2];
	BlockHeader last {};

	uint64_t totalAudio {0}, totalKeepAlives {0}, totalGaps {0}, totalFrames {0}, gapFrames {0};
	uint32_t dropped {0};
	tools::LevelMeter total;

	std::optional<uint32_t> lastSequence;
	uint32_t lastFrameCount {0};
	int64_t lastPosition {kUnknownPosition};
	tools::WavWriter writer;
	std::string wavPath;
};

std::string describe (const client::SenderRecord& sender)
{
	return "\"" + sender.label + "\" (pid " + std::to_string (sender.pid) + ", id " + shortId (sender.id) + ")";
}

/** A file name for a sender's recording: its label, made safe, and its id's start. */
std::string wavName (const client::SenderRecord& sender)
{
	std::string name;
	for (const char ch : sender.label)
		name.push_back ((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || ch == '-' ? ch
		                                                                                                               : '_');
	return name + "-" + sender.id.substr (0, 8) + ".wav";
}

/** Counts a frame into its stream and records its audio; false when the WAV file cannot
    be written. */
bool take (Stream& s, const client::Frame& frame, bool recording)
{
	const BlockHeader& h = frame.header;
	s.last = h;
	if (frame.isKeepAlive ())
	{
		++s.keepAlives;
		++s.totalKeepAlives;
		return true;
	}
	const uint32_t gap = s.lastSequence ? h.sequence - (*s.lastSequence + 1) : 0;
	s.gaps += gap;
	s.totalGaps += gap;
	s.dropped = h.dropped;
	if (recording)
	{
		std::string error;
		if (!s.writer.isOpen () && !s.writer.open (s.wavPath, h.sampleRate, static_cast<uint16_t> (h.channelCount), error))
		{
			std::fprintf (stderr, "tarvo-probe: %s\n", error.c_str ());
			return false;
		}
		if (gap > 0)
		{
			// Fill with what went missing: exact when both positions are known.
			uint64_t missing = uint64_t (gap) * (s.lastFrameCount ? s.lastFrameCount : h.frameCount);
			if (s.lastPosition != kUnknownPosition && h.position != kUnknownPosition && h.position > s.lastPosition)
				missing = uint64_t (h.position - s.lastPosition) - s.lastFrameCount;
			const std::vector<float> silence (missing * h.channelCount, 0.0f);
			s.writer.write (silence.data (), missing);
			s.gapFrames += missing;
			std::printf ("  gap of %u blocks (%llu frames) filled with silence\n", gap,
			             static_cast<unsigned long long> (missing));
		}
		s.writer.write (frame.samples.data (), h.frameCount);
	}
	s.lastSequence = h.sequence;
	s.lastFrameCount = h.frameCount;
	s.lastPosition = h.position;
	++s.audioFrames;
	++s.totalAudio;
	s.totalFrames += h.frameCount;
	for (uint32_t f = 0; f < h.frameCount; ++f)
		for (uint32_t c = 0; c < h.channelCount; ++c)
		{
			const float v = frame.samples[f * h.channelCount + c];
			s.meters[c].add (v);
			s.total.add (v);
		}
	return true;
}

void report (Stream& s, double t, const std::string& prefix)
{
	const BlockHeader& h = s.last;
	std::string levels;
	for (uint32_t c = 0; c < (h.channelCount ? h.channelCount : 1) && c < 2; ++c)
	{
		char text[96];
		std::snprintf (text, sizeof text, "%s%.1f/%.1f", c ? "  " : "", s.meters[c].peakDbfs (), s.meters[c].rmsDbfs ());
		levels += text;
	}
	std::printf ("%6.1f s  %saudio %3llu  keep-alive %2llu  %u Hz %u ch  peak/RMS dBFS %s  gaps %llu  "
	             "dropped %u  session %u  state %u  request %u  mask %u  spectrum %u  instance %u  primary %u\n",
	             t, prefix.c_str (), static_cast<unsigned long long> (s.audioFrames),
	             static_cast<unsigned long long> (s.keepAlives), h.sampleRate, h.channelCount,
	             s.audioFrames ? levels.c_str () : "-", static_cast<unsigned long long> (s.gaps), h.dropped, h.sessionId,
	             h.stateCode, h.requestId, h.bandMask, h.spectrumActive, h.instanceSerial, h.primarySerial);
	s.audioFrames = s.keepAlives = s.gaps = 0;
	for (auto& meter : s.meters)
		meter.reset ();
}

/** The run's summary of a stream; false when its WAV file cannot be finished. */
bool summarise (Stream& s, const std::string& title, bool recording)
{
	std::printf ("%s: %llu audio frames (%llu sample frames), %llu keep-alives, %llu sequence gaps, "
	             "%u dropped by the sender, %llu reconnects, peak %s, RMS %s\n",
	             title.c_str (), static_cast<unsigned long long> (s.totalAudio),
	             static_cast<unsigned long long> (s.totalFrames), static_cast<unsigned long long> (s.totalKeepAlives),
	             static_cast<unsigned long long> (s.totalGaps), s.dropped,
	             static_cast<unsigned long long> (s.connections ? s.connections - 1 : 0),
	             tools::formatDbfs (s.total.peakDbfs ()).c_str (), tools::formatDbfs (s.total.rmsDbfs ()).c_str ());
	if (!recording || !s.writer.isOpen ())
		return true;
	const uint64_t frames = s.writer.framesWritten ();
	if (!s.writer.close ())
	{
		std::fprintf (stderr, "tarvo-probe: cannot finish %s\n", s.wavPath.c_str ());
		return false;
	}
	std::printf ("Wrote %s: %llu frames, %llu of them silence for gaps\n", s.wavPath.c_str (),
	             static_cast<unsigned long long> (frames), static_cast<unsigned long long> (s.gapFrames));
	return true;
}

} // namespace

int watch (const ProbeOptions& options, bool recording)
{
	const double seconds = options.seconds;
	const double waitSeconds = options.wait;
	const bool all = options.all;
	const std::string& out = options.out;
	if (recording && all)
		std::filesystem::create_directories (std::filesystem::u8path (out));
	const auto dir = runtimeDirectory (options);

	const auto started = Clock::now ();
	const auto end = seconds > 0 ? started + std::chrono::milliseconds (static_cast<int64_t> (seconds * 1000))
	                             : Clock::time_point::max ();
	const auto giveUp = started + std::chrono::milliseconds (static_cast<int64_t> (waitSeconds * 1000));
	client::SenderGroup group;
	// One stream per sender with --all (a sender's new run is a new sender); otherwise one
	// stream that follows the named sender across its runs.
	std::map<std::string, Stream> streams;
	std::vector<std::string> order;
	bool announcedWait = false;
	bool failed = false;
	auto nextScan = started;
	auto nextReport = started + std::chrono::seconds (1);
	while (Clock::now () < end && !failed)
	{
		const auto now = Clock::now ();
		if (now >= nextScan && (all || group.size () == 0))
		{
			nextScan = now + std::chrono::milliseconds (200);
			for (const auto& sender : client::listSenders (dir))
			{
				std::string error;
				if (!isNamed (options, sender) || group.has (sender.id) || (!all && group.size () > 0) ||
				    !group.add (sender, error))
					continue;
				const std::string key = all ? sender.id : std::string ();
				if (!streams.count (key))
					order.push_back (key);
				Stream& s = streams[key];
				s.sender = sender;
				s.connected = true;
				++s.connections;
				s.lastSequence.reset ();
				if (recording)
					s.wavPath = all ? (std::filesystem::u8path (out) / wavName (sender)).u8string () : out;
				std::printf ("Connected to %s\n", describe (sender).c_str ());
				std::fflush (stdout);
			}
			if (streams.empty () && now >= giveUp)
				break;
			if (group.size () == 0 && !announcedWait)
			{
				std::printf ("Waiting for a sender...\n");
				std::fflush (stdout);
				announcedWait = true;
			}
		}
		group.poll (50, [&] (const client::SenderRecord& sender, const client::Frame* frame) {
			Stream& s = streams[all ? sender.id : std::string ()];
			if (frame)
			{
				failed = failed || !take (s, *frame, recording);
				return;
			}
			s.connected = false;
			announcedWait = false;
			std::printf (all ? "%s left\n" : "The connection to %s ended; looking for it again\n",
			             describe (sender).c_str ());
			std::fflush (stdout);
		});
		if (Clock::now () >= nextReport)
		{
			const double t = std::chrono::duration<double> (Clock::now () - started).count ();
			for (const auto& key : order)
			{
				Stream& s = streams[key];
				if (s.connected || s.audioFrames || s.keepAlives)
					report (s, t, all ? "[" + s.sender.label + " " + shortId (s.sender.id) + "]  " : std::string ());
			}
			std::fflush (stdout);
			nextReport += std::chrono::seconds (1);
		}
	}

	if (streams.empty ())
	{
		std::printf ("No sender found.\n");
		return 1;
	}
	for (const auto& key : order)
	{
		Stream& s = streams[key];
		if (!summarise (s, all ? "Summary of " + describe (s.sender) : std::string ("Summary"), recording))
			failed = true;
	}
	return failed ? 1 : 0;
}

} // namespace tarvo::probe
