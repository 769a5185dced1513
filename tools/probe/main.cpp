// tarvo-probe: a visualiser client for debugging senders: lists them, watches one's
// stream, records it to a WAV file.
#include "visualiserclient.h"

#include "discovery/runtimedirectory.h"
#include "server/auditioncommand.h"

#include "../common/signal.h"
#include "../common/wav.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace tarvo;
using namespace tarvo::client;
using Clock = std::chrono::steady_clock;

namespace {

const char kUsage[] =
    "usage: tarvo-probe <command> [options]\n"
    "\n"
    "commands:\n"
    "  list                          the senders in the runtime directory\n"
    "  watch [--label L | --id ID] [--seconds N]\n"
    "                                connect to a sender and print its stream once a second;\n"
    "                                reconnects when the sender starts a new run\n"
    "  record --out FILE.wav [--label L | --id ID] [--seconds N]\n"
    "                                write the received audio to a 32-bit float WAV file,\n"
    "                                sequence gaps filled with silence\n"
    "  solo --bands MASK [--crossovers A,B,C] [--seconds N]\n"
    "                                Band Solo: hear only the bands in MASK (bit 0 the lowest band,\n"
    "                                e.g. 2 or 0b0010 for band 1); repeated every 200 ms for N s\n"
    "  spectrum --centre HZ [--width W] [--seconds N]\n"
    "                                Spectrum audition around HZ, width 0.44 (narrow) to 1.0 (all)\n"
    "  ack                           acknowledge a clear with a new full-audio request\n"
    "\n"
    "options:\n"
    "  --dir PATH                    runtime directory (default: as the plug-in resolves it)\n"
    "  --seconds N                   stop after N seconds (default: 10; 0 runs until killed)\n"
    "  --wait N                      give up when no sender appears within N seconds (default 10)\n"
    "  --after N                     keep watching N seconds after the repeats stop (default 1.5)\n";

struct Options
{
	std::string command;
	std::map<std::string, std::string> values;
	std::string get (const std::string& key, const std::string& fallback = {}) const
	{
		auto it = values.find (key);
		return it == values.end () ? fallback : it->second;
	}
};

std::filesystem::path runtimeDirectory (const Options& options)
{
	const std::string dir = options.get ("dir");
	if (!dir.empty ())
		return dir;
	return resolveRuntimeDirectory ();
}

std::string shortId (const std::string& id)
{
	return id.substr (0, 8) + "...";
}

std::optional<SenderRecord> findSender (const Options& options)
{
	const auto senders = listSenders (runtimeDirectory (options));
	const std::string label = options.get ("label");
	const std::string id = options.get ("id");
	for (const auto& s : senders)
	{
		if ((!label.empty () && s.label == label) || (!id.empty () && s.id == id) || (label.empty () && id.empty ()))
			return s;
	}
	return std::nullopt;
}

int commandList (const Options& options)
{
	const auto dir = runtimeDirectory (options);
	const auto senders = listSenders (dir);
	std::printf ("Runtime directory %s\n", dir.string ().c_str ());
	if (senders.empty ())
	{
		std::printf ("No senders.\n");
		return 0;
	}
	std::printf ("%-32s %8s  %s\n", "label", "pid", "id");
	for (const auto& s : senders)
		std::printf ("%-32s %8u  %s\n", s.label.c_str (), s.pid, s.id.c_str ());
	return 0;
}

/** Running figures of one stream, reset every reporting period. */
struct StreamStats
{
	uint64_t audioFrames {0}, keepAlives {0}, samples {0}, gaps {0};
	std::vector<tools::LevelMeter> meters {2};
	BlockHeader last {};
	bool haveLast {false};

