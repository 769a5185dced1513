// What travels over a sender's pipe: the handshake line, frames and commands.
#pragma once

#include "server/blockheader.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo {

inline constexpr size_t kCommandSize = 40;
/** Bytes a client may send before its handshake line must have ended. */
inline constexpr size_t kMaxHandshakeBytes = 80;

/** "TARVO6 " + token + line feed. */
std::string handshakeLine (std::string_view token);

enum class HandshakeStep
{
	needMore, // no line feed yet, within the limit
	accepted, // the line matched and has been removed from the buffer
	refused,  // wrong line, or too long without a line feed
};

/** Looks for the handshake line at the start of `received`. */
HandshakeStep takeHandshake (std::string& received, std::string_view expectedLine) noexcept;

/** Compares two equally long byte strings in time that does not depend on where they differ. */
bool constantTimeEqual (const char* a, const char* b, size_t length) noexcept;

/** The frame sent when no audio waits: 48000 Hz, stereo, no frames, no position. */
BlockHeader keepAliveHeader () noexcept;

/** True when the processor has not processed for longer than its stale limit. */
inline bool isStale (uint64_t nowMs, uint64_t lastProcessMs, uint32_t staleLimitMs) noexcept
{
	return nowMs - lastProcessMs > staleLimitMs;
}

/** Completes the fields only the server knows. A stale processor reads as stalled. */
void fillServerFields (BlockHeader& header, uint32_t instanceSerial, uint32_t sessionId,
                       uint64_t stateWord, uint32_t primarySerial, bool stale) noexcept;

} // namespace tarvo
