// The one line a refused command line is told.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace tarvo::tools {

/** CLI11 checks required options before arguments nobody expected, so a mistyped option
    ("--band 2") would be reported as the missing one it was meant to be: the argument that
    was not understood is the likelier cause, and it is named instead, in the order typed
    (CLI11's own message joins them back to front). */
inline std::string refusal (const CLI::App& app, const CLI::ParseError& error)
{
	const std::vector<std::string> unexpected = app.remaining (true);
	const bool aboutArguments = dynamic_cast<const CLI::RequiredError*> (&error) != nullptr ||
	                            dynamic_cast<const CLI::ExtrasError*> (&error) != nullptr;
	if (aboutArguments && !unexpected.empty ())
		return CLI::ExtrasError ({unexpected.rbegin (), unexpected.rend ()}).what ();
	return error.what ();
}

} // namespace tarvo::tools
