// Levels of the host's output in the four solo bands, measured with the plug-in's own
// band filters: one filter bank per band, each playing that band alone.
#pragma once

#include "audition/auditionfilterbank.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace tarvo::host {

class BandMeter
{
public:
	BandMeter (std::array<double, 3> crossovers, double sampleRate, int channels, int maxFrames);

	/** Adds one block of output, channel-major. */
	void add (const std::vector<std::vector<double>>& channels, int frames);
	/** "band 0 <250: -12.0 | ..." with the RMS in dBFS since the last report; resets. */
	std::string report ();

private:
	std::array<double, 3> crossovers;
	std::vector<std::unique_ptr<AuditionFilterBank>> banks;
	std::array<double, 4> sumSquares {};
	uint64_t count {0};
	std::vector<std::vector<double>> scratch;
};

} // namespace tarvo::host
