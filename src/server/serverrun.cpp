#include "server/serverrun.h"

#include "discovery/access.h"
#include "discovery/discoveryfiles.h"
#include "server/audioserver.h"
#include "server/sessionprotocol.h"
#include "server/wireprotocol.h"
#include "shared/processwide.h"
#include "shared/steadyclock.h"
#include "shared/win32owners.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace tarvo {
namespace {

constexpr DWORD kPipeOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD kPipeOutputBuffer = 131072;
constexpr DWORD kPipeInputBuffer = 4096;
constexpr DWORD kReadSize = 256;
constexpr ULONGLONG kHandshakeMillis = 2000;
constexpr ULONGLONG kKeepAliveMillis = 100;
constexpr DWORD kAuthenticatedWaitMillis = 8;
constexpr DWORD kIdleWaitMillis = 100;
constexpr int kFramesPerPass = 16;

/** One overlapped operation on the pipe with its own manual-reset event. */
struct Operation
{
	UniqueHandle event;
	OVERLAPPED overlapped {};
	bool pending {false};

	void create ()
	{
		event.reset (CreateEventW (nullptr, TRUE, FALSE, nullptr));
		if (!event)
			throw std::runtime_error ("Event unavailable");
	}
	OVERLAPPED* prepare () noexcept
	{
		ResetEvent (event.get ());
		std::memset (&overlapped, 0, sizeof overlapped);
		overlapped.hEvent = event.get ();
		return &overlapped;
	}
	bool signalled () const noexcept { return WaitForSingleObject (event.get (), 0) == WAIT_OBJECT_0; }
	void cancel (HANDLE pipe) noexcept
	{
		if (!pending)
			return;
		CancelIoEx (pipe, &overlapped);
		DWORD ignored = 0;
		GetOverlappedResult (pipe, &overlapped, &ignored, TRUE);
		pending = false;
	}
};

} // namespace

/** The pipe's connection state machine: connect, handshake, stream, end, listen again. */
class PipeSession : private SessionProtocol::Authenticator
{
public:
	PipeSession (AudioServer& owner, HANDLE pipeHandle, std::string expectedHandshake, void* stopEvent)
	: server (owner), pipe (pipeHandle), protocol (std::move (expectedHandshake)), stop (stopEvent)
	{
		connectOp.create ();
		readOp.create ();
		writeOp.create ();
		keepAlive = keepAliveHeader ();
	}

	~PipeSession ()
	{
		writeOp.cancel (pipe);
		readOp.cancel (pipe);
		connectOp.cancel (pipe);
	}

	/** One pass of the service loop, ending with the wait unless something asks for the
	    next pass at once. */
	void pass ();
	void end () noexcept;

private:
	bool serviceConnect ();
	bool serviceRead ();
	bool receive (DWORD count);
	uint32_t authenticate () noexcept override;
	bool send ();
	bool buildFrame () noexcept;
	void frameWritten (DWORD count) noexcept;

	AudioServer& server;
	HANDLE pipe;
	SessionProtocol protocol;
	HANDLE stop;

	Operation connectOp, readOp, writeOp;
	bool connected {false};
	ULONGLONG handshakeDeadline {0};
	ULONGLONG nextKeepAlive {0};

	char readBuffer[kReadSize] {};
	CaptureBlock outgoing {};
	size_t outgoingLength {0};
	size_t outgoingSent {0};
	BlockHeader keepAlive {};
};

void PipeSession::pass ()
{
	if (!serviceConnect ())
		return;
	if (!serviceRead ())
		return;
	if (connected && !protocol.authenticated () && GetTickCount64 () > handshakeDeadline)
	{
		end ();
		return;
	}
	if (protocol.authenticated () && !send ())
		return;

	for (Operation* op : {&connectOp, &readOp, &writeOp})
		if (!op->pending)
			ResetEvent (op->event.get ());
	const HANDLE handles[4] = {stop, connectOp.event.get (), readOp.event.get (), writeOp.event.get ()};
	WaitForMultipleObjects (4, handles, FALSE,
	                        protocol.authenticated () ? kAuthenticatedWaitMillis : kIdleWaitMillis);
}

// False when the session ended and the next pass should start at once.
bool PipeSession::serviceConnect ()
{
	if (connected)
		return true;
	bool nowConnected = false;
	if (!connectOp.pending)
	{
		if (ConnectNamedPipe (pipe, connectOp.prepare ()))
			nowConnected = true;
		else
		{
			const DWORD error = GetLastError ();
			if (error == ERROR_PIPE_CONNECTED)
				nowConnected = true;
			else if (error == ERROR_IO_PENDING)
				connectOp.pending = true;
			else if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE)
			{
				// A client opened the pipe and closed it again before we listened: its
				// session ends, not the run.
				end ();
				return false;
			}
			else
			{
				end ();
				throw std::runtime_error ("Connect failed");
			}
		}
	}
	else if (connectOp.signalled ())
	{
		connectOp.pending = false;
		DWORD ignored = 0;
		if (!GetOverlappedResult (pipe, &connectOp.overlapped, &ignored, FALSE))
		{
			end ();
			return false;
		}
		nowConnected = true;
	}
	if (nowConnected)
	{
		connected = true;
		handshakeDeadline = GetTickCount64 () + kHandshakeMillis;
	}
	return true;
}

