// The bytes a client sends after connecting: the handshake, then commands, split at
// arbitrary points. Nothing may crash or grow without bound; a bad stream ends only its
// own session, after which the next connection starts fresh.
#include "server/sessionprotocol.h"
#include "server/wireprotocol.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

namespace {

const std::string kToken (48, 'c');

struct Sessions : tarvo::SessionProtocol::Authenticator
{
	uint32_t next {0};
	uint32_t authenticate () noexcept override { return ++next; }
};

void check (bool condition)
{
	if (!condition)
		std::abort ();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
	FuzzedDataProvider input (data, size);
	tarvo::SessionProtocol protocol (tarvo::handshakeLine (kToken));
	tarvo::AuditionMailbox mailbox;
	Sessions sessions;
	uint64_t now = 1000;

	// Often start with the right handshake, so that the command step gets exercised.
	std::string pending = input.ConsumeBool () ? tarvo::handshakeLine (kToken) : std::string ();
	while (input.remaining_bytes () > 0 || !pending.empty ())
	{
		if (pending.empty ())
			pending = input.ConsumeRandomLengthString (200);
		const size_t cut = std::min (pending.size (), size_t (input.ConsumeIntegralInRange<int> (1, 256)));
		const auto result = protocol.receive (pending.data (), cut, mailbox, sessions, now);
		pending.erase (0, cut);
		now += input.ConsumeIntegralInRange<int> (0, 50);
		if (input.ConsumeBool ())
		{
			// The audio thread takes what waits: each request lives 500 ms from when it came.
			tarvo::AuditionRequest request;
			while (mailbox.tryPop (request))
				check (request.sessionId == protocol.sessionId () && request.expiry >= 1500 && request.expiry <= now + 500);
		}
		check (mailbox.writeIndex - mailbox.readIndex <= tarvo::AuditionMailbox::kCapacity);
		if (result == tarvo::SessionProtocol::Result::end)
		{
			protocol.endSession (); // this client is gone; the next one starts afresh
			pending.clear ();
			continue;
		}
		// The receive buffer stays bounded by the handshake limit or one partial command.
		check (protocol.authenticated () ? protocol.pendingBytes () < tarvo::kCommandSize
		                                 : protocol.pendingBytes () <= tarvo::kMaxHandshakeBytes);
	}
	return 0;
}
