#include "commandline.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace tarvo::tools {

std::string CommandLine::get (const std::string& name, const std::string& fallback) const
{
	auto it = values.find (name);
	return it == values.end () ? fallback : it->second;
}

bool CommandLine::has (const std::string& name) const
{
	return switches.count (name) || values.count (name);
}

double CommandLine::number (const std::string& name, double fallback) const
{
	auto it = values.find (name);
	if (it == values.end ())
		return fallback;
	char* end = nullptr;
	const double value = std::strtod (it->second.c_str (), &end);
	if (it->second.empty () || !end || *end != '\0' || !std::isfinite (value))
		throw std::invalid_argument ("--" + name + " takes a number, not \"" + it->second + "\"");
	return value;
}

bool parseCommandLine (int argc, char** argv, const std::set<std::string>& switchNames, CommandLine& line,
                       std::string& error)
{
	for (int i = 1; i < argc; ++i)
	{
		const std::string arg = argv[i];
		if (arg == "-h" || arg == "--help")
			line.switches.insert ("help");
		else if (arg.rfind ("--", 0) == 0 && switchNames.count (arg.substr (2)))
			line.switches.insert (arg.substr (2));
		else if (arg.rfind ("--", 0) == 0)
		{
			if (i + 1 >= argc)
			{
				error = "option " + arg + " needs a value";
				return false;
			}
			line.values[arg.substr (2)] = argv[++i];
		}
		else if (line.command.empty ())
			line.command = arg;
		else
			line.positional.push_back (arg);
	}
	return true;
}

} // namespace tarvo::tools
