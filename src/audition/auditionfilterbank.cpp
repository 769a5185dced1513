#include "audition/auditionfilterbank.h"

#include "audition/spectrumstagetable.h"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace tarvo {
namespace {

/** The channels to read (none where the host flags silence or passes no buffer) and to
    write, at most two. */
template <typename Sample>
void pickChannels (const Sample* const* inputs, Sample* const* outputs, int32_t channelCount,
                   uint64_t silenceFlags, const Sample* (&in)[2], Sample* (&out)[2]) noexcept
{
	for (int32_t c = 0; c < std::min (channelCount, 2); ++c)
	{
		in[c] = ((silenceFlags >> c) & 1u) || !inputs ? nullptr : inputs[c];
		out[c] = outputs ? outputs[c] : nullptr;
	}
}

constexpr double kTwoPi = 6.283185307179586;
// 1/(2Q) of the two pole pairs of a fourth-order Butterworth filter.
constexpr double kButterworthDamping[2] = {0.92387953259015, 0.38268343235817065};
constexpr double kDefaultCrossovers[3] = {250.0, 1000.0, 6000.0};

// The contiguous band runs, one section each; the run of all four is full audio.
constexpr int32_t kRuns[9][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}};

double topFrequency (double sampleRate) noexcept
{
	const double top = sampleRate * 0.48;
	return std::isnan (top) ? 20000.0 : std::min (top, 20000.0);
}

void designButterworthPair (Biquad* stages, double frequency, double sampleRate, bool highPass) noexcept
{
	const double w0 = frequency * kTwoPi / sampleRate;
	const double s = std::sin (w0);
	const double c = std::cos (w0);
	for (const double damping : kButterworthDamping)
	{
		Biquad& q = *stages++;
		const double alpha = s * damping;
		const double a0 = alpha + 1.0;
		q.a1 = (c * -2.0) / a0;
		q.a2 = (1.0 - alpha) / a0;
		if (highPass)
		{
			q.b0 = (c + 1.0) * 0.5 / a0;
			q.b1 = (-1.0 - c) / a0;
		}
		else
		{
			q.b0 = (1.0 - c) * 0.5 / a0;
			q.b1 = (1.0 - c) / a0;
		}
		q.b2 = q.b0;
	}
}

/** Whether a band-run section plays for a mask: its run is exactly one maximal run of
    adjacent selected bands. */
bool sectionPlays (const FilterSection& s, uint32_t mask) noexcept
{
	const uint32_t run = (1u << s.highBand) - (1u << s.lowBand); // bits lowBand to highBand - 1
	const uint32_t neighbours = (run << 1 | run >> 1) & ~run;
	return (mask & run) == run && (mask & neighbours) == 0;
}

/** Consecutive stages of one section, their memories held in registers for a span and
    written back when the span is done. The channels go side by side. */
template <int Stages, int Channels>
struct Chain
{
	explicit Chain (Biquad* first) noexcept : stages (first)
	{
		for (int stage = 0; stage < Stages; ++stage)
			for (int c = 0; c < Channels; ++c)
			{
				m1[stage][c] = stages[stage].s1[c];
				m2[stage][c] = stages[stage].s2[c];
			}
	}
	~Chain ()
	{
		for (int stage = 0; stage < Stages; ++stage)
			for (int c = 0; c < Channels; ++c)
			{
				stages[stage].s1[c] = m1[stage][c];
				stages[stage].s2[c] = m2[stage][c];
			}
	}
	Chain (const Chain&) = delete;
	Chain& operator= (const Chain&) = delete;

	void step (int stage, double (&y)[Channels]) noexcept
	{
		for (int c = 0; c < Channels; ++c)
			y[c] = stages[stage].step (y[c], m1[stage][c], m2[stage][c]);
	}
	/** One sample of a band run: the input through every stage, the output times the
	    gain added to the sum. Always inlined into the sample loop: a call per sample would
	    cost as much as a stage. */
	[[gnu::always_inline]] void add (const double (&x)[Channels], double gain, double (&sum)[Channels]) noexcept
	{
		double y[Channels];
		for (int c = 0; c < Channels; ++c)
			y[c] = x[c];
#pragma GCC unroll 4
		for (int stage = 0; stage < Stages; ++stage)
			step (stage, y);
		for (int c = 0; c < Channels; ++c)
			sum[c] += y[c] * gain;
	}

