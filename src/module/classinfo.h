// What a host sees of the module before any instance exists.
#pragma once

#include "pluginterfaces/base/ipluginbase.h"

namespace tarvo {

const Steinberg::PFactoryInfo& factoryInfo ();
const Steinberg::PClassInfo2& processorClassInfo ();
const Steinberg::PClassInfo2& controllerClassInfo ();

} // namespace tarvo
