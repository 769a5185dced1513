// The filters that produce what the user hears during an audition. Until a selection is
// made the bank is idle and the processor copies its input through unchanged.
#pragma once

#include <cstdint>

namespace tarvo {

class AuditionFilterBank
{
public:
	AuditionFilterBank () noexcept { reset (48000.0); }

	/** Immediate reset at the given rate: no fade, all filter memories cleared. */
	void reset (double sampleRate) noexcept;

	/** True when the output would equal the input. */
	bool isIdle () const noexcept { return dryGain == 1.0 && dryTarget == 1.0; }

	/** Filters bus 0; silent or missing inputs read as zeros, missing outputs are skipped.
	    In-place safe. The caller guarantees 1 or 2 channels. */
	void process (const float* const* inputs, float* const* outputs, int32_t channelCount,
	              int32_t frameCount, uint64_t silenceFlags) noexcept;
	void process (const double* const* inputs, double* const* outputs, int32_t channelCount,
	              int32_t frameCount, uint64_t silenceFlags) noexcept;

	double currentSampleRate () const noexcept { return sampleRate; }

private:
	template <typename Sample>
	void processDry (const Sample* const* inputs, Sample* const* outputs, int32_t channelCount,
	                 int32_t frameCount, uint64_t silenceFlags) noexcept;

	double sampleRate {48000.0};
	double dryGain {1.0};
	double dryTarget {1.0};
};

} // namespace tarvo
