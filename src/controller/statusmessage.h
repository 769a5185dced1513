// Reading a "tarvo.status" message's attributes into a status snapshot.
#pragma once

#include "shared/senderstatus.h"

#include "pluginterfaces/vst/ivstattributes.h"

namespace tarvo {

/** Reads name, status, role and connected (all required) and auditionMode (optional);
    kInvalidArgument for a missing attribute or a role or mode outside 0 to 2. Texts are
    cut at 64 and 127 UTF-16 units. */
Steinberg::tresult decodeStatusAttributes (Steinberg::Vst::IAttributeList* attributes, SenderStatus& status);

} // namespace tarvo
