// tarvo-host: loads a VST 3 bundle as a host would, describes it, and runs audio through it.
#include "bandmeter.h"
#include "hostwindow.h"
#include "pluginmodule.h"
#include "processbuffers.h"

#include "../common/signal.h"
#include "shared/statecodec.h"
#include "shared/utf8.h"
#include "../common/wav.h"

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/vstspeaker.h"
#include "public.sdk/source/common/memorystream.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace tarvo;

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

struct Options
{
	std::string command;
	std::string bundle;
	std::map<std::string, std::string> values;
	bool pace {false};

	std::string get (const std::string& key, const std::string& fallback) const
	{
		auto it = values.find (key);
		return it == values.end () ? fallback : it->second;
	}
};

bool parseArguments (int argc, char** argv, Options& options, std::string& error)
{
	if (argc < 2)
	{
		error = "no command given";
		return false;
	}
	options.command = argv[1];
	for (int i = 2; i < argc; ++i)
	{
		std::string arg = argv[i];
		if (arg == "--pace")
			options.pace = true;
		else if (arg == "--editor")
			options.values["editor"] = "1";
		else if (arg == "--help" || arg == "-h")
			options.values["help"] = "1";
		else if (arg.rfind ("--", 0) == 0)
		{
			if (i + 1 >= argc)
			{
				error = "option " + arg + " needs a value";
				return false;
			}
			options.values[arg.substr (2)] = argv[++i];
		}
		else if (options.bundle.empty ())
			options.bundle = arg;
		else
		{
			error = "unexpected argument " + arg;
			return false;
		}
	}
	return true;
}

bool toNumber (const std::string& text, double& value)
{
	char* end = nullptr;
	value = std::strtod (text.c_str (), &end);
	return end && *end == '\0' && !text.empty () && std::isfinite (value);
}

std::string fixed (const char8* field, size_t size)
{
	return std::string (field, strnlen (field, size));
}

std::string tuidBytes (const TUID tuid)
{
	std::string text;
	char part[4];
	for (int i = 0; i < 16; ++i)
	{
		std::snprintf (part, sizeof part, i ? " %02X" : "%02X", static_cast<unsigned char> (tuid[i]));
		text += part;
	}
	return text;
}

std::unique_ptr<host::PluginModule> loadOrComplain (const Options& options)
{
	if (options.bundle.empty ())
	{
		std::fprintf (stderr, "tarvo-host: no bundle given\n\n%s", kUsage);
		return nullptr;
	}
	std::string error;
	auto module = host::PluginModule::load (options.bundle, error);
	if (!module)
		std::fprintf (stderr, "tarvo-host: %s\n", error.c_str ());
	return module;
}

const char* busTypeName (int32 type) { return type == kMain ? "main" : "aux"; }

