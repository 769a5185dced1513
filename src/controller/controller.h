// The edit controller: keeps the processor's last reported status for the panel, and
// sends the panel's requests to the processor.
#pragma once

#include "shared/senderstatus.h"

#include "public.sdk/source/vst/vsteditcontroller.h"

#include <mutex>
#include <string>

namespace tarvo {

class Controller : public Steinberg::Vst::EditController
{
public:
	static Steinberg::FUnknown* createInstance (void* context);

	Steinberg::tresult PLUGIN_API notify (Steinberg::Vst::IMessage* message) SMTG_OVERRIDE;
	Steinberg::tresult PLUGIN_API setComponentState (Steinberg::IBStream* stream) SMTG_OVERRIDE;
	Steinberg::IPlugView* PLUGIN_API createView (Steinberg::FIDString name) SMTG_OVERRIDE;

	/** A copy of the cached status, taken under the status mutex. */
	SenderStatus cachedStatus () const;

	/** Asks the processor to rename the sender and, once the request went out, marks the
	    project modified. A trailing half of a surrogate pair is dropped first; nothing
	    happens for a text over 64 units or equal to the cached name. */
	void renameSender (std::u16string name);

	/** Sends a request without attributes ("tarvo.poll", "tarvo.primary", "tarvo.clear"). */
	void sendRequest (const char* messageId);

private:
	mutable std::mutex statusMutex;
	SenderStatus status;
};

} // namespace tarvo
