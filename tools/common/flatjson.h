// A reader for flat JSON objects of strings and numbers, such as a discovery record.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace tarvo::tools {

struct FlatJsonValue
{
	bool isString {false};
	std::string text; // the decoded string, or the number as written
};

/** Parses `{"key": "text" | number, ...}`; false on anything else (nesting, arrays,
    literals, trailing bytes, bad escapes). Strings are returned as UTF-8. */
bool parseFlatJson (std::string_view json, std::map<std::string, FlatJsonValue>& members);

} // namespace tarvo::tools