int commandInfo (const Options& options)
{
	auto module = loadOrComplain (options);
	if (!module)
		return 1;
	IPluginFactory* factory = module->factory ();
	PFactoryInfo info {};
	factory->getFactoryInfo (&info);
	std::printf ("Module   %s\n", module->file ().string ().c_str ());
	std::printf ("Factory  vendor \"%s\", url \"%s\", email \"%s\", flags 0x%X%s\n",
	             fixed (info.vendor, sizeof info.vendor).c_str (),
	             fixed (info.url, sizeof info.url).c_str (),
	             fixed (info.email, sizeof info.email).c_str (), static_cast<unsigned> (info.flags),
	             info.flags == PFactoryInfo::kUnicode ? " (Unicode)" : "");

	const auto classes = host::describeClasses (factory);
	std::printf ("Classes  %zu\n", classes.size ());
	for (size_t i = 0; i < classes.size (); ++i)
	{
		const auto& d = classes[i];
		std::printf ("\n[%zu] %s\n", i, fixed (d.info.name, sizeof d.info.name).c_str ());
		std::printf ("    class ID        {%s}\n", host::uidToString (d.info.cid).c_str ());
		std::printf ("    TUID bytes      %s\n", tuidBytes (d.info.cid).c_str ());
		std::printf ("    category        %s\n", fixed (d.info.category, sizeof d.info.category).c_str ());
		std::printf ("    cardinality     0x%X%s\n", static_cast<unsigned> (d.info.cardinality),
		             d.info.cardinality == PClassInfo::kManyInstances ? " (many instances)" : "");
		if (d.hasInfo2)
		{
			std::printf ("    sub-categories  \"%s\"\n",
			             fixed (d.info2.subCategories, sizeof d.info2.subCategories).c_str ());
			std::printf ("    vendor          \"%s\"\n", fixed (d.info2.vendor, sizeof d.info2.vendor).c_str ());
			std::printf ("    version         %s\n", fixed (d.info2.version, sizeof d.info2.version).c_str ());
			std::printf ("    SDK version     %s\n",
			             fixed (d.info2.sdkVersion, sizeof d.info2.sdkVersion).c_str ());
			std::printf ("    class flags     0x%X\n", static_cast<unsigned> (d.info2.classFlags));
		}
	}

	// A scanner also instantiates each effect to read its buses.
	for (const auto& d : classes)
	{
		if (std::strcmp (d.info.category, kVstAudioEffectClass) != 0)
			continue;
		std::string error;
		auto instance = host::PluginInstance::create (factory, d.info.cid, error);
		if (!instance)
		{
			std::printf ("\nInstance of %s: %s\n", d.info.name, error.c_str ());
			return 1;
		}
		TUID controllerClass {};
		instance->component->getControllerClassId (controllerClass);
		std::printf ("\nInstance of %s\n", d.info.name);
		std::printf ("    controller      {%s}%s\n", host::uidToString (controllerClass).c_str (),
		             instance->controller ? " (created and connected)" : " (not created)");
		for (BusDirection dir : {kInput, kOutput})
		{
			const int32 count = instance->component->getBusCount (kAudio, dir);
			for (int32 b = 0; b < count; ++b)
			{
				BusInfo bus {};
				instance->component->getBusInfo (kAudio, dir, b, bus);
				SpeakerArrangement arrangement = 0;
				instance->processor->getBusArrangement (dir, b, arrangement);
				char name[128] = {};
				for (int k = 0; k < 127 && bus.name[k]; ++k)
					name[k] = static_cast<char> (bus.name[k]);
				std::printf ("    %s bus %d     \"%s\", %d channels, arrangement 0x%llX, %s, flags 0x%X\n",
				             dir == kInput ? "input " : "output", static_cast<int> (b), name,
				             static_cast<int> (bus.channelCount),
				             static_cast<unsigned long long> (arrangement), busTypeName (bus.busType),
				             static_cast<unsigned> (bus.flags));
			}
		}
		std::printf ("    event buses     %d in, %d out\n",
		             static_cast<int> (instance->component->getBusCount (kEvent, kInput)),
		             static_cast<int> (instance->component->getBusCount (kEvent, kOutput)));
		std::printf ("    latency         %u samples, tail %u samples\n",
		             static_cast<unsigned> (instance->processor->getLatencySamples ()),
		             static_cast<unsigned> (instance->processor->getTailSamples ()));
		FUnknownPtr<IProcessContextRequirements> requirements (instance->component);
		if (requirements)
			std::printf ("    context needs   0x%X\n",
			             static_cast<unsigned> (requirements->getProcessContextRequirements ()));
		std::printf ("    64-bit samples  %s\n",
		             instance->processor->canProcessSampleSize (kSample64) == kResultTrue ? "yes" : "no");
	}
	return 0;
}

std::string jsonQuote (const std::string& text)
{
	std::string out = "\"";
	for (unsigned char ch : text)
	{
		if (ch == '"' || ch == '\\')
		{
			out += '\\';
			out += static_cast<char> (ch);
		}
		else if (ch < 0x20)
		{
			char escape[8];
			std::snprintf (escape, sizeof escape, "\\u%04X", ch);
			out += escape;
		}
		else
			out += static_cast<char> (ch);
	}
	return out + "\"";
}

