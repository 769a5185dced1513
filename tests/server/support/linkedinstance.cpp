#include "linkedinstance.h"

#include "pluginmodule.h"
#include "teststreams.h"

#include "processor/processor.h"
#include "shared/messages.h"

#include "pluginterfaces/vst/vstspeaker.h"

#include <cmath>
#include <cstring>

namespace tarvo::test {

using namespace Steinberg;
using namespace Steinberg::Vst;

tresult PLUGIN_API MessageRecorder::notify (IMessage* message)
{
	if (!message || !message->getMessageID ())
		return kInvalidArgument;
	ids.push_back (message->getMessageID ());
	if (std::strcmp (message->getMessageID (), kMessageStatus) == 0)
	{
		TChar text[256] = {};
		IAttributeList* attributes = message->getAttributes ();
		attributes->getString (kAttributeName, text, sizeof text);
		lastName = reinterpret_cast<const char16_t*> (text);
		std::memset (text, 0, sizeof text);
		attributes->getString (kAttributeStatus, text, sizeof text);
		lastText = reinterpret_cast<const char16_t*> (text);
		attributes->getInt (kAttributeRole, lastRole);
		attributes->getInt (kAttributeConnected, lastConnected);
		attributes->getInt (kAttributeAuditionMode, lastMode);
	}
	return kResultOk;
}

IPtr<IMessage> makeMessage (const char* id)
{
	FUnknownPtr<IHostApplication> application (host::hostContext ());
	IMessage* message = nullptr;
	TUID iid;
	IMessage::iid.toTUID (iid);
	application->createInstance (iid, iid, reinterpret_cast<void**> (&message));
	IPtr<IMessage> owner = owned (message);
	owner->setMessageID (id);
	return owner;
}

LinkedInstance::LinkedInstance (bool withController)
{
	FUnknown* object = createProcessorInstance (nullptr);
	component = FUnknownPtr<IComponent> (object);
	processor = FUnknownPtr<IAudioProcessor> (object);
	processorPoint = FUnknownPtr<IConnectionPoint> (object);
	object->release ();
	component->initialize (host::hostContext ());

	if (withController)
	{
		controller = makeController ();
		controller->initialize (host::hostContext ());
		processorPoint->connect (controller);
		controller->connect (processorPoint);
	}
	else
	{
		recorder = owned (new MessageRecorder);
		processorPoint->connect (recorder);
	}
}

LinkedInstance::~LinkedInstance ()
{
	if (active)
	{
		processor->setProcessing (false);
		component->setActive (false);
	}
	if (controller)
	{
		processorPoint->disconnect (controller);
		controller->disconnect (processorPoint);
		controller->terminate ();
	}
	else
		processorPoint->disconnect (recorder);
	component->terminate ();
}

void LinkedInstance::activate ()
{
	SpeakerArrangement stereo = SpeakerArr::kStereo;
	processor->setBusArrangements (&stereo, 1, &stereo, 1);
	ProcessSetup setup {kRealtime, kSample32, 512, 48000.0};
	processor->setupProcessing (setup);
	component->setActive (true);
	processor->setProcessing (true);
	buffers = std::make_unique<host::ProcessBuffers> (2, 512, kSample32);
	active = true;
}

void LinkedInstance::process (int32 frames)
{
	for (int32 c = 0; c < 2; ++c)
		for (int32 f = 0; f < frames; ++f)
			buffers->setInput (c, f, 0.1 * std::sin (f * 0.05));
	processor->process (buffers->prepare (frames));
}

SenderStatus LinkedInstance::poll ()
{
	processorPoint->notify (makeMessage (kMessagePoll));
	if (controller)
		return controller->cachedStatus ();
	return {recorder->lastName, recorder->lastText, int32_t (recorder->lastRole), recorder->lastConnected != 0, recorder->lastMode};
}

} // namespace tarvo::test
