// tarvo-probe's commands and what they share.
#pragma once

#include "visualiserclient.h"

#include <array>
#include <filesystem>
#include <string>

namespace tarvo::probe {

/** What a tarvo-probe command is told; the command line has checked every value's range. */
struct ProbeOptions
{
	std::string dir;      // the runtime directory; empty: as the plug-in resolves it
	std::string label;    // the sender with this label,
	std::string id;       // or with this id; neither: the first one
	bool all {false};     // every sender at once
	double seconds {10.0};
	double wait {10.0};
	double after {1.5};
	std::string out;
	uint32_t bands {0};
	std::array<float, 3> crossovers {250.0f, 1000.0f, 6000.0f};
	float centre {1000.0f};
	float width {0.6f};
};

/** --dir, else the runtime directory as the plug-in resolves it. */
std::filesystem::path runtimeDirectory (const ProbeOptions& options);

/** The first characters of an id, enough to tell senders apart in a line. */
std::string shortId (const std::string& id);

/** Whether a sender is the one the command line names with --label or --id; without
    either, every sender is. */
bool isNamed (const ProbeOptions& options, const client::SenderRecord& sender);

int list (const ProbeOptions& options);
/** watch, and record when `recording`: one sender, or with --all every sender. */
int watch (const ProbeOptions& options, bool recording);

enum class AuditionKind
{
	solo,
	spectrum,
	acknowledge,
};
int audition (const ProbeOptions& options, AuditionKind kind);

} // namespace tarvo::probe