int commandModuleInfo (const Options& options)
{
	const std::string out = options.get ("out", "");
	if (out.empty ())
	{
		std::fprintf (stderr, "tarvo-host: moduleinfo needs --out FILE\n");
		return 2;
	}
	auto module = loadOrComplain (options);
	if (!module)
		return 1;
	PFactoryInfo info {};
	module->factory ()->getFactoryInfo (&info);
	const auto classes = host::describeClasses (module->factory ());

	std::ostringstream json;
	const std::string moduleName = module->file ().stem ().string ();
	std::string version = classes.empty () || !classes[0].hasInfo2
	                          ? std::string ()
	                          : fixed (classes[0].info2.version, sizeof classes[0].info2.version);
	json << "{\n  \"Name\": " << jsonQuote (moduleName) << ",\n  \"Version\": " << jsonQuote (version)
	     << ",\n  \"Factory Info\": {\n    \"Vendor\": " << jsonQuote (fixed (info.vendor, sizeof info.vendor))
	     << ",\n    \"URL\": " << jsonQuote (fixed (info.url, sizeof info.url))
	     << ",\n    \"E-Mail\": " << jsonQuote (fixed (info.email, sizeof info.email))
	     << ",\n    \"Flags\": {\n      \"Unicode\": "
	     << ((info.flags & PFactoryInfo::kUnicode) ? "true" : "false")
	     << ",\n      \"Classes Discardable\": "
	     << ((info.flags & PFactoryInfo::kClassesDiscardable) ? "true" : "false")
	     << ",\n      \"Component Non Discardable\": "
	     << ((info.flags & PFactoryInfo::kComponentNonDiscardable) ? "true" : "false")
	     << "\n    }\n  },\n  \"Compatibility\": [],\n  \"Classes\": [";
	for (size_t i = 0; i < classes.size (); ++i)
	{
		const auto& d = classes[i];
		std::string cid = host::uidToString (d.info.cid);
		cid.erase (std::remove (cid.begin (), cid.end (), '-'), cid.end ());
		json << (i ? "," : "") << "\n    {\n      \"CID\": " << jsonQuote (cid)
		     << ",\n      \"Category\": " << jsonQuote (fixed (d.info.category, sizeof d.info.category))
		     << ",\n      \"Name\": " << jsonQuote (fixed (d.info.name, sizeof d.info.name));
		if (d.hasInfo2)
		{
			json << ",\n      \"Vendor\": " << jsonQuote (fixed (d.info2.vendor, sizeof d.info2.vendor))
			     << ",\n      \"Version\": " << jsonQuote (fixed (d.info2.version, sizeof d.info2.version))
			     << ",\n      \"SDKVersion\": "
			     << jsonQuote (fixed (d.info2.sdkVersion, sizeof d.info2.sdkVersion))
			     << ",\n      \"Sub Categories\": [";
			std::string sub = fixed (d.info2.subCategories, sizeof d.info2.subCategories);
			std::istringstream parts (sub);
			std::string part;
			bool first = true;
			while (std::getline (parts, part, '|'))
			{
				if (part.empty ())
					continue;
				json << (first ? "" : ", ") << jsonQuote (part);
				first = false;
			}
			json << "],\n      \"Class Flags\": " << d.info2.classFlags;
		}
		json << ",\n      \"Cardinality\": " << d.info.cardinality
		     << ",\n      \"Snapshots\": []\n    }";
	}
	json << "\n  ]\n}\n";

	std::error_code ec;
	std::filesystem::create_directories (std::filesystem::path (out).parent_path (), ec);
	std::ofstream file (out, std::ios::binary);
	file << json.str ();
	file.close ();
	if (!file)
	{
		std::fprintf (stderr, "tarvo-host: cannot write %s\n", out.c_str ());
		return 1;
	}
	std::printf ("wrote %s\n", out.c_str ());
	return 0;
}

