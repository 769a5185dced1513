// Host call sequences: initialize/terminate, activation, bus arrangements, processing setup.
#include "processbuffers.h"
#include "teststreams.h"

#include "pluginterfaces/vst/vstspeaker.h"
#include "public.sdk/source/vst/vstaudioeffect.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace Steinberg;
using namespace Steinberg::Vst;
using tarvo::test::builtModule;

namespace {

const TUID& processorClass ()
{
	static TUID cid;
	static bool once = [] {
		PClassInfo info;
		builtModule ().factory ()->getClassInfo (0, &info);
		std::memcpy (cid, info.cid, sizeof cid);
		return true;
	}();
	(void)once;
	return cid;
}

std::unique_ptr<tarvo::host::PluginInstance> makeInstance ()
{
	std::string error;
	auto instance = tarvo::host::PluginInstance::create (builtModule ().factory (), processorClass (), error);
	EXPECT_TRUE (instance) << error;
	return instance;
}

SpeakerArrangement arrangementOf (IAudioProcessor* processor, BusDirection dir)
{
	SpeakerArrangement arrangement = 0;
	EXPECT_EQ (processor->getBusArrangement (dir, 0, arrangement), kResultTrue);
	return arrangement;
}

// Runs a few blocks and reports whether every output sample equalled its input.
bool passesAudioThrough (IAudioProcessor* processor, int32 channels)
{
	tarvo::host::ProcessBuffers buffers (channels, 256, kSample32);
	for (int block = 0; block < 3; ++block)
	{
		for (int32 c = 0; c < channels; ++c)
			for (int32 f = 0; f < 256; ++f)
				buffers.setInput (c, f, std::sin (0.01 * (f + 256 * block) + c));
		if (processor->process (buffers.prepare (256)) != kResultOk)
			return false;
		for (int32 c = 0; c < channels; ++c)
			for (int32 f = 0; f < 256; ++f)
				if (buffers.output (c, f) != buffers.input (c, f))
					return false;
	}
	return true;
}

} // namespace

TEST (Lifecycle, InitializeAddsOneStereoBusEachWayAndTerminateRemovesThem)
{
	IComponent* component = nullptr;
	ASSERT_EQ (builtModule ().factory ()->createInstance (processorClass (), IComponent::iid,
	                                                      reinterpret_cast<void**> (&component)),
	           kResultOk);
	for (int cycle = 0; cycle < 3; ++cycle)
	{
		ASSERT_EQ (component->initialize (tarvo::host::hostContext ()), kResultOk);
		EXPECT_EQ (component->getBusCount (kAudio, kInput), 1);
		EXPECT_EQ (component->getBusCount (kAudio, kOutput), 1);
		EXPECT_EQ (component->getBusCount (kEvent, kInput), 0);
		BusInfo info {};
		ASSERT_EQ (component->getBusInfo (kAudio, kInput, 0, info), kResultOk);
		EXPECT_EQ (info.channelCount, 2);
		EXPECT_EQ (info.busType, kMain);
		EXPECT_EQ (info.flags, static_cast<uint32> (BusInfo::kDefaultActive));
		EXPECT_EQ (std::u16string (reinterpret_cast<const char16_t*> (info.name)), u"Input");
		ASSERT_EQ (component->getBusInfo (kAudio, kOutput, 0, info), kResultOk);
		EXPECT_EQ (std::u16string (reinterpret_cast<const char16_t*> (info.name)), u"Output");

		// A second initialize is refused by the base class and adds nothing.
		EXPECT_NE (component->initialize (tarvo::host::hostContext ()), kResultOk);
		EXPECT_EQ (component->getBusCount (kAudio, kInput), 1);

		EXPECT_EQ (component->terminate (), kResultOk);
		EXPECT_EQ (component->getBusCount (kAudio, kInput), 0);
	}
	component->release ();
}

TEST (Lifecycle, ActivationSequencesAreHarmless)
{
	auto instance = makeInstance ();
	ASSERT_TRUE (instance);
	IAudioProcessor* processor = instance->processor;
	ProcessSetup setup {kRealtime, kSample32, 256, 48000.0};
	ASSERT_EQ (processor->setupProcessing (setup), kResultOk);

	EXPECT_EQ (instance->component->setActive (true), kResultOk);
	EXPECT_EQ (instance->component->setActive (true), kResultOk);
	// Three suspend/resume cycles, processing in between.
	for (int cycle = 0; cycle < 3; ++cycle)
	{
		EXPECT_EQ (processor->setProcessing (true), kNotImplemented);
		EXPECT_TRUE (passesAudioThrough (processor, 2));
		EXPECT_EQ (processor->setProcessing (false), kNotImplemented);
		EXPECT_EQ (instance->component->setActive (false), kResultOk);
		EXPECT_EQ (instance->component->setActive (true), kResultOk);
	}
	EXPECT_EQ (instance->component->setActive (false), kResultOk);
	EXPECT_EQ (instance->component->terminate (), kResultOk);
	EXPECT_EQ (instance->component->terminate (), kResultOk);
}

