// The audition filters judged by what they do to signals, and the fast loop against the
// plain one.
#include "audition/auditionfilterbank.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

using namespace tarvo;

namespace {

constexpr double kPi = 3.14159265358979323846;
const double kNan = std::numeric_limits<double>::quiet_NaN ();
const double kInf = std::numeric_limits<double>::infinity ();

std::unique_ptr<AuditionFilterBank> makeBank (double rate = 48000.0)
{
	auto bank = std::make_unique<AuditionFilterBank> ();
	bank->reset (rate);
	return bank;
}

/** Runs `frames` samples of x(startIndex + n), the same on every channel, through the bank
    in calls of `block` frames (one call when 0); returns the outputs, which every channel
    writes to the same place. */
template <typename Sample = double, typename F>
std::vector<double> run (AuditionFilterBank& bank, int frames, F&& x, int startIndex = 0, int channels = 1, int block = 0)
{
	std::vector<Sample> in (static_cast<size_t> (frames)), out (in.size ());
	for (int n = 0; n < frames; ++n)
		in[size_t (n)] = Sample (x (startIndex + n));
	const int step = block ? block : frames;
	for (int at = 0; at < frames; at += step)
	{
		const Sample* ins[2] = {&in[size_t (at)], &in[size_t (at)]};
		Sample* outs[2] = {&out[size_t (at)], &out[size_t (at)]};
		bank.process (ins, outs, channels, std::min (step, frames - at), 0);
	}
	return std::vector<double> (out.begin (), out.end ());
}
const auto silence = [] (int) { return 0.0; };

/** Steady-state gain in dB at `hz` once the fade and any glide have settled. */
double gainDb (AuditionFilterBank& bank, double hz)
{
	auto sine = [&] (int n) { return std::sin (2.0 * kPi * hz * n / 48000.0); };
	run (bank, 28800, sine);
	const auto out = run (bank, 24000, sine, 28800);
	double energy = 0.0;
	for (double v : out)
		energy += v * v;
	return 10.0 * std::log10 (energy / 24000.0 / 0.5);
}

} // namespace