/** The panel's visible state, read from its controls. */
std::string panelState (HWND panel)
{
	if (!panel)
		return "no panel";
	std::string status = "?";
	for (HWND child = GetWindow (panel, GW_CHILD); child; child = GetWindow (child, GW_HWNDNEXT))
	{
		wchar_t className[32] = {};
		GetClassNameW (child, className, 32);
		if (_wcsicmp (className, L"STATIC") == 0 && (GetWindowLongW (child, GWL_STYLE) & SS_TYPEMASK) == SS_CENTER)
		{
			wchar_t text[128] = {};
			GetWindowTextW (child, text, 128);
			status = tarvo::toUtf8 (reinterpret_cast<const char16_t*> (text));
		}
	}
	wchar_t primary[64] = {};
	GetWindowTextW (GetDlgItem (panel, 103), primary, 64);
	const bool clearShown = IsWindowVisible (GetDlgItem (panel, 102));
	return "status \"" + status + "\" | button \"" + tarvo::toUtf8 (reinterpret_cast<const char16_t*> (primary)) +
	       "\" | " + (clearShown ? "\"Clear Solo\" shown" : "no clear button");
}

/** Opens the panel, runs the audio on its own thread and reports what the panel shows. */
bool runWithEditor (host::PluginInstance& instance, const Options& options, const std::function<void ()>& processAll,
                    std::chrono::steady_clock::time_point started)
{
	if (!instance.controller)
	{
		std::fprintf (stderr, "tarvo-host: the effect has no edit controller\n");
		return false;
	}
	host::ComponentHandler handler;
	instance.controller->setComponentHandler (&handler);
	IPtr<IPlugView> view = owned (instance.controller->createView (ViewType::kEditor));
	host::EditorWindow window;
	std::string error;
	if (!view || !window.open (view, L"tarvo-host", error))
	{
		std::fprintf (stderr, "tarvo-host: cannot open the editor: %s\n", view ? error.c_str () : "no view");
		instance.controller->setComponentHandler (nullptr);
		return false;
	}
	ViewRect size;
	view->getSize (&size);
	std::printf ("Editor open: %d x %d panel\n", size.getWidth (), size.getHeight ());

	std::atomic<bool> finished {false};
	std::thread audio ([&] {
		processAll ();
		finished = true;
	});
	const std::string screenshot = options.get ("screenshot", "");
	double shotAt = -1.0;
	if (options.values.count ("screenshot-at"))
		shotAt = std::stod (options.get ("screenshot-at", "0"));
	bool shot = false;
	std::string shown;
	while (!finished.load ())
	{
		host::pumpMessages ();
		MsgWaitForMultipleObjects (0, nullptr, FALSE, 20, QS_ALLINPUT);
		const double t = std::chrono::duration<double> (std::chrono::steady_clock::now () - started).count ();
		const std::string state = panelState (window.childOfClass (L"TarvoAudioServerPanel"));
		if (state != shown)
		{
			std::printf ("  %6.2f s  panel: %s\n", t, state.c_str ());
			std::fflush (stdout);
			shown = state;
		}
		if (!screenshot.empty () && !shot && shotAt >= 0.0 && t >= shotAt)
			shot = host::saveScreenshot (window.window (), screenshot);
	}
	audio.join ();
	host::pumpMessages ();
	if (!screenshot.empty () && !shot)
		shot = host::saveScreenshot (window.window (), screenshot);
	if (!screenshot.empty ())
		std::printf ("Screenshot       %s%s\n", screenshot.c_str (), shot ? "" : " could not be taken");
	window.close ();
	view = nullptr;
	instance.controller->setComponentHandler (nullptr);
	std::printf ("Project marked modified %d times\n", handler.dirtyTrue.load ());
	return shot || screenshot.empty ();
}

struct RunSettings
{
	double seconds {2.0};
	double rate {48000.0};
	int32 block {512};
	int32 channels {2};
	int32 sampleSize {kSample32};
	int32 processMode {kRealtime};
	bool pace {false};
	std::string input {"sine"};
	double frequency {1000.0};
	double level {-6.0};
	std::string out;
};

