#include "server/serverrun.h"

#include "discovery/access.h"
#include "discovery/discoveryfiles.h"
#include "discovery/runtimedirectory.h"
#include "server/audioserver.h"
#include "server/sessionprotocol.h"
#include "server/wireprotocol.h"
#include "shared/processwide.h"
#include "shared/steadyclock.h"
#include "shared/win32owners.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

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
// A host with small buffers fills the ring quickly: the streaming session wakes before
// half of it has filled, which leaves the other half for a host that delivers in bursts.
constexpr uint32_t kBlocksBetweenWakes = CaptureRing::kSlots / 2;
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
// Reads one pass makes before it lets the loop wait: a client cannot keep the thread busy.
constexpr int kReadsPerPass = 16;

/** One overlapped operation on the pipe with its own manual-reset event. Starting an
    operation resets the event, and completion is read from the OVERLAPPED itself, so a
    pass makes no call for an operation that has not completed. */
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
	OVERLAPPED* start () noexcept
	{
		std::memset (&overlapped, 0, sizeof overlapped);
		overlapped.hEvent = event.get ();
		return &overlapped;
	}
	DWORD result {ERROR_SUCCESS};

	/** A pending operation that has completed: no longer pending, `count` holds the bytes it
	    transferred (none when it failed) and `result` its error code. */
	bool finished (HANDLE pipe, DWORD& count) noexcept
	{
		if (!pending || !HasOverlappedIoCompleted (&overlapped))
			return false;
		pending = false;
		result = GetOverlappedResult (pipe, &overlapped, &count, FALSE) ? ERROR_SUCCESS : GetLastError ();
		return true;
	}
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
	: server (owner), pipe (pipeHandle), protocol (std::move (expectedHandshake)), stop (stopEvent),
	  outgoing (new unsigned char[kFramesPerPass * sizeof (CaptureBlock)])
	{
		connectOp.create ();
		readOp.create ();
		writeOp.create ();
		keepAlive = keepAliveHeader ();
		// A wait's time-out is rounded up to the system timer's period, 15.6 ms unless some
		// code in the process raised its resolution, and at 3,000 process calls a second the
		// ring fills in under 11 ms. A high-resolution timer (Windows 10 1803 and later)
		// keeps the streaming wake-up on time whatever the process's timer resolution; where
		// there is none the time-out stands alone.
		wakeTimer.reset (CreateWaitableTimerExW (nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
		                                         TIMER_MODIFY_STATE | SYNCHRONIZE));
	}

	~PipeSession ()
	{
		writeOp.cancel (pipe);
		readOp.cancel (pipe);
		connectOp.cancel (pipe);
	}

	/** One pass of the service loop, ending with the wait. */
	void pass ();
	void end () noexcept;

private:
	void serviceConnect ();
	void serviceRead ();
	uint32_t authenticate () noexcept override;
	void send ();
	size_t buildFrame (unsigned char* at) noexcept;
	void written (DWORD count) noexcept;
	void wait () noexcept;
	DWORD streamingPeriod () const noexcept;
	bool armWakeTimer (DWORD period) noexcept;

	AudioServer& server;
	HANDLE pipe;
	SessionProtocol protocol;
	HANDLE stop;

	Operation connectOp, readOp, writeOp;
	bool connected {false};
	ULONGLONG handshakeDeadline {0};
	ULONGLONG nextKeepAlive {0};

	char readBuffer[kReadSize] {};
	// The frames of one pass go out together, in one write.
	std::unique_ptr<unsigned char[]> outgoing;
	size_t outgoingLength {0};
	size_t outgoingSent {0};
	// A full batch went out and more waits: the next pass follows without a wait.
	bool sendAgain {false};
	BlockHeader keepAlive {};

	UniqueHandle wakeTimer;
	DWORD wakePeriod {0}; // the period the timer runs at, 0 while it is stopped
};

void PipeSession::pass ()
{
	serviceConnect ();
	serviceRead ();
	if (connected && !protocol.authenticated () && GetTickCount64 () > handshakeDeadline)
		end ();
	if (protocol.authenticated ())
		send ();
	wait ();
}

