// tarvo-host's commands and what they share.
#pragma once

#include "pluginmodule.h"

#include "pluginterfaces/base/ftypes.h"

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tarvo::hosttool {

/** What `tarvo-host run` is told; the command line has checked every value's range. */
struct RunOptions
{
	std::string bundle;
	double seconds {2.0};
	std::optional<double> rate; // a WAV input's own rate when not given, else 48000
	int block {512};
	int channels {2};
	int precision {32};
	std::string mode {"realtime"};
	bool pace {false};
	std::string input {"sine"};
	double frequency {1000.0};
	double level {-6.0};
	std::string out;
	std::string label;
	std::optional<std::array<double, 3>> bandLevels;
	bool editor {false};
	std::string screenshot;
	std::optional<double> screenshotAt;
};

/** Loads the bundle, or says why it cannot. */
std::unique_ptr<host::PluginModule> loadBundle (const std::string& bundle);

/** The text of a fixed-width, zero-filled field. */
std::string fixedText (const Steinberg::char8* field, size_t size);

int info (const std::string& bundle);
int moduleInfo (const std::string& bundle, const std::string& out);
int run (const RunOptions& options);
/** Saves the panel, as it first shows itself, as a PNG file. */
int snapshot (const std::string& bundle, const std::string& out);

/** Opens the instance's panel in a window, runs `processAll` on an audio thread of its
    own meanwhile and reports what the panel shows as it changes; false when the panel
    cannot be opened or the screenshot asked for cannot be taken. */
bool runWithEditor (host::PluginInstance& instance, const RunOptions& options, const std::function<void ()>& processAll,
                    std::chrono::steady_clock::time_point started);

} // namespace tarvo::hosttool
