#include "discovery/discoveryrecord.h"

namespace tarvo {

std::string quoteJson (std::string_view utf8)
{
	std::string out;
	out.push_back ('"');
	for (const char ch : utf8)
	{
		const auto byte = static_cast<unsigned char> (ch);
		if (ch == '"' || ch == '\\')
		{
			out.push_back ('\\');
			out.push_back (ch);
		}
		else if (byte < 0x20)
			out.push_back (' ');
		else
			out.push_back (ch);
	}
	out.push_back ('"');
	return out;
}

std::string composeDiscoveryRecord (std::string_view id, std::string_view token, uint32_t pid,
                                    std::string_view labelUtf8)
{
	std::string text = "{\"version\":6,\"id\":";
	text += quoteJson (id);
	text += ",\"token\":";
	text += quoteJson (token);
	text += ",\"pid\":";
	text += std::to_string (pid);
	text += ",\"label\":";
	text += quoteJson (labelUtf8);
	text += "}";
	return text;
}

} // namespace tarvo