TEST (Lifecycle, ReportsNoLatencyNoTailAndItsContextNeeds)
{
	auto instance = makeInstance ();
	ASSERT_TRUE (instance);
	EXPECT_EQ (instance->processor->getLatencySamples (), 0u);
	EXPECT_EQ (instance->processor->getTailSamples (), kNoTail);
	FUnknownPtr<IProcessContextRequirements> requirements (instance->component);
	ASSERT_TRUE (requirements);
	EXPECT_EQ (requirements->getProcessContextRequirements (), 0x402u);
	EXPECT_EQ (instance->processor->canProcessSampleSize (kSample32), kResultTrue);
	EXPECT_EQ (instance->processor->canProcessSampleSize (kSample64), kResultTrue);
	EXPECT_EQ (instance->processor->canProcessSampleSize (2), kResultFalse);
	EXPECT_EQ (instance->processor->canProcessSampleSize (-1), kResultFalse);
}

TEST (Lifecycle, BusArrangementMatrix)
{
	auto instance = makeInstance ();
	ASSERT_TRUE (instance);
	IAudioProcessor* processor = instance->processor;
	SpeakerArrangement mono = SpeakerArr::kMono, stereo = SpeakerArr::kStereo;
	SpeakerArrangement surround = SpeakerArr::k51;

	EXPECT_EQ (processor->setBusArrangements (&mono, 1, &mono, 1), kResultOk);
	EXPECT_EQ (arrangementOf (processor, kInput), mono);
	EXPECT_EQ (arrangementOf (processor, kOutput), mono);

	SpeakerArrangement two[2] = {stereo, stereo};
	struct Refused
	{
		SpeakerArrangement* in;
		int32 numIns;
		SpeakerArrangement* out;
		int32 numOuts;
	} refused[] = {
	    {&mono, 1, &stereo, 1}, {&stereo, 1, &mono, 1},   {&surround, 1, &surround, 1},
	    {two, 2, &stereo, 1},   {&stereo, 1, two, 2},     {nullptr, 0, nullptr, 0},
	    {&stereo, 0, &stereo, 1}, {nullptr, 1, nullptr, 1},
	};
	for (const auto& r : refused)
	{
		EXPECT_EQ (processor->setBusArrangements (r.in, r.numIns, r.out, r.numOuts), kResultFalse);
		EXPECT_EQ (arrangementOf (processor, kInput), mono) << "arrangement changed by a refusal";
		EXPECT_EQ (arrangementOf (processor, kOutput), mono);
	}

	EXPECT_EQ (processor->setBusArrangements (&stereo, 1, &stereo, 1), kResultOk);
	EXPECT_EQ (arrangementOf (processor, kInput), stereo);
	BusInfo info {};
	instance->component->getBusInfo (kAudio, kOutput, 0, info);
	EXPECT_EQ (info.channelCount, 2);
}

TEST (Lifecycle, SetupProcessingBounds)
{
	auto instance = makeInstance ();
	ASSERT_TRUE (instance);
	IAudioProcessor* processor = instance->processor;
	auto setupWith = [&] (double rate, int32 maxBlock, int32 size = kSample32) {
		ProcessSetup setup {kRealtime, size, maxBlock, rate};
		return processor->setupProcessing (setup);
	};
	EXPECT_EQ (setupWith (8000.0, 512), kResultOk);
	EXPECT_EQ (setupWith (384000.0, 512), kResultOk);
	EXPECT_EQ (setupWith (44100.0, 1, kSample64), kResultOk);
	EXPECT_EQ (setupWith (7999.0, 512), kInvalidArgument);
	EXPECT_EQ (setupWith (384000.5, 512), kInvalidArgument);
	EXPECT_EQ (setupWith (std::numeric_limits<double>::quiet_NaN (), 512), kInvalidArgument);
	EXPECT_EQ (setupWith (std::numeric_limits<double>::infinity (), 512), kInvalidArgument);
	EXPECT_EQ (setupWith (-std::numeric_limits<double>::infinity (), 512), kInvalidArgument);
	EXPECT_EQ (setupWith (48000.0, 0), kInvalidArgument);
	EXPECT_EQ (setupWith (48000.0, -5), kInvalidArgument);
	// An unsupported sample size is the base class's refusal.
	EXPECT_EQ (setupWith (48000.0, 512, 2), kResultFalse);
}

TEST (Lifecycle, ARefusedSampleSizeStillTakesTheRateAsTheSdkDoes)
{
	// The processor resets its auditions at the new rate before the base class looks at
	// the sample size; the base class must then hold that rate too, refused or not.
	struct Effect : AudioEffect
	{
		using AudioEffect::processSetup;
	};
	IPtr<Effect> effect = owned (new Effect);
	ProcessSetup setup {kOffline, 7, 333, 96000.0};
	EXPECT_EQ (effect->setupProcessing (setup), kResultFalse);
	EXPECT_EQ (effect->processSetup.sampleRate, 96000.0);
	EXPECT_EQ (effect->processSetup.maxSamplesPerBlock, 333);
	EXPECT_EQ (effect->processSetup.processMode, kOffline);
	EXPECT_EQ (effect->processSetup.symbolicSampleSize, kSample32);
}
