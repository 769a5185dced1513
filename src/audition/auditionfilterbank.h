// What the user hears during an audition: the unfiltered input (the dry path) mixed with
// up to ten filter sections, nine that each pass one contiguous run of the four solo
// bands with fourth-order Butterworth slopes, and a cascade of band-pass stages with a
// fractional stage count for the spectrum audition. Selections crossfade over 15 ms;
// frequency and width changes glide with a 10 ms one-pole smoothing, redesigning the
// audible filters every 16 samples. Double precision, no allocation.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

namespace tarvo {

/** One second-order stage in transposed direct form II, shared coefficients, per-channel
    state. A new stage passes its input unchanged. */
struct Biquad
{
	double b0 {1.0}, b1 {0.0}, b2 {0.0}, a1 {0.0}, a2 {0.0};
	double s1[2] {0.0, 0.0};
	double s2[2] {0.0, 0.0};

	/** One sample through the stage with the given pair of memories. */
	double step (double x, double& m1, double& m2) const noexcept
	{
		const double y = x * b0 + m1;
		m1 = keep ((x * b1 - y * a1) + m2);
		m2 = keep (x * b2 - y * a2);
		return y;
	}
	double process (double x, int channel) noexcept { return step (x, s1[channel], s2[channel]); }
	void clearState () noexcept
	{
		s1[0] = s1[1] = s2[0] = s2[1] = 0.0;
	}

	/** A memory keeps a value only when it is finite and not vanishingly small: denormals
	    would slow every later sample down, and one infinite or NaN input would otherwise
	    poison the stage for good. */
	static double keep (double v) noexcept
	{
		const double magnitude = std::fabs (v);
		return ((magnitude >= 1e-25) & (magnitude <= 1.7976931348623157e308)) ? v : 0.0;
	}
};

struct FilterSection
{
	static constexpr int kStages = 15;
	int32_t lowBand {0};    // first band of the run
	int32_t highBand {0};   // one past the last band of the run
	int32_t highPassAt {-1}; // the crossover of the high-pass pair (stages 0 and 1), or -1
	int32_t lowPassAt {-1};  // the crossover of the low-pass pair (stages 2 and 3), or -1
	double gain {0.0};
	double gainTarget {0.0};
	double gainStep {0.0};
	uint32_t rampLeft {0};
	Biquad stages[kStages];

	/** Off, and heading nowhere else: it adds nothing. */
	bool silent () const noexcept { return gain == 0.0 && gainTarget == 0.0; }
	/** Silent with no ramp left to count down. */
	bool idle () const noexcept { return rampLeft == 0 && silent (); }
};

class AuditionFilterBank
{
public:
	static constexpr int kSections = 10;
	static constexpr int kSpectrumSection = 9;
	static constexpr uint32_t kSpectrumMask = 16;

	AuditionFilterBank () noexcept;

	/** Immediate reset at the given rate: no fade, all filter memories cleared. */
	void reset (double sampleRate) noexcept;

	/** Sets the targets; a changed selection starts a 15 ms crossfade. In band mode the
	    values are the three crossovers; with `spectrum` the centre and the width. */
	void select (double v0, double v1, double v2, uint32_t mask, bool spectrum) noexcept;

	/** True when the output would equal the input. */
	bool isIdle () const noexcept;

	/** Filters bus 0; silent or missing inputs read as zeros, missing outputs are skipped.
	    In-place safe. The caller guarantees 1 or 2 channels. Works through spans of up to
	    16 samples between control ticks, section by section, both channels together. */
	void process (const float* const* inputs, float* const* outputs, int32_t channelCount,
	              int32_t frameCount, uint64_t silenceFlags) noexcept;
	void process (const double* const* inputs, double* const* outputs, int32_t channelCount,
	              int32_t frameCount, uint64_t silenceFlags) noexcept;

	/** The same, sample by sample through every section: the plain form of the loop,
	    which `process` must match bit for bit. */
	void processReference (const float* const* inputs, float* const* outputs, int32_t channelCount,
	                       int32_t frameCount, uint64_t silenceFlags) noexcept;
	void processReference (const double* const* inputs, double* const* outputs, int32_t channelCount,
	                       int32_t frameCount, uint64_t silenceFlags) noexcept;

	/** Computes a section's coefficients from the smoothed values. */
	void designSection (int index) noexcept;

	/** Limits three ascending crossovers to the audible range at this rate, 1.2x apart. */
	static std::array<double, 3> clampCrossovers (const std::array<double, 3>& f, double sampleRate) noexcept;

	// Read access for tests and diagnostics.
	double currentSampleRate () const noexcept { return sampleRate; }
	uint32_t selection () const noexcept { return mask; }
	double dryLevel () const noexcept { return dryGain; }
	const FilterSection& section (int index) const noexcept { return sections[index]; }
	const std::array<double, 3>& crossovers () const noexcept { return crossover; }
	double centreFrequency () const noexcept { return centre; }
	double spectrumWidth () const noexcept { return width; }
	int32_t spectrumStages () const noexcept { return stageCount; }
	double spectrumStageFraction () const noexcept { return stageFraction; }
	double spectrumQ () const noexcept { return spectrumStageQ; }
	/** Spans run by the fused loop (nothing fading, one or two band runs or the spectrum). */
	uint64_t fusedSpans () const noexcept { return fusedSpanCount; }
	uint32_t rampLength () const noexcept;

private:
	static constexpr int kSpan = 16; // samples between control ticks

	template <typename Sample>
	void processSamples (const Sample* const* inputs, Sample* const* outputs, int32_t channelCount,
	                     int32_t frameCount, uint64_t silenceFlags) noexcept;
	template <typename Sample>
	void processSpans (const Sample* const* inputs, Sample* const* outputs, int32_t channelCount,
	                   int32_t frameCount, uint64_t silenceFlags) noexcept;
	/** A span where no gain moves and one or two sections play, in one pass; false when
	    the span is not like that. */
	template <int Channels, typename Sample>
	bool steadySpan (const Sample* const (&in)[2], Sample* const (&out)[2], int32_t start, int count) noexcept;
	/** Any span, section by section over the whole span. */
	template <int Channels, typename Sample>
	void fadingSpan (const Sample* const (&in)[2], Sample* const (&out)[2], int32_t start, int count) noexcept;
	/** Steps a section's gain ramp over a span; true when it plays on every sample. */
	static bool stepGains (FilterSection& s, double* gains, int count) noexcept;
	void controlTick () noexcept;
	double sectionOutput (FilterSection& s, int index, double x, int channel) noexcept;

	FilterSection sections[kSections];
	double sampleRate {48000.0};
	double dryGain {1.0};
	double dryTarget {1.0};
	double dryStep {0.0};
	uint32_t dryRampLeft {0};
	int32_t tickCountdown {0};
	std::array<double, 3> crossover {250.0, 1000.0, 6000.0};
	std::array<double, 3> crossoverTarget {250.0, 1000.0, 6000.0};
	double centre {630.0};
	double width {0.6};
	double centreTarget {630.0};
	double widthTarget {0.6};
	int32_t stageCount {9};
	double stageFraction {0.5};
	uint32_t mask {0};
	double glideCoefficient {0.0}; // the control tick's smoothing step at this rate
	double spectrumStageQ {0.0};   // the Q of the last spectrum design, for diagnostics
	uint64_t fusedSpanCount {0};
};

} // namespace tarvo