TEST (FilterBank, OneSectionPerRunOfAdjacentBandsAndTheResponsesOfTheRunsAndTheSpectrumSection)
{
	// Sections in order: bands 0, 0-1, 0-2, 1, 1-2, 1-3, 2, 2-3, 3, then the spectrum. All
	// four bands, or none, is full audio: idle at once, with no section.
	const struct { uint32_t mask; std::vector<int> sections; } cases[] = {
	    {0b0001, {0}},    {0b0011, {1}},    {0b0111, {2}},    {0b0010, {3}},    {0b0110, {4}},    {0b1110, {5}},
	    {0b0100, {6}},    {0b1100, {7}},    {0b1000, {8}},    {0b0101, {0, 6}}, {0b1001, {0, 8}}, {0b1011, {1, 8}},
	    {0b1101, {0, 7}}, {0b1010, {3, 8}}, {0b0000, {}},     {0b1111, {}}};
	for (const auto& c : cases)
	{
		auto bank = makeBank ();
		bank->select (250.0, 1000.0, 6000.0, c.mask, false);
		std::vector<int> on;
		for (int i = 0; i < AuditionFilterBank::kSections; ++i)
			if (bank->section (i).gainTarget == 1.0)
				on.push_back (i);
		EXPECT_EQ (on, c.sections) << "mask " << c.mask;
		EXPECT_EQ (bank->selection (), c.mask == 15 ? 0u : c.mask);
		EXPECT_EQ (bank->isIdle (), c.sections.empty ());
	}

	auto idle = makeBank ();
	EXPECT_EQ (std::make_tuple (idle->isIdle (), idle->rampLength (), idle->spectrumStages (), idle->spectrumStageFraction ()),
	           std::make_tuple (true, 720u, 9, 0.5));
	EXPECT_EQ (makeBank (44100.0)->rampLength (), 661u);

	// Band 1: fourth-order Butterworth high-pass at 250 Hz and low-pass at 1 kHz.
	auto band = makeBank ();
	band->select (250.0, 1000.0, 6000.0, 0b0010, false);
	const struct { double hz, db, tolerance; } points[] = {
	    {250.0, -3.01, 0.05}, {1000.0, -3.01, 0.1}, {500.0, -0.03, 0.03}, {125.0, -24.0, 0.5}, {2000.0, -24.0, 0.5}};
	for (const auto& p : points)
		EXPECT_NEAR (gainDb (*band, p.hz), p.db, p.tolerance) << p.hz << " Hz";

	// The spectrum section: unity at the centre, its -3 dB band (where given) widening with
	// the width, and once the width has glided home its stage count and Q following it.
	const struct { double width; int stages; double fraction, q, qTolerance, low, high; } widths[] = {
	    {0.44, 12, 0.7, 0.6385832346165985, 1e-12, 834, 1200}, {0.6, 9, 0.5, 0.5393227520296271, 1e-12, 781, 1281},
	    {0.85, 6, 0.75, 0.4265987842441932, 1e-12, 691, 1447}, {0.9, 6, 0.75, 0.1264, 1e-4, 345, 2878},
	    {0.5, 11, 0.3, 0.599129078725966, 1e-12, 0, 0},        {0.95, 6, 0.75, 0.0158, 1e-4, 0, 0},
	    {0.9999, 6, 0.75, 1.26e-10, 1e-12, 0, 0},
	};
	for (const auto& w : widths)
	{
		SCOPED_TRACE (w.width);
		auto bank = makeBank ();
		bank->select (1000.0, w.width, 0.0, 16, true);
		EXPECT_NEAR (gainDb (*bank, 1000.0), 0.0, 0.05);
		EXPECT_EQ (std::make_pair (bank->spectrumWidth (), bank->spectrumStages ()), std::make_pair (w.width, w.stages));
		EXPECT_NEAR (bank->spectrumStageFraction (), w.fraction, 1e-9);
		EXPECT_NEAR (bank->spectrumQ (), w.q, w.qTolerance);
		if (w.low == 0.0)
			continue;
		EXPECT_NEAR (gainDb (*bank, w.low), -3.0, 0.15);
		EXPECT_NEAR (gainDb (*bank, w.high), -3.0, 0.15);
	}

	// Two separate runs (bands 0 and 2) play side by side: their outputs add. (A bank fresh
	// from its constructor is one reset at 48 kHz, gliding included.)
	auto both = std::make_unique<AuditionFilterBank> (), low = makeBank (), mid = makeBank ();
	both->select (300.0, 1000.0, 6000.0, 0b0101, false);
	low->select (300.0, 1000.0, 6000.0, 0b0001, false);
	mid->select (300.0, 1000.0, 6000.0, 0b0100, false);
	auto noise = [] (int n) { return std::sin (n * 0.37) * std::cos (n * 0.011) * 0.5; };
	const auto a = run (*both, 4000, noise), b = run (*low, 4000, noise), c = run (*mid, 4000, noise);
	for (size_t n = 720; n < a.size (); ++n) // once the dry path has faded out
		ASSERT_NEAR (a[n], b[n] + c[n], 1e-12);
}

TEST (FilterBank, ClampingOfCrossoversCentresAndWidths)
{
	const struct { std::array<double, 3> asked, expected; } crossovers[] = {
	    {{100.0, 110.0, 120.0}, {100.0, 120.0, 144.0}},
	    {{20000.0, 20000.0, 20000.0}, {11574.074074074, 13888.888888889, 16666.666666667}},
	    {{kNan, 10.0, kNan}, {11574.074074074, 13888.888888889, 16666.666666667}}, // NaN takes the top
	    {{10.0, 40.0, 6000.0}, {25.0, 40.0, 6000.0}},
	};
	for (const auto& c : crossovers)
	{
		const auto got = AuditionFilterBank::clampCrossovers (c.asked, 48000.0);
		for (int i = 0; i < 3; ++i)
			EXPECT_NEAR (got[size_t (i)], c.expected[size_t (i)], 1e-6) << c.asked[0] << " " << i;
	}

	const struct { double rate, centre, width, expectedCentre, expectedWidth; } spectra[] = {
	    {48000.0, 30000.0, 0.3, 20000.0, 0.44}, {32000.0, 30000.0, 0.95, 15360.0, 0.95},
	    {48000.0, 10.0, kNan, 20.0, 0.44},      {48000.0, kNan, 0.99995, 20000.0, 0.9999}};
	for (const auto& c : spectra)
	{
		auto bank = makeBank (c.rate);
		bank->select (c.centre, c.width, 0.0, 16, true);
		run (*bank, int (c.rate), silence);
		EXPECT_DOUBLE_EQ (bank->centreFrequency (), c.expectedCentre) << c.centre << " Hz at " << c.rate;
		EXPECT_DOUBLE_EQ (bank->spectrumWidth (), c.expectedWidth) << c.width;
	}
	// Width 1.0 or more: spectrum asked for, nothing switched on; band mode keeps the width.
	for (double width : {1.0, 3.0})
	{
		auto bank = makeBank ();
		bank->select (1000.0, width, 0.0, 16, true);
		EXPECT_TRUE (bank->isIdle ()) << width;
		bank->select (300.0, 1000.0, 6000.0, 0b0001, false);
		run (*bank, 48000, silence);
		EXPECT_EQ (bank->spectrumWidth (), 0.9999);
		EXPECT_EQ (bank->crossovers ()[0], 300.0);
	}
}