	void clearPeriod ()
	{
		audioFrames = keepAlives = gaps = 0;
		for (auto& m : meters)
			m.reset ();
	}
};

/** Gap in sequence numbers before this audio frame, given the previous one. */
uint32_t sequenceGap (const std::optional<uint32_t>& lastSequence, uint32_t sequence)
{
	return lastSequence ? sequence - (*lastSequence + 1) : 0;
}

struct Session
{
	VisualiserClient client;
	SenderRecord sender;
};

bool waitAndConnect (const Options& options, Session& session, Clock::time_point giveUp, bool& announcedWait)
{
	while (Clock::now () < giveUp)
	{
		if (auto sender = findSender (options))
		{
			std::string error;
			if (session.client.connect (*sender, error))
			{
				session.sender = *sender;
				std::printf ("Connected to \"%s\" (pid %u, id %s)\n", sender->label.c_str (), sender->pid,
				             shortId (sender->id).c_str ());
				std::fflush (stdout);
				return true;
			}
		}
		if (!announcedWait)
		{
			std::printf ("Waiting for a sender...\n");
			std::fflush (stdout);
			announcedWait = true;
		}
		std::this_thread::sleep_for (std::chrono::milliseconds (100));
	}
	return false;
}

int commandWatchOrRecord (const Options& options, bool recording)
{
	const double seconds = std::stod (options.get ("seconds", "10"));
	const double waitSeconds = std::stod (options.get ("wait", "10"));
	const std::string out = options.get ("out");
	if (recording && out.empty ())
	{
		std::fprintf (stderr, "tarvo-probe: record needs --out FILE.wav\n");
		return 2;
	}

	const auto started = Clock::now ();
	const auto end = seconds > 0 ? started + std::chrono::milliseconds (static_cast<int64_t> (seconds * 1000))
	                             : Clock::time_point::max ();
	tools::WavWriter writer;
	std::vector<float> silence;

	uint64_t totalAudio = 0, totalKeepAlive = 0, totalGaps = 0, totalFrames = 0, gapFrames = 0, reconnects = 0;
	uint32_t lastDropped = 0;
	tools::LevelMeter totalMeter;
	bool everConnected = false;

	Session session;
	bool announcedWait = false;
	while (Clock::now () < end)
	{
		const auto giveUp = everConnected ? end : std::min (end, Clock::now () + std::chrono::milliseconds (
		                                                             static_cast<int64_t> (waitSeconds * 1000)));
		if (!waitAndConnect (options, session, giveUp, announcedWait))
			break;
		if (everConnected)
			++reconnects;
		everConnected = true;

		StreamStats stats;
		std::optional<uint32_t> lastSequence;
		uint32_t lastFrameCount = 0;
		int64_t lastPosition = kUnknownPosition;
		auto nextReport = Clock::now () + std::chrono::seconds (1);
		Frame frame;
		while (Clock::now () < end)
		{
			const auto result = session.client.readFrame (frame, 100);
			if (result == VisualiserClient::ReadResult::closed)
			{
				std::printf ("The sender closed the connection; looking for it again\n");
				std::fflush (stdout);
				announcedWait = false;
				break;
			}
			if (result == VisualiserClient::ReadResult::malformed)
			{
				std::printf ("Malformed frame; reconnecting\n");
				session.client.close ();
				break;
			}
			if (result == VisualiserClient::ReadResult::frame)
			{
				const BlockHeader& h = frame.header;
				stats.last = h;
				stats.haveLast = true;
				if (frame.isKeepAlive ())
					++stats.keepAlives, ++totalKeepAlive;
				else
				{
					const uint32_t gap = sequenceGap (lastSequence, h.sequence);
					stats.gaps += gap;
					totalGaps += gap;
					lastDropped = h.dropped;
					if (recording)
					{
						if (!writer.isOpen ())
						{
							std::string error;
							if (!writer.open (out, h.sampleRate, static_cast<uint16_t> (h.channelCount), error))
							{
								std::fprintf (stderr, "tarvo-probe: %s\n", error.c_str ());
								return 1;
							}
						}
						if (gap > 0)
						{
							// Fill with what went missing: exact when both positions are known.
							uint64_t missing = uint64_t (gap) * (lastFrameCount ? lastFrameCount : h.frameCount);
							if (lastPosition != kUnknownPosition && h.position != kUnknownPosition &&
							    h.position > lastPosition)
								missing = uint64_t (h.position - lastPosition) - lastFrameCount;
							silence.assign (missing * h.channelCount, 0.0f);
							writer.write (silence.data (), missing);
							gapFrames += missing;
							std::printf ("  gap of %u blocks (%llu frames) filled with silence\n", gap,
							             static_cast<unsigned long long> (missing));
						}
						writer.write (frame.samples.data (), h.frameCount);
					}
					lastSequence = h.sequence;
					lastFrameCount = h.frameCount;
					lastPosition = h.position;
					++stats.audioFrames;
					++totalAudio;
					totalFrames += h.frameCount;
					for (uint32_t f = 0; f < h.frameCount; ++f)
						for (uint32_t c = 0; c < h.channelCount; ++c)
						{
							const float v = frame.samples[f * h.channelCount + c];
							stats.meters[c].add (v);
							totalMeter.add (v);
						}
				}
			}
			if (Clock::now () >= nextReport)
			{
				const double t = std::chrono::duration<double> (Clock::now () - started).count ();
				const BlockHeader& h = stats.last;
				std::string levels;
				for (uint32_t c = 0; c < (h.channelCount ? h.channelCount : 1) && c < 2; ++c)
				{
					char text[96];
					std::snprintf (text, sizeof text, "%s%.1f/%.1f", c ? "  " : "", stats.meters[c].peakDbfs (),
					               stats.meters[c].rmsDbfs ());
					levels += text;
				}
				std::printf ("%6.1f s  audio %3llu  keep-alive %2llu  %u Hz %u ch  peak/RMS dBFS %s  gaps %llu  "
				             "dropped %u  session %u  state %u  request %u  mask %u  spectrum %u  instance %u  primary %u\n",
				             t, static_cast<unsigned long long> (stats.audioFrames),
				             static_cast<unsigned long long> (stats.keepAlives), h.sampleRate, h.channelCount,
				             stats.audioFrames ? levels.c_str () : "-", static_cast<unsigned long long> (stats.gaps),
				             h.dropped, h.sessionId, h.stateCode, h.requestId, h.bandMask, h.spectrumActive,
				             h.instanceSerial, h.primarySerial);
				std::fflush (stdout);
				stats.clearPeriod ();
				nextReport += std::chrono::seconds (1);
			}
		}
		session.client.close ();
	}

	if (writer.isOpen () && !writer.close ())
	{
		std::fprintf (stderr, "tarvo-probe: cannot finish %s\n", out.c_str ());
		return 1;
	}
	if (!everConnected)
	{
		std::printf ("No sender found.\n");
		return 1;
	}
	std::printf ("Summary: %llu audio frames (%llu sample frames), %llu keep-alives, %llu sequence gaps, "
	             "%u dropped by the sender, %llu reconnects, peak %s, RMS %s\n",
	             static_cast<unsigned long long> (totalAudio), static_cast<unsigned long long> (totalFrames),
	             static_cast<unsigned long long> (totalKeepAlive), static_cast<unsigned long long> (totalGaps),
	             lastDropped, static_cast<unsigned long long> (reconnects),
	             tools::formatDbfs (totalMeter.peakDbfs ()).c_str (), tools::formatDbfs (totalMeter.rmsDbfs ()).c_str ());
	if (recording)
		std::printf ("Wrote %s: %llu frames, %llu of them silence for gaps\n", out.c_str (),
		             static_cast<unsigned long long> (writer.framesWritten () + 0),
		             static_cast<unsigned long long> (gapFrames));
	return 0;
}

const char* stateName (uint32_t code)
{
	static const char* const kNames[] = {"full audio", "active", "expired", "suspended",
	                                     "stalled", "no session", "cleared"};
	return code < 7 ? kNames[code] : "unknown";
}

uint32_t parseMask (const std::string& text)
{
	if (text.rfind ("0b", 0) == 0)
		return static_cast<uint32_t> (std::stoul (text.substr (2), nullptr, 2));
	return static_cast<uint32_t> (std::stoul (text, nullptr, 0));
}

enum class AuditionKind { solo, spectrum, acknowledge };

/** Sends an audition request, repeats it every 200 ms while it should last, and prints
    what the sender's frames report whenever it changes. */
int commandAudition (const Options& options, AuditionKind kind)
{
	const double seconds = kind == AuditionKind::acknowledge ? 0.0 : std::stod (options.get ("seconds", "3"));
	const double after = std::stod (options.get ("after", kind == AuditionKind::acknowledge ? "1" : "1.5"));
	AuditionCommand command = makeCommand (0, 0, 1, 0, 250.0f, 1000.0f, 6000.0f, 0);
	if (kind == AuditionKind::solo)
	{
		if (options.get ("bands").empty ())
		{
			std::fprintf (stderr, "tarvo-probe: solo needs --bands MASK\n");
			return 2;
		}
		command.bandMask = parseMask (options.get ("bands"));
		float a = 0, b = 0, c = 0;
		if (std::sscanf (options.get ("crossovers", "250,1000,6000").c_str (), "%f,%f,%f", &a, &b, &c) != 3)
		{
			std::fprintf (stderr, "tarvo-probe: --crossovers takes three frequencies, e.g. 250,1000,6000\n");
			return 2;
		}
		command.a = a, command.b = b, command.c = c;
	}
	else if (kind == AuditionKind::spectrum)
	{
		if (options.get ("centre").empty ())
		{
			std::fprintf (stderr, "tarvo-probe: spectrum needs --centre HZ\n");
			return 2;
		}
		command.mode = 1;
		command.a = std::stof (options.get ("centre"));
		command.b = std::stof (options.get ("width", "0.6"));
		command.c = 0.0f;
	}
	AuditionCommand check = command; // ids are filled in once connected
	check.sessionId = check.sequence = 1;
	if (!hasValidFields (check))
	{
		std::fprintf (stderr, "tarvo-probe: the sender would refuse this request (see the ranges in --help)\n");
		return 2;
	}

	Session session;
	bool announcedWait = false;
	const auto giveUp = Clock::now () + std::chrono::milliseconds (
	                                        static_cast<int64_t> (std::stod (options.get ("wait", "10")) * 1000));
	if (!waitAndConnect (options, session, giveUp, announcedWait))
	{
		std::printf ("No sender found.\n");
		return 1;
	}
	Frame frame;
	if (session.client.readFrame (frame, 2000) != VisualiserClient::ReadResult::frame)
	{
		std::fprintf (stderr, "tarvo-probe: the sender sent nothing after the handshake\n");
		return 1;
	}
	command.sessionId = frame.header.sessionId;

	// A sender that reports a clear (state 6) plays full audio until a full-audio request
	// newer than everything before acknowledges it; a visualiser sends one, then its own.
	auto acknowledge = [&] {
		// Newer than every request sent so far; the audition then needs a newer one still.
		const uint32_t ackId = command.requestId + 1;
		AuditionCommand ack = makeCommand (command.sessionId, ++command.sequence, ackId, 0, 250.0f, 1000.0f, 6000.0f, 0);
		std::string error;
		session.client.sendBytes (&ack, sizeof ack, error);
		command.requestId = ackId + 1;
		std::printf ("         the sender reports a clear: acknowledged with full-audio request %u\n", ack.requestId);
	};
	auto lastAcknowledged = Clock::now () - std::chrono::seconds (1);
	if (frame.header.stateCode == 6 && kind != AuditionKind::acknowledge)
	{
		acknowledge ();
		lastAcknowledged = Clock::now ();
	}

	const auto started = Clock::now ();
	const auto repeatUntil = started + std::chrono::milliseconds (static_cast<int64_t> (seconds * 1000));
	const auto end = repeatUntil + std::chrono::milliseconds (static_cast<int64_t> (after * 1000));
	auto nextSend = started;
	uint64_t sent = 0;
	std::string last;
	tools::LevelMeter level;
	auto nextLevel = started + std::chrono::seconds (1);
	bool first = true;
	while (Clock::now () < end)
	{
		const auto now = Clock::now ();
		if ((first || now < repeatUntil) && now >= nextSend)
		{
			command.sequence += 1;
			std::string error;
			if (!session.client.sendBytes (&command, sizeof command, error))
			{
				std::printf ("The sender closed the connection (%s)\n", error.c_str ());
				return 1;
			}
			++sent;
			first = false;
			nextSend += std::chrono::milliseconds (200);
		}
		const auto result = session.client.readFrame (frame, 20);
		if (result == VisualiserClient::ReadResult::closed || result == VisualiserClient::ReadResult::malformed)
		{
			std::printf ("The sender ended the session\n");
			return 1;
		}
		if (result != VisualiserClient::ReadResult::frame)
			continue;
		const BlockHeader& h = frame.header;
		for (float v : frame.samples)
			level.add (v);
		if (h.stateCode == 6 && kind != AuditionKind::acknowledge && Clock::now () < repeatUntil &&
		    Clock::now () - lastAcknowledged > std::chrono::milliseconds (300))
		{
			acknowledge ();
			lastAcknowledged = Clock::now ();
		}
		char text[160];
		std::snprintf (text, sizeof text, "request %u  mask %u  spectrum %u  state %u (%s)", h.requestId, h.bandMask,
		               h.spectrumActive, h.stateCode, stateName (h.stateCode));
		const double t = std::chrono::duration<double> (Clock::now () - started).count ();
		if (text != last)
		{
			std::printf ("%6.2f s  %s\n", t, text);
			std::fflush (stdout);
			last = text;
		}
		if (Clock::now () >= nextLevel)
		{
			std::printf ("%6.2f s  received audio peak %s\n", t, tools::formatDbfs (level.peakDbfs ()).c_str ());
			level.reset ();
			nextLevel += std::chrono::seconds (1);
		}
	}
	std::printf ("Sent %llu requests (request id %u) in session %u; %s\n", static_cast<unsigned long long> (sent),
	             command.requestId, command.sessionId,
	             kind == AuditionKind::acknowledge ? "acknowledged" : "repeats stopped, so the request expired");
	return 0;
}

} // namespace