	Biquad* stages;
	double m1[Stages][Channels];
	double m2[Stages][Channels];
};

/** No second band run. */
template <int Channels>
struct Chain<0, Channels>
{
	explicit Chain (Biquad*) noexcept {}
	void add (const double (&)[Channels], double, double (&)[Channels]) noexcept {}
};

/** The spectrum section: all 15 stages run, so each memory is current when the stage
    count changes; the output lies `fraction` of the way from the output after `whole`
    stages to the one after the next. */
template <int Channels>
struct SpectrumChain
{
	[[gnu::always_inline]] void add (const double (&x)[Channels], double gain, double (&sum)[Channels]) noexcept
	{
		double y[Channels], below[Channels], above[Channels];
		std::copy_n (x, Channels, y);
		// Up to the stage that gives `below`, that stage, the one that gives `above`, the
		// rest. (The stage table keeps `whole` between 1 and kStages - 1.)
		int stage = 0;
		for (; stage < whole - 1; ++stage)
			run (stage, y);
		run (stage++, y);
		std::copy_n (y, Channels, below);
		run (stage++, y);
		std::copy_n (y, Channels, above);
		for (; stage < FilterSection::kStages; ++stage)
			run (stage, y);
		for (int c = 0; c < Channels; ++c)
			sum[c] += (below[c] + fraction * (above[c] - below[c])) * gain;
	}
	void run (int stage, double (&y)[Channels]) noexcept
	{
		for (int c = 0; c < Channels; ++c)
			y[c] = stages[stage].process (y[c], c);
	}

	Biquad* stages;
	int whole;
	double fraction;
};

/** The stages a band-run section uses: its high-pass pair, its low-pass pair or both. */
Biquad* firstStage (FilterSection* s) noexcept
{
	return !s ? nullptr : s->highPassAt >= 0 ? &s->stages[0] : &s->stages[2];
}
int stagesUsed (const FilterSection* s) noexcept
{
	return !s ? 0 : (s->highPassAt >= 0 ? 2 : 0) + (s->lowPassAt >= 0 ? 2 : 0);
}

/** Calls `run` with the chains of one or two band runs, their stage counts fixed at
    compile time. */
template <int Channels, typename Run>
void withBandChains (FilterSection* a, FilterSection* b, Run&& run) noexcept
{
	const int first = stagesUsed (a), second = stagesUsed (b);
	if (first == 2 && second == 0)
	{
		Chain<2, Channels> x (firstStage (a));
		Chain<0, Channels> y (nullptr);
		run (x, y);
	}
	else if (first == 4 && second == 0)
	{
		Chain<4, Channels> x (firstStage (a));
		Chain<0, Channels> y (nullptr);
		run (x, y);
	}
	else if (first == 2 && second == 2)
	{
		Chain<2, Channels> x (firstStage (a));
		Chain<2, Channels> y (firstStage (b));
		run (x, y);
	}
	else if (first == 2)
	{
		Chain<2, Channels> x (firstStage (a));
		Chain<4, Channels> y (firstStage (b));
		run (x, y);
	}
	else if (second == 2)
	{
		Chain<4, Channels> x (firstStage (a));
		Chain<2, Channels> y (firstStage (b));
		run (x, y);
	}
	else
	{
		Chain<4, Channels> x (firstStage (a));
		Chain<4, Channels> y (firstStage (b));
		run (x, y);
	}
}

/** A span where nothing fades: input, dry path, at most two voices and output in one
    pass, each sample summed in the order dry, first voice, second voice. */
template <int Channels, typename Sample, typename First, typename Second>
void runSteady (const Sample* const (&in)[2], Sample* const (&out)[2], int32_t start, int count, double dry,
                First& first, double firstGain, Second& second, double secondGain) noexcept
{
	for (int k = 0; k < count; ++k)
	{
		double x[Channels], sum[Channels];
		for (int c = 0; c < Channels; ++c)
		{
			x[c] = in[c] ? static_cast<double> (in[c][start + k]) : 0.0;
			sum[c] = x[c] * dry;
		}
		first.add (x, firstGain, sum);
		second.add (x, secondGain, sum);
		for (int c = 0; c < Channels; ++c)
			if (out[c])
				out[c][start + k] = static_cast<Sample> (sum[c]);
	}
}

