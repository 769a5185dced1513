// tarvo-probe: a visualiser client for debugging senders: lists them, watches their
// streams, records them to WAV files and asks for auditions.
#include "probe.h"

#include "discovery/runtimedirectory.h"

#include <cstdio>
#include <stdexcept>

namespace tarvo::probe {
namespace {

const char kUsage[] =
    "usage: tarvo-probe <command> [options]\n"
    "\n"
    "commands:\n"
    "  list                          the senders in the runtime directory\n"
    "  watch [--label L | --id ID | --all] [--seconds N]\n"
    "                                connect to a sender and print its stream once a second;\n"
    "                                reconnects when the sender starts a new run; with --all,\n"
    "                                follow every sender at once, a line each, as they come and go\n"
    "  record --out FILE.wav [--label L | --id ID] [--seconds N]\n"
    "  record --all --out FOLDER [--seconds N]\n"
    "                                write the received audio to 32-bit float WAV files (with --all,\n"
    "                                one per sender in FOLDER), sequence gaps filled with silence\n"
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

} // namespace

std::filesystem::path runtimeDirectory (const tools::CommandLine& line)
{
	const std::string dir = line.get ("dir");
	return dir.empty () ? resolveRuntimeDirectory () : std::filesystem::path (dir);
}

std::string shortId (const std::string& id)
{
	return id.substr (0, 8) + "...";
}

bool isNamed (const tools::CommandLine& line, const client::SenderRecord& sender)
{
	const std::string label = line.get ("label");
	const std::string id = line.get ("id");
	return (!label.empty () && sender.label == label) || (!id.empty () && sender.id == id) ||
	       (label.empty () && id.empty ());
}

} // namespace tarvo::probe

int main (int argc, char** argv)
{
	using namespace tarvo;
	tools::CommandLine line;
	std::string error;
	if (!tools::parseCommandLine (argc, argv, {"all"}, line, error))
	{
		std::fprintf (stderr, "tarvo-probe: %s\n\n%s", error.c_str (), probe::kUsage);
		return 2;
	}
	if (line.has ("help") || line.command == "help")
	{
		std::printf ("%s", probe::kUsage);
		return 0;
	}
	if (line.command.empty ())
	{
		std::fprintf (stderr, "%s", probe::kUsage);
		return 2;
	}
	if (!line.positional.empty ())
	{
		std::fprintf (stderr, "tarvo-probe: unexpected argument %s\n\n%s", line.positional[0].c_str (), probe::kUsage);
		return 2;
	}
	try
	{
		if (line.command == "list")
			return probe::list (line);
		if (line.command == "watch" || line.command == "record")
			return probe::watch (line, line.command == "record");
		if (line.command == "solo")
			return probe::audition (line, probe::AuditionKind::solo);
		if (line.command == "spectrum")
			return probe::audition (line, probe::AuditionKind::spectrum);
		if (line.command == "ack")
			return probe::audition (line, probe::AuditionKind::acknowledge);
	}
	catch (const std::exception& e)
	{
		std::fprintf (stderr, "tarvo-probe: %s\n", e.what ());
		return 1;
	}
	std::fprintf (stderr, "tarvo-probe: unknown command %s\n\n%s", line.command.c_str (), probe::kUsage);
	return 2;
}
