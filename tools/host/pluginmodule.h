// Loading a VST 3 module the way a host does, and making connected instances of it.
#pragma once

#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/base/smartpointer.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivstmessage.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tarvo::host {

/** The module file inside a bundle folder (Contents/x86_64-win/<name>.vst3); a path that
    already names a file is returned unchanged. */
std::filesystem::path resolveModuleFile (const std::filesystem::path& bundleOrFile);

/** A loaded module's export, null when it has none. */
void (*exportedFunction (void* library, const char* name)) ();

/** The export as the function type the caller knows it has (the system hands every export
    out as one generic function type). */
template <typename Function>
Function exported (void* library, const char* name)
{
	return reinterpret_cast<Function> (exportedFunction (library, name));
}

class PluginModule
{
public:
	/** Loads the module, calls InitDll and takes the factory. Null with `error` set on failure. */
	static std::unique_ptr<PluginModule> load (const std::filesystem::path& bundleOrFile,
	                                           std::string& error);
	~PluginModule ();

	PluginModule (const PluginModule&) = delete;
	PluginModule& operator= (const PluginModule&) = delete;

	Steinberg::IPluginFactory* factory () const { return pluginFactory; }
	const std::filesystem::path& file () const { return moduleFile; }
	/** Calls the module's own ExitDll once more, for tests of its use count. */
	bool callExitDll () const;
	bool callInitDll () const;

private:
	PluginModule () = default;

	void* library {nullptr};
	std::filesystem::path moduleFile;
	Steinberg::IPluginFactory* pluginFactory {nullptr};
	bool (*initDll) () {nullptr};
	bool (*exitDll) () {nullptr};
};

struct ClassDescription
{
	Steinberg::PClassInfo info {};
	bool hasInfo2 {false};
	Steinberg::PClassInfo2 info2 {};
	bool hasInfoW {false};
	Steinberg::PClassInfoW infoW {};
};

std::vector<ClassDescription> describeClasses (Steinberg::IPluginFactory* factory);

/** "8A6C9D42-19E3-407A-BAB4-C21052D06891"-style text of a class ID's TUID bytes. */
std::string uidToString (const Steinberg::TUID tuid);

/** The host's context: an IHostApplication that creates messages and attribute lists. */
Steinberg::FUnknown* hostContext ();

/** One plug-in instance: its component and processor, and the controller the component
    names, both initialised and connected to each other. */
class PluginInstance
{
public:
	static std::unique_ptr<PluginInstance> create (Steinberg::IPluginFactory* factory,
	                                               const Steinberg::TUID componentClass,
	                                               std::string& error);
	~PluginInstance ();

	/** Copies the component's state into the controller, as a host does after loading. */
	bool syncControllerState ();

	Steinberg::IPtr<Steinberg::Vst::IComponent> component;
	Steinberg::IPtr<Steinberg::Vst::IAudioProcessor> processor;
	Steinberg::IPtr<Steinberg::Vst::IEditController> controller;

private:
	PluginInstance () = default;
	Steinberg::IPtr<Steinberg::Vst::IConnectionPoint> componentPoint;
	Steinberg::IPtr<Steinberg::Vst::IConnectionPoint> controllerPoint;
};

} // namespace tarvo::host
