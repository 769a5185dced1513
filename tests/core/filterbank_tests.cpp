// The audition filters judged by what they do to signals, not by their formulas.
#include "audition/auditionfilterbank.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

using namespace tarvo;

namespace {

constexpr double kPi = 3.14159265358979323846;

std::unique_ptr<AuditionFilterBank> makeBank (double rate = 48000.0)
{
	auto bank = std::make_unique<AuditionFilterBank> ();
	bank->reset (rate);
	return bank;
}

/** Runs `frames` mono samples of x(n) through the bank; returns the outputs. */
template <typename F>
std::vector<double> run (AuditionFilterBank& bank, int frames, F&& x, int startIndex = 0)
{
	std::vector<double> in (static_cast<size_t> (frames)), out (static_cast<size_t> (frames));
	for (int n = 0; n < frames; ++n)
		in[size_t (n)] = x (startIndex + n);
	const double* ins[1] = {in.data ()};
	double* outs[1] = {out.data ()};
	bank.process (ins, outs, 1, frames, 0);
	return out;
}

/** Steady-state gain in dB at `hz` after the ramp and any glide have settled. */
double gainDb (AuditionFilterBank& bank, double hz, double rate = 48000.0)
{
	auto sine = [&] (int n) { return std::sin (2.0 * kPi * hz * n / rate); };
	run (bank, int (rate * 0.6), sine);
	const int measure = int (rate * 0.5);
	const auto out = run (bank, measure, sine, int (rate * 0.6));
	double energy = 0.0;
	for (double v : out)
		energy += v * v;
	return 10.0 * std::log10 (energy / measure / 0.5);
}

/** Runs a signal through the bank in blocks, as 32- or 64-bit samples, on one or two
    channels (the second a copy of the first); returns channel 0's output. */
std::vector<double> processBlocks (AuditionFilterBank& bank, const std::vector<double>& signal, int channels,
                                   bool single, int block)
{
	std::vector<double> result (signal.size ());
	for (size_t start = 0; start < signal.size (); start += size_t (block))
	{
		const int frames = int (std::min (signal.size () - start, size_t (block)));
		if (single)
		{
			std::vector<float> in (signal.begin () + long (start), signal.begin () + long (start) + frames), out0 (static_cast<size_t> (frames)), out1 (static_cast<size_t> (frames));
			const float* ins[2] = {in.data (), in.data ()};
			float* outs[2] = {out0.data (), out1.data ()};
			bank.process (ins, outs, channels, frames, 0);
			std::copy (out0.begin (), out0.end (), result.begin () + long (start));
		}
		else
		{
			std::vector<double> out0 (static_cast<size_t> (frames)), out1 (static_cast<size_t> (frames));
			const double* ins[2] = {signal.data () + start, signal.data () + start};
			double* outs[2] = {out0.data (), out1.data ()};
			bank.process (ins, outs, channels, frames, 0);
			std::copy (out0.begin (), out0.end (), result.begin () + long (start));
		}
	}
	return result;
}

} // namespace

TEST (FilterBank, ResetLeavesItIdle)
{
	auto bank = makeBank ();
	EXPECT_TRUE (bank->isIdle ());
	EXPECT_EQ (bank->rampLength (), 720u);
	EXPECT_EQ (makeBank (44100.0)->rampLength (), 661u);
	EXPECT_EQ (bank->spectrumStages (), 9);
	EXPECT_NEAR (bank->spectrumStageFraction (), 0.5, 1e-9);
}

TEST (FilterBank, BandOneIsAFourthOrderBandPassBetweenTheCrossovers)
{
	auto bank = makeBank ();
	bank->select (250.0, 1000.0, 6000.0, 0b0010, false);
	EXPECT_EQ (bank->section (3).gainTarget, 1.0);
	EXPECT_NEAR (gainDb (*bank, 250.0), -3.01, 0.05);
	EXPECT_NEAR (gainDb (*bank, 1000.0), -3.01, 0.1);
	EXPECT_NEAR (gainDb (*bank, 500.0), -0.03, 0.03);
	EXPECT_NEAR (gainDb (*bank, 125.0), -24.0, 0.5);
	EXPECT_NEAR (gainDb (*bank, 2000.0), -24.0, 0.5);
	EXPECT_EQ (bank->dryLevel (), 0.0);
}