/** One or two band runs over a span whose dry sums are in `acc`, each sample's gains
    from `gainsA` and `gainsB`. */
template <int Channels, int Span>
void runBands (FilterSection* a, const double* gainsA, FilterSection* b, const double* gainsB,
               const double (&x)[2][Span], double (&acc)[2][Span], int count) noexcept
{
	withBandChains<Channels> (a, b, [&] (auto& first, auto& second) {
		for (int k = 0; k < count; ++k)
		{
			double in[Channels], sum[Channels];
			for (int c = 0; c < Channels; ++c)
			{
				in[c] = x[c][k];
				sum[c] = acc[c][k];
			}
			first.add (in, gainsA[k], sum);
			second.add (in, b ? gainsB[k] : 0.0, sum);
			for (int c = 0; c < Channels; ++c)
				acc[c][k] = sum[c];
		}
	});
}

} // namespace

AuditionFilterBank::AuditionFilterBank () noexcept
{
	for (int i = 0; i < 9; ++i)
	{
		FilterSection& s = sections[i];
		s.lowBand = kRuns[i][0];
		s.highBand = kRuns[i][1];
		// Below the run's first band a high-pass, above its last a low-pass, where there are
		// bands to cut.
		s.highPassAt = s.lowBand - 1;
		s.lowPassAt = s.highBand == 4 ? -1 : s.highBand - 1;
	}
	reset (48000.0);
}

uint32_t AuditionFilterBank::rampLength () const noexcept
{
	const double samples = sampleRate * 0.015;
	return static_cast<uint32_t> (std::max (samples, 1.0));
}

std::array<double, 3> AuditionFilterBank::clampCrossovers (const std::array<double, 3>& f,
                                                           double sampleRate) noexcept
{
	const double top = topFrequency (sampleRate);
	std::array<double, 3> result {};
	for (int i = 0; i < 3; ++i)
	{
		const double upper = std::pow (1.2, -(3 - i)) * top;
		const double lower = i == 0 ? 25.0 : result[i - 1] * 1.2;
		result[i] = std::isnan (f[i]) ? upper : std::clamp (f[i], lower, upper); // lower never passes upper
	}
	return result;
}

void AuditionFilterBank::reset (double newSampleRate) noexcept
{
	mask = 0;
	dryTarget = dryGain = 1.0;
	dryRampLeft = 0;
	tickCountdown = 0;
	sampleRate = newSampleRate;
	glideCoefficient = 1.0 - std::exp (-1600.0 / sampleRate);
	crossoverTarget = crossover =
	    clampCrossovers ({kDefaultCrossovers[0], kDefaultCrossovers[1], kDefaultCrossovers[2]}, sampleRate);
	centre = centreTarget = 630.0;
	width = widthTarget = 0.6;
	for (int i = 0; i < kSections; ++i)
	{
		FilterSection& s = sections[i];
		s.gain = s.gainTarget = 0.0;
		s.rampLeft = 0;
		for (Biquad& stage : s.stages)
			stage.clearState ();
		designSection (i);
	}
}

void AuditionFilterBank::select (double v0, double v1, double v2, uint32_t newMask, bool spectrum) noexcept
{
	uint32_t effective;
	if (spectrum)
	{
		const double top = topFrequency (sampleRate);
		centreTarget = std::isnan (v0) ? top : std::clamp (v0, 20.0, top);
		widthTarget = std::isnan (v1) ? 0.44 : std::clamp (v1, 0.44, 0.9999);
		// A width of 1.0 or more lets everything through: full audio.
		effective = v1 < 1.0 ? kSpectrumMask : 0u;
	}
	else
	{
		crossoverTarget = clampCrossovers ({v0, v1, v2}, sampleRate);
		effective = newMask & 15u;
		if (effective == 15u)
			effective = 0;
	}
	if (effective == mask)
		return;

	mask = effective;
	const uint32_t ramp = rampLength ();
	// Selections changing faster than the fade restart it from where it stood, and the dry
	// gain would shrink geometrically into denormals: below the memories' flush level it
	// is silence.
	dryGain = Biquad::keep (dryGain);
	dryRampLeft = ramp;
	dryTarget = mask == 0 ? 1.0 : 0.0;
	dryStep = (dryTarget - dryGain) * (1.0 / ramp);

	for (int i = 0; i < kSections; ++i)
	{
		FilterSection& s = sections[i];
		const bool on = i == kSpectrumSection ? mask == kSpectrumMask : sectionPlays (s, mask);
		const double newTarget = on ? 1.0 : 0.0;
		if (newTarget == s.gainTarget)
			continue;
		if (on && s.gain == 0.0)
		{
			// Switched on from silence: fresh memories, designed from the current values.
			for (Biquad& stage : s.stages)
				stage.clearState ();
			designSection (i);
		}
		s.gainTarget = newTarget;
		s.gainStep = (newTarget - s.gain) * (1.0 / ramp);
		s.rampLeft = ramp;
	}
}

