// tarvo-host run: processes audio through the effect, as a DAW does, and summarises it.
#include "bandmeter.h"
#include "hosttool.h"
#include "processbuffers.h"

#include "../common/signal.h"
#include "../common/wav.h"
#include "shared/statecodec.h"

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/vstspeaker.h"
#include "public.sdk/source/common/memorystream.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace tarvo::hosttool {
namespace {

using namespace Steinberg;
using namespace Steinberg::Vst;

struct RunSettings
{
	double seconds;
	double rate;
	int32 block;
	int32 channels;
	int32 sampleSize;
	int32 processMode;
	bool pace;
	std::string input;
	double frequency;
	double level;
	std::string out;
};

} // namespace

int run (const RunOptions& options)
{
	RunSettings s {options.seconds,
	               options.rate.value_or (48000.0),
	               options.block,
	               options.channels,
	               options.precision == 64 ? kSample64 : kSample32,
	               options.mode == "offline" ? kOffline : options.mode == "prefetch" ? kPrefetch : kRealtime,
	               options.pace,
	               options.input,
	               options.frequency,
	               options.level,
	               options.out};
	std::string error;

	tools::WavData file;
	const bool fromFile = s.input != "sine" && s.input != "noise" && s.input != "sweep" && s.input != "tones";
	if (fromFile)
	{
		if (!tools::readWav (s.input, file, error))
		{
			std::fprintf (stderr, "tarvo-host: %s\n", error.c_str ());
			return 1;
		}
		if (!options.rate)
			s.rate = file.sampleRate;
	}

	auto module = loadBundle (options.bundle);
	if (!module)
		return 1;
	const auto classes = host::describeClasses (module->factory ());
	auto effect = std::find_if (classes.begin (), classes.end (), [] (const host::ClassDescription& d) {
		return std::strcmp (d.info.category, kVstAudioEffectClass) == 0;
	});
	if (effect == classes.end ())
	{
		std::fprintf (stderr, "tarvo-host: the module has no audio effect class\n");
		return 1;
	}
	auto instance = host::PluginInstance::create (module->factory (), effect->info.cid, error);
	if (!instance)
	{
		std::fprintf (stderr, "tarvo-host: %s\n", error.c_str ());
		return 1;
	}

	const std::string& label = options.label;
	if (!label.empty ())
	{
		// What a DAW does when it opens a project: hand the component its saved state.
		MemoryStream state;
		auto header = encodeStateHeader (static_cast<uint32_t> (label.size ()));
		int32 written = 0;
		state.write (header.data (), static_cast<int32> (header.size ()), &written);
		state.write (const_cast<char*> (label.data ()), static_cast<int32> (label.size ()), &written);
		state.seek (0, IBStream::kIBSeekSet, nullptr);
		if (instance->component->setState (&state) != kResultOk)
		{
			std::fprintf (stderr, "tarvo-host: the effect refused the state naming it \"%s\"\n", label.c_str ());
			return 1;
		}
		instance->syncControllerState ();
	}

	IAudioProcessor* processor = instance->processor;
	SpeakerArrangement arrangement = s.channels == 1 ? SpeakerArr::kMono : SpeakerArr::kStereo;
	if (processor->setBusArrangements (&arrangement, 1, &arrangement, 1) != kResultOk)
	{
		std::fprintf (stderr, "tarvo-host: the effect refused a %s bus layout\n",
		              s.channels == 1 ? "mono" : "stereo");
		return 1;
	}
	if (processor->canProcessSampleSize (s.sampleSize) != kResultTrue)
	{
		std::fprintf (stderr, "tarvo-host: the effect cannot process %d-bit samples\n",
		              s.sampleSize == kSample64 ? 64 : 32);
		return 1;
	}
	ProcessSetup setup {s.processMode, s.sampleSize, s.block, s.rate};
	if (processor->setupProcessing (setup) != kResultOk)
	{
		std::fprintf (stderr, "tarvo-host: the effect refused the processing setup\n");
		return 1;
	}
	instance->component->activateBus (kAudio, kInput, 0, true);
	instance->component->activateBus (kAudio, kOutput, 0, true);
	instance->component->setActive (true);
	processor->setProcessing (true);

	tools::WavWriter writer;
	if (!s.out.empty () && !writer.open (s.out, static_cast<uint32_t> (s.rate),
	                                     static_cast<uint16_t> (s.channels), error))
	{
		std::fprintf (stderr, "tarvo-host: %s\n", error.c_str ());
		return 1;
	}

	const tools::SignalKind kind = s.input == "noise"   ? tools::SignalKind::noise
	                               : s.input == "sweep" ? tools::SignalKind::sweep
	                               : s.input == "tones" ? tools::SignalKind::tones
	                                                    : tools::SignalKind::sine;
	std::vector<tools::SignalGenerator> generators;
	for (int32 c = 0; c < s.channels; ++c)
		generators.emplace_back (kind, s.rate, s.frequency, s.level, s.seconds > 0 ? s.seconds : 1.0,
		                         static_cast<uint32_t> (c + 1));

	const int64 totalFrames = fromFile ? static_cast<int64> (file.frames ())
	                                   : static_cast<int64> (std::llround (s.seconds * s.rate));
	host::ProcessBuffers buffers (s.channels, s.block, s.sampleSize);
	ProcessContext& context = buffers.context ();
	context.sampleRate = s.rate;
	context.state = ProcessContext::kPlaying | ProcessContext::kContTimeValid;

	std::printf ("Running %s: %.2f s at %.0f Hz, %d-frame blocks, %s, %d-bit, %s%s, input %s\n",
	             module->file ().filename ().string ().c_str (), double (totalFrames) / s.rate, s.rate,
	             static_cast<int> (s.block), s.channels == 1 ? "mono" : "stereo",
	             s.sampleSize == kSample64 ? 64 : 32,
	             s.processMode == kOffline ? "offline" : s.processMode == kPrefetch ? "prefetch" : "realtime",
	             s.pace ? ", paced" : "", s.input.c_str ());
	std::fflush (stdout);

	std::unique_ptr<host::BandMeter> bands;
	if (options.bandLevels)
		bands = std::make_unique<host::BandMeter> (*options.bandLevels, s.rate, s.channels, s.block);
	std::vector<std::vector<double>> outputCopy (size_t (s.channels), std::vector<double> (size_t (s.block)));

	tools::LevelMeter inLevel, outLevel, periodLevel;
	std::vector<float> interleaved (static_cast<size_t> (s.block) * s.channels);
	int64 blocks = 0, failedCalls = 0, changedSamples = 0, nonFinite = 0;
	double maxMicros = 0.0, sumMicros = 0.0;
	const auto started = std::chrono::steady_clock::now ();
	auto processAll = [&] {
		auto nextReport = started + std::chrono::seconds (1);
		for (int64 done = 0; done < totalFrames;)
		{
			const int32 frames = static_cast<int32> (std::min<int64> (s.block, totalFrames - done));
			for (int32 f = 0; f < frames; ++f)
			{
				for (int32 c = 0; c < s.channels; ++c)
				{
					double v = fromFile ? file.samples[static_cast<size_t> (done + f) * file.channels +
					                                   static_cast<size_t> (c % file.channels)]
					                    : generators[c].next ();
					buffers.setInput (c, f, v);
					inLevel.add (buffers.input (c, f));
				}
			}
			ProcessData& data = buffers.prepare (frames);
			data.processMode = s.processMode;
			context.continousTimeSamples = done;
			context.projectTimeSamples = done;

			const auto t0 = std::chrono::steady_clock::now ();
			const tresult result = processor->process (data);
			const auto t1 = std::chrono::steady_clock::now ();
			const double micros = std::chrono::duration<double, std::micro> (t1 - t0).count ();
			maxMicros = std::max (maxMicros, micros);
			sumMicros += micros;
			if (result != kResultOk)
				++failedCalls;

			for (int32 f = 0; f < frames; ++f)
			{
				for (int32 c = 0; c < s.channels; ++c)
				{
					const double out = buffers.output (c, f);
					outLevel.add (out);
					periodLevel.add (out);
					outputCopy[size_t (c)][size_t (f)] = out;
					if (out != buffers.input (c, f))
						++changedSamples;
					if (!std::isfinite (out))
						++nonFinite;
					interleaved[static_cast<size_t> (f) * s.channels + c] = static_cast<float> (out);
				}
			}
			if (writer.isOpen ())
				writer.write (interleaved.data (), static_cast<size_t> (frames));
			if (bands)
				bands->add (outputCopy, frames);
			done += frames;
			++blocks;

			if (s.pace)
			{
				const auto due = started + std::chrono::duration_cast<std::chrono::steady_clock::duration> (
				                               std::chrono::duration<double> (double (done) / s.rate));
				std::this_thread::sleep_until (due);
				if (std::chrono::steady_clock::now () >= nextReport)
				{
					std::printf ("  %6.1f s  out peak %s%s%s\n", double (done) / s.rate,
					             tools::formatDbfs (periodLevel.peakDbfs ()).c_str (), bands ? "  " : "",
					             bands ? bands->report ().c_str () : "");
					periodLevel.reset ();
					std::fflush (stdout);
					nextReport += std::chrono::seconds (1);
				}
			}
		}
	};

	if (!options.editor)
		processAll ();
	else if (!runWithEditor (*instance, options, processAll, started))
		return 1;

	processor->setProcessing (false);
	instance->component->setActive (false);
	if (writer.isOpen () && !writer.close ())
	{
		std::fprintf (stderr, "tarvo-host: cannot finish %s\n", s.out.c_str ());
		return 1;
	}

	std::printf ("Blocks           %lld (%lld frames), %lld failed calls\n",
	             static_cast<long long> (blocks), static_cast<long long> (totalFrames),
	             static_cast<long long> (failedCalls));
	std::printf ("Input            peak %s, RMS %s\n", tools::formatDbfs (inLevel.peakDbfs ()).c_str (),
	             tools::formatDbfs (inLevel.rmsDbfs ()).c_str ());
	std::printf ("Output           peak %s, RMS %s\n", tools::formatDbfs (outLevel.peakDbfs ()).c_str (),
	             tools::formatDbfs (outLevel.rmsDbfs ()).c_str ());
	std::printf ("Output = input   %s (%lld of %lld samples differ, %lld not finite)\n",
	             changedSamples == 0 ? "yes" : "no", static_cast<long long> (changedSamples),
	             static_cast<long long> (outLevel.count), static_cast<long long> (nonFinite));
	std::printf ("process() time   max %.1f us, mean %.2f us\n", maxMicros,
	             blocks ? sumMicros / double (blocks) : 0.0);
	if (!s.out.empty ())
		std::printf ("Wrote            %s\n", s.out.c_str ());
	return failedCalls == 0 && nonFinite == 0 ? 0 : 1;
}

} // namespace tarvo::hosttool
