// Streams, the built module and instances shared by the plug-in tests.
#pragma once

#include "controller/controller.h"
#include "pluginmodule.h"
#include "shared/processwide.h"

#include "base/source/fobject.h"
#include "pluginterfaces/base/ibstream.h"

#include <memory>
#include <optional>
#include <string>

namespace tarvo::test {

/** An IBStream whose reads and writes can be made to fail or come up short. */
class ScriptedStream : public Steinberg::FObject, public Steinberg::IBStream
{
public:
	explicit ScriptedStream (std::string content = {}) : bytes (std::move (content)) {}

	/** Index of the read or write call (0-based) to misbehave, and how. */
	int failCall {-1};
	Steinberg::tresult failResult {Steinberg::kResultFalse};
	int shortBy {0}; // deliver this many bytes fewer on the failing call
	int silentCall {-1}; // this read delivers its bytes but does not say how many

	std::string bytes;
	size_t position {0};
	int reads {0};
	int writes {0};

	Steinberg::tresult PLUGIN_API read (void* buffer, Steinberg::int32 numBytes,
	                                    Steinberg::int32* numBytesRead) SMTG_OVERRIDE;
	Steinberg::tresult PLUGIN_API write (void* buffer, Steinberg::int32 numBytes,
	                                     Steinberg::int32* numBytesWritten) SMTG_OVERRIDE;
	Steinberg::tresult PLUGIN_API seek (Steinberg::int64 pos, Steinberg::int32 mode,
	                                    Steinberg::int64* result) SMTG_OVERRIDE;
	Steinberg::tresult PLUGIN_API tell (Steinberg::int64* pos) SMTG_OVERRIDE;

	OBJ_METHODS (ScriptedStream, FObject)
	DEFINE_INTERFACES
		DEF_INTERFACE (IBStream)
	END_DEFINE_INTERFACES (FObject)
	REFCOUNT_METHODS (FObject)
};

/** A state record: "TRN1", the given length (the label's own unless told) and the label's bytes. */
std::string stateRecord (const std::string& label, std::optional<uint32_t> announcedLength = std::nullopt);

/** The built module, loaded once for the whole test program. */
host::PluginModule& builtModule ();

/** An instance of the built module's effect, stereo or mono (`channels`) for both sample
    sizes at `rate`, activated unless told otherwise. */
std::unique_ptr<host::PluginInstance> builtInstance (Steinberg::int32 channels, Steinberg::int32 maxBlock, double rate,
                                                     bool activate = true);

/** The process-wide generation of primary changes: every bump clears the auditions. */
inline uint32_t primaryGeneration () { return processWide ().primaryGeneration.load (); }

/** A controller linked into the test program, not yet initialised. */
Steinberg::IPtr<Controller> makeController ();

} // namespace tarvo::test