bool readRunSettings (const Options& options, RunSettings& s, std::string& error)
{
	double v = 0.0;
	auto number = [&] (const char* key, double& target, double low, double high) {
		auto it = options.values.find (key);
		if (it == options.values.end ())
			return true;
		if (!toNumber (it->second, v) || v < low || v > high)
		{
			error = std::string ("--") + key + " must be a number from " + std::to_string (low) +
			        " to " + std::to_string (high);
			return false;
		}
		target = v;
		return true;
	};
	double block = s.block, channels = s.channels, precision = 32;
	if (!number ("seconds", s.seconds, 0.0, 86400.0) || !number ("rate", s.rate, 1000.0, 1e6) ||
	    !number ("block", block, 1, 1 << 20) || !number ("channels", channels, 1, 2) ||
	    !number ("precision", precision, 32, 64) || !number ("freq", s.frequency, 1.0, 1e6) ||
	    !number ("level", s.level, -200.0, 20.0))
		return false;
	if (precision != 32 && precision != 64)
	{
		error = "--precision must be 32 or 64";
		return false;
	}
	s.block = static_cast<int32> (block);
	s.channels = static_cast<int32> (channels);
	s.sampleSize = precision == 64 ? kSample64 : kSample32;
	const std::string mode = options.get ("mode", "realtime");
	if (mode == "realtime")
		s.processMode = kRealtime;
	else if (mode == "prefetch")
		s.processMode = kPrefetch;
	else if (mode == "offline")
		s.processMode = kOffline;
	else
	{
		error = "--mode must be realtime, prefetch or offline";
		return false;
	}
	s.pace = options.pace;
	s.input = options.get ("input", "sine");
	s.out = options.get ("out", "");
	return true;
}

