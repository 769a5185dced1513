// Strict UTF-8 <-> UTF-16 conversion. Invalid input (a lone surrogate, a malformed,
// overlong or out-of-range UTF-8 sequence) raises std::runtime_error("Invalid name"),
// matching the rejecting flags of the Windows converters.
#pragma once

#include <string>
#include <string_view>

namespace tarvo {

std::string toUtf8 (std::u16string_view text);
std::u16string fromUtf8 (std::string_view bytes);

/** True when the text is well-formed UTF-16 (every surrogate paired). */
bool isValidUtf16 (std::u16string_view text) noexcept;

} // namespace tarvo
