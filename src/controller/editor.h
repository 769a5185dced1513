#pragma once

#include "pluginterfaces/gui/iplugview.h"

namespace tarvo {

class Controller;

/** The plug-in's panel, holding a counted reference to its controller. */
Steinberg::IPlugView* createEditor (Controller& controller);

/** Forgets the panel's window class, so a rebuilt module loaded later in the same host
    registers its own window procedure. Called when the module is unloaded. */
void unregisterEditorClass ();

} // namespace tarvo
