#include "audition/auditionengine.h"

namespace tarvo {

uint32_t AuditionEngine::staleLimitFor (int32_t frameCount, double sampleRate) noexcept
{
	double limit = frameCount / sampleRate * 2000.0 + 50.0;
	if (!(limit >= 250.0)) // also catches NaN
		limit = 250.0;
	if (limit >= 4294967295.0)
		return UINT32_MAX;
	return static_cast<uint32_t> (limit);
}

void AuditionEngine::beginBlock (AuditionMailbox& mailbox, double sampleRate, uint64_t nowMs,
                                 bool /*suspend*/, int32_t frameCount) noexcept
{
	mailbox.lastProcessMs.store (nowMs);
	mailbox.staleLimitMs.exchange (staleLimitFor (frameCount, sampleRate));
	lastBlockMs = nowMs;
}

void AuditionEngine::reset (double sampleRate) noexcept
{
	filterBank.reset (sampleRate);
	retiredRequestId = current.requestId;
	lastBlockMs = 0;
	stateCode = static_cast<uint32_t> (AuditionState::noSession);
}

} // namespace tarvo
