// Decides, once per process call, which audition (if any) the output carries, and
// publishes the decision for the server thread.
#pragma once

#include "audition/auditionfilterbank.h"
#include "server/auditionmailbox.h"

#include <cstdint>

namespace tarvo {

enum class AuditionState : uint32_t
{
	fullAudio = 0,
	active = 1,
	expired = 2,
	suspended = 3,
	stalled = 4,
	noSession = 5,
	cleared = 6,
};

class AuditionEngine
{
public:
	AuditionEngine () noexcept { reset (48000.0); }

	/** Audio thread, once per process call that passed the bus checks. */
	void beginBlock (AuditionMailbox& mailbox, double sampleRate, uint64_t nowMs, bool suspend,
	                 int32_t frameCount) noexcept;

	/** Immediate reset: called from setupProcessing, setActive and setProcessing. */
	void reset (double sampleRate) noexcept;

	AuditionFilterBank& filters () noexcept { return filterBank; }
	const AuditionFilterBank& filters () const noexcept { return filterBank; }
	AuditionState state () const noexcept { return static_cast<AuditionState> (stateCode); }
	uint32_t currentSelection () const noexcept { return selection; }
	const AuditionRequest& currentRequest () const noexcept { return current; }
	uint64_t lastBlockMillis () const noexcept { return lastBlockMs; }

	/** Twice the block's duration plus 50 ms, never below 250 ms. */
	static uint32_t staleLimitFor (int32_t frameCount, double sampleRate) noexcept;

private:
	void selectDefaults () noexcept;

	uint32_t seenSessionId {0};
	uint32_t retiredRequestId {0};
	uint64_t lastBlockMs {0};
	uint32_t lastStaleLimit {0}; // the previous call's, which its own gap is measured against
	AuditionRequest current {};
	AuditionFilterBank filterBank;
	uint32_t stateCode {static_cast<uint32_t> (AuditionState::noSession)};
	uint32_t selection {0};
};

} // namespace tarvo
