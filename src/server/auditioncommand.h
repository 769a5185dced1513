// The 40-byte audition command a visualiser sends after its handshake, and its rules.
#pragma once

#include <cstdint>
#include <cstring>

namespace tarvo {

struct AuditionCommand
{
	char magic[4];     // "TRC2"
	uint32_t version;  // 6
	uint32_t sessionId;
	uint32_t sequence;
	uint32_t requestId;
	uint32_t bandMask; // content from here on: a repeated request id must repeat it exactly
	float a;
	float b;
	float c;
	uint32_t mode;     // 0 band solo, 1 spectrum audition
};
static_assert (sizeof (AuditionCommand) == 40);

inline constexpr char kCommandMagic[4] = {'T', 'R', 'C', '2'};
inline constexpr size_t kCommandContentOffset = 20;

/** Reads a command from 40 little-endian bytes. */
inline AuditionCommand decodeCommand (const char* bytes) noexcept
{
	AuditionCommand command;
	std::memcpy (&command, bytes, sizeof command);
	return command;
}

inline bool sameContent (const AuditionCommand& x, const AuditionCommand& y) noexcept
{
	return std::memcmp (reinterpret_cast<const char*> (&x) + kCommandContentOffset,
	                    reinterpret_cast<const char*> (&y) + kCommandContentOffset,
	                    sizeof (AuditionCommand) - kCommandContentOffset) == 0;
}

/** The field checks that need no session: magic, version, non-zero ids, mask, mode and
    the frequency and width ranges of the mode, compared in single precision. */
bool hasValidFields (const AuditionCommand& command) noexcept;

/** A command for a visualiser to send. */
AuditionCommand makeCommand (uint32_t sessionId, uint32_t sequence, uint32_t requestId, uint32_t bandMask,
                             float a, float b, float c, uint32_t mode) noexcept;

} // namespace tarvo
