// Class identifiers. Hosts store them in projects: never change them.
#pragma once

#include "pluginterfaces/base/funknown.h"

namespace tarvo {

// {8A6C9D42-19E3-407A-BAB4-C21052D06891}
static const Steinberg::FUID kProcessorUID (0x8A6C9D42, 0x19E3407A, 0xBAB4C210, 0x52D06891);
// {63C98E51-0C6A-4EDF-91D2-AB83F19048CC}
static const Steinberg::FUID kControllerUID (0x63C98E51, 0x0C6A4EDF, 0x91D2AB83, 0xF19048CC);

} // namespace tarvo