TEST (FilterBank, SpectrumPassbandNarrowsWithWidth)
{
	struct Case
	{
		double width, low, high;
	} cases[] = {{0.44, 834, 1200}, {0.6, 781, 1281}, {0.85, 691, 1447}, {0.9, 345, 2878}};
	for (const auto& c : cases)
	{
		SCOPED_TRACE (c.width);
		auto bank = makeBank ();
		bank->select (1000.0, c.width, 0.0, 16, true);
		EXPECT_NEAR (gainDb (*bank, 1000.0), 0.0, 0.05);
		EXPECT_NEAR (gainDb (*bank, c.low), -3.0, 0.15);
		EXPECT_NEAR (gainDb (*bank, c.high), -3.0, 0.15);
		EXPECT_LT (gainDb (*bank, c.low * 0.7), -4.5);
	}
}

TEST (FilterBank, StageCountsAndQFollowTheWidth)
{
	struct Case
	{
		double width;
		int stages;
		double fraction, q, qTolerance;
	} cases[] = {
	    {0.6, 9, 0.5, 0.5393227520296271, 1e-12},  {0.44, 12, 0.7, 0.6385832346165985, 1e-12},
	    {0.85, 6, 0.75, 0.4265987842441932, 1e-12}, {0.9, 6, 0.75, 0.1264, 1e-4},
	    {0.95, 6, 0.75, 0.0158, 1e-4},              {0.9999, 6, 0.75, 1.26e-10, 1e-12},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE (c.width);
		auto bank = makeBank ();
		bank->select (1000.0, c.width, 0.0, 16, true);
		run (*bank, 48000, [] (int) { return 0.0; }); // let the width glide home
		EXPECT_EQ (bank->spectrumWidth (), c.width);
		EXPECT_EQ (bank->spectrumStages (), c.stages);
		EXPECT_NEAR (bank->spectrumStageFraction (), c.fraction, 1e-9);
		EXPECT_NEAR (bank->spectrumQ (), c.q, c.qTolerance);
	}
}

TEST (FilterBank, ClampingOfCrossoversCentresAndWidths)
{
	auto clamped = AuditionFilterBank::clampCrossovers ({100.0, 110.0, 120.0}, 48000.0);
	EXPECT_DOUBLE_EQ (clamped[0], 100.0);
	EXPECT_DOUBLE_EQ (clamped[1], 120.0);
	EXPECT_DOUBLE_EQ (clamped[2], 144.0);
	clamped = AuditionFilterBank::clampCrossovers ({20000.0, 20000.0, 20000.0}, 48000.0);
	EXPECT_NEAR (clamped[0], 11574.074074, 1e-5);
	EXPECT_NEAR (clamped[1], 13888.888889, 1e-5);
	EXPECT_NEAR (clamped[2], 16666.666667, 1e-5);
	const double nan = std::numeric_limits<double>::quiet_NaN ();
	clamped = AuditionFilterBank::clampCrossovers ({nan, 10.0, nan}, 48000.0);
	EXPECT_NEAR (clamped[0], 11574.074074, 1e-5); // NaN takes the upper limit
	EXPECT_NEAR (clamped[1], 13888.888889, 1e-5); // below the lower limit: lifted
	EXPECT_NEAR (clamped[2], 16666.666667, 1e-5);

	struct Centre
	{
		double rate, asked, expected;
	} centres[] = {{48000.0, 30000.0, 20000.0}, {32000.0, 30000.0, 15360.0}, {48000.0, 10.0, 20.0}, {48000.0, nan, 20000.0}};
	for (const auto& c : centres)
	{
		auto bank = makeBank (c.rate);
		bank->select (c.asked, 0.6, 0.0, 16, true);
		run (*bank, int (c.rate), [] (int) { return 0.0; });
		EXPECT_DOUBLE_EQ (bank->centreFrequency (), c.expected) << c.asked << " Hz at " << c.rate;
	}

	// Width 1.0 or NaN: spectrum selected, yet nothing switches on.
	for (double width : {1.0, 3.0, nan})
	{
		auto bank = makeBank ();
		bank->select (1000.0, width, 0.0, 16, true);
		EXPECT_TRUE (bank->isIdle ()) << width;
		EXPECT_EQ (bank->selection (), 0u);
	}
}

