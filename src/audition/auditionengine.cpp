#include "audition/auditionengine.h"

#include <algorithm>
#include <cmath>

namespace tarvo {

uint32_t AuditionEngine::staleLimitFor (int32_t frameCount, double sampleRate) noexcept
{
	// Two blocks plus 50 ms, never under 250 ms (nor when the rate is unknown).
	const double limit = frameCount / sampleRate * 2000.0 + 50.0;
	return std::isnan (limit) ? 250u : static_cast<uint32_t> (std::clamp (limit, 250.0, 4294967295.0));
}

void AuditionEngine::selectDefaults () noexcept
{
	const AuditionRequest defaults;
	filterBank.select (defaults.a, defaults.b, defaults.c, 0, false);
}

void AuditionEngine::beginBlock (AuditionMailbox& mailbox, double sampleRate, uint64_t nowMs,
                                 bool suspend, int32_t frameCount) noexcept
{
	mailbox.lastProcessMs.store (nowMs);
	const uint32_t staleLimit = staleLimitFor (frameCount, sampleRate);
	mailbox.staleLimitMs.exchange (staleLimit);

	// A new session forgets the previous one's request; what the bank plays is chosen below,
	// which fades to full audio unless the new session's own request is already in force.
	const uint32_t session = mailbox.activeSessionId.load ();
	if (session != seenSessionId)
	{
		seenSessionId = session;
		retiredRequestId = 0;
		current = AuditionRequest {};
	}

	// Of the entries taken, the highest sequence of the seen session wins.
	AuditionRequest entry;
	for (uint32_t taken = 0; taken < AuditionMailbox::kCapacity && mailbox.tryPop (entry); ++taken)
		if (entry.sessionId == seenSessionId && entry.sequence > current.sequence)
			current = entry;

	// The gap before this call is the previous call's length: a long call followed by a
	// shorter one is on time as long as the gap stays within the larger of the two limits.
	const bool stalled = lastBlockMs != 0 && nowMs - lastBlockMs > std::max (staleLimit, lastStaleLimit);
	lastBlockMs = nowMs;
	lastStaleLimit = staleLimit;

	uint32_t code = 0;
	uint32_t chosen = 0;
	if (suspend)
	{
		retiredRequestId = current.requestId;
		filterBank.reset (sampleRate);
		code = uint32_t (AuditionState::suspended);
	}
	else if (mailbox.primaryChangeCount.load () != 0)
	{
		retiredRequestId = current.requestId;
		selectDefaults ();
		code = uint32_t (AuditionState::cleared);
	}
	else if (stalled)
	{
		retiredRequestId = current.requestId;
		filterBank.reset (sampleRate);
		code = uint32_t (AuditionState::stalled);
	}
	else
	{
		const bool wantsAudition = current.bandMask != 0 || current.mode != 0;
		if (wantsAudition && nowMs >= current.expiry)
			retiredRequestId = current.requestId;
		const bool inForce = seenSessionId != 0 && current.expiry > nowMs && current.requestId > retiredRequestId;
		if (inForce)
		{
			chosen = current.mode != 0 ? AuditionFilterBank::kSpectrumMask : current.bandMask;
			if (chosen == 15)
				chosen = 0;
			code = uint32_t (chosen != 0 ? AuditionState::active : AuditionState::fullAudio);
		}
		else if (seenSessionId == 0)
			code = uint32_t (AuditionState::noSession);
		else if (wantsAudition && current.requestId <= retiredRequestId)
			code = uint32_t (AuditionState::expired);
		else
			code = uint32_t (AuditionState::fullAudio);

		if (chosen == AuditionFilterBank::kSpectrumMask || current.mode == 0)
			filterBank.select (current.a, current.b, current.c, chosen, chosen == AuditionFilterBank::kSpectrumMask);
		else
			selectDefaults (); // a spectrum request that is not in force
	}

	stateCode = code;
	selection = chosen;
	mailbox.stateWord.store (makeStateWord (current.requestId, code, chosen));
}

void AuditionEngine::reset (double sampleRate) noexcept
{
	filterBank.reset (sampleRate);
	retiredRequestId = current.requestId;
	lastBlockMs = 0;
	stateCode = static_cast<uint32_t> (AuditionState::noSession);
}

} // namespace tarvo
