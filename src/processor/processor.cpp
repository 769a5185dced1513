#include "processor/processor.h"

#include "audition/auditionengine.h"
#include "module/tarvocids.h"
#include "processor/callfacts.h"
#include "shared/statestream.h"
#include "shared/messages.h"
#include "server/audioserver.h"
#include "shared/hostcall.h"
#include "shared/processwide.h"
#include "shared/steadyclock.h"

#include "pluginterfaces/vst/ivstmessage.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"
#include "pluginterfaces/vst/vstspeaker.h"
#include "public.sdk/source/vst/vstaudioeffect.h"

#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

namespace tarvo {
namespace {

using namespace Steinberg;
using namespace Steinberg::Vst;

constexpr double kFallbackRate = 48000.0;

// Stands in for a host's null channel-pointer array: every channel reads as missing.
template <typename Sample>
Sample* const kNoChannels[2] = {nullptr, nullptr};

/** Zeros every output channel the host passed and flags it silent. */
void silenceOutputs (ProcessData& data) noexcept
{
	if (!data.outputs || data.numSamples <= 0)
		return;
	const bool wide = data.symbolicSampleSize == kSample64;
	if (!wide && data.symbolicSampleSize != kSample32)
		return; // no sample width to write with
	const size_t bytes = (wide ? sizeof (double) : sizeof (float)) * static_cast<size_t> (data.numSamples);
	for (int32 b = 0; b < data.numOutputs; ++b)
	{
		AudioBusBuffers& bus = data.outputs[b];
		if (bus.numChannels <= 0)
			continue;
		void** channels = wide ? reinterpret_cast<void**> (bus.channelBuffers64)
		                       : reinterpret_cast<void**> (bus.channelBuffers32);
		for (int32 c = 0; channels && c < bus.numChannels; ++c)
			if (channels[c])
				std::memset (channels[c], 0, bytes);
		bus.silenceFlags = bus.numChannels >= 64 ? ~uint64 (0) : (uint64 (1) << bus.numChannels) - 1;
	}
}

class Processor : public AudioEffect
{
public:
	Processor ();

	static FUnknown* createInstance (void* /*context*/)
	{
		return orNull ([] { return static_cast<IAudioProcessor*> (new Processor); });
	}

	tresult PLUGIN_API initialize (FUnknown* context) SMTG_OVERRIDE;
	tresult PLUGIN_API terminate () SMTG_OVERRIDE;
	tresult PLUGIN_API setBusArrangements (SpeakerArrangement* inputs, int32 numIns,
	                                       SpeakerArrangement* outputs, int32 numOuts) SMTG_OVERRIDE;
	tresult PLUGIN_API canProcessSampleSize (int32 symbolicSampleSize) SMTG_OVERRIDE;
	tresult PLUGIN_API setupProcessing (ProcessSetup& setup) SMTG_OVERRIDE;
	tresult PLUGIN_API setProcessing (TBool state) SMTG_OVERRIDE;
	tresult PLUGIN_API setActive (TBool state) SMTG_OVERRIDE;
	tresult PLUGIN_API getState (IBStream* stream) SMTG_OVERRIDE;
	tresult PLUGIN_API setState (IBStream* stream) SMTG_OVERRIDE;
	tresult PLUGIN_API process (ProcessData& data) SMTG_OVERRIDE;
	tresult PLUGIN_API notify (IMessage* message) SMTG_OVERRIDE;

private:
	void sendStatus ();

	double currentRate () const
	{
		return processSetup.sampleRate > 0.0 ? processSetup.sampleRate : kFallbackRate;
	}

	template <typename Sample>
	void produceOutput (Sample** inputs, Sample** outputs, AudioBusBuffers& in, AudioBusBuffers& out,
	                    int32 frameCount, bool capture) noexcept;