TEST (FilterBank, GlidesTickEverySixteenSamplesAndFadesTakeFifteenMilliseconds)
{
	auto bank = makeBank ();
	bank->select (250.0, 1000.0, 6000.0, 0b0010, false);
	run (*bank, 723, silence); // the fade, and a tick count that is not a multiple of 16
	bank->select (500.0, 1000.0, 6000.0, 0b0010, false); // same mask: only the target moves

	std::vector<int> tickSamples;
	double firstStep = 0.0;
	int withinOnePercent = 0;
	for (int n = 0; n < 20000 && bank->crossovers ()[0] != 500.0; ++n)
	{
		const double before = bank->crossovers ()[0];
		run (*bank, 1, silence);
		const double after = bank->crossovers ()[0];
		if (after == before)
			continue;
		tickSamples.push_back (n);
		if (tickSamples.size () == 1)
			firstStep = after;
		if (!withinOnePercent && std::fabs (after - 500.0) <= 2.5) // 1 % of the 250 Hz step
			withinOnePercent = int (tickSamples.size ());
	}
	EXPECT_NEAR (firstStep, 258.196, 0.001);
	EXPECT_EQ (withinOnePercent, 139);
	ASSERT_EQ (tickSamples.size (), 581u); // snaps at the 581st tick
	EXPECT_EQ (tickSamples[0], 13);         // ticks counted on across calls: 723 = 45 x 16 + 3
	EXPECT_EQ (tickSamples.back () - tickSamples[0], 580 * 16);

	// Each crossover is heard where it glided to: moved up an octave, it lets through a
	// tone half an octave above its old place that the band held back before.
	for (size_t k = 0; k < 3; ++k)
	{
		SCOPED_TRACE (k);
		std::array<double, 3> crossovers {250.0, 1000.0, 6000.0};
		const double tone = crossovers[k] * std::sqrt (2.0);
		auto moved = makeBank ();
		moved->select (crossovers[0], crossovers[1], crossovers[2], 1u << k, false); // the band below crossover k
		EXPECT_LT (gainDb (*moved, tone), -10.0);
		crossovers[k] *= 2.0;
		moved->select (crossovers[0], crossovers[1], crossovers[2], 1u << k, false);
		EXPECT_GT (gainDb (*moved, tone), -0.5);
	}

	// A fade takes exactly 720 samples at 48 kHz and is continuous.
	auto fade = makeBank ();
	auto sine = [] (int n) { return 0.5 * std::sin (2.0 * kPi * 500.0 * n / 48000.0); };
	auto largestStep = [] (const std::vector<double>& out) {
		double largest = 0.0;
		for (size_t n = 1; n < out.size (); ++n)
			largest = std::max (largest, std::fabs (out[n] - out[n - 1]));
		return largest;
	};
	fade->select (250.0, 1000.0, 6000.0, 0b0001, false);
	EXPECT_LT (largestStep (run (*fade, 719, sine)), 0.036); // a 500 Hz sine of 0.5 moves at most 0.0327 per sample
	EXPECT_GT (fade->dryLevel (), 0.0);
	run (*fade, 1, sine);
	EXPECT_EQ (fade->dryLevel (), 0.0);

	// From band 0 to bands 0 and 1: one section fades out, the other in, the dry path shut.
	fade->select (250.0, 1000.0, 6000.0, 0b0011, false);
	run (*fade, 360, sine);
	EXPECT_NEAR (fade->section (0).gain, 0.5, 1e-9);
	EXPECT_NEAR (fade->section (1).gain, 0.5, 1e-9);
	EXPECT_EQ (fade->dryLevel (), 0.0);
	run (*fade, 360, sine);
	EXPECT_EQ (std::make_pair (fade->section (0).gain, fade->section (1).gain), std::make_pair (0.0, 1.0));
	fade->select (250.0, 1000.0, 6000.0, 0, false); // back to full audio: idle, exactly
	run (*fade, 720, sine);
	EXPECT_TRUE (fade->isIdle ());

	// Switched back on while it fades out, a section keeps its memories: the output moves on
	// without a step.
	fade->select (250.0, 1000.0, 6000.0, 0b0010, false);
	run (*fade, 1440, sine);
	fade->select (250.0, 1000.0, 6000.0, 0b0100, false);
	std::vector<double> turn = run (*fade, 200, sine, 1440);
	fade->select (250.0, 1000.0, 6000.0, 0b0010, false);
	const auto back = run (*fade, 200, sine, 1640);
	turn.insert (turn.end (), back.begin (), back.end ());
	EXPECT_LT (largestStep (turn), 0.036);

	// A section switched on again from silence is designed from the crossovers it glided
	// to while it was silent, and with fresh memories (silence in gives silence out).
	auto again = makeBank ();
	again->select (250.0, 1000.0, 6000.0, 0b0010, false);
	run (*again, 1440, [] (int n) { return std::sin (n * 0.1); });
	again->select (500.0, 2000.0, 6000.0, 0, false);
	run (*again, 48000, silence);
	again->select (500.0, 2000.0, 6000.0, 0b0010, false);
	EXPECT_EQ (run (*again, 720, silence), std::vector<double> (720, 0.0));
	EXPECT_NEAR (gainDb (*again, 500.0), -3.01, 0.05);

	// Once a fade is over every span runs fused, for one band run, two, or the spectrum.
	for (const uint32_t mask : {0b0010u, 0b0101u, 16u})
	{
		auto steady = makeBank ();
		steady->select (mask == 16 ? 1000.0 : 250.0, mask == 16 ? 0.6 : 1000.0, 6000.0, mask, mask == 16);
		run (*steady, 720, silence);
		EXPECT_EQ (steady->fusedSpans (), 0u);
		run (*steady, 1600, silence);
		EXPECT_EQ (steady->fusedSpans (), 100u) << mask;
	}

	// Selections changing faster than the fade never leave a denormal dry gain behind.
	for (int block = 0; block < 3000; ++block)
	{
		fade->select (250.0, 1000.0, 6000.0, block % 2 ? 0b0011 : 0b0001, false);
		run (*fade, 512, sine);
		ASSERT_NE (std::fpclassify (fade->dryLevel ()), FP_SUBNORMAL) << "block " << block;
	}
	EXPECT_EQ (fade->dryLevel (), 0.0);
}