// Waits for the stop event or any operation in flight; what completed is read from the
// operations themselves in the next pass, so several completions cost one wait. Right after
// a session ended nothing is in flight: the next pass listens again at once. While a write
// is pending nothing can be sent, and its completion is what wakes the thread.
void PipeSession::wait () noexcept
{
	if (!connected && !connectOp.pending)
		return;
	if (std::exchange (sendAgain, false))
		return;
	HANDLE handles[5] = {stop};
	DWORD count = 1;
	for (Operation* op : {&connectOp, &readOp, &writeOp})
		if (op->pending)
			handles[count++] = op->event.get ();
	DWORD timeout = kIdleWaitMillis;
	if (protocol.authenticated () && !writeOp.pending)
	{
		timeout = streamingPeriod ();
		if (armWakeTimer (timeout))
			handles[count++] = wakeTimer.get ();
	}
	else if (wakePeriod != 0)
	{
		// The write's completion wakes the thread; a timer left ticking meanwhile would
		// only cost the system its interrupts. It starts again once the write is done.
		CancelWaitableTimer (wakeTimer.get ());
		wakePeriod = 0;
	}
	WaitForMultipleObjects (count, handles, FALSE, timeout);
}

/** At most 8 ms between wake-ups while streaming, less when the host's blocks are short
    enough to fill half the ring sooner; 8 ms while the host is not processing, or
    processes without capturing (an offline render), so that no block length is known. */
DWORD PipeSession::streamingPeriod () const noexcept
{
	const uint32_t blockMicros = server.blockMicros ();
	if (blockMicros == 0 || server.processorStale ())
		return kAuthenticatedWaitMillis;
	return std::clamp<DWORD> (kBlocksBetweenWakes * blockMicros / 1000, 1, kAuthenticatedWaitMillis);
}

/** Runs the periodic timer at `period`; false when there is no timer to wait on. */
bool PipeSession::armWakeTimer (DWORD period) noexcept
{
	if (!wakeTimer || period == wakePeriod)
		return wakePeriod != 0;
	LARGE_INTEGER due;
	due.QuadPart = -LONGLONG (period) * 10000; // relative, in 100 ns units
	wakePeriod = SetWaitableTimer (wakeTimer.get (), &due, LONG (period), nullptr, nullptr, FALSE) ? period : 0;
	return wakePeriod != 0;
}

void PipeSession::serviceConnect ()
{
	if (connected)
		return;
	DWORD error = ERROR_PIPE_CONNECTED;
	DWORD ignored = 0;
	if (connectOp.finished (pipe, ignored))
	{
		// A connect that was waiting for a client and then failed concerns that client
		// alone: its session ends, and the next pass listens again.
		if (connectOp.result != ERROR_SUCCESS)
		{
			end ();
			return;
		}
	}
	else if (connectOp.pending)
		return;
	else if (!ConnectNamedPipe (pipe, connectOp.start ()))
		error = GetLastError ();

	switch (error)
	{
	case ERROR_IO_PENDING:
		connectOp.pending = true;
		return;
	case ERROR_PIPE_CONNECTED:
		connected = true;
		handshakeDeadline = GetTickCount64 () + kHandshakeMillis;
		return;
	case ERROR_NO_DATA:
	case ERROR_BROKEN_PIPE:
		// A client opened the pipe and closed it again before we listened: its session
		// ends, not the run.
		end ();
		return;
	default:
		end ();
		throw std::runtime_error ("Connect failed");
	}
}

