// tarvo-probe's commands and what they share.
#pragma once

#include "commandline.h"
#include "visualiserclient.h"

#include <filesystem>
#include <string>

namespace tarvo::probe {

/** --dir, else the runtime directory as the plug-in resolves it. */
std::filesystem::path runtimeDirectory (const tools::CommandLine& line);

/** The first characters of an id, enough to tell senders apart in a line. */
std::string shortId (const std::string& id);

/** Whether a sender is the one the command line names with --label or --id; without
    either, every sender is. */
bool isNamed (const tools::CommandLine& line, const client::SenderRecord& sender);

int list (const tools::CommandLine& line);
/** watch, and record when `recording`: one sender, or with --all every sender. */
int watch (const tools::CommandLine& line, bool recording);

enum class AuditionKind
{
	solo,
	spectrum,
	acknowledge,
};
int audition (const tools::CommandLine& line, AuditionKind kind);

} // namespace tarvo::probe
