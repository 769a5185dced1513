// The magnitude responses the audition filter bank really produces, measured by running it
// on sines: each Band Solo band at the default crossovers (250 Hz, 1 kHz, 6 kHz) and the
// spectrum audition at 1 kHz for a few widths. Prints one row per frequency: the frequency
// in Hz, then the gain in dB of each curve, as a table a plotting program reads.
#include "audition/auditionfilterbank.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

using namespace tarvo;

namespace {

constexpr double kRate = 48000.0;
constexpr double kPi = 3.14159265358979323846;

struct Curve
{
	const char* name;
	uint32_t mask;
	bool spectrum;
	double width;
};

/** The steady-state gain at `hz`: the fade and any glide settle first, then the power of a
    whole number of periods is compared with the input's. */
double gainDb (const Curve& curve, double hz)
{
	auto bank = std::make_unique<AuditionFilterBank> ();
	bank->reset (kRate);
	if (curve.spectrum)
		bank->select (1000.0, curve.width, 0.0, 16, true);
	else
		bank->select (250.0, 1000.0, 6000.0, curve.mask, false);
	const int settle = 24000 + int (8.0 * kRate / hz); // 0.5 s, and the slowest filters' tails
	const int periods = std::max (1, int (std::ceil (0.1 * hz)));
	const int measure = int (std::lround (periods * kRate / hz));
	std::vector<double> in (size_t (settle + measure)), out (in.size ());
	for (size_t n = 0; n < in.size (); ++n)
		in[n] = std::sin (2.0 * kPi * hz * double (n) / kRate);
	const double* ins[1] = {in.data ()};
	double* outs[1] = {out.data ()};
	bank->process (ins, outs, 1, int32_t (in.size ()), 0);
	double power = 0.0, reference = 0.0;
	for (size_t n = size_t (settle); n < out.size (); ++n)
	{
		power += out[n] * out[n];
		reference += in[n] * in[n];
	}
	return std::max (-120.0, 10.0 * std::log10 (power / reference));
}

} // namespace

int main ()
{
	const Curve curves[] = {
	    {"band 0", 0b0001, false, 0.0},        {"band 1", 0b0010, false, 0.0},        {"band 2", 0b0100, false, 0.0},
	    {"band 3", 0b1000, false, 0.0},        {"spectrum width 0.44", 0, true, 0.44}, {"spectrum width 0.6", 0, true, 0.6},
	    {"spectrum width 0.85", 0, true, 0.85}, {"spectrum width 0.95", 0, true, 0.95},
	};
	std::printf ("# Hz");
	for (const Curve& c : curves)
		std::printf ("\t%s", c.name);
	std::printf ("\n");
	constexpr int kPoints = 160;
	for (int i = 0; i <= kPoints; ++i)
	{
		const double hz = 20.0 * std::pow (1000.0, double (i) / kPoints); // 20 Hz to 20 kHz
		std::printf ("%.2f", hz);
		for (const Curve& c : curves)
			std::printf ("\t%.3f", gainDb (c, hz));
		std::printf ("\n");
	}
	return 0;
}
