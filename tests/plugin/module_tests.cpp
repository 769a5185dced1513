// What a host sees before any instance exists, through the built module: the factory's
// answers, instances made from a stored class id, the use count.
#include "hostwindow.h"
#include "teststreams.h"

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <filesystem>

using namespace Steinberg;
using tarvo::test::builtModule;

const uint8_t kControllerBytes[16] = {0x51, 0x8E, 0xC9, 0x63, 0x6A, 0x0C, 0xDF, 0x4E, 0x91, 0xD2, 0xAB, 0x83, 0xF1, 0x90, 0x48, 0xCC};

// (What the factory says of itself and its classes is checked on the released bundle, as
// a host's scanner reads it.)
TEST (Module, TheFactoryAnswersEveryWayAHostAsksAndInitAndExitKeepAUseCount)
{
	HMODULE module = GetModuleHandleW (builtModule ().file ().wstring ().c_str ());
	EXPECT_EQ (GetProcAddress (module, "DllMain"), nullptr);
	IPluginFactory* factory = builtModule ().factory ();
	ASSERT_EQ (factory->countClasses (), 2);
	FUnknownPtr<IPluginFactory2> factory2 (factory);
	FUnknownPtr<IPluginFactory3> factory3 (factory);
	ASSERT_TRUE (factory2 && factory3);
	PClassInfo basic;
	PClassInfo2 second;
	PClassInfoW wide;
	for (int32 i = 0; i < 2; ++i)
	{
		ASSERT_EQ (std::make_tuple (factory->getClassInfo (i, &basic), factory2->getClassInfo2 (i, &second),
		                            factory3->getClassInfoUnicode (i, &wide)), std::make_tuple (kResultOk, kResultOk, kResultOk));
		EXPECT_EQ (std::make_pair (std::memcmp (second.cid, basic.cid, 16), std::memcmp (wide.cid, basic.cid, 16)), std::make_pair (0, 0));
		EXPECT_EQ (std::u16string (reinterpret_cast<const char16_t*> (wide.name)),
		           i ? u"Tarvo Audio Server Controller" : u"Tarvo Audio Server");
	}
	EXPECT_EQ (factory->getClassInfo (2, &basic), kInvalidArgument);
	EXPECT_EQ (factory->getClassInfo (-1, &basic), kInvalidArgument);

	// A project that stored the GUID text finds the component, which names its controller.
	FUID stored;
	ASSERT_TRUE (stored.fromRegistryString ("{8A6C9D42-19E3-407A-BAB4-C21052D06891}"));
	Vst::IComponent* component = nullptr;
	ASSERT_EQ (factory->createInstance (stored.toTUID (), Vst::IComponent::iid, reinterpret_cast<void**> (&component)), kResultOk);
	TUID controllerId;
	EXPECT_EQ (component->getControllerClassId (controllerId), kResultOk);
	EXPECT_EQ (std::memcmp (controllerId, kControllerBytes, 16), 0);
	component->release ();

	// Unknown classes and interfaces give nothing.
	void* object = reinterpret_cast<void*> (1);
	TUID unknown = {};
	EXPECT_EQ (factory->createInstance (unknown, Vst::IComponent::iid, &object), kNoInterface);
	EXPECT_EQ (object, nullptr);
	object = reinterpret_cast<void*> (1);
	EXPECT_EQ (factory->createInstance (reinterpret_cast<const char*> (kControllerBytes), Vst::IAudioProcessor::iid, &object),
	           kNoInterface);
	EXPECT_EQ (object, nullptr);

	// A second GetPluginFactory returns the same object with one more reference.
	auto getFactory = tarvo::host::exported<IPluginFactory* (PLUGIN_API*) ()> (module, "GetPluginFactory");
	const uint32 before = factory->addRef ();
	factory->release ();
	IPluginFactory* again = getFactory ();
	EXPECT_EQ (again, factory);
	EXPECT_EQ (factory->addRef (), before + 1);
	factory->release ();
	again->release ();

	// InitDll and ExitDll keep a use count, and the last exit forgets the panel class: on a
	// private copy of the module, so that its counter starts from zero.
	const auto copy = std::filesystem::temp_directory_path () / "tarvo-usecount-test.vst3";
	std::filesystem::copy_file (builtModule ().file (), copy, std::filesystem::copy_options::overwrite_existing);
	module = LoadLibraryW (copy.wstring ().c_str ());
	ASSERT_NE (module, nullptr);
	auto initDll = tarvo::host::exported<bool (*) ()> (module, "InitDll");
	auto exitDll = tarvo::host::exported<bool (*) ()> (module, "ExitDll");
	getFactory = tarvo::host::exported<IPluginFactory* (*) ()> (module, "GetPluginFactory");
	ASSERT_TRUE (initDll && exitDll && getFactory);
	EXPECT_TRUE (initDll ());
	EXPECT_TRUE (initDll ());
	{
		// Opening a panel registers its window class.
		std::string error;
		PClassInfo info;
		IPtr<IPluginFactory> factory = owned (getFactory ());
		factory->getClassInfo (0, &info);
		auto instance = tarvo::host::PluginInstance::create (factory, info.cid, error);
		ASSERT_TRUE (instance) << error;
		IPtr<IPlugView> view = owned (instance->controller->createView ("editor"));
		tarvo::host::EditorWindow window;
		ASSERT_TRUE (window.open (view, L"module test", error)) << error;
	}
	WNDCLASSEXW panelClass {sizeof panelClass};
	EXPECT_TRUE (GetClassInfoExW (module, L"TarvoAudioServerPanel", &panelClass));
	EXPECT_TRUE (exitDll ());
	EXPECT_TRUE (GetClassInfoExW (module, L"TarvoAudioServerPanel", &panelClass)); // still in use
	EXPECT_TRUE (exitDll ());
	EXPECT_FALSE (GetClassInfoExW (module, L"TarvoAudioServerPanel", &panelClass));
	EXPECT_FALSE (exitDll ()); // one more than InitDll
	FreeLibrary (module);
	std::filesystem::remove (copy);
}
