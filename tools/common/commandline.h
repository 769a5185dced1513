// Our tools' command lines: a command, positional arguments, `--name value` options and
// `--switch` flags.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tarvo::tools {

struct CommandLine
{
	std::string command;
	std::vector<std::string> positional;
	std::map<std::string, std::string> values;
	std::set<std::string> switches;

	std::string get (const std::string& name, const std::string& fallback = {}) const;
	bool has (const std::string& name) const;
	/** The option as a finite number, `fallback` when it is not given; throws
	    std::invalid_argument with a message for the user when it is not a number. */
	double number (const std::string& name, double fallback) const;
};

/** Parses argv[1...]; `switchNames` are the options that take no value, "help" always is
    one. False with `error` set for an option without its value. */
bool parseCommandLine (int argc, char** argv, const std::set<std::string>& switchNames, CommandLine& line,
                       std::string& error);

} // namespace tarvo::tools