TEST (FilterBank, CrossoverGlidesThenSnaps)
{
	auto bank = makeBank ();
	bank->select (250.0, 1000.0, 6000.0, 0b0010, false);
	run (*bank, 720, [] (int) { return 0.0; });
	bank->select (500.0, 1000.0, 6000.0, 0b0010, false); // same mask: the target moves only

	int ticks = 0, withinOnePercent = 0, snapped = 0;
	double firstStep = 0.0;
	for (int n = 0; n < 20000 && !snapped; ++n)
	{
		const double before = bank->crossovers ()[0];
		run (*bank, 1, [] (int) { return 0.0; });
		const double after = bank->crossovers ()[0];
		if (after == before)
			continue;
		++ticks;
		if (ticks == 1)
			firstStep = after;
		if (!withinOnePercent && std::fabs (after - 500.0) <= 2.5) // 1 % of the 250 Hz step
			withinOnePercent = ticks;
		if (after == 500.0)
			snapped = ticks;
	}
	EXPECT_NEAR (firstStep, 250.0 + 250.0 * (1.0 - std::exp (-1600.0 / 48000.0)), 1e-9);
	EXPECT_NEAR (firstStep, 258.196, 0.001);
	EXPECT_EQ (withinOnePercent, 139);
	EXPECT_EQ (snapped, 581);
}

TEST (FilterBank, SelectionsCrossfadeOverFifteenMilliseconds)
{
	auto bank = makeBank ();
	auto sine = [] (int n) { return 0.5 * std::sin (2.0 * kPi * 500.0 * n / 48000.0); };
	run (*bank, 100, sine); // idle bank: nothing to do, but the index runs on
	bank->select (250.0, 1000.0, 6000.0, 0b0010, false);
	const auto out = run (*bank, 800, sine);
	EXPECT_EQ (bank->dryLevel (), 0.0);
	EXPECT_EQ (bank->section (3).gain, 1.0);
	double largestStep = 0.0;
	for (size_t n = 1; n < out.size (); ++n)
		largestStep = std::max (largestStep, std::fabs (out[n] - out[n - 1]));
	// A 500 Hz sine of amplitude 0.5 moves at most 0.0327 per sample; the fade adds little.
	EXPECT_LT (largestStep, 0.036);

	// Exactly 720 samples: one before the end the fade is still running.
	auto bank2 = makeBank ();
	bank2->select (250.0, 1000.0, 6000.0, 0b0001, false);
	run (*bank2, 719, sine);
	EXPECT_GT (bank2->dryLevel (), 0.0);
	run (*bank2, 1, sine);
	EXPECT_EQ (bank2->dryLevel (), 0.0);

	// From band 0 to bands 0 and 1: one section fades out, the other in, the dry path stays shut.
	bank2->select (250.0, 1000.0, 6000.0, 0b0011, false);
	run (*bank2, 360, sine);
	EXPECT_NEAR (bank2->section (0).gain, 0.5, 1e-9);
	EXPECT_NEAR (bank2->section (1).gain, 0.5, 1e-9);
	EXPECT_EQ (bank2->dryLevel (), 0.0);
	run (*bank2, 360, sine);
	EXPECT_EQ (bank2->section (0).gain, 0.0);
	EXPECT_EQ (bank2->section (1).gain, 1.0);

	// Back to full audio: the bank ends idle, exactly.
	bank2->select (250.0, 1000.0, 6000.0, 0, false);
	run (*bank2, 720, sine);
	EXPECT_TRUE (bank2->isIdle ());
}

TEST (FilterBank, EachRunOfAdjacentBandsHasExactlyOneSection)
{
	struct Case
	{
		uint32_t mask;
		std::vector<int> on;
	} cases[] = {{0b1011, {1, 8}}, {0b0101, {0, 6}}, {0b0001, {0}}, {0b0110, {4}}, {0b1110, {5}},
	             {0b0111, {2}},    {0b1000, {8}},    {0b1001, {0, 8}}, {16, {}}};
	for (const auto& c : cases)
	{
		auto bank = makeBank ();
		bank->select (250.0, 1000.0, 6000.0, c.mask, false);
		for (int i = 0; i < AuditionFilterBank::kSections; ++i)
		{
			const bool expected = std::find (c.on.begin (), c.on.end (), i) != c.on.end ();
			EXPECT_EQ (bank->section (i).gainTarget, expected ? 1.0 : 0.0) << "mask " << c.mask << " section " << i;
		}
	}
	auto full = makeBank ();
	full->select (250.0, 1000.0, 6000.0, 15, false);
	EXPECT_TRUE (full->isIdle ());
}

