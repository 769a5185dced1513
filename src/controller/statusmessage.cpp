#include "controller/statusmessage.h"

#include "shared/messages.h"

namespace tarvo {

using namespace Steinberg;
using namespace Steinberg::Vst;

tresult decodeStatusAttributes (IAttributeList* attributes, SenderStatus& status)
{
	if (!attributes)
		return kInvalidArgument;
	TChar name[kNameUnits] = {};
	TChar text[kStatusUnits] = {};
	int64 role = 0, connected = 0, auditionMode = 0;
	if (attributes->getString (kAttributeName, name, sizeof name) != kResultOk ||
	    attributes->getString (kAttributeStatus, text, sizeof text) != kResultOk ||
	    attributes->getInt (kAttributeRole, role) != kResultOk ||
	    attributes->getInt (kAttributeConnected, connected) != kResultOk)
		return kInvalidArgument;
	if (role < 0 || role > 2)
		return kInvalidArgument;
	if (attributes->getInt (kAttributeAuditionMode, auditionMode) != kResultOk)
		auditionMode = 0; // an older processor does not send it
	if (auditionMode < 0 || auditionMode > 2)
		return kInvalidArgument;
	name[kNameUnits - 1] = 0;
	text[kStatusUnits - 1] = 0;

	status.name = reinterpret_cast<const char16_t*> (name);
	status.text = reinterpret_cast<const char16_t*> (text);
	status.role = static_cast<int32_t> (role);
	status.connected = connected != 0;
	status.auditionMode = auditionMode;
	return kResultOk;
}

} // namespace tarvo
