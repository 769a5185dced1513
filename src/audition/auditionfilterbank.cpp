#include "audition/auditionfilterbank.h"

namespace tarvo {

void AuditionFilterBank::reset (double newSampleRate) noexcept
{
	sampleRate = newSampleRate;
	dryGain = 1.0;
	dryTarget = 1.0;
}

template <typename Sample>
void AuditionFilterBank::processDry (const Sample* const* inputs, Sample* const* outputs,
                                     int32_t channelCount, int32_t frameCount,
                                     uint64_t silenceFlags) noexcept
{
	for (int32_t c = 0; c < channelCount; ++c)
	{
		Sample* out = outputs[c];
		if (!out)
			continue;
		const Sample* in = (silenceFlags >> c) & 1u ? nullptr : inputs[c];
		for (int32_t f = 0; f < frameCount; ++f)
			out[f] = in ? static_cast<Sample> (in[f] * dryGain) : Sample (0);
	}
}

void AuditionFilterBank::process (const float* const* inputs, float* const* outputs,
                                  int32_t channelCount, int32_t frameCount,
                                  uint64_t silenceFlags) noexcept
{
	processDry (inputs, outputs, channelCount, frameCount, silenceFlags);
}

void AuditionFilterBank::process (const double* const* inputs, double* const* outputs,
                                  int32_t channelCount, int32_t frameCount,
                                  uint64_t silenceFlags) noexcept
{
	processDry (inputs, outputs, channelCount, frameCount, silenceFlags);
}

} // namespace tarvo
