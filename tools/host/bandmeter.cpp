#include "bandmeter.h"

#include <cmath>
#include <cstdio>

namespace tarvo::host {

BandMeter::BandMeter (std::array<double, 3> frequencies, double sampleRate, int channels, int maxFrames)
: crossovers (frequencies), scratch (size_t (channels), std::vector<double> (size_t (maxFrames)))
{
	for (uint32_t band = 0; band < 4; ++band)
	{
		auto bank = std::make_unique<AuditionFilterBank> ();
		bank->reset (sampleRate);
		bank->select (crossovers[0], crossovers[1], crossovers[2], 1u << band, false);
		banks.push_back (std::move (bank));
	}
}

void BandMeter::add (const std::vector<std::vector<double>>& channels, int frames)
{
	std::vector<const double*> in;
	std::vector<double*> out;
	for (size_t c = 0; c < channels.size (); ++c)
	{
		in.push_back (channels[c].data ());
		out.push_back (scratch[c].data ());
	}
	for (size_t band = 0; band < 4; ++band)
	{
		banks[band]->process (in.data (), out.data (), int32_t (channels.size ()), frames, 0);
		for (size_t c = 0; c < channels.size (); ++c)
			for (int f = 0; f < frames; ++f)
				sumSquares[band] += scratch[c][size_t (f)] * scratch[c][size_t (f)];
	}
	count += uint64_t (frames) * channels.size ();
}

std::string BandMeter::report ()
{
	auto hz = [] (double f) {
		char text[16];
		if (f >= 1000.0)
			std::snprintf (text, sizeof text, "%gk", f / 1000.0);
		else
			std::snprintf (text, sizeof text, "%g", f);
		return std::string (text);
	};
	const std::string names[4] = {"<" + hz (crossovers[0]), hz (crossovers[0]) + "-" + hz (crossovers[1]),
	                              hz (crossovers[1]) + "-" + hz (crossovers[2]), ">" + hz (crossovers[2])};
	std::string line = "bands dBFS RMS";
	for (size_t band = 0; band < 4; ++band)
	{
		const double rms = count ? std::sqrt (sumSquares[band] / double (count)) : 0.0;
		char text[64];
		if (rms > 0.0)
			std::snprintf (text, sizeof text, "  %s %6.1f", names[band].c_str (), 20.0 * std::log10 (rms));
		else
			std::snprintf (text, sizeof text, "  %s   -inf", names[band].c_str ());
		line += text;
		sumSquares[band] = 0.0;
	}
	count = 0;
	return line;
}

} // namespace tarvo::host