int commandRun (const Options& options)
{
	RunSettings s;
	std::string error;
	if (!readRunSettings (options, s, error))
	{
		std::fprintf (stderr, "tarvo-host: %s\n", error.c_str ());
		return 2;
	}

	tools::WavData file;
	const bool fromFile = s.input != "sine" && s.input != "noise" && s.input != "sweep" && s.input != "tones";
	if (fromFile)
	{
		if (!tools::readWav (s.input, file, error))
		{
			std::fprintf (stderr, "tarvo-host: %s\n", error.c_str ());
			return 1;
		}
		if (!options.values.count ("rate"))
			s.rate = file.sampleRate;
	}

	auto module = loadOrComplain (options);
	if (!module)
		return 1;
	const auto classes = host::describeClasses (module->factory ());
	auto effect = std::find_if (classes.begin (), classes.end (), [] (const host::ClassDescription& d) {
		return std::strcmp (d.info.category, kVstAudioEffectClass) == 0;
	});
	if (effect == classes.end ())
	{
		std::fprintf (stderr, "tarvo-host: the module has no audio effect class\n");
		return 1;
	}
	auto instance = host::PluginInstance::create (module->factory (), effect->info.cid, error);
	if (!instance)
	{
		std::fprintf (stderr, "tarvo-host: %s\n", error.c_str ());
		return 1;
	}

	const std::string label = options.get ("label", "");
	if (!label.empty ())
	{
		// What a DAW does when it opens a project: hand the component its saved state.
		MemoryStream state;
		auto header = encodeStateHeader (static_cast<uint32_t> (label.size ()));
		int32 written = 0;
		state.write (header.data (), static_cast<int32> (header.size ()), &written);
		state.write (const_cast<char*> (label.data ()), static_cast<int32> (label.size ()), &written);
		state.seek (0, IBStream::kIBSeekSet, nullptr);
		if (instance->component->setState (&state) != kResultOk)
		{
			std::fprintf (stderr, "tarvo-host: the effect refused the state naming it \"%s\"\n", label.c_str ());
			return 1;
		}
		instance->syncControllerState ();
	}

	IAudioProcessor* processor = instance->processor;
	SpeakerArrangement arrangement = s.channels == 1 ? SpeakerArr::kMono : SpeakerArr::kStereo;
	if (processor->setBusArrangements (&arrangement, 1, &arrangement, 1) != kResultOk)
	{
		std::fprintf (stderr, "tarvo-host: the effect refused a %s bus layout\n",
		              s.channels == 1 ? "mono" : "stereo");
		return 1;
	}
	if (processor->canProcessSampleSize (s.sampleSize) != kResultTrue)
	{
		std::fprintf (stderr, "tarvo-host: the effect cannot process %d-bit samples\n",
		              s.sampleSize == kSample64 ? 64 : 32);
		return 1;
	}
	ProcessSetup setup {s.processMode, s.sampleSize, s.block, s.rate};
	if (processor->setupProcessing (setup) != kResultOk)
	{
		std::fprintf (stderr, "tarvo-host: the effect refused the processing setup\n");
		return 1;
	}
	instance->component->activateBus (kAudio, kInput, 0, true);
	instance->component->activateBus (kAudio, kOutput, 0, true);
	instance->component->setActive (true);
	processor->setProcessing (true);

	tools::WavWriter writer;
	if (!s.out.empty () && !writer.open (s.out, static_cast<uint32_t> (s.rate),
	                                     static_cast<uint16_t> (s.channels), error))
	{
		std::fprintf (stderr, "tarvo-host: %s\n", error.c_str ());
		return 1;
	}

	const tools::SignalKind kind = s.input == "noise"   ? tools::SignalKind::noise
	                               : s.input == "sweep" ? tools::SignalKind::sweep
	                               : s.input == "tones" ? tools::SignalKind::tones
	                                                    : tools::SignalKind::sine;
	std::vector<tools::SignalGenerator> generators;
	for (int32 c = 0; c < s.channels; ++c)
		generators.emplace_back (kind, s.rate, s.frequency, s.level, s.seconds > 0 ? s.seconds : 1.0,
		                         static_cast<uint32_t> (c + 1));

	const int64 totalFrames = fromFile ? static_cast<int64> (file.frames ())
	                                   : static_cast<int64> (std::llround (s.seconds * s.rate));
	host::ProcessBuffers buffers (s.channels, s.block, s.sampleSize);
	ProcessContext& context = buffers.context ();
	context.sampleRate = s.rate;
	context.state = ProcessContext::kPlaying | ProcessContext::kContTimeValid;

	std::printf ("Running %s: %.2f s at %.0f Hz, %d-frame blocks, %s, %d-bit, %s%s, input %s\n",
	             module->file ().filename ().string ().c_str (), double (totalFrames) / s.rate, s.rate,
	             static_cast<int> (s.block), s.channels == 1 ? "mono" : "stereo",
	             s.sampleSize == kSample64 ? 64 : 32,
	             s.processMode == kOffline ? "offline" : s.processMode == kPrefetch ? "prefetch" : "realtime",
	             s.pace ? ", paced" : "", s.input.c_str ());
	std::fflush (stdout);

	std::unique_ptr<host::BandMeter> bands;
	const std::string bandOption = options.get ("band-levels", "");
	if (!bandOption.empty ())
	{
		std::array<double, 3> crossovers {};
		if (std::sscanf (bandOption.c_str (), "%lf,%lf,%lf", &crossovers[0], &crossovers[1], &crossovers[2]) != 3)
		{
			std::fprintf (stderr, "tarvo-host: --band-levels takes three frequencies, e.g. 250,1000,6000\n");
			return 2;
		}
		bands = std::make_unique<host::BandMeter> (crossovers, s.rate, s.channels, s.block);
	}
	std::vector<std::vector<double>> outputCopy (size_t (s.channels), std::vector<double> (size_t (s.block)));

	tools::LevelMeter inLevel, outLevel, periodLevel;
	std::vector<float> interleaved (static_cast<size_t> (s.block) * s.channels);
	int64 blocks = 0, failedCalls = 0, changedSamples = 0, nonFinite = 0;
	double maxMicros = 0.0, sumMicros = 0.0;
	const auto started = std::chrono::steady_clock::now ();
	auto processAll = [&] {
		auto nextReport = started + std::chrono::seconds (1);
		for (int64 done = 0; done < totalFrames;)
		{
			const int32 frames = static_cast<int32> (std::min<int64> (s.block, totalFrames - done));
			for (int32 f = 0; f < frames; ++f)
			{
				for (int32 c = 0; c < s.channels; ++c)
				{
					double v = fromFile ? file.samples[static_cast<size_t> (done + f) * file.channels +
					                                   static_cast<size_t> (c % file.channels)]
					                    : generators[c].next ();
					buffers.setInput (c, f, v);
					inLevel.add (buffers.input (c, f));
				}
			}
			ProcessData& data = buffers.prepare (frames);
			data.processMode = s.processMode;
			context.continousTimeSamples = done;
			context.projectTimeSamples = done;

			const auto t0 = std::chrono::steady_clock::now ();
			const tresult result = processor->process (data);
			const auto t1 = std::chrono::steady_clock::now ();
			const double micros = std::chrono::duration<double, std::micro> (t1 - t0).count ();
			maxMicros = std::max (maxMicros, micros);
			sumMicros += micros;
			if (result != kResultOk)
				++failedCalls;

			for (int32 f = 0; f < frames; ++f)
			{
				for (int32 c = 0; c < s.channels; ++c)
				{
					const double out = buffers.output (c, f);
					outLevel.add (out);
					periodLevel.add (out);
					outputCopy[size_t (c)][size_t (f)] = out;
					if (out != buffers.input (c, f))
						++changedSamples;
					if (!std::isfinite (out))
						++nonFinite;
					interleaved[static_cast<size_t> (f) * s.channels + c] = static_cast<float> (out);
				}
			}
			if (writer.isOpen ())
				writer.write (interleaved.data (), static_cast<size_t> (frames));
			if (bands)
				bands->add (outputCopy, frames);
			done += frames;
			++blocks;

			if (s.pace)
			{
				const auto due = started + std::chrono::duration_cast<std::chrono::steady_clock::duration> (
				                               std::chrono::duration<double> (double (done) / s.rate));
				std::this_thread::sleep_until (due);
				if (std::chrono::steady_clock::now () >= nextReport)
				{
					std::printf ("  %6.1f s  out peak %s%s%s\n", double (done) / s.rate,
					             tools::formatDbfs (periodLevel.peakDbfs ()).c_str (), bands ? "  " : "",
					             bands ? bands->report ().c_str () : "");
					periodLevel.reset ();
					std::fflush (stdout);
					nextReport += std::chrono::seconds (1);
				}
			}
		}
	};

	if (!options.values.count ("editor"))
		processAll ();
	else if (!runWithEditor (*instance, options, processAll, started))
		return 1;

	processor->setProcessing (false);
	instance->component->setActive (false);
	if (writer.isOpen () && !writer.close ())
	{
		std::fprintf (stderr, "tarvo-host: cannot finish %s\n", s.out.c_str ());
		return 1;
	}

	std::printf ("Blocks           %lld (%lld frames), %lld failed calls\n",
	             static_cast<long long> (blocks), static_cast<long long> (totalFrames),
	             static_cast<long long> (failedCalls));
	std::printf ("Input            peak %s, RMS %s\n", tools::formatDbfs (inLevel.peakDbfs ()).c_str (),
	             tools::formatDbfs (inLevel.rmsDbfs ()).c_str ());
	std::printf ("Output           peak %s, RMS %s\n", tools::formatDbfs (outLevel.peakDbfs ()).c_str (),
	             tools::formatDbfs (outLevel.rmsDbfs ()).c_str ());
	std::printf ("Output = input   %s (%lld of %lld samples differ, %lld not finite)\n",
	             changedSamples == 0 ? "yes" : "no", static_cast<long long> (changedSamples),
	             static_cast<long long> (outLevel.count), static_cast<long long> (nonFinite));
	std::printf ("process() time   max %.1f us, mean %.2f us\n", maxMicros,
	             blocks ? sumMicros / double (blocks) : 0.0);
	if (!s.out.empty ())
		std::printf ("Wrote            %s\n", s.out.c_str ());
	return failedCalls == 0 && nonFinite == 0 ? 0 : 1;
}

} // namespace

int main (int argc, char** argv)
{
	Options options;
	std::string error;
	if (!parseArguments (argc, argv, options, error))
	{
		std::fprintf (stderr, "tarvo-host: %s\n\n%s", error.c_str (), kUsage);
		return 2;
	}
	if (options.command == "help" || options.command == "--help" || options.command == "-h" ||
	    options.values.count ("help"))
	{
		std::printf ("%s", kUsage);
		return 0;
	}
	if (options.command == "info")
		return commandInfo (options);
	if (options.command == "run")
		return commandRun (options);
	if (options.command == "moduleinfo")
		return commandModuleInfo (options);
	std::fprintf (stderr, "tarvo-host: unknown command %s\n\n%s", options.command.c_str (), kUsage);
	return 2;
}
