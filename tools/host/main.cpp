// tarvo-host: loads a VST 3 bundle as a host would, describes it, and runs audio through it.
// Exit status: 0 success, 1 the work failed, 2 the command line was wrong.
#include "hosttool.h"

#include "refusal.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>

namespace tarvo::hosttool {

std::unique_ptr<host::PluginModule> loadBundle (const std::string& bundle)
{
	std::string error;
	auto module = host::PluginModule::load (bundle, error);
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
	using namespace tarvo::hosttool;
	CLI::App app {"Loads a VST 3 bundle as a host would, describes it, and runs audio through it.\n"
	              "Exit status: 0 success, 1 the work failed, 2 the command line was wrong.",
	              "tarvo-host"};
	app.require_subcommand (1);
	app.option_defaults ()->always_capture_default ();
	app.allow_windows_style_options (false); // a path such as /home/me/x.wav is no option

	std::string bundle, out;
	CLI::App* info = app.add_subcommand ("info", "print the factory and its classes as a host's plug-in scanner sees them");
	info->add_option ("bundle", bundle, "the bundle folder (.vst3) or the module file in it")->required ();

	CLI::App* moduleinfo = app.add_subcommand ("moduleinfo", "write the bundle's moduleinfo.json");
	moduleinfo->add_option ("bundle", bundle, "the bundle folder (.vst3) or the module file in it")->required ();
	moduleinfo->add_option ("--out", out, "where to write moduleinfo.json")->required ();

	CLI::App* snapshot = app.add_subcommand ("snapshot", "save the plug-in's panel, as it first shows itself, as a PNG "
	                                                     "file (hosts show it in their plug-in browsers; needs a display)");
	snapshot->add_option ("bundle", bundle, "the bundle folder (.vst3) or the module file in it")->required ();
	snapshot->add_option ("--out", out,
	                      "the PNG file to write (default: the bundle's own "
	                      "Contents/Resources/Snapshots/<effect class ID>_snapshot.png)");

	RunOptions o;
	CLI::App* run = app.add_subcommand ("run", "process audio through the effect and print a summary");
	run->add_option ("bundle", o.bundle, "the bundle folder (.vst3) or the module file in it")->required ();
	run->add_option ("--seconds", o.seconds, "length of the run")->check (CLI::Range (0.0, 86400.0));
	double rate = 48000.0;
	CLI::Option* rateOption =
	    run->add_option ("--rate", rate, "sample rate in Hz (a WAV input's own rate unless given)")->check (CLI::Range (1000.0, 1000000.0));
	run->add_option ("--block", o.block, "frames per process call")->check (CLI::Range (1, 1 << 20));
	run->add_option ("--channels", o.channels, "1 mono, 2 stereo")->check (CLI::IsMember ({1, 2}));
	run->add_option ("--precision", o.precision, "sample size in bits")->check (CLI::IsMember ({32, 64}));
	run->add_option ("--mode", o.mode, "process mode")->check (CLI::IsMember ({"realtime", "prefetch", "offline"}));
	run->add_flag ("--pace", o.pace, "call process() at the wall-clock rate, as a live host does");
	run->add_option ("--input", o.input,
	                 "sine, noise, sweep, tones (100, 500, 2500 and 10000 Hz, one in each default solo band) "
	                 "or a WAV file");
	run->add_option ("--freq", o.frequency, "sine frequency in Hz")->check (CLI::Range (1.0, 192000.0));
	run->add_option ("--level", o.level, "generated signal level in dBFS")->check (CLI::Range (-200.0, 20.0));
	run->add_option ("--out", o.out, "write the output as a 32-bit float WAV file");
	run->add_option ("--label", o.label, "restore a project state that names the sender this");
	std::vector<double> bandLevels;
	CLI::Option* bands = run->add_option ("--band-levels", bandLevels,
	                                      "A,B,C: with --pace, report the output level below A, between A and B, "
	                                      "B and C, and above C once a second (Hz, rising)")
	                         ->expected (3)
	                         ->delimiter (',')
	                         ->default_str ("")
	                         ->check (CLI::Range (20.0, 20000.0));
	CLI::Option* editor = run->add_flag ("--editor", o.editor,
	                                     "open the plug-in's panel in a window (needs a display), report what it "
	                                     "shows, run the audio on its own thread");
	CLI::Option* screenshot =
	    run->add_option ("--screenshot", o.screenshot, "with --editor, save the window as a PNG file")->needs (editor);
	double shotAt = 0.0;
	run->add_option ("--screenshot-at", shotAt, "seconds into the run to take the screenshot (default: at the end)")
	    ->check (CLI::Range (0.0, 86400.0))
	    ->default_str ("")
	    ->needs (screenshot);

	try
	{
		app.parse (argc, argv);
		if (bands->count () && !(bandLevels[0] < bandLevels[1] && bandLevels[1] < bandLevels[2]))
			throw CLI::ValidationError ("--band-levels", "the three crossovers must rise, e.g. 250,1000,6000");
	}
	catch (const CLI::CallForHelp&)
	{
		std::printf ("%s", app.help ().c_str ());
		return 0;
	}
	catch (const CLI::ParseError& e)
	{
		std::fprintf (stderr, "tarvo-host: %s\n\n%s", tarvo::tools::refusal (app, e).c_str (), app.help ().c_str ());
		return 2;
	}
	if (rateOption->count ())
		o.rate = rate;
	if (bands->count ())
		o.bandLevels = std::array<double, 3> {bandLevels[0], bandLevels[1], bandLevels[2]};
	if (run->get_option ("--screenshot-at")->count ())
		o.screenshotAt = shotAt;

	try
	{
		if (info->parsed ())
			return tarvo::hosttool::info (bundle);
		if (moduleinfo->parsed ())
			return moduleInfo (bundle, out);
		if (snapshot->parsed ())
			return tarvo::hosttool::snapshot (bundle, out);
		return tarvo::hosttool::run (o);
	}
	catch (const std::exception& e)
	{
		std::fprintf (stderr, "tarvo-host: %s\n", e.what ());
		return 1;
	}
}
