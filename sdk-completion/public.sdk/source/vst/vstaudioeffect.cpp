// Completes the VST 3 SDK copy shipped by Debian, which lacks this class.
#include "public.sdk/source/vst/vstaudioeffect.h"

namespace Steinberg {
namespace Vst {

AudioEffect::AudioEffect ()
{
	processSetup.maxSamplesPerBlock = 1024;
	processSetup.processMode = Vst::kRealtime;
	processSetup.sampleRate = 44100.0;
	processSetup.symbolicSampleSize = Vst::kSample32;
}

AudioBus* AudioEffect::addAudioInput (const TChar* name, SpeakerArrangement arr, BusType busType,
                                      int32 flags)
{
	auto* newBus = new AudioBus (name, busType, flags, arr);
	audioInputs.push_back (IPtr<Vst::Bus> (newBus, false));
	return newBus;
}

AudioBus* AudioEffect::addAudioOutput (const TChar* name, SpeakerArrangement arr, BusType busType,
                                       int32 flags)
{
	auto* newBus = new AudioBus (name, busType, flags, arr);
	audioOutputs.push_back (IPtr<Vst::Bus> (newBus, false));
	return newBus;
}

AudioBus* AudioEffect::getAudioInput (int32 index)
{
	if (index < 0 || index >= static_cast<int32> (audioInputs.size ()))
		return nullptr;
	return FCast<AudioBus> (audioInputs.at (index));
}

AudioBus* AudioEffect::getAudioOutput (int32 index)
{
	if (index < 0 || index >= static_cast<int32> (audioOutputs.size ()))
		return nullptr;
	return FCast<AudioBus> (audioOutputs.at (index));
}

EventBus* AudioEffect::addEventInput (const TChar* name, int32 channels, BusType busType, int32 flags)
{
	auto* newBus = new EventBus (name, busType, flags, channels);
	eventInputs.push_back (IPtr<Vst::Bus> (newBus, false));
	return newBus;
}

EventBus* AudioEffect::addEventOutput (const TChar* name, int32 channels, BusType busType, int32 flags)
{
	auto* newBus = new EventBus (name, busType, flags, channels);
	eventOutputs.push_back (IPtr<Vst::Bus> (newBus, false));
	return newBus;
}

EventBus* AudioEffect::getEventInput (int32 index)
{
	if (index < 0 || index >= static_cast<int32> (eventInputs.size ()))
		return nullptr;
	return FCast<EventBus> (eventInputs.at (index));
}

EventBus* AudioEffect::getEventOutput (int32 index)
{
	if (index < 0 || index >= static_cast<int32> (eventOutputs.size ()))
		return nullptr;
	return FCast<EventBus> (eventOutputs.at (index));
}

tresult PLUGIN_API AudioEffect::setBusArrangements (SpeakerArrangement* inputs, int32 numIns,
                                                    SpeakerArrangement* outputs, int32 numOuts)
{
	if (numIns < 0 || numOuts < 0)
		return kInvalidArgument;
	if (numIns > static_cast<int32> (audioInputs.size ()) ||
	    numOuts > static_cast<int32> (audioOutputs.size ()))
		return kResultFalse;

	for (int32 index = 0; index < static_cast<int32> (audioInputs.size ()); ++index)
	{
		if (index >= numIns)
			break;
		FCast<AudioBus> (audioInputs[index].get ())->setArrangement (inputs[index]);
	}
	for (int32 index = 0; index < static_cast<int32> (audioOutputs.size ()); ++index)
	{
		if (index >= numOuts)
			break;
		FCast<AudioBus> (audioOutputs[index].get ())->setArrangement (outputs[index]);
	}
	return kResultTrue;
}

tresult PLUGIN_API AudioEffect::getBusArrangement (BusDirection dir, int32 busIndex,
                                                   SpeakerArrangement& arr)
{
	BusList* busList = getBusList (kAudio, dir);
	if (!busList || busIndex < 0 || static_cast<int32> (busList->size ()) <= busIndex)
		return kInvalidArgument;
	if (auto* audioBus = FCast<Vst::AudioBus> (busList->at (busIndex)))
	{
		arr = audioBus->getArrangement ();
		return kResultTrue;
	}
	return kResultFalse;
}

tresult PLUGIN_API AudioEffect::canProcessSampleSize (int32 symbolicSampleSize)
{
	return symbolicSampleSize == kSample32 ? kResultTrue : kResultFalse;
}

tresult PLUGIN_API AudioEffect::setupProcessing (ProcessSetup& newSetup)
{
	// As the SDK does: the setup is taken, then an unsupported sample size is refused and
	// only that field keeps its previous value.
	processSetup.maxSamplesPerBlock = newSetup.maxSamplesPerBlock;
	processSetup.processMode = newSetup.processMode;
	processSetup.sampleRate = newSetup.sampleRate;
	if (canProcessSampleSize (newSetup.symbolicSampleSize) != kResultTrue)
		return kResultFalse;
	processSetup.symbolicSampleSize = newSetup.symbolicSampleSize;
	return kResultOk;
}

tresult PLUGIN_API AudioEffect::setProcessing (TBool /*state*/)
{
	return kNotImplemented;
}

tresult PLUGIN_API AudioEffect::process (ProcessData& /*data*/)
{
	return kNotImplemented;
}

} // namespace Vst
} // namespace Steinberg