TEST (FilterBank, BandsSumToTheInputWhereTheyAdd)
{
	// Bands 0 and 2 together: the two sections' outputs add.
	auto both = makeBank (), low = makeBank (), mid = makeBank ();
	both->select (250.0, 1000.0, 6000.0, 0b0101, false);
	low->select (250.0, 1000.0, 6000.0, 0b0001, false);
	mid->select (250.0, 1000.0, 6000.0, 0b0100, false);
	auto noise = [] (int n) { return std::sin (n * 0.37) * std::cos (n * 0.011) * 0.5; };
	const auto a = run (*both, 4000, noise), b = run (*low, 4000, noise), c = run (*mid, 4000, noise);
	for (size_t n = 720; n < a.size (); ++n) // once the dry path has faded out
		ASSERT_NEAR (a[n], b[n] + c[n], 1e-12);
}

TEST (FilterBank, SinglePrecisionIsTheDoublePathRounded)
{
	auto wide = makeBank (), narrow = makeBank ();
	for (auto* bank : {wide.get (), narrow.get ()})
		bank->select (1000.0, 0.5, 0.0, 16, true);
	std::vector<float> in32 (4096), out32 (4096);
	std::vector<double> in64 (4096), out64 (4096);
	for (size_t n = 0; n < in32.size (); ++n)
	{
		in32[n] = float (std::sin (n * 0.05) * 0.7);
		in64[n] = in32[n];
	}
	const float* i32[1] = {in32.data ()};
	float* o32[1] = {out32.data ()};
	const double* i64[1] = {in64.data ()};
	double* o64[1] = {out64.data ()};
	narrow->process (i32, o32, 1, 4096, 0);
	wide->process (i64, o64, 1, 4096, 0);
	for (size_t n = 0; n < out32.size (); ++n)
		ASSERT_EQ (out32[n], float (out64[n])) << n;
}

TEST (FilterBank, InPlaceEqualsSeparateBuffers)
{
	auto separate = makeBank (), inPlace = makeBank ();
	for (auto* bank : {separate.get (), inPlace.get ()})
		bank->select (250.0, 1000.0, 6000.0, 0b0110, false);
	std::vector<double> left (2048), right (2048);
	for (size_t n = 0; n < left.size (); ++n)
	{
		left[n] = std::sin (n * 0.03);
		right[n] = std::cos (n * 0.07);
	}
	std::vector<double> outLeft (2048), outRight (2048);
	const double* ins[2] = {left.data (), right.data ()};
	double* outs[2] = {outLeft.data (), outRight.data ()};
	separate->process (ins, outs, 2, 2048, 0);
	double* same[2] = {left.data (), right.data ()};
	inPlace->process (same, same, 2, 2048, 0);
	EXPECT_EQ (left, outLeft);
	EXPECT_EQ (right, outRight);
}

TEST (FilterBank, ANonFiniteBurstLeavesNoTrace)
{
	// Whatever the burst ends on, the memories must not keep it: from the first finite
	// block on, every output is finite, and a long silence decays without denormals.
	const double nan = std::numeric_limits<double>::quiet_NaN ();
	const double inf = std::numeric_limits<double>::infinity ();
	for (const bool spectrum : {false, true})
		for (const double last : {inf, -inf, nan})
			for (const int channels : {1, 2})
				for (const bool single : {false, true})
				{
					SCOPED_TRACE (testing::Message () << (spectrum ? "spectrum" : "band solo") << ", ends on " << last
					                                  << ", " << channels << " ch, " << (single ? 32 : 64) << "-bit");
					auto bank = makeBank ();
					if (spectrum)
						bank->select (1000.0, 0.44, 0.0, 16, true);
					else
						bank->select (250.0, 1000.0, 6000.0, 0b0010, false);
					const int frames = 2000 + 64 + 48000 * 2;
					std::vector<double> signal (size_t (frames), 0.0);
					for (int n = 0; n < frames; ++n)
						signal[size_t (n)] = n < 2000 ? std::sin (n * 0.1) : n < 2064 ? (n % 2 ? nan : -inf) : n < 4000 ? std::sin (n * 0.2) : 0.0;
					signal[2063] = last;
					const auto out = processBlocks (*bank, signal, channels, single, 256);
					for (size_t n = 2304; n < out.size (); ++n) // the first block after the burst
					{
						ASSERT_TRUE (std::isfinite (out[n])) << n;
						ASSERT_NE (std::fpclassify (out[n]), FP_SUBNORMAL) << n;
					}
					EXPECT_LT (std::fabs (out.back ()), 1e-20);
				}

	// Silent-flagged and missing channels read as zeros.
	auto bank = makeBank ();
	bank->select (1000.0, 0.44, 0.0, 16, true);
	std::vector<double> loud (256, 1.0), out0 (256, 9.0), out1 (256, 9.0);
	const double* ins[2] = {loud.data (), nullptr};
	double* outs[2] = {out0.data (), out1.data ()};
	bank->process (ins, outs, 2, 256, 0b01);
	for (size_t n = 0; n < 256; ++n)
		ASSERT_EQ (out0[n] + out1[n], 0.0);
}