bool PipeSession::serviceRead ()
{
	if (!connected)
		return true;
	if (readOp.pending && readOp.signalled ())
	{
		readOp.pending = false;
		DWORD count = 0;
		if (!GetOverlappedResult (pipe, &readOp.overlapped, &count, FALSE) || count == 0)
		{
			end ();
			return false;
		}
		if (!receive (count))
			return false;
	}
	if (!readOp.pending)
	{
		DWORD count = 0;
		if (ReadFile (pipe, readBuffer, kReadSize, &count, readOp.prepare ()))
		{
			if (count == 0)
			{
				end ();
				return false;
			}
			if (!receive (count))
				return false;
		}
		else if (GetLastError () == ERROR_IO_PENDING)
			readOp.pending = true;
		else
		{
			end ();
			return false;
		}
	}
	return true;
}

// False when the session ended and the next pass should start at once.
bool PipeSession::receive (DWORD count)
{
	if (protocol.receive (readBuffer, count, server.auditionMailbox, *this, steadyMillis ()) ==
	    SessionProtocol::Result::keep)
		return true;
	end ();
	return false;
}

uint32_t PipeSession::authenticate () noexcept
{
	server.captureRing.discardAll ();
	server.captureEnabled.exchange (true);
	nextKeepAlive = 0;
	server.auditionMailbox.stateWord.exchange (kNoSessionStateWord);
	const uint32_t sessionId = ++server.sessionCounter;
	server.auditionMailbox.activeSessionId.exchange (sessionId);
	return sessionId;
}

void PipeSession::frameWritten (DWORD count) noexcept
{
	outgoingSent += count;
	if (outgoingSent >= outgoingLength)
		outgoingSent = outgoingLength = 0;
}

bool PipeSession::buildFrame () noexcept
{
	if (!server.captureRing.tryTake (outgoing))
	{
		const ULONGLONG now = GetTickCount64 ();
		if (now < nextKeepAlive)
			return false;
		outgoing.header = keepAlive;
		nextKeepAlive = now + kKeepAliveMillis;
	}
	const AuditionMailbox& mailbox = server.auditionMailbox;
	fillServerFields (outgoing.header, server.serial, protocol.sessionId (), mailbox.stateWord.load (),
	                  processWide ().primarySerial.load (), server.processorStale ());
	outgoingLength = frameLength (outgoing.header);
	if (outgoingLength > sizeof (CaptureBlock))
		outgoingLength = sizeof (CaptureBlock);
	outgoingSent = 0;
	return true;
}

// False when the session ended and the next pass should start at once.
bool PipeSession::send ()
{
	if (writeOp.pending)
	{
		if (!writeOp.signalled ())
			return true;
		writeOp.pending = false;
		DWORD count = 0;
		if (!GetOverlappedResult (pipe, &writeOp.overlapped, &count, FALSE))
		{
			end ();
			return false;
		}
		frameWritten (count);
	}
	for (int i = 0; i < kFramesPerPass && !writeOp.pending; ++i)
	{
		if (outgoingLength == 0 && !buildFrame ())
			break;
		const auto* bytes = reinterpret_cast<const char*> (&outgoing) + outgoingSent;
		DWORD count = 0;
		if (WriteFile (pipe, bytes, static_cast<DWORD> (outgoingLength - outgoingSent), &count,
		               writeOp.prepare ()))
			frameWritten (count);
		else if (GetLastError () == ERROR_IO_PENDING)
			writeOp.pending = true;
		else
		{
			end ();
			break;
		}
	}
	return true;
}

void PipeSession::end () noexcept
{
	server.captureEnabled.exchange (false);
	server.auditionMailbox.activeSessionId.exchange (0);
	readOp.cancel (pipe);
	writeOp.cancel (pipe);
	connectOp.cancel (pipe);
	DisconnectNamedPipe (pipe);
	connected = false;
	protocol.endSession ();
	outgoingLength = outgoingSent = 0;
	server.captureRing.discardAll ();
}

void ServerRun::run ()
{
	AccessDescriptor access = makeAccessDescriptor ();
	const std::string id = makeRandomHex ();
	const std::string token = makeRandomHex ();
	const std::filesystem::path directory = resolveRuntimeDirectory ();
	ensureSecureDirectory (directory, access);

	const std::string pipeName = "\\\\.\\pipe\\TarvoProto-" + id;
	UniqueHandle pipe (CreateNamedPipeA (pipeName.c_str (), kPipeOpenMode, kPipeMode, 1, kPipeOutputBuffer,
	                                     kPipeInputBuffer, 0, access.attributes ()));
	if (!pipe)
		throw std::runtime_error ("Pipe unavailable");

	// Declared after the pipe and the descriptor: on every way out the session's pending
	// I/O is cancelled first, then the record withdrawn, then the pipe closed.
	DiscoveryFiles files (directory / (id + ".json"));
	PublicationContext publication {server, 0, files, id, token, access};
	publishDiscoveryRecord (publication);
	server.serverFailed.exchange (false);

	PipeSession session (server, pipe.get (), handshakeLine (token), server.stopEvent.get ());
	while (!server.stopRequested.load ())
	{
		publishDiscoveryRecord (publication);
		session.pass ();
	}
	session.end ();
}

} // namespace tarvo
