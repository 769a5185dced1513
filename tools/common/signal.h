// Test signals and level measurement for our host and client.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

namespace tarvo::tools {

/** tones: 100, 500, 2500 and 10000 Hz together, one in each band of the default crossovers. */
enum class SignalKind { sine, noise, sweep, tones };

/** Generates one channel's worth of a test signal, sample by sample. */
class SignalGenerator
{
public:
	SignalGenerator (SignalKind kind, double sampleRate, double frequency, double levelDbfs,
	                 double sweepSeconds, uint32_t seed = 1);
	double next ();

private:
	SignalKind kind;
	double sampleRate;
	double frequency;
	double amplitude;
	double sweepSeconds;
	double phase {0.0};
	double tonePhases[4] {0.0, 0.0, 0.0, 0.0};
	uint64_t sampleIndex {0};
	uint32_t noiseState;
};

/** Peak and RMS of a stream of samples. */
struct LevelMeter
{
	double peak {0.0};
	double sumSquares {0.0};
	uint64_t count {0};

	void add (double v)
	{
		const double a = std::fabs (v);
		if (a > peak)
			peak = a;
		sumSquares += v * v;
		++count;
	}
	void reset () { *this = LevelMeter {}; }
	double rms () const { return count ? std::sqrt (sumSquares / double (count)) : 0.0; }
	double peakDbfs () const { return toDbfs (peak); }
	double rmsDbfs () const { return toDbfs (rms ()); }
	static double toDbfs (double v) { return v > 0.0 ? 20.0 * std::log10 (v) : -INFINITY; }
};

std::string formatDbfs (double dbfs);

} // namespace tarvo::tools
