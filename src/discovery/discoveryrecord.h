// The discovery record's text: one line of JSON, members in a fixed order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo {

/** Quotes UTF-8 text: escapes quotes and backslashes, turns bytes below 0x20 into
    blanks, passes every other byte through. */
std::string quoteJson (std::string_view utf8);

/** {"version":6,"id":...,"token":...,"pid":...,"label":...} with nothing else. */
std::string composeDiscoveryRecord (std::string_view id, std::string_view token, uint32_t pid,
                                    std::string_view labelUtf8);

} // namespace tarvo