TEST (FilterBank, ANonFiniteBurstLeavesNoTrace)
{
	// Whatever the burst ends on, the memories must not keep it: from the first finite
	// sample on every output is finite, and a long silence decays without denormals.
	for (const bool spectrum : {false, true})
		for (const double last : {kInf, -kInf, kNan})
			for (const int channels : {1, 2})
				for (const bool single : {false, true})
				{
					SCOPED_TRACE (testing::Message () << spectrum << " " << last << " " << channels << " " << single);
					auto bank = makeBank ();
					bank->select (spectrum ? 1000.0 : 250.0, spectrum ? 0.44 : 1000.0, 6000.0, spectrum ? 16 : 0b0010, spectrum);
					auto input = [last] (int i) {
						return i < 2048 ? std::sin (i * 0.1) : i < 2303 ? (i % 2 ? kNan : -kInf) : i == 2303 ? last : i < 4000 ? std::sin (i * 0.2) : 0.0;
					};
					const auto out = single ? run<float> (*bank, 400 * 256, input, 0, channels, 256)
					                        : run (*bank, 400 * 256, input, 0, channels, 256);
					for (size_t n = 2304; n < out.size (); ++n)
					{
						ASSERT_TRUE (std::isfinite (out[n])) << n;
						ASSERT_NE (std::fpclassify (out[n]), FP_SUBNORMAL) << n;
					}
					EXPECT_LT (std::fabs (out.back ()), 1e-20);
				}

	// Silent-flagged and missing input channels read as zeros; missing outputs are skipped.
	auto bank = makeBank ();
	bank->select (1000.0, 0.44, 0.0, 16, true);
	std::vector<double> loud (256, 1.0), out0 (256, 9.0), out1 (256, 9.0);
	const double* ins[2] = {loud.data (), nullptr};
	double* outs[2] = {out0.data (), out1.data ()};
	bank->process (ins, outs, 2, 256, 0b01);
	for (size_t n = 0; n < 256; ++n)
		ASSERT_EQ (out0[n] + out1[n], 0.0);
	double* noOutputs[2] = {nullptr, nullptr};
	bank->process (ins, noOutputs, 2, 256, 0);
}