int main (int argc, char** argv)
{
	Options options;
	if (argc < 2)
	{
		std::fprintf (stderr, "%s", kUsage);
		return 2;
	}
	options.command = argv[1];
	for (int i = 2; i < argc; ++i)
	{
		const std::string arg = argv[i];
		if (arg == "--help" || arg == "-h")
		{
			std::printf ("%s", kUsage);
			return 0;
		}
		if (arg.rfind ("--", 0) != 0 || i + 1 >= argc)
		{
			std::fprintf (stderr, "tarvo-probe: unexpected argument %s\n\n%s", arg.c_str (), kUsage);
			return 2;
		}
		options.values[arg.substr (2)] = argv[++i];
	}
	try
	{
		if (options.command == "list")
			return commandList (options);
		if (options.command == "watch")
			return commandWatchOrRecord (options, false);
		if (options.command == "record")
			return commandWatchOrRecord (options, true);
		if (options.command == "solo")
			return commandAudition (options, AuditionKind::solo);
		if (options.command == "spectrum")
			return commandAudition (options, AuditionKind::spectrum);
		if (options.command == "ack")
			return commandAudition (options, AuditionKind::acknowledge);
		if (options.command == "help" || options.command == "--help" || options.command == "-h")
		{
			std::printf ("%s", kUsage);
			return 0;
		}
	}
	catch (const std::exception& e)
	{
		std::fprintf (stderr, "tarvo-probe: %s\n", e.what ());
		return 1;
	}
	std::fprintf (stderr, "tarvo-probe: unknown command %s\n\n%s", options.command.c_str (), kUsage);
	return 2;
}
