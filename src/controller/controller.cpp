#include "controller/controller.h"

#include "controller/editor.h"
#include "controller/statusmessage.h"
#include "shared/statestream.h"
#include "shared/hostcall.h"
#include "shared/messages.h"

#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivstmessage.h"

#include <cstring>

// The SDK copy declares this interface ID without defining it.
namespace Steinberg {
DEF_CLASS_IID (IPlugView)
}

namespace tarvo {

using namespace Steinberg;
using namespace Steinberg::Vst;

FUnknown* Controller::createInstance (void* /*context*/)
{
	return orNull ([] { return static_cast<IEditController*> (new Controller); });
}

tresult PLUGIN_API Controller::notify (IMessage* message)
{
	return hostCall ([&] () -> tresult {
		if (!message || !message->getMessageID () || std::strcmp (message->getMessageID (), kMessageStatus) != 0)
			return EditController::notify (message);
		SenderStatus received;
		const tresult result = decodeStatusAttributes (message->getAttributes (), received);
		if (result != kResultOk)
			return result;
		std::lock_guard<std::mutex> lock (statusMutex);
		status = std::move (received);
		return kResultOk;
	});
}

tresult PLUGIN_API Controller::setComponentState (IBStream* stream)
{
	return hostCall ([&] () -> tresult {
		std::u16string label;
		if (!readStateStream (stream, label))
			return kResultFalse;
		// The processor cleans the label; its next status brings the cleaned form.
		std::lock_guard<std::mutex> lock (statusMutex);
		status.name = std::move (label);
		return kResultOk;
	});
}

IPlugView* PLUGIN_API Controller::createView (FIDString name)
{
	if (!name || std::strcmp (name, ViewType::kEditor) != 0)
		return nullptr;
	return orNull ([this] { return createEditor (*this); });
}

SenderStatus Controller::cachedStatus () const
{
	std::lock_guard<std::mutex> lock (statusMutex);
	return status;
}

void Controller::sendRequest (const char* messageId)
{
	IPtr<IMessage> message = owned (allocateMessage ());
	if (!message)
		return;
	message->setMessageID (messageId);
	sendMessage (message);
}

void Controller::renameSender (std::u16string name)
{
	// The name box holds 64 units: an emoji typed or pasted at the end leaves half of it,
	// which no name may end in. Halves of characters anywhere else (pasted text) become
	// U+FFFD, so that the rest of what the user typed is kept.
	if (!name.empty () && (name.back () & 0xFC00) == 0xD800)
		name.pop_back ();
	for (size_t i = 0; i < name.size (); ++i)
	{
		const bool high = (name[i] & 0xFC00) == 0xD800;
		if (high && i + 1 < name.size () && (name[i + 1] & 0xFC00) == 0xDC00)
			++i; // a whole pair
		else if (high || (name[i] & 0xFC00) == 0xDC00)
			name[i] = u'\uFFFD';
	}
	if (name.size () > 64 || name == cachedStatus ().name)
		return;
	IPtr<IMessage> message = owned (allocateMessage ());
	if (!message)
		return;
	message->setMessageID (kMessageName);
	if (IAttributeList* attributes = message->getAttributes ())
		attributes->setString (kAttributeName, reinterpret_cast<const TChar*> (name.c_str ()));
	if (sendMessage (message) != kResultOk)
		return;
	// The project now differs from what was saved.
	if (componentHandler)
	{
		FUnknownPtr<IComponentHandler2> handler2 (componentHandler);
		if (handler2)
			handler2->setDirty (true);
	}
}

} // namespace tarvo