bool AuditionFilterBank::isIdle () const noexcept
{
	if (dryGain != 1.0 || dryTarget != 1.0)
		return false;
	for (const FilterSection& s : sections)
		if (!s.silent ())
			return false;
	return true;
}

void AuditionFilterBank::designSection (int index) noexcept
{
	FilterSection& s = sections[index];
	if (index != kSpectrumSection)
	{
		if (s.highPassAt >= 0)
			designButterworthPair (&s.stages[0], crossover[size_t (s.highPassAt)], sampleRate, true);
		if (s.lowPassAt >= 0)
			designButterworthPair (&s.stages[2], crossover[size_t (s.lowPassAt)], sampleRate, false);
		return;
	}

	// The width is already at least 0.44; from 0.85 on (position 82) the last row holds.
	const double pos = std::min ((width - 0.44) * 200.0, 82.0);
	const int row = std::min (static_cast<int> (pos), 81);
	const double t = pos - row;
	const SpectrumStageRow& lo = kSpectrumStageTable[row];
	const SpectrumStageRow& hi = kSpectrumStageTable[row + 1];
	const double stages = lo.stages + t * (hi.stages - lo.stages);
	double q = lo.q + t * (hi.q - lo.q);
	// From width 0.85 towards 1 the stages flatten, letting more and more of the spectrum
	// through (below 0.85 the factor is exactly 1).
	const double u = std::clamp ((1.0 - width) * 6.666666666666666, 0.0, 1.0);
	q = (q * u) * (u * u);
	stageCount = static_cast<int32_t> (stages);
	stageFraction = stages - stageCount;
	spectrumStageQ = q;

	const double w0 = centre * kTwoPi / sampleRate;
	const double sn = std::sin (w0);
	const double c = std::cos (w0);
	const double alpha = sn * (0.5 / q);
	const double g = 1.0 / (1.0 + alpha);
	for (Biquad& stage : s.stages)
	{
		stage.b0 = alpha * g;
		stage.b1 = 0.0;
		stage.b2 = -stage.b0;
		stage.a1 = (c * -2.0) * g;
		stage.a2 = (1.0 - alpha) * g;
	}
}

void AuditionFilterBank::controlTick () noexcept
{
	const double coef = glideCoefficient;
	auto glide = [&] (double& value, double target) {
		value = value + (target - value) * coef;
		if (!(std::fabs (target - value) >= 0.000001))
			value = target;
	};
	const auto was = std::make_tuple (crossover, centre, width);
	glide (crossover[0], crossoverTarget[0]);
	glide (crossover[1], crossoverTarget[1]);
	glide (crossover[2], crossoverTarget[2]);
	glide (centre, centreTarget);
	glide (width, widthTarget);
	if (std::tie (crossover, centre, width) == was)
		return; // nothing moved: the coefficients stand
	for (int i = 0; i < kSections; ++i)
		if (!sections[i].silent ())
			designSection (i);
}

double AuditionFilterBank::sectionOutput (FilterSection& s, int index, double x, int channel) noexcept
{
	if (index != kSpectrumSection)
	{
		double y = x;
		if (s.highPassAt >= 0)
			y = s.stages[1].process (s.stages[0].process (y, channel), channel);
		if (s.lowPassAt >= 0)
			y = s.stages[3].process (s.stages[2].process (y, channel), channel);
		return y;
	}
	// Every stage runs, so each memory is current when the stage count changes.
	double below = 0.0, above = 0.0, y = x;
	for (int k = 0; k < FilterSection::kStages; ++k)
	{
		y = s.stages[k].process (y, channel);
		if (k + 1 == stageCount)
			below = y;
		else if (k == stageCount)
			above = y;
	}
	return below + stageFraction * (above - below);
}

