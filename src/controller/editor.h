#pragma once

#include "pluginterfaces/gui/iplugview.h"

namespace tarvo {

class Controller;

/** The plug-in's panel, holding a counted reference to its controller; null when memory
    runs out. */
Steinberg::IPlugView* createEditor (Controller& controller);

} // namespace tarvo
