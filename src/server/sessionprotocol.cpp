#include "server/sessionprotocol.h"

#include "server/wireprotocol.h"

namespace tarvo {

namespace {
constexpr uint64_t kRequestLifetimeMs = 500;
}

SessionProtocol::SessionProtocol (std::string expectedHandshake)
: handshake (std::move (expectedHandshake))
{
}

void SessionProtocol::endSession () noexcept
{
	isAuthenticated = false;
	received.clear ();
	lastSequence = 0;
	lastRequestId = 0;
	lastSeenChangeCount = 0;
	recordedRequestId = 0;
}

SessionProtocol::Result SessionProtocol::receive (const char* bytes, size_t count, AuditionMailbox& mailbox,
                                                  Authenticator& authenticator, uint64_t nowMs)
{
	received.append (bytes, count);
	if (!isAuthenticated)
	{
		switch (takeHandshake (received, handshake))
		{
			case HandshakeStep::needMore:
				return Result::keep;
			case HandshakeStep::refused:
				return Result::end;
			case HandshakeStep::accepted:
				isAuthenticated = true;
				session = authenticator.authenticate ();
				break;
		}
	}
	return takeCommands (mailbox, nowMs);
}

SessionProtocol::Result SessionProtocol::takeCommands (AuditionMailbox& mailbox, uint64_t nowMs)
{
	size_t offset = 0;
	Result result = Result::keep;
	while (received.size () - offset >= kCommandSize)
	{
		const AuditionCommand command = decodeCommand (received.data () + offset);
		offset += kCommandSize;
		if (!accept (command, mailbox, nowMs))
		{
			result = Result::end;
			break;
		}
	}
	received.erase (0, offset);
	return result;
}

bool SessionProtocol::accept (const AuditionCommand& command, AuditionMailbox& mailbox, uint64_t nowMs) noexcept
{
	if (!hasValidFields (command) || command.sessionId != session || command.sequence <= lastSequence ||
	    command.requestId < lastRequestId ||
	    (command.requestId == lastRequestId && !sameContent (command, lastAccepted)))
		return false;

	// A change of the primary sender (or a clear) is acknowledged only by a full-audio
	// request newer than everything accepted before the change was noticed.
	const uint64_t changes = mailbox.primaryChangeCount.load ();
	if (changes != lastSeenChangeCount)
	{
		lastSeenChangeCount = changes;
		recordedRequestId = lastRequestId;
	}

	AuditionRequest request;
	request.sessionId = session;
	request.sequence = command.sequence;
	request.requestId = command.requestId;
	request.bandMask = command.bandMask;
	request.a = command.a;
	request.b = command.b;
	request.c = command.c;
	request.expiry = nowMs + kRequestLifetimeMs;
	request.mode = command.mode;
	if (!mailbox.tryPush (request))
		return false; // 32 requests the audio thread has not taken: the host is not processing

	if (changes != 0 && command.mode == 0 && command.bandMask == 0 && command.requestId > recordedRequestId)
	{
		// Once acknowledged, the count starts from nothing again: the next clear must be
		// noticed as a change, or a repeat of this very request would acknowledge it too.
		uint64_t expected = changes;
		if (mailbox.primaryChangeCount.compare_exchange_strong (expected, 0))
			lastSeenChangeCount = 0;
	}
	lastAccepted = command;
	lastSequence = command.sequence;
	lastRequestId = command.requestId;
	return true;
}

} // namespace tarvo
