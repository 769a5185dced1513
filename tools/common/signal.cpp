#include "signal.h"

#include <cstdio>

namespace tarvo::tools {

namespace {
constexpr double kTwoPi = 6.283185307179586476925286766559;
}

SignalGenerator::SignalGenerator (SignalKind k, double rate, double freq, double levelDbfs,
                                  double sweepLength, uint32_t seed)
: kind (k)
, sampleRate (rate)
, frequency (freq)
, amplitude (std::pow (10.0, levelDbfs / 20.0))
, sweepSeconds (sweepLength > 0.0 ? sweepLength : 1.0)
, noiseState (seed ? seed : 1)
{
}

double SignalGenerator::next ()
{
	double value = 0.0;
	switch (kind)
	{
		case SignalKind::sine:
			value = std::sin (phase);
			phase += kTwoPi * frequency / sampleRate;
			break;
		case SignalKind::noise:
		{
			// xorshift32: repeatable white noise, uniform in [-1, 1).
			noiseState ^= noiseState << 13;
			noiseState ^= noiseState >> 17;
			noiseState ^= noiseState << 5;
			value = noiseState / 2147483648.0 - 1.0;
			break;
		}
		case SignalKind::tones:
		{
			static constexpr double kTones[4] = {100.0, 500.0, 2500.0, 10000.0};
			for (int k = 0; k < 4; ++k)
			{
				value += 0.25 * std::sin (tonePhases[k]);
				tonePhases[k] = std::fmod (tonePhases[k] + kTwoPi * kTones[k] / sampleRate, kTwoPi);
			}
			break;
		}
		case SignalKind::sweep:
		{
			// Logarithmic sweep from 20 Hz to 20 kHz, restarting every sweepSeconds.
			const double t = std::fmod (double (sampleIndex) / sampleRate, sweepSeconds);
			const double f = 20.0 * std::pow (1000.0, t / sweepSeconds);
			value = std::sin (phase);
			phase += kTwoPi * f / sampleRate;
			break;
		}
	}
	if (phase > kTwoPi)
		phase -= kTwoPi;
	++sampleIndex;
	return value * amplitude;
}

std::string formatDbfs (double dbfs)
{
	if (!std::isfinite (dbfs))
		return "-inf dBFS";
	char text[32];
	std::snprintf (text, sizeof text, "%.2f dBFS", dbfs);
	return text;
}

} // namespace tarvo::tools
