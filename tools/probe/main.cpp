// tarvo-probe: a visualiser client for debugging senders: lists them, watches their
// streams, records them to WAV files and asks for auditions.
// Exit status: 0 success, 1 the work failed, 2 the command line was wrong.
#include "probe.h"

#include "discovery/runtimedirectory.h"
#include "server/auditioncommand.h"

#include "refusal.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <stdexcept>

namespace tarvo::probe {

std::filesystem::path runtimeDirectory (const ProbeOptions& options)
{
	return options.dir.empty () ? resolveRuntimeDirectory () : std::filesystem::u8path (options.dir);
}

std::string shortId (const std::string& id)
{
	return id.substr (0, 8) + "...";
}

bool isNamed (const ProbeOptions& options, const client::SenderRecord& sender)
{
	return (!options.label.empty () && sender.label == options.label) || (!options.id.empty () && sender.id == options.id) ||
	       (options.label.empty () && options.id.empty ());
}

namespace {

/** A band mask as a sender takes it: 0 to 15, written as a number (2, 0x2) or in binary
    (0b0010). */
std::string readMask (std::string& text)
{
	const bool binary = text.rfind ("0b", 0) == 0 || text.rfind ("0B", 0) == 0;
	size_t used = 0;
	unsigned long mask = 16;
	try
	{
		mask = std::stoul (binary ? text.substr (2) : text, &used, binary ? 2 : 0);
	}
	catch (const std::exception&)
	{
		used = 0;
	}
	if (used == 0 || used != text.size () - (binary ? 2 : 0) || mask > 15)
		return "a band mask is 0 to 15 (bit 0 the lowest of the four bands), such as 2 or 0b0010, not " + text;
	text = std::to_string (mask);
	return {};
}

/** What a sender refuses, said in words before anything is sent. */
void checkRequest (const ProbeOptions& o, AuditionKind kind)
{
	AuditionCommand check = kind == AuditionKind::spectrum
	                            ? makeCommand (1, 1, 1, 0, o.centre, o.width, 0.0f, 1)
	                            : makeCommand (1, 1, 1, o.bands, o.crossovers[0], o.crossovers[1], o.crossovers[2], 0);
	if (hasValidFields (check))
		return;
	if (kind == AuditionKind::spectrum)
		throw CLI::ValidationError ("--centre/--width", "a sender takes a centre from 20 to 20000 Hz and a width from 0.44 "
		                                                "(narrowest) to 1.0 (everything)");
	throw CLI::ValidationError ("--crossovers", "a sender takes three crossovers from 25 to 20000 Hz, each at least "
	                                            "1.2 times the one below, such as 250,1000,6000");
}

} // namespace
} // namespace tarvo::probe

