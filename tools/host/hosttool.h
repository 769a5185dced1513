// tarvo-host's commands and what they share.
#pragma once

#include "commandline.h"
#include "pluginmodule.h"

#include "pluginterfaces/base/ftypes.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace tarvo::hosttool {

/** Loads the bundle the command line names, or says why it cannot. */
std::unique_ptr<host::PluginModule> loadBundle (const tools::CommandLine& line);

/** The text of a fixed-width, zero-filled field. */
std::string fixedText (const Steinberg::char8* field, size_t size);

int info (const tools::CommandLine& line);
int moduleInfo (const tools::CommandLine& line);
int run (const tools::CommandLine& line);

/** Opens the instance's panel in a window, runs `processAll` on an audio thread of its
    own meanwhile and reports what the panel shows as it changes; false when the panel
    cannot be opened or the screenshot asked for cannot be taken. */
bool runWithEditor (host::PluginInstance& instance, const tools::CommandLine& line,
                    const std::function<void ()>& processAll, std::chrono::steady_clock::time_point started);

} // namespace tarvo::hosttool
