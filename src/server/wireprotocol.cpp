#include "server/wireprotocol.h"

namespace tarvo {

std::string handshakeLine (std::string_view token)
{
	std::string line = "TARVO6 ";
	line.append (token);
	line.push_back ('\n');
	return line;
}

bool constantTimeEqual (const char* a, const char* b, size_t length) noexcept
{
	unsigned char difference = 0;
	for (size_t i = 0; i < length; ++i)
		difference |= static_cast<unsigned char> (a[i] ^ b[i]);
	return difference == 0;
}

HandshakeStep takeHandshake (std::string& received, std::string_view expectedLine) noexcept
{
	const size_t end = received.find ('\n');
	if (end == std::string::npos)
		return received.size () > kMaxHandshakeBytes ? HandshakeStep::refused : HandshakeStep::needMore;
	const size_t length = end + 1;
	if (length != expectedLine.size () ||
	    !constantTimeEqual (received.data (), expectedLine.data (), length))
		return HandshakeStep::refused;
	received.erase (0, length);
	return HandshakeStep::accepted;
}

BlockHeader keepAliveHeader () noexcept
{
	BlockHeader h = initialBlockHeader ();
	h.position = 0;
	return h;
}

void fillServerFields (BlockHeader& header, uint32_t instanceSerial, uint32_t sessionId,
                       uint64_t stateWord, uint32_t primarySerial, bool stale) noexcept
{
	header.instanceSerial = instanceSerial;
	header.sessionId = sessionId;
	header.primarySerial = primarySerial;
	header.requestId = static_cast<uint32_t> (stateWord >> 32);
	header.bandMask = static_cast<uint32_t> (stateWord & 0x0Fu);
	header.spectrumActive = static_cast<uint32_t> ((stateWord >> 4) & 1u);
	header.stateCode = static_cast<uint32_t> ((stateWord >> 8) & 0x0Fu);
	if (stale)
	{
		header.stateCode = 4;
		header.spectrumActive = 0;
		header.bandMask = 0;
	}
}

} // namespace tarvo