template <typename Sample>
void AuditionFilterBank::processSamples (const Sample* const* inputs, Sample* const* outputs,
                                         int32_t channelCount, int32_t frameCount,
                                         uint64_t silenceFlags) noexcept
{
	const Sample* in[2] = {nullptr, nullptr};
	Sample* out[2] = {nullptr, nullptr};
	pickChannels (inputs, outputs, channelCount, silenceFlags, in, out);

	for (int32_t n = 0; n < frameCount; ++n)
	{
		const int32_t old = tickCountdown;
		tickCountdown = old - 1;
		if (old <= 0)
		{
			tickCountdown = 15;
			controlTick ();
		}
		if (dryRampLeft != 0)
		{
			dryGain += dryStep;
			if (--dryRampLeft == 0)
				dryGain = dryTarget;
		}

		double x[2] = {0.0, 0.0};
		double acc[2];
		for (int32_t c = 0; c < channelCount; ++c)
		{
			x[c] = in[c] ? static_cast<double> (in[c][n]) : 0.0; // read before any write
			acc[c] = x[c] * dryGain;
		}
		for (int i = 0; i < kSections; ++i)
		{
			FilterSection& s = sections[i];
			if (s.rampLeft != 0)
			{
				s.gain += s.gainStep;
				if (--s.rampLeft == 0)
					s.gain = s.gainTarget;
			}
			if (s.silent ())
				continue;
			for (int32_t c = 0; c < channelCount; ++c)
				acc[c] += sectionOutput (s, i, x[c], int (c)) * s.gain;
		}
		for (int32_t c = 0; c < channelCount; ++c)
			if (out[c])
				out[c][n] = static_cast<Sample> (acc[c]);
	}
}

template <typename Sample>
void AuditionFilterBank::processSpans (const Sample* const* inputs, Sample* const* outputs, int32_t channelCount,
                                       int32_t frameCount, uint64_t silenceFlags) noexcept
{
	const Sample* in[2] = {nullptr, nullptr};
	Sample* out[2] = {nullptr, nullptr};
	pickChannels (inputs, outputs, channelCount, silenceFlags, in, out);
	for (int32_t start = 0; start < frameCount;)
	{
		// A span runs from one sample to the next control tick, so the coefficients stay
		// the same throughout it.
		const int32_t old = tickCountdown;
		tickCountdown = old - 1;
		if (old <= 0)
		{
			tickCountdown = 15;
			controlTick ();
		}
		const int32_t untilTick = tickCountdown + 1;
		const int count = int (std::min (frameCount - start, untilTick));
		tickCountdown -= count - 1;

		const bool steady = channelCount == 2 ? steadySpan<2> (in, out, start, count)
		                                      : steadySpan<1> (in, out, start, count);
		if (steady)
			++fusedSpanCount;
		else if (channelCount == 2)
			fadingSpan<2> (in, out, start, count);
		else
			fadingSpan<1> (in, out, start, count);
		start += count;
	}
}

template <int Channels, typename Sample>
bool AuditionFilterBank::steadySpan (const Sample* const (&in)[2], Sample* const (&out)[2], int32_t start,
                                     int count) noexcept
{
	// Nothing fades, and what plays is one or two band runs, or the spectrum section. Every
	// change of selection restarts the dry path's fade, and a section's fade is never longer,
	// so while the dry path holds still no section fades either.
	if (dryRampLeft != 0)
		return false;
	FilterSection* playing[2] = {nullptr, nullptr};
	int found = 0;
	for (FilterSection& s : sections)
	{
		if (s.silent ())
			continue;
		if (found == 2)
			return false;
		playing[found++] = &s;
	}
	if (found == 0)
		return false;
	FilterSection& spectrum = sections[kSpectrumSection];
	if (playing[0] == &spectrum) // alone: a selection is the spectrum or band runs, never both
	{
		SpectrumChain<Channels> voice {spectrum.stages, stageCount, stageFraction};
		Chain<0, Channels> none (nullptr);
		runSteady<Channels> (in, out, start, count, dryGain, voice, spectrum.gain, none, 0.0);
		return true;
	}
	const double firstGain = playing[0]->gain;
	const double secondGain = playing[1] ? playing[1]->gain : 0.0;
	withBandChains<Channels> (playing[0], playing[1], [&] (auto& first, auto& second) {
		runSteady<Channels> (in, out, start, count, dryGain, first, firstGain, second, secondGain);
	});
	return true;
}

