#include "server/auditioncommand.h"

#include "server/blockheader.h"

#include <cmath>

namespace tarvo {
namespace {

bool within (float value, float low, float high) noexcept
{
	return std::isfinite (value) && value >= low && value <= high;
}

} // namespace

bool hasValidFields (const AuditionCommand& command) noexcept
{
	if (std::memcmp (command.magic, kCommandMagic, 4) != 0 || command.version != kProtocolVersion)
		return false;
	if (command.sessionId == 0 || command.sequence == 0 || command.requestId == 0)
		return false;
	if (command.bandMask > 15 || command.mode > 1)
		return false;

	if (command.mode == 0)
	{
		constexpr float kSpacing = 1.2f;
		return within (command.a, 25.0f, 20000.0f) && within (command.b, 25.0f, 20000.0f) &&
		       within (command.c, 25.0f, 20000.0f) && command.b >= command.a * kSpacing &&
		       command.c >= command.b * kSpacing;
	}
	// Spectrum audition: c carries nothing, so only zero (either sign) or NaN pass.
	constexpr float kNarrowest = 0.44f;
	return command.bandMask == 0 && within (command.a, 20.0f, 20000.0f) &&
	       within (command.b, kNarrowest, 1.0f) && !(command.c < 0.0f) && !(command.c > 0.0f);
}

AuditionCommand makeCommand (uint32_t sessionId, uint32_t sequence, uint32_t requestId, uint32_t bandMask,
                             float a, float b, float c, uint32_t mode) noexcept
{
	AuditionCommand command;
	std::memcpy (command.magic, kCommandMagic, 4);
	command.version = kProtocolVersion;
	command.sessionId = sessionId;
	command.sequence = sequence;
	command.requestId = requestId;
	command.bandMask = bandMask;
	command.a = a;
	command.b = b;
	command.c = c;
	command.mode = mode;
	return command;
}

} // namespace tarvo
