// What the server does with the bytes a client sends: the handshake line first, then
// 40-byte audition commands, validated and handed to the audio thread. Plain C++ so
// that it can be driven and fuzzed without a pipe.
#pragma once

#include "server/auditioncommand.h"
#include "server/auditionmailbox.h"

#include <cstdint>
#include <string>

namespace tarvo {

class SessionProtocol
{
public:
	/** Called once the handshake matched; makes the session and returns its id. */
	struct Authenticator
	{
		virtual uint32_t authenticate () noexcept = 0;

	protected:
		~Authenticator () = default;
	};

	enum class Result
	{
		keep, // the session goes on
		end,  // a protocol violation: the session must end
	};

	explicit SessionProtocol (std::string expectedHandshake);

	/** Appends received bytes and runs the handshake or command step over them. */
	Result receive (const char* bytes, size_t count, AuditionMailbox& mailbox, Authenticator& authenticator,
	                uint64_t nowMs);

	/** The session ended: back to waiting for a handshake. The session id and the last
	    accepted command stay until the next handshake. */
	void endSession () noexcept;

	bool authenticated () const noexcept { return isAuthenticated; }
	uint32_t sessionId () const noexcept { return session; }
	size_t pendingBytes () const noexcept { return received.size (); }

private:
	Result takeCommands (AuditionMailbox& mailbox, uint64_t nowMs);
	bool accept (const AuditionCommand& command, AuditionMailbox& mailbox, uint64_t nowMs) noexcept;

	const std::string handshake;
	std::string received;
	bool isAuthenticated {false};
	uint32_t session {0};
	uint32_t lastSequence {0};
	uint32_t lastRequestId {0};
	AuditionCommand lastAccepted {}; // compared only once a request id has been accepted
	uint64_t lastSeenChangeCount {0};
	uint32_t recordedRequestId {0};
};

} // namespace tarvo
