// tarvo-probe solo, spectrum and ack: asks a sender for an audition (or acknowledges a
// clear), repeats the request while it should last and prints what the frames report.
#include "probe.h"

#include "server/auditioncommand.h"

#include "../common/signal.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace tarvo::probe {
namespace {

using namespace tarvo::client;
using Clock = std::chrono::steady_clock;

struct Session
{
	VisualiserClient client;
	SenderRecord sender;
};

bool waitAndConnect (const ProbeOptions& options, Session& session, Clock::time_point giveUp, bool& announcedWait)
{
	while (Clock::now () < giveUp)
	{
		for (const auto& sender : client::listSenders (runtimeDirectory (options)))
		{
			std::string error;
			if (isNamed (options, sender) && session.client.connect (sender, error))
			{
				session.sender = sender;
				std::printf ("Connected to \"%s\" (pid %u, id %s)\n", sender.label.c_str (), sender.pid,
				             shortId (sender.id).c_str ());
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

const char* stateName (uint32_t code)
{
	static const char* const kNames[] = {"full audio", "active", "expired", "suspended",
	                                     "stalled", "no session", "cleared"};
	return code < 7 ? kNames[code] : "unknown";
}

} // namespace

/** Sends an audition request, repeats it every 200 ms while it should last, and prints
    what the sender's frames report whenever it changes. */
int audition (const ProbeOptions& options, AuditionKind kind)
{
	const double seconds = kind == AuditionKind::acknowledge ? 0.0 : options.seconds;
	const double after = options.after;
	AuditionCommand command = makeCommand (0, 0, 1, 0, 250.0f, 1000.0f, 6000.0f, 0);
	if (kind == AuditionKind::solo)
	{
		command.bandMask = options.bands;
		command.a = options.crossovers[0], command.b = options.crossovers[1], command.c = options.crossovers[2];
	}
	else if (kind == AuditionKind::spectrum)
	{
		command.mode = 1;
		command.a = options.centre;
		command.b = options.width;
		command.c = 0.0f;
	}

	Session session;
	bool announcedWait = false;
	const auto giveUp = Clock::now () + std::chrono::milliseconds (static_cast<int64_t> (options.wait * 1000));
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

} // namespace tarvo::probe