	AudioServer server;
	AuditionEngine audition;
};

Processor::Processor ()
{
	setControllerClass (kControllerUID);
	processContextRequirements.needContinousTimeSamples ().needTransportState ();
}

tresult PLUGIN_API Processor::initialize (FUnknown* context)
{
	return hostCall ([&] () -> tresult {
		const tresult result = AudioEffect::initialize (context);
		if (result != kResultOk)
			return result;
		addAudioInput (STR16 ("Input"), SpeakerArr::kStereo, kMain, BusInfo::kDefaultActive);
		addAudioOutput (STR16 ("Output"), SpeakerArr::kStereo, kMain, BusInfo::kDefaultActive);
		return kResultOk;
	});
}

tresult PLUGIN_API Processor::terminate ()
{
	server.stop ();
	return AudioEffect::terminate ();
}

tresult PLUGIN_API Processor::setBusArrangements (SpeakerArrangement* inputs, int32 numIns,
                                                  SpeakerArrangement* outputs, int32 numOuts)
{
	if (numIns != 1 || numOuts != 1 || !inputs || !outputs || inputs[0] != outputs[0])
		return kResultFalse;
	const SpeakerArrangement arrangement = inputs[0];
	if (arrangement != SpeakerArr::kMono && arrangement != SpeakerArr::kStereo)
		return kResultFalse;
	AudioBus* input = getAudioInput (0);
	AudioBus* output = getAudioOutput (0);
	if (!input || !output)
		return kResultFalse;
	input->setArrangement (arrangement);
	output->setArrangement (arrangement);
	return kResultOk;
}

tresult PLUGIN_API Processor::canProcessSampleSize (int32 symbolicSampleSize)
{
	return symbolicSampleSize == kSample32 || symbolicSampleSize == kSample64 ? kResultTrue
	                                                                            : kResultFalse;
}

tresult PLUGIN_API Processor::setupProcessing (ProcessSetup& setup)
{
	if (!std::isfinite (setup.sampleRate) || setup.sampleRate < 8000.0 ||
	    setup.sampleRate > 384000.0 || setup.maxSamplesPerBlock < 1)
		return kInvalidArgument;
	audition.reset (setup.sampleRate);
	return AudioEffect::setupProcessing (setup);
}

tresult PLUGIN_API Processor::setProcessing (TBool state)
{
	audition.reset (currentRate ());
	return AudioEffect::setProcessing (state);
}

tresult PLUGIN_API Processor::setActive (TBool state)
{
	audition.reset (currentRate ());
	if (state)
		server.start ();
	else
		server.stop ();
	return AudioEffect::setActive (state);
}

tresult PLUGIN_API Processor::getState (IBStream* stream)
{
	return hostCall ([&] () -> tresult {
		const std::u16string label = server.label ();
		return stream ? writeStateStream (stream, label) : kInvalidArgument;
	});
}

tresult PLUGIN_API Processor::setState (IBStream* stream)
{
	return hostCall ([&] () -> tresult {
		std::u16string label;
		if (!readStateStream (stream, label))
			return kResultFalse;
		server.setLabel (std::move (label));
		// A restored project clears every running audition in the process.
		processWide ().primaryGeneration.fetch_add (1);
		return kResultOk;
	});
}

tresult PLUGIN_API Processor::process (ProcessData& data)
{
	if (data.numSamples <= 0 || data.numOutputs == 0)
		return kResultOk;
	// Whatever the host's buffers held must not reach the speakers when a call cannot
	// be processed: such calls leave silence behind.
	if (data.numInputs == 0)
	{
		silenceOutputs (data);
		return kResultOk;
	}
	// A host that announces buses but passes no bus array gets an error, not a crash.
	if (!data.inputs || !data.outputs)
	{
		silenceOutputs (data);
		return kInvalidArgument;
	}

	AudioBusBuffers& in = data.inputs[0];
	AudioBusBuffers& out = data.outputs[0];
	if ((in.numChannels != 1 && in.numChannels != 2) || out.numChannels != in.numChannels)
	{
		silenceOutputs (data);
		return kInvalidArgument;
	}

	out.silenceFlags = in.silenceFlags;

	const CallFacts facts = readCallFacts (data);
	server.followPrimaryGeneration ();
	const uint64_t nowMs = steadyMillis ();
	server.setCallPosition (facts.position, nowMs);

	const double sampleRate = processSetup.sampleRate;
	audition.beginBlock (server.mailbox (), sampleRate, nowMs, facts.suspend, data.numSamples);

	const bool capture = data.processMode != kOffline;
	switch (data.symbolicSampleSize)
	{
		case kSample32:
			produceOutput (in.channelBuffers32, out.channelBuffers32, in, out, data.numSamples, capture);
			return kResultOk;
		case kSample64:
			produceOutput (in.channelBuffers64, out.channelBuffers64, in, out, data.numSamples, capture);
			return kResultOk;
		default:
			return kInvalidArgument;
	}
}

tresult PLUGIN_API Processor::notify (IMessage* message)
{
	return hostCall ([&] () -> tresult {
		if (!message || !message->getMessageID ())
			return kInvalidArgument;
		const char* id = message->getMessageID ();
		if (std::strcmp (id, kMessagePrimary) == 0)
		{
			// Toggle: the primary sender gives the role up; any other instance takes it.
			auto& primary = processWide ().primarySerial;
			const uint32_t self = server.instanceSerial ();
			uint32_t current = primary.load ();
			while (!primary.compare_exchange_weak (current, current == self ? 0u : self))
			{
			}
			processWide ().primaryGeneration.fetch_add (1);
		}
		else if (std::strcmp (id, kMessageClear) == 0)
		{
			processWide ().primaryGeneration.fetch_add (1);
		}
		else if (std::strcmp (id, kMessageName) == 0)
		{
			IAttributeList* attributes = message->getAttributes ();
			// One unit more than a label holds: the label's own cut can then see whether
			// cutting at 64 units would split a surrogate pair, also from a host that ends
			// what it copies with a zero. A host that does not fills the buffer with a long
			// name and no zero after it, so the name ends at the first zero or the end.
			TChar buffer[kNameUnits + 1] = {};
			if (!attributes || attributes->getString (kAttributeName, buffer, sizeof buffer) != kResultOk)
				return kInvalidArgument;
			const std::u16string_view units (reinterpret_cast<const char16_t*> (buffer), kNameUnits + 1);
			server.setLabel (std::u16string (units.substr (0, units.find (u'\0'))));
		}
		else if (std::strcmp (id, kMessagePoll) != 0)
		{
			return AudioEffect::notify (message);
		}
		sendStatus ();
		return kResultOk;
	});
}

void Processor::sendStatus ()
{
	IPtr<IMessage> answer = owned (allocateMessage ());
	if (!answer)
		return;
	answer->setMessageID (kMessageStatus);
	const SenderStatus status = server.status ();
	IAttributeList* attributes = answer->getAttributes ();
	if (attributes)
	{
		attributes->setString (kAttributeName, reinterpret_cast<const TChar*> (status.name.c_str ()));
		attributes->setString (kAttributeStatus, reinterpret_cast<const TChar*> (status.text.c_str ()));
		attributes->setInt (kAttributeRole, status.role);
		attributes->setInt (kAttributeConnected, status.connected ? 1 : 0);
		attributes->setInt (kAttributeAuditionMode, status.auditionMode);
	}
	sendMessage (answer);
}

template <typename Sample>
void Processor::produceOutput (Sample** inputs, Sample** outputs, AudioBusBuffers& in,
                               AudioBusBuffers& out, int32 frameCount, bool capture) noexcept
{
	Sample* const* inChannels = inputs ? inputs : kNoChannels<Sample>;
	Sample* const* outChannels = outputs ? outputs : kNoChannels<Sample>;
	const int32 channelCount = in.numChannels;
	const double sampleRate = processSetup.sampleRate;

	// The visualiser always receives the unfiltered input.
	if (capture)
		server.capture (inChannels, channelCount, frameCount, in.silenceFlags, sampleRate);

	AuditionFilterBank& filters = audition.filters ();
	if (!filters.isIdle ())
	{
		filters.process (inChannels, outChannels, channelCount, frameCount, in.silenceFlags);
		out.silenceFlags = 0;
		return;
	}

	for (int32 c = 0; c < channelCount; ++c)
	{
		Sample* dst = outChannels[c];
		if (!dst)
			continue;
		const Sample* src = inChannels[c];
		if (((in.silenceFlags >> c) & 1u) || !src)
			std::memset (dst, 0, sizeof (Sample) * static_cast<size_t> (frameCount));
		else if (dst != src)
			std::memcpy (dst, src, sizeof (Sample) * static_cast<size_t> (frameCount));
	}
}

} // namespace

FUnknown* createProcessorInstance (void* context)
{
	return Processor::createInstance (context);
}

} // namespace tarvo
