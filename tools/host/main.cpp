// tarvo-host: loads a VST 3 bundle as a host would, describes it, and runs audio through it.
#include "hosttool.h"

#include <cstdio>
#include <cstring>

namespace tarvo::hosttool {
namespace {

const char kUsage[] =
    "usage: tarvo-host <command> <bundle> [options]\n"
    "\n"
    "commands:\n"
    "  info <bundle>                 print the factory and its classes as a host scanner sees them\n"
    "  run <bundle> [options]        process audio through the effect and print a summary\n"
    "  moduleinfo <bundle> --out F   write the bundle's moduleinfo.json\n"
    "\n"
    "run options:\n"
    "  --seconds S                   length of the run (default 2)\n"
    "  --rate HZ                     sample rate (default 48000)\n"
    "  --block N                     frames per process call (default 512)\n"
    "  --channels 1|2                mono or stereo (default 2)\n"
    "  --precision 32|64             sample size (default 32)\n"
    "  --mode realtime|prefetch|offline   process mode (default realtime)\n"
    "  --pace                        pace the calls to the wall clock, as a live host does\n"
    "  --input sine|noise|sweep|tones|FILE.wav  input signal (default sine; tones: 100, 500,\n"
    "                                2500 and 10000 Hz, one in each default solo band)\n"
    "  --freq HZ                     sine frequency (default 1000)\n"
    "  --level DBFS                  generated signal level (default -6)\n"
    "  --out FILE.wav                write the output as 32-bit float WAV\n"
    "  --label NAME                  restore a project state that names the sender NAME\n"
    "  --band-levels A,B,C           with --pace, report the output level below, between and\n"
    "                                above these crossovers once a second\n"
    "  --editor                      open the plug-in's panel in a window (needs a display) and\n"
    "                                report what it shows; audio then runs on its own thread\n"
    "  --screenshot FILE.png         with --editor, save the window (at the end, or at --screenshot-at S)\n";

} // namespace

std::unique_ptr<host::PluginModule> loadBundle (const tools::CommandLine& line)
{
	if (line.positional.empty ())
	{
		std::fprintf (stderr, "tarvo-host: no bundle given\n\n%s", kUsage);
		return nullptr;
	}
	std::string error;
	auto module = host::PluginModule::load (line.positional[0], error);
	if (!module)
		std::fprintf (stderr, "tarvo-host: %s\n", error.c_str ());
	return module;
}

std::string fixedText (const Steinberg::char8* field, size_t size)
{
	return std::string (field, strnlen (field, size));
}

} // namespace tarvo::hosttool

int main (int argc, char** argv)
{
	using namespace tarvo;
	tools::CommandLine line;
	std::string error;
	const bool parsed = tools::parseCommandLine (argc, argv, {"pace", "editor"}, line, error);
	if (parsed && (line.command == "help" || line.has ("help")))
	{
		std::printf ("%s", hosttool::kUsage);
		return 0;
	}
	if (!parsed || line.command.empty ())
	{
		std::fprintf (stderr, "tarvo-host: %s\n\n%s", error.empty () ? "no command given" : error.c_str (),
		              hosttool::kUsage);
		return 2;
	}
	if (line.positional.size () > 1)
	{
		std::fprintf (stderr, "tarvo-host: unexpected argument %s\n\n%s", line.positional[1].c_str (), hosttool::kUsage);
		return 2;
	}
	try
	{
		if (line.command == "info")
			return hosttool::info (line);
		if (line.command == "run")
			return hosttool::run (line);
		if (line.command == "moduleinfo")
			return hosttool::moduleInfo (line);
	}
	catch (const std::exception& e)
	{
		std::fprintf (stderr, "tarvo-host: %s\n", e.what ());
		return 2;
	}
	std::fprintf (stderr, "tarvo-host: unknown command %s\n\n%s", line.command.c_str (), hosttool::kUsage);
	return 2;
}
