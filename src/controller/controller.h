// The edit controller: keeps the processor's status for the panel.
#pragma once

#include "shared/senderstatus.h"

#include "public.sdk/source/vst/vsteditcontroller.h"

#include <mutex>

namespace tarvo {

class Controller : public Steinberg::Vst::EditController
{
public:
	static Steinberg::FUnknown* createInstance (void* context);

	Steinberg::tresult PLUGIN_API setComponentState (Steinberg::IBStream* stream) SMTG_OVERRIDE;

	/** A copy of the cached status, taken under the status mutex. */
	SenderStatus cachedStatus () const;

private:
	mutable std::mutex statusMutex;
	SenderStatus status;
};

} // namespace tarvo
