#pragma once

#include "pluginterfaces/base/funknown.h"

namespace tarvo {

/** Factory create function of the effect component; the context is ignored. Returns
    null when memory runs out. */
Steinberg::FUnknown* createProcessorInstance (void* context);

} // namespace tarvo