// Reads at most kReadsPerPass times a pass, so a client that keeps sending cannot keep the
// thread from sending its frames or from stopping.
void PipeSession::serviceRead ()
{
	if (!connected)
		return;
	for (int reads = 0; reads < kReadsPerPass; ++reads)
	{
		DWORD count = 0;
		bool failed = false;
		if (readOp.pending)
		{
			if (!readOp.finished (pipe, count))
				return;
			failed = readOp.result != ERROR_SUCCESS;
		}
		else if (!ReadFile (pipe, readBuffer, kReadSize, &count, readOp.start ()))
		{
			if (GetLastError () == ERROR_IO_PENDING)
			{
				readOp.pending = true;
				return;
			}
			failed = true;
		}
		// A read that failed, or brought nothing at the end of the client's data, ends it.
		if (failed || count == 0 ||
		    protocol.receive (readBuffer, count, server.auditionMailbox, *this, steadyMillis ()) !=
		        SessionProtocol::Result::keep)
		{
			end ();
			return;
		}
	}
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

void PipeSession::written (DWORD count) noexcept
{
	outgoingSent += count;
	if (outgoingSent >= outgoingLength)
		outgoingSent = outgoingLength = 0;
}

/** The next frame at `at`, server fields filled in: a captured block, else a keep-alive
    when one is due. Its length, 0 when there is nothing to send. */
size_t PipeSession::buildFrame (unsigned char* at) noexcept
{
	size_t length = server.captureRing.tryTake (at);
	if (length == 0)
	{
		const ULONGLONG now = GetTickCount64 ();
		if (now < nextKeepAlive)
			return 0;
		std::memcpy (at, &keepAlive, sizeof keepAlive);
		length = sizeof keepAlive;
		nextKeepAlive = now + kKeepAliveMillis;
	}
	BlockHeader header;
	std::memcpy (&header, at, sizeof header);
	fillServerFields (header, server.serial, protocol.sessionId (), server.auditionMailbox.stateWord.load (),
	                  processWide ().primarySerial.load (), server.processorStale ());
	std::memcpy (at, &header, sizeof header);
	return length;
}

void PipeSession::send ()
{
	DWORD count = 0;
	if (writeOp.finished (pipe, count))
	{
		// The client went away or the pipe broke: writing the rest cannot succeed.
		if (writeOp.result != ERROR_SUCCESS)
		{
			end ();
			return;
		}
		written (count);
	}
	if (writeOp.pending)
		return;
	int frames = 0;
	if (outgoingLength == 0)
		for (; frames < kFramesPerPass; ++frames)
		{
			const size_t length = buildFrame (outgoing.get () + outgoingLength);
			if (length == 0)
				break;
			outgoingLength += length;
		}
	if (outgoingLength == 0)
		return;
	if (WriteFile (pipe, outgoing.get () + outgoingSent, static_cast<DWORD> (outgoingLength - outgoingSent), &count,
	               writeOp.start ()))
		written (count);
	else if (GetLastError () == ERROR_IO_PENDING)
		writeOp.pending = true;
	else
	{
		end ();
		return;
	}
	sendAgain = !writeOp.pending &&
	            (outgoingLength != 0 || (frames == kFramesPerPass && server.captureRing.waiting () != 0));
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
	sendAgain = false;
	if (wakePeriod != 0)
		CancelWaitableTimer (wakeTimer.get ());
	wakePeriod = 0;
	server.captureRing.discardAll ();
}

void ServerRun::run ()
{
	AccessDescriptor access = makeAccessDescriptor ();
	const std::string id = makeRandomHex ();
	const std::string token = makeRandomHex ();
	RuntimeSource source = RuntimeSource::localProfile;
	const std::filesystem::path directory = resolveRuntimeDirectory (&source);
	// A folder the user named (shared, a project's, a drive's root) keeps its access list;
	// the record and the pipe are made for the user alone either way.
	ensureSecureDirectory (directory, access,
	                       source == RuntimeSource::environment ? ExistingDirectory::keep : ExistingDirectory::narrow);

	const std::string pipeName = "\\\\.\\pipe\\TarvoProto-" + id;
	UniqueHandle pipe (CreateNamedPipeA (pipeName.c_str (), kPipeOpenMode, kPipeMode, 1, kPipeOutputBuffer,
	                                     kPipeInputBuffer, 0, access.attributes ()));
	if (!pipe)
		throw std::runtime_error ("Pipe unavailable");

	// Declared after the pipe and the descriptor: on every way out the session's pending
	// I/O is cancelled first, then the record withdrawn, then the pipe closed.
	DiscoveryFiles files (directory / (id + ".json"));
	PublicationContext publication {0, files, id, token, access};
	// The label is copied, under its lock, only when a rename changed its generation.
	auto publishIfRenamed = [&] {
		const uint32_t generation = server.labelGeneration ();
		if (generation != publication.publishedGeneration)
			publishDiscoveryRecord (publication, generation, server.label ());
	};
	publishIfRenamed ();
	server.serverFailed.exchange (false);

	PipeSession session (server, pipe.get (), handshakeLine (token), server.stopEvent.get ());
	while (!server.stopRequested.load ())
	{
		publishIfRenamed ();
		session.pass ();
	}
	session.end ();
}

} // namespace tarvo
