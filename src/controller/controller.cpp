#include "controller/controller.h"

#include "processor/statestream.h"

#include "pluginterfaces/gui/iplugview.h"

#include <new>

// The SDK copy declares this interface ID without defining it.
namespace Steinberg {
DEF_CLASS_IID (IPlugView)
}

namespace tarvo {

using namespace Steinberg;

FUnknown* Controller::createInstance (void* /*context*/)
{
	auto* controller = new (std::nothrow) Controller;
	return controller ? static_cast<Vst::IEditController*> (controller) : nullptr;
}

tresult PLUGIN_API Controller::setComponentState (IBStream* stream)
{
	try
	{
		std::u16string label;
		if (!readStateStream (stream, label))
			return kResultFalse;
		// The processor cleans the label; its next status brings the cleaned form.
		std::lock_guard<std::mutex> lock (statusMutex);
		status.name = std::move (label);
		return kResultOk;
	}
	catch (...)
	{
		return kResultFalse;
	}
}

SenderStatus Controller::cachedStatus () const
{
	std::lock_guard<std::mutex> lock (statusMutex);
	return status;
}

} // namespace tarvo
