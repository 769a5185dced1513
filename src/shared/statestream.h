// Reading and writing the processor's state record through the host's IBStream.
// The reader is shared by the processor's setState and the controller's setComponentState.
#pragma once

#include "pluginterfaces/base/ibstream.h"

#include <string>

namespace tarvo {

/** Decodes a state record. An empty stream means the default label. Returns false for a
    null stream, a wrong magic, a length above 256, a short or failed read, invalid UTF-8
    or a label longer than 64 UTF-16 units; `label` is then left unchanged. */
bool readStateStream (Steinberg::IBStream* stream, std::u16string& label);

/** Writes the record for `label` with one write for the header and one for the bytes. */
Steinberg::tresult writeStateStream (Steinberg::IBStream* stream, const std::u16string& label);

} // namespace tarvo
