// A processor and a controller of one plug-in instance, linked into the test program and
// connected to each other as a host connects them.
#pragma once

#include "controller/controller.h"
#include "processbuffers.h"

#include "base/source/fobject.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivstmessage.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace tarvo::test {

/** Stands where a controller would: records the messages the processor sends it. */
class MessageRecorder : public Steinberg::FObject, public Steinberg::Vst::IConnectionPoint
{
public:
	std::vector<std::string> ids;
	std::u16string lastName, lastText;
	Steinberg::int64 lastRole {-1}, lastConnected {-1}, lastMode {-1};

	Steinberg::tresult PLUGIN_API connect (Steinberg::Vst::IConnectionPoint*) SMTG_OVERRIDE { return Steinberg::kResultOk; }
	Steinberg::tresult PLUGIN_API disconnect (Steinberg::Vst::IConnectionPoint*) SMTG_OVERRIDE { return Steinberg::kResultOk; }
	Steinberg::tresult PLUGIN_API notify (Steinberg::Vst::IMessage* message) SMTG_OVERRIDE;
	int count (const std::string& id) const { return int (std::count (ids.begin (), ids.end (), id)); }

	OBJ_METHODS (MessageRecorder, FObject)
	DEFINE_INTERFACES
		DEF_INTERFACE (Steinberg::Vst::IConnectionPoint)
	END_DEFINE_INTERFACES (FObject)
	REFCOUNT_METHODS (FObject)
};

/** A message made the way the host makes them, for handing to notify directly. */
Steinberg::IPtr<Steinberg::Vst::IMessage> makeMessage (const char* id);

struct LinkedInstance
{
	/** With `withController` false the processor talks to a MessageRecorder instead. */
	explicit LinkedInstance (bool withController = true);
	~LinkedInstance ();

	/** Sets up stereo processing at 48 kHz and activates (the server thread starts). */
	void activate ();
	/** One process call of a quiet sine (at most 512 frames). */
	void process (Steinberg::int32 frames = 512);
	/** Asks the processor for its status, as the panel's poll does: what the controller
	    cached, or what the recorder received. */
	SenderStatus poll ();

	Steinberg::IPtr<Steinberg::Vst::IComponent> component;
	Steinberg::IPtr<Steinberg::Vst::IAudioProcessor> processor;
	Steinberg::IPtr<Steinberg::Vst::IConnectionPoint> processorPoint;
	Steinberg::IPtr<Controller> controller;
	Steinberg::IPtr<MessageRecorder> recorder;
	std::unique_ptr<host::ProcessBuffers> buffers;
	bool active {false};
};

} // namespace tarvo::test