TEST (FilterBank, SpansMatchThePlainLoopBitForBit)
{
	// Random selections (fades, crossfades, glides of crossovers, centres and widths),
	// block sizes, silence flags, missing channels and the odd infinite sample, in 32 and
	// 64 bits, mono and stereo, in place and not: the span loop and the plain loop give
	// the very same bits, and 32-bit output is the 64-bit one rounded.
	std::mt19937 random (11);
	auto uniform = [&] (double low, double high) { return low + (high - low) * double (random ()) / double (random.max ()); };
	for (int trial = 0; trial < 8; ++trial)
	{
		const int channels = 1 + trial % 2;
		const bool inPlace = (trial / 2) % 2;
		const double rate = trial / 4 ? 44100.0 : 96000.0;
		SCOPED_TRACE (testing::Message () << channels << " ch, " << (inPlace ? "in place" : "separate") << ", " << rate);
		std::unique_ptr<AuditionFilterBank> banks[4] = {makeBank (rate), makeBank (rate), makeBank (rate), makeBank (rate)};
		for (int block = 0; block < 120; ++block)
		{
			if (random () % 3 == 0)
			{
				const uint32_t mask = random () % 17;
				const double a = uniform (20.0, 3000.0), b = uniform (0.3, 1.1), c = uniform (100.0, 19000.0);
				for (auto& bank : banks)
					bank->select (a, mask == 16 ? b : a * 2.0, c, mask, mask == 16);
			}
			const int frames = 1 + int (random () % 600);
			const uint64_t silence = random () % 5 == 0 ? random () % 4 : 0;
			const bool missing = random () % 9 == 0;
			std::vector<double> source (size_t (2 * frames));
			for (double& v : source)
				v = random () % 4000 == 0 ? kInf : double (float (uniform (-1.0, 1.0)));
			// Runs banks[first] with process and banks[first + 1] with processReference.
			auto runBoth = [&] (auto zero, int first) {
				using Sample = decltype (zero);
				std::vector<Sample> a (source.begin (), source.end ()), b = a;
				std::vector<Sample> outA (a.size (), Sample (7)), outB = outA;
				const Sample* inA[2] = {a.data (), missing ? nullptr : a.data () + frames};
				const Sample* inB[2] = {b.data (), missing ? nullptr : b.data () + frames};
				Sample* toA[2] = {inPlace ? a.data () : outA.data (), (inPlace ? a.data () : outA.data ()) + frames};
				Sample* toB[2] = {inPlace ? b.data () : outB.data (), (inPlace ? b.data () : outB.data ()) + frames};
				banks[first]->process (inA, toA, channels, frames, silence);
				banks[first + 1]->processReference (inB, toB, channels, frames, silence);
				EXPECT_EQ (std::memcmp (toA[0], toB[0], sizeof (Sample) * size_t (2 * frames)), 0) << "block " << block;
				return std::vector<Sample> (toA[0], toA[0] + 2 * frames);
			};
			const auto wide = runBoth (0.0, 0);
			const auto narrow = runBoth (0.0f, 2);
			for (size_t n = 0; n < size_t (channels * frames); ++n)
				ASSERT_TRUE (narrow[n] == float (wide[n]) || (std::isnan (wide[n]) && std::isnan (narrow[n])))
				    << "block " << block << " sample " << n << ": " << narrow[n] << " for " << wide[n];
			if (testing::Test::HasFailure ())
				return;
		}
	}
}