template <int Channels, typename Sample>
void AuditionFilterBank::fadingSpan (const Sample* const (&in)[2], Sample* const (&out)[2], int32_t start,
                                     int count) noexcept
{
	double x[2][kSpan] = {};
	double acc[2][kSpan] = {};
	double gains[kSections][kSpan];
	// Every input of the span is read before any output is written: in-place safe.
	for (int c = 0; c < Channels; ++c)
		if (in[c])
			std::copy (in[c] + start, in[c] + start + count, x[c]);
	for (int k = 0; k < count; ++k)
	{
		if (dryRampLeft != 0)
		{
			dryGain += dryStep;
			if (--dryRampLeft == 0)
				dryGain = dryTarget;
		}
		for (int c = 0; c < Channels; ++c)
			acc[c][k] = x[c][k] * dryGain;
	}

	// The sections add up in their order. Band runs that play throughout the span go two
	// at a time, side by side.
	FilterSection* waiting = nullptr;
	const double* waitingGains = nullptr;
	auto runWaiting = [&] (FilterSection* partner, const double* partnerGains) {
		runBands<Channels> (waiting, waitingGains, partner, partnerGains, x, acc, count);
		waiting = nullptr;
	};
	for (int i = 0; i < kSections; ++i)
	{
		FilterSection& s = sections[i];
		if (s.idle ())
			continue; // silent: costs nothing
		const bool throughout = stepGains (s, gains[i], count);
		if (throughout && i != kSpectrumSection)
		{
			if (waiting)
				runWaiting (&s, gains[i]);
			else
			{
				waiting = &s;
				waitingGains = gains[i];
			}
			continue;
		}
		if (waiting)
			runWaiting (nullptr, nullptr);
		// A fade ending in this span, or the spectrum while something else fades: sample by
		// sample, exactly as the plain loop does, sitting out the samples where it is silent.
		for (int k = 0; k < count; ++k)
			if (!(gains[i][k] == 0.0 && s.gainTarget == 0.0))
				for (int c = 0; c < Channels; ++c)
					acc[c][k] += sectionOutput (s, i, x[c][k], c) * gains[i][k];
	}
	if (waiting)
		runWaiting (nullptr, nullptr);

	for (int c = 0; c < Channels; ++c)
		if (out[c])
			for (int k = 0; k < count; ++k)
				out[c][start + k] = static_cast<Sample> (acc[c][k]);
}

bool AuditionFilterBank::stepGains (FilterSection& s, double* gains, int count) noexcept
{
	if (s.rampLeft == 0)
	{
		std::fill_n (gains, count, s.gain);
		return !s.silent ();
	}
	bool throughout = true;
	for (int k = 0; k < count; ++k)
	{
		if (s.rampLeft != 0)
		{
			s.gain += s.gainStep;
			if (--s.rampLeft == 0)
				s.gain = s.gainTarget;
		}
		gains[k] = s.gain;
		throughout = throughout && !s.silent ();
	}
	return throughout;
}

void AuditionFilterBank::process (const float* const* inputs, float* const* outputs, int32_t channelCount,
                                  int32_t frameCount, uint64_t silenceFlags) noexcept
{
	processSpans (inputs, outputs, channelCount, frameCount, silenceFlags);
}

void AuditionFilterBank::process (const double* const* inputs, double* const* outputs, int32_t channelCount,
                                  int32_t frameCount, uint64_t silenceFlags) noexcept
{
	processSpans (inputs, outputs, channelCount, frameCount, silenceFlags);
}

void AuditionFilterBank::processReference (const float* const* inputs, float* const* outputs,
                                           int32_t channelCount, int32_t frameCount, uint64_t silenceFlags) noexcept
{
	processSamples (inputs, outputs, channelCount, frameCount, silenceFlags);
}

void AuditionFilterBank::processReference (const double* const* inputs, double* const* outputs,
                                           int32_t channelCount, int32_t frameCount, uint64_t silenceFlags) noexcept
{
	processSamples (inputs, outputs, channelCount, frameCount, silenceFlags);
}

} // namespace tarvo
