// Cost of the process callback's audio path per stereo frame at 48 kHz, 512-frame blocks:
// the audition engine's step, then the plain copy or the filter bank, for each kind of
// audition; next to it a bare cascade of as many biquad stages, the floor the bank can
// reach, measured in the same run.
#include "audition/auditionengine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using namespace tarvo;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFrames = 512;
constexpr double kRate = 48000.0;
constexpr int kBlocks = 1000; // about 11 s of audio per round
constexpr int kRounds = 7;

struct Buffers
{
	Buffers () : left (kFrames), right (kFrames), outLeft (kFrames), outRight (kFrames)
	{
		for (int n = 0; n < kFrames; ++n)
		{
			left[size_t (n)] = float (std::sin (n * 0.031) * 0.5);
			right[size_t (n)] = float (std::sin (n * 0.047) * 0.5);
		}
	}
	std::vector<float> left, right, outLeft, outRight;
};

/** The callback's audio path: engine step, then copy or filter. */
void callback (AuditionEngine& engine, AuditionMailbox& mailbox, Buffers& b, uint64_t nowMs)
{
	engine.beginBlock (mailbox, kRate, nowMs, false, kFrames);
	const float* in[2] = {b.left.data (), b.right.data ()};
	float* out[2] = {b.outLeft.data (), b.outRight.data ()};
	if (engine.filters ().isIdle ())
	{
		std::memcpy (out[0], in[0], sizeof (float) * kFrames);
		std::memcpy (out[1], in[1], sizeof (float) * kFrames);
	}
	else
		engine.filters ().process (in, out, 2, kFrames, 0);
}

/** One timed run of kBlocks blocks, in ns per frame. */
double nsPerFrame (const std::function<void (int block)>& body)
{
	const auto t0 = Clock::now ();
	for (int block = 0; block < kBlocks; ++block)
		body (block);
	return std::chrono::duration<double, std::nano> (Clock::now () - t0).count () / (double (kBlocks) * kFrames);
}

/** A bare stereo cascade of `stages` biquads on the same buffers: the floor. */
std::function<void (int)> bareCascade (int stages, Buffers& b)
{
	auto chain = std::make_shared<std::vector<Biquad>> (static_cast<size_t> (stages));
	for (auto& q : *chain)
	{
		q.b0 = 0.2;
		q.b1 = 0.4;
		q.b2 = 0.2;
		q.a1 = -0.6;
		q.a2 = 0.2;
	}
	return [chain, &b] (int) {
		for (int n = 0; n < kFrames; ++n)
		{
			double l = b.left[size_t (n)], r = b.right[size_t (n)];
			for (auto& q : *chain)
			{
				l = q.process (l, 0);
				r = q.process (r, 1);
			}
			b.outLeft[size_t (n)] = float (l);
			b.outRight[size_t (n)] = float (r);
		}
	};
}

struct Mode
{
	const char* name;
	int stages; // biquad stages that run per channel in this mode
	std::function<void (AuditionMailbox&, int block, uint64_t now)> request;
};

void queue (AuditionMailbox& mailbox, uint32_t sequence, uint32_t requestId, uint32_t mask, uint32_t mode,
            double a, double b, double c, uint64_t now)
{
	AuditionRequest r;
	r.sessionId = 1;
	r.sequence = sequence;
	r.requestId = requestId;
	r.bandMask = mask;
	r.mode = mode;
	r.a = a;
	r.b = b;
	r.c = c;
	r.expiry = now + 500;
	mailbox.tryPush (r);
}

} // namespace

int main ()
{
	std::printf ("Audition path per stereo frame, 48 kHz, %d-frame blocks (best of %d rounds of %d blocks, "
	             "alternating with the bare cascade)\n\n",
	             kFrames, kRounds, kBlocks);
	std::printf ("| mode | ns/frame | bare cascade ns/frame | stages | ratio | real-time share |\n");
	std::printf ("|------|---------:|----------------------:|-------:|------:|----------------:|\n");

	const Mode modes[] = {
	    {"pass-through", 0, [] (AuditionMailbox&, int, uint64_t) {}},
	    {"Band Solo, band 1", 4,
	     [] (AuditionMailbox& m, int block, uint64_t now) { queue (m, uint32_t (block + 1), 1, 0b0010, 0, 250, 1000, 6000, now); }},
	    {"Band Solo, mask 0b0101", 6,
	     [] (AuditionMailbox& m, int block, uint64_t now) { queue (m, uint32_t (block + 1), 1, 0b0101, 0, 250, 1000, 6000, now); }},
	    {"Spectrum audition", 15,
	     [] (AuditionMailbox& m, int block, uint64_t now) { queue (m, uint32_t (block + 1), 1, 0, 1, 1000, 0.6, 0, now); }},
	    {"crossfade 0b0001 <-> 0b0011", 4,
	     [] (AuditionMailbox& m, int block, uint64_t now) {
		     // A new selection every block keeps a crossfade running all the time.
		     queue (m, uint32_t (block + 1), uint32_t (block + 1), block % 2 ? 0b0011 : 0b0001, 0, 250, 1000, 6000, now);
	     }},
	};
	for (const Mode& mode : modes)
	{
		Buffers buffers;
		auto engine = std::make_unique<AuditionEngine> ();
		auto mailbox = std::make_unique<AuditionMailbox> ();
		mailbox->activeSessionId = 1;
		engine->reset (kRate);
		uint64_t now = 1000;
		int calls = 0; // runs on across the rounds, so every request is newer than the last
		auto audition = [&] (int) {
			now += 10;
			mode.request (*mailbox, calls++, now);
			callback (*engine, *mailbox, buffers, now);
		};
		auto floor = bareCascade (mode.stages, buffers);
		// The two alternate, so a busy moment of the machine falls on both alike; the best
		// round of each counts.
		double ns = 1e30, floorNs = 1e30;
		for (int round = 0; round < kRounds; ++round)
		{
			ns = std::min (ns, nsPerFrame (audition));
			if (mode.stages)
				floorNs = std::min (floorNs, nsPerFrame (floor));
		}
		if (mode.stages && engine->filters ().isIdle ())
			std::printf ("(%s ended idle: the figure below is not an audition)\n", mode.name);
		const double share = ns * kRate / 1e9 * 100.0;
		if (mode.stages)
			std::printf ("| %s | %.1f | %.1f | %d | %.2f | %.3f %% |\n", mode.name, ns, floorNs, mode.stages, ns / floorNs, share);
		else
			std::printf ("| %s | %.2f | - | 0 | - | %.4f %% |\n", mode.name, ns, share);
	}
	return 0;
}
