// The per-processor audio server: the sender label, the status snapshot, the mailbox
// shared with the audio thread and the capture entry point.
#pragma once

#include "server/auditionmailbox.h"
#include "server/blockheader.h"
#include "server/capturering.h"
#include "shared/senderstatus.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tarvo {

class AudioServer
{
public:
	AudioServer ();
	~AudioServer ();

	AudioServer (const AudioServer&) = delete;
	AudioServer& operator= (const AudioServer&) = delete;

	/** Main thread: starts the server thread unless it runs. Never throws; a server that
	    cannot start reads as failed. */
	void start () noexcept;
	/** Main thread: ends the server thread and its run (record withdrawn, pipe closed). */
	void stop () noexcept;
	bool isRunning () const noexcept { return serverThread.joinable (); }

	/** Cuts to 64 units, turns control characters into blanks and an empty label into
	    "Audio Server"; throws std::runtime_error("Invalid name") for invalid UTF-16. */
	void setLabel (std::u16string label);
	std::u16string label () const;
	uint32_t labelGeneration () const noexcept { return labelGen.load (); }

	SenderStatus status () const;

	uint32_t instanceSerial () const noexcept { return serial; }
	AuditionMailbox& mailbox () noexcept { return auditionMailbox; }
	const AuditionMailbox& mailbox () const noexcept { return auditionMailbox; }
	bool isCapturing () const noexcept { return captureEnabled.load (); }
	/** True when the processor has not processed for longer than its stale limit. */
	bool processorStale () const noexcept;
	/** How long the audio in one captured block lasts, as of the latest capture; 0 when
	    nothing was captured in the last 100 ms (an offline render captures nothing). The
	    server wakes often enough for the host's block size. */
	uint32_t blockMicros () const noexcept;
	const CaptureRing& ring () const noexcept { return captureRing; }

	// ---- audio thread ----
	/** Counts a change of the process-wide primary generation into primaryChangeCount,
	    once however many bumps happened since the previous call. */
	void followPrimaryGeneration () noexcept;
	/** The call's timeline position (kUnknownPosition when the host gives none) and the
	    time it came, by the steady clock. */
	void setCallPosition (int64_t position, uint64_t nowMs) noexcept
	{
		callPosition = position;
		callMs = nowMs;
	}
	int64_t currentCallPosition () const noexcept { return callPosition; }

	/** Copies the input into the capture ring while a visualiser is connected. */
	void capture (const float* const* channels, int32_t channelCount, int32_t frameCount,
	              uint64_t silenceFlags, double sampleRate) noexcept;
	void capture (const double* const* channels, int32_t channelCount, int32_t frameCount,
	              uint64_t silenceFlags, double sampleRate) noexcept;

private:
	friend class ServerRun;
	friend class PipeSession;
	struct HandleCloser
	{
		void operator() (void* handle) const noexcept;
	};

	void threadLoop () noexcept;
	template <typename Sample>
	void captureSamples (const Sample* const* channels, int32_t channelCount, int32_t frameCount,
	                     uint64_t silenceFlags, double sampleRate) noexcept;

	CaptureRing captureRing;
	std::atomic<bool> stopRequested {false};
	std::atomic<bool> captureEnabled {false};
	std::thread serverThread;
	std::unique_ptr<void, HandleCloser> stopEvent;

	mutable std::mutex labelMutex;
	std::u16string currentLabel {kDefaultLabel};
	std::atomic<uint32_t> labelGen {1};

	std::atomic<bool> serverFailed {false};
	uint32_t sessionCounter {0}; // server thread only

	AuditionMailbox auditionMailbox;
	const uint32_t serial;
	uint32_t generationSnapshot;
	int64_t callPosition {kUnknownPosition};
	uint64_t callMs {0};
	// The latest capture: its call's time in milliseconds (low 32 bits) above its block's
	// length in microseconds.
	std::atomic<uint64_t> capturedBlock {0};
};

} // namespace tarvo