int main (int argc, char** argv)
{
	using namespace tarvo::probe;
	CLI::App app {"A visualiser client for debugging senders: lists them, watches their streams, records them to WAV\n"
	              "files and asks for auditions.\n"
	              "Exit status: 0 success, 1 the work failed, 2 the command line was wrong.",
	              "tarvo-probe"};
	app.require_subcommand (1);
	app.option_defaults ()->always_capture_default ();
	app.allow_windows_style_options (false); // a path such as /home/me/x.wav is no option
	ProbeOptions o;

	// Options every command shares, and the choice of a sender.
	auto common = [&] (CLI::App* command, bool waits) {
		command->add_option ("--dir", o.dir, "runtime directory (default: as the plug-in resolves it)");
		if (!waits)
			return;
		command->add_option ("--wait", o.wait, "give up when no sender appears within this many seconds")
		    ->check (CLI::Range (0.0, 86400.0));
	};
	auto naming = [&] (CLI::App* command) {
		CLI::Option* label = command->add_option ("--label", o.label, "the sender with this label (default: the first)");
		command->add_option ("--id", o.id, "the sender with this id")->excludes (label);
	};
	double watchSeconds = 10.0, auditionSeconds = 3.0, afterAudition = 1.5, afterAck = 1.0;
	auto length = [&] (CLI::App* command, double& seconds, const char* what) {
		command->add_option ("--seconds", seconds, what)->check (CLI::Range (0.0, 86400.0));
	};

	CLI::App* list = app.add_subcommand ("list", "the senders in the runtime directory");
	common (list, false);

	CLI::App* watch = app.add_subcommand ("watch", "connect to a sender and print its stream once a second; reconnect "
	                                               "when it starts a new run");
	CLI::App* record = app.add_subcommand ("record", "write the received audio to 32-bit float WAV, sequence gaps "
	                                                 "filled with silence");
	for (CLI::App* command : {watch, record})
	{
		common (command, true);
		CLI::Option* label = command->add_option ("--label", o.label, "the sender with this label (default: the first)");
		CLI::Option* id = command->add_option ("--id", o.id, "the sender with this id")->excludes (label);
		command->add_flag ("--all", o.all, "follow every sender at once, as they come and go")->excludes (label)->excludes (id);
		length (command, watchSeconds, "stop after this many seconds (0: until killed)");
	}
	record->add_option ("--out", o.out, "the WAV file; with --all, the folder for one file per sender")->required ();

	CLI::App* solo = app.add_subcommand ("solo", "Band Solo: hear only the chosen bands, the request repeated every "
	                                             "200 ms");
	std::string mask;
	solo->add_option ("--bands", mask, "the bands to hear, bit 0 the lowest (2 or 0b0010: band 1)")
	    ->required ()
	    ->transform (CLI::Validator ([] (std::string& text) { return readMask (text); }, "0 to 15"));
	std::vector<float> crossovers {250.0f, 1000.0f, 6000.0f};
	solo->add_option ("--crossovers", crossovers, "A,B,C: the three crossovers in Hz")->expected (3)->delimiter (',');

	CLI::App* spectrum = app.add_subcommand ("spectrum", "Spectrum audition around a centre frequency, the request "
	                                                     "repeated every 200 ms");
	spectrum->add_option ("--centre", o.centre, "centre frequency in Hz")->required ()->check (CLI::Range (20.0f, 20000.0f));
	spectrum->add_option ("--width", o.width, "0.44 (narrowest) to 1.0 (everything)")->check (CLI::Range (0.44f, 1.0f));

	CLI::App* ack = app.add_subcommand ("ack", "acknowledge a clear with a new full-audio request");
	for (CLI::App* command : {solo, spectrum, ack})
	{
		common (command, true);
		naming (command);
		if (command != ack)
			length (command, auditionSeconds, "how long to keep the request going");
		command->add_option ("--after", command == ack ? afterAck : afterAudition,
		                     "keep watching this many seconds after the repeats stop")
		    ->check (CLI::Range (0.0, 86400.0));
	}

	try
	{
		app.parse (argc, argv);
		o.seconds = watch->parsed () || record->parsed () ? watchSeconds : auditionSeconds;
		o.after = ack->parsed () ? afterAck : afterAudition;
		o.bands = solo->parsed () ? uint32_t (std::stoul (mask)) : 0u;
		std::copy (crossovers.begin (), crossovers.end (), o.crossovers.begin ());
		if (solo->parsed ())
			checkRequest (o, AuditionKind::solo);
		if (spectrum->parsed ())
			checkRequest (o, AuditionKind::spectrum);
	}
	catch (const CLI::CallForHelp&)
	{
		std::printf ("%s", app.help ().c_str ());
		return 0;
	}
	catch (const CLI::ParseError& e)
	{
		std::fprintf (stderr, "tarvo-probe: %s\n\n%s", tarvo::tools::refusal (app, e).c_str (), app.help ().c_str ());
		return 2;
	}

	try
	{
		if (list->parsed ())
			return tarvo::probe::list (o);
		if (watch->parsed () || record->parsed ())
			return tarvo::probe::watch (o, record->parsed ());
		return audition (o, solo->parsed () ? AuditionKind::solo : spectrum->parsed () ? AuditionKind::spectrum
		                                                                                : AuditionKind::acknowledge);
	}
	catch (const std::exception& e)
	{
		std::fprintf (stderr, "tarvo-probe: %s\n", e.what ());
		return 1;
	}
}
