// The status snapshot of one sender, as the processor reports it and the panel shows it.
#pragma once

#include <cstdint>
#include <string>

namespace tarvo {

enum class SenderRole : int32_t
{
	noPrimary = 0, // no primary sender in the process
	primary = 1,   // this instance is the primary sender
	other = 2,     // another instance is
};

enum class AuditionMode : int64_t
{
	none = 0,
	bandSolo = 1,
	spectrum = 2,
};

inline constexpr char16_t kDefaultLabel[] = u"Audio Server";

struct SenderStatus
{
	std::u16string name {kDefaultLabel};
	std::u16string text {u"Waiting for audio processor"};
	int32_t role {0};
	bool connected {false};
	int64_t auditionMode {0};

	bool operator== (const SenderStatus& other) const
	{
		return name == other.name && text == other.text && role == other.role &&
		       connected == other.connected && auditionMode == other.auditionMode;
	}
};

} // namespace tarvo
