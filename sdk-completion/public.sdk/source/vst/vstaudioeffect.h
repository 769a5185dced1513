// Completes the VST 3 SDK copy shipped by Debian, which lacks this class.
// Same name, interface and behaviour as the SDK's Steinberg::Vst::AudioEffect.
#pragma once

#include "public.sdk/source/vst/vstbus.h"
#include "public.sdk/source/vst/vstcomponent.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"

namespace Steinberg {
namespace Vst {

/** Wraps the process-context requirement flags a component reports to the host. */
class ProcessContextRequirements
{
public:
	ProcessContextRequirements& needSystemTime () { flags |= IProcessContextRequirements::kNeedSystemTime; return *this; }
	ProcessContextRequirements& needContinousTimeSamples () { flags |= IProcessContextRequirements::kNeedContinousTimeSamples; return *this; }
	ProcessContextRequirements& needProjectTimeMusic () { flags |= IProcessContextRequirements::kNeedProjectTimeMusic; return *this; }
	ProcessContextRequirements& needBarPositionMusic () { flags |= IProcessContextRequirements::kNeedBarPositionMusic; return *this; }
	ProcessContextRequirements& needCycleMusic () { flags |= IProcessContextRequirements::kNeedCycleMusic; return *this; }
	ProcessContextRequirements& needSamplesToNextClock () { flags |= IProcessContextRequirements::kNeedSamplesToNextClock; return *this; }
	ProcessContextRequirements& needTempo () { flags |= IProcessContextRequirements::kNeedTempo; return *this; }
	ProcessContextRequirements& needTimeSignature () { flags |= IProcessContextRequirements::kNeedTimeSignature; return *this; }
	ProcessContextRequirements& needChord () { flags |= IProcessContextRequirements::kNeedChord; return *this; }
	ProcessContextRequirements& needFrameRate () { flags |= IProcessContextRequirements::kNeedFrameRate; return *this; }
	ProcessContextRequirements& needTransportState () { flags |= IProcessContextRequirements::kNeedTransportState; return *this; }

	uint32 flags {0};
};

/** Default implementation for a VST 3 audio effect: a Component that also is an
    IAudioProcessor and an IProcessContextRequirements. */
class AudioEffect : public Component, public IAudioProcessor, public IProcessContextRequirements
{
public:
	AudioEffect ();

	/** Creates and adds a new audio input bus. */
	AudioBus* addAudioInput (const TChar* name, SpeakerArrangement arr, BusType busType = kMain,
	                         int32 flags = BusInfo::kDefaultActive);
	/** Creates and adds a new audio output bus. */
	AudioBus* addAudioOutput (const TChar* name, SpeakerArrangement arr, BusType busType = kMain,
	                          int32 flags = BusInfo::kDefaultActive);
	/** Retrieves an audio input bus by index, nullptr when there is none. */
	AudioBus* getAudioInput (int32 index);
	/** Retrieves an audio output bus by index, nullptr when there is none. */
	AudioBus* getAudioOutput (int32 index);

	/** Creates and adds a new event input bus. */
	EventBus* addEventInput (const TChar* name, int32 channels = 16, BusType busType = kMain,
	                         int32 flags = BusInfo::kDefaultActive);
	/** Creates and adds a new event output bus. */
	EventBus* addEventOutput (const TChar* name, int32 channels = 16, BusType busType = kMain,
	                          int32 flags = BusInfo::kDefaultActive);
	/** Retrieves an event input bus by index, nullptr when there is none. */
	EventBus* getEventInput (int32 index);
	/** Retrieves an event output bus by index, nullptr when there is none. */
	EventBus* getEventOutput (int32 index);

	//---from IAudioProcessor-------
	tresult PLUGIN_API setBusArrangements (SpeakerArrangement* inputs, int32 numIns,
	                                       SpeakerArrangement* outputs, int32 numOuts) SMTG_OVERRIDE;
	tresult PLUGIN_API getBusArrangement (BusDirection dir, int32 index,
	                                      SpeakerArrangement& arr) SMTG_OVERRIDE;
	tresult PLUGIN_API canProcessSampleSize (int32 symbolicSampleSize) SMTG_OVERRIDE;
	uint32 PLUGIN_API getLatencySamples () SMTG_OVERRIDE { return 0; }
	tresult PLUGIN_API setupProcessing (ProcessSetup& setup) SMTG_OVERRIDE;
	tresult PLUGIN_API setProcessing (TBool state) SMTG_OVERRIDE;
	tresult PLUGIN_API process (ProcessData& data) SMTG_OVERRIDE;
	uint32 PLUGIN_API getTailSamples () SMTG_OVERRIDE { return kNoTail; }

	//---from IProcessContextRequirements-------
	uint32 PLUGIN_API getProcessContextRequirements () SMTG_OVERRIDE
	{
		return processContextRequirements.flags;
	}

	//---Interface---------
	OBJ_METHODS (AudioEffect, Component)
	DEFINE_INTERFACES
		DEF_INTERFACE (IAudioProcessor)
		DEF_INTERFACE (IProcessContextRequirements)
	END_DEFINE_INTERFACES (Component)
	REFCOUNT_METHODS (Component)

protected:
	ProcessSetup processSetup;
	ProcessContextRequirements processContextRequirements;
};

} // namespace Vst
} // namespace Steinberg
