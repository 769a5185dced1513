// The per-processor audio server: the sender label, the status snapshot, the mailbox
// shared with the audio thread and the capture entry point.
#pragma once

#include "server/auditionmailbox.h"
#include "shared/senderstatus.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace tarvo {

inline constexpr int64_t kUnknownPosition = INT64_MIN;

class AudioServer
{
public:
	AudioServer ();
	~AudioServer ();

	AudioServer (const AudioServer&) = delete;
	AudioServer& operator= (const AudioServer&) = delete;

	/** Main thread: called by setActive(true). Never throws. */
	void start () noexcept;
	/** Main thread: called by setActive(false), terminate and destruction. */
	void stop () noexcept;

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

	// ---- audio thread ----
	/** Counts a change of the process-wide primary generation into primaryChangeCount,
	    once however many bumps happened since the previous call. */
	void followPrimaryGeneration () noexcept;
	void setCallPosition (int64_t position) noexcept { callPosition = position; }
	int64_t currentCallPosition () const noexcept { return callPosition; }

	/** Copies the input into the capture ring while a visualiser is connected. */
	void capture (const float* const* channels, int32_t channelCount, int32_t frameCount,
	              uint64_t silenceFlags, double sampleRate) noexcept;
	void capture (const double* const* channels, int32_t channelCount, int32_t frameCount,
	              uint64_t silenceFlags, double sampleRate) noexcept;

private:
	std::atomic<bool> stopRequested {false};
	std::atomic<bool> captureEnabled {false};

	mutable std::mutex labelMutex;
	std::u16string currentLabel {kDefaultLabel};
	std::atomic<uint32_t> labelGen {1};

	std::atomic<bool> serverFailed {false};

	AuditionMailbox auditionMailbox;
	const uint32_t serial;
	uint32_t generationSnapshot;
	int64_t callPosition {kUnknownPosition};
};

} // namespace tarvo
