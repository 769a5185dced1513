#include "pluginmodule.h"

#include "public.sdk/source/common/memorystream.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace tarvo::host {

using namespace Steinberg;

namespace {

/** Why a file is not a module this 64-bit host can load, read from its headers; empty
    when it looks like one. */
std::string notA64BitModule (const std::filesystem::path& file)
{
	std::ifstream in (file, std::ios::binary);
	char dos[64] = {};
	if (!in.read (dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
		return "not a Windows module";
	uint32_t at = 0;
	std::memcpy (&at, dos + 60, sizeof at);
	char pe[6] = {};
	if (!in.seekg (at) || !in.read (pe, sizeof pe) || std::memcmp (pe, "PE\0\0", 4) != 0)
		return "not a Windows module";
	const uint16_t machine = uint16_t (uint8_t (pe[4]) | uint8_t (pe[5]) << 8);
	if (machine == 0x014C)
		return "a 32-bit Windows module; a 64-bit host needs the x86_64-win build";
	if (machine != 0x8664)
		return "a Windows module for another processor (machine 0x" + [machine] {
			char hex[8];
			std::snprintf (hex, sizeof hex, "%04X", machine);
			return std::string (hex);
		}() + "), not x86-64";
	return {};
}

} // namespace

void (*exportedFunction (void* library, const char* name)) ()
{
	return reinterpret_cast<void (*) ()> (GetProcAddress (static_cast<HMODULE> (library), name));
}

std::filesystem::path resolveModuleFile (const std::filesystem::path& bundleOrFile)
{
	std::error_code ec;
	if (std::filesystem::is_directory (bundleOrFile, ec))
	{
		const auto stem = bundleOrFile.filename ().empty () ? bundleOrFile.parent_path ().filename ()
		                                                    : bundleOrFile.filename ();
		return bundleOrFile / "Contents" / "x86_64-win" / stem;
	}
	return bundleOrFile;
}

std::unique_ptr<PluginModule> PluginModule::load (const std::filesystem::path& bundleOrFile,
                                                  std::string& error)
{
	std::unique_ptr<PluginModule> module (new PluginModule);
	module->moduleFile = resolveModuleFile (bundleOrFile);
	const std::string name = module->moduleFile.u8string ();
	std::error_code ec;
	if (!std::filesystem::exists (module->moduleFile, ec))
	{
		error = name + ": no such file" +
		        (std::filesystem::is_directory (bundleOrFile, ec) ? " (a bundle keeps its module in Contents\\x86_64-win)" : "");
		return nullptr;
	}
	if (const std::string why = notA64BitModule (module->moduleFile); !why.empty ())
	{
		error = name + ": " + why;
		return nullptr;
	}
	HMODULE library = LoadLibraryW (module->moduleFile.wstring ().c_str ());
	if (!library)
	{
		const DWORD code = GetLastError ();
		error = name + (code == ERROR_BAD_EXE_FORMAT ? ": not a 64-bit Windows module"
		                : code == ERROR_MOD_NOT_FOUND ? ": a DLL it needs is missing"
		                : code == ERROR_DLL_INIT_FAILED ? ": its DllMain refused to load"
		                                                : ": cannot be loaded") +
		        " (Windows error " + std::to_string (code) + ")";
		return nullptr;
	}
	module->library = library;

	using FactoryProc = IPluginFactory* (PLUGIN_API*) ();
	auto getFactory = exported<FactoryProc> (library, "GetPluginFactory");
	module->initDll = exported<bool (*) ()> (library, "InitDll");
	module->exitDll = exported<bool (*) ()> (library, "ExitDll");
	for (const auto& [found, entry] : {std::pair {getFactory != nullptr, "GetPluginFactory"},
	                                   std::pair {module->initDll != nullptr, "InitDll"},
	                                   std::pair {module->exitDll != nullptr, "ExitDll"}})
		if (!found)
		{
			error = name + " is not a VST 3 module: it does not export " + entry;
			module->initDll = nullptr; // nothing to undo
			return nullptr;
		}
	if (!module->initDll ())
	{
		module->initDll = nullptr; // nothing to undo
		error = name + ": InitDll failed";
		return nullptr;
	}
	module->pluginFactory = getFactory ();
	if (!module->pluginFactory)
	{
		error = name + ": GetPluginFactory returned no factory";
		return nullptr;
	}
	return module;
}

PluginModule::~PluginModule ()
{
	if (pluginFactory)
		pluginFactory->release ();
	if (exitDll && initDll)
		exitDll ();
	if (library)
		FreeLibrary (static_cast<HMODULE> (library));
}

bool PluginModule::callExitDll () const
{
	return exitDll && exitDll ();
}

bool PluginModule::callInitDll () const
{
	return initDll && initDll ();
}

std::vector<ClassDescription> describeClasses (IPluginFactory* factory)
{
	std::vector<ClassDescription> classes;
	if (!factory)
		return classes;
	FUnknownPtr<IPluginFactory2> factory2 (factory);
	FUnknownPtr<IPluginFactory3> factory3 (factory);
	const int32 count = factory->countClasses ();
	for (int32 i = 0; i < count; ++i)
	{
		ClassDescription d;
		factory->getClassInfo (i, &d.info);
		if (factory2)
			d.hasInfo2 = factory2->getClassInfo2 (i, &d.info2) == kResultOk;
		if (factory3)
			d.hasInfoW = factory3->getClassInfoUnicode (i, &d.infoW) == kResultOk;
		classes.push_back (d);
	}
	return classes;
}

std::string uidToString (const TUID tuid)
{
	FUID uid = FUID::fromTUID (tuid);
	char8 text[40] = {};
	uid.toRegistryString (text);
	std::string result (text);
	// Registry form is "{...}"; callers add braces where they want them.
	if (result.size () >= 2 && result.front () == '{')
		result = result.substr (1, result.size () - 2);
	return result;
}

FUnknown* hostContext ()
{
	static Vst::HostApplication application;
	return static_cast<Vst::IHostApplication*> (&application);
}

std::unique_ptr<PluginInstance> PluginInstance::create (IPluginFactory* factory,
                                                        const TUID componentClass,
                                                        std::string& error)
{
	std::unique_ptr<PluginInstance> instance (new PluginInstance);
	Vst::IComponent* component = nullptr;
	if (factory->createInstance (componentClass, Vst::IComponent::iid,
	                             reinterpret_cast<void**> (&component)) != kResultOk ||
	    !component)
	{
		error = "the factory could not create the component";
		return nullptr;
	}
	instance->component = owned (component);
	if (instance->component->initialize (hostContext ()) != kResultOk)
	{
		error = "the component refused initialize";
		instance->component = nullptr;
		return nullptr;
	}
	instance->processor = FUnknownPtr<Vst::IAudioProcessor> (component);
	if (!instance->processor)
	{
		error = "the component is not an audio processor";
		return nullptr;
	}

	TUID controllerClass;
	if (component->getControllerClassId (controllerClass) == kResultOk)
	{
		Vst::IEditController* controller = nullptr;
		if (factory->createInstance (controllerClass, Vst::IEditController::iid,
		                             reinterpret_cast<void**> (&controller)) == kResultOk &&
		    controller)
		{
			instance->controller = owned (controller);
			if (controller->initialize (hostContext ()) != kResultOk)
			{
				error = "the controller refused initialize";
				instance->controller = nullptr;
				return nullptr;
			}
		}
	}

	if (instance->controller)
	{
		instance->componentPoint = FUnknownPtr<Vst::IConnectionPoint> (component);
		instance->controllerPoint = FUnknownPtr<Vst::IConnectionPoint> (instance->controller);
		if (instance->componentPoint && instance->controllerPoint)
		{
			instance->componentPoint->connect (instance->controllerPoint);
			instance->controllerPoint->connect (instance->componentPoint);
		}
		instance->syncControllerState ();
	}
	return instance;
}

bool PluginInstance::syncControllerState ()
{
	if (!controller)
		return false;
	MemoryStream stream;
	if (component->getState (&stream) != kResultOk)
		return false;
	stream.seek (0, IBStream::kIBSeekSet, nullptr);
	return controller->setComponentState (&stream) == kResultOk;
}

PluginInstance::~PluginInstance ()
{
	if (componentPoint && controllerPoint)
	{
		componentPoint->disconnect (controllerPoint);
		controllerPoint->disconnect (componentPoint);
	}
	componentPoint = nullptr;
	controllerPoint = nullptr;
	if (controller)
		controller->terminate ();
	if (component)
		component->terminate ();
	processor = nullptr;
	controller = nullptr;
	component = nullptr;
}

} // namespace tarvo::host