TEST (FilterBank, RapidSelectionChangesLeaveNoDenormalDryGain)
{
	// Two band masks swapped every 512 samples, faster than the 720-sample fade.
	auto bank = makeBank ();
	for (int block = 0; block < 3000; ++block)
	{
		bank->select (250.0, 1000.0, 6000.0, block % 2 ? 0b0011 : 0b0001, false);
		run (*bank, 512, [] (int n) { return std::sin (n * 0.03); });
		ASSERT_NE (std::fpclassify (bank->dryLevel ()), FP_SUBNORMAL) << "block " << block;
	}
	EXPECT_EQ (bank->dryLevel (), 0.0);
}

TEST (FilterBank, SpansMatchThePlainLoopBitForBit)
{
	// Random selections (fades, crossfades, glides of crossovers, centres and widths),
	// block sizes, silence flags, missing channels and the odd infinite sample, in 32 and
	// 64 bits, mono and stereo, in place and not: the span loop and the plain loop give
	// the very same bits.
	std::mt19937 random (11);
	auto uniform = [&] (double low, double high) { return low + (high - low) * double (random ()) / double (random.max ()); };
	for (int trial = 0; trial < 16; ++trial)
	{
		const int channels = 1 + trial % 2;
		const bool single = (trial / 2) % 2;
		const bool inPlace = (trial / 4) % 2;
		const double rate = trial / 8 ? 44100.0 : 96000.0;
		SCOPED_TRACE (testing::Message () << channels << " ch, " << (single ? 32 : 64) << "-bit, "
		                                  << (inPlace ? "in place" : "separate") << ", " << rate << " Hz");
		auto spans = makeBank (rate), plain = makeBank (rate);
		for (int block = 0; block < 120; ++block)
		{
			if (random () % 3 == 0)
			{
				const uint32_t mask = random () % 17;
				const double a = uniform (20.0, 3000.0), b = uniform (0.3, 1.1), c = uniform (100.0, 19000.0);
				for (auto* bank : {spans.get (), plain.get ()})
					bank->select (a, mask == 16 ? b : a * 2.0, c, mask, mask == 16);
			}
			const int frames = 1 + int (random () % 600);
			const uint64_t silence = random () % 5 == 0 ? random () % 4 : 0;
			const bool missing = random () % 9 == 0;
			std::vector<double> source (size_t (2 * frames));
			for (double& v : source)
				v = random () % 4000 == 0 ? std::numeric_limits<double>::infinity () : uniform (-1.0, 1.0);
			auto runBoth = [&] (auto sample) {
				using Sample = decltype (sample);
				std::vector<Sample> a (source.begin (), source.end ()), b = a;
				std::vector<Sample> outA (a.size (), Sample (7)), outB = outA;
				const Sample* inA[2] = {a.data (), missing ? nullptr : a.data () + frames};
				const Sample* inB[2] = {b.data (), missing ? nullptr : b.data () + frames};
				Sample* toA[2] = {inPlace ? a.data () : outA.data (), inPlace ? a.data () + frames : outA.data () + frames};
				Sample* toB[2] = {inPlace ? b.data () : outB.data (), inPlace ? b.data () + frames : outB.data () + frames};
				spans->process (inA, toA, channels, frames, silence);
				plain->processReference (inB, toB, channels, frames, silence);
				return std::memcmp (toA[0], toB[0], sizeof (Sample) * size_t (channels * frames)) == 0 &&
				       std::memcmp (toA[1], toB[1], sizeof (Sample) * size_t (frames)) == 0;
			};
			ASSERT_TRUE (single ? runBoth (0.0f) : runBoth (0.0)) << "block " << block;
		}
		EXPECT_EQ (spans->crossovers (), plain->crossovers ());
		EXPECT_EQ (spans->spectrumWidth (), plain->spectrumWidth ());
	}
}
