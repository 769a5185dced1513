// What a host sees before any instance exists, through the built module: exports, factory,
// class descriptions and identifiers, the use count.
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

namespace {

const uint8_t kProcessorBytes[16] = {0x42, 0x9D, 0x6C, 0x8A, 0xE3, 0x19, 0x7A, 0x40,
                                     0xBA, 0xB4, 0xC2, 0x10, 0x52, 0xD0, 0x68, 0x91};
const uint8_t kControllerBytes[16] = {0x51, 0x8E, 0xC9, 0x63, 0x6A, 0x0C, 0xDF, 0x4E,
                                      0x91, 0xD2, 0xAB, 0x83, 0xF1, 0x90, 0x48, 0xCC};

// The text, then zeros to the end of the field.
template <size_t N>
void expectField (const char8 (&field)[N], const char* text)
{
	const size_t length = std::strlen (text);
	EXPECT_EQ (std::string (field, strnlen (field, N)), text);
	for (size_t i = length; i < N; ++i)
		ASSERT_EQ (field[i], 0) << "byte " << i << " after \"" << text << "\"";
}

} // namespace

TEST (Module, FactoryAndTwoClassesAsHostsStoreThem)
{
	HMODULE module = GetModuleHandleW (builtModule ().file ().wstring ().c_str ());
	for (const char* name : {"GetPluginFactory", "InitDll", "ExitDll"})
		EXPECT_NE (GetProcAddress (module, name), nullptr) << name;
	EXPECT_EQ (GetProcAddress (module, "DllMain"), nullptr);

	IPluginFactory* factory = builtModule ().factory ();
	PFactoryInfo info;
	ASSERT_EQ (factory->getFactoryInfo (&info), kResultOk);
	expectField (info.vendor, "Tarvo");
	expectField (info.url, "");
	expectField (info.email, "");
	EXPECT_EQ (info.flags, 16);

	ASSERT_EQ (factory->countClasses (), 2);
	FUnknownPtr<IPluginFactory2> factory2 (factory);
	FUnknownPtr<IPluginFactory3> factory3 (factory);
	ASSERT_TRUE (factory2 && factory3);
	const struct
	{
		const uint8_t* cid;
		const char *category, *name, *subCategories;
	} expected[] = {{kProcessorBytes, "Audio Module Class", "Tarvo Audio Server", "Fx|Analyzer"},
	                {kControllerBytes, "Component Controller Class", "Tarvo Audio Server Controller", ""}};
	for (int32 i = 0; i < 2; ++i)
	{
		PClassInfo2 c;
		PClassInfo basic;
		PClassInfoW wide;
		ASSERT_EQ (factory2->getClassInfo2 (i, &c), kResultOk);
		ASSERT_EQ (factory->getClassInfo (i, &basic), kResultOk);
		ASSERT_EQ (factory3->getClassInfoUnicode (i, &wide), kResultOk);
		for (const char8* cid : {c.cid, basic.cid, wide.cid})
			EXPECT_EQ (std::memcmp (cid, expected[i].cid, 16), 0) << i;
		EXPECT_EQ (c.cardinality, 0x7FFFFFFF);
		EXPECT_EQ (c.classFlags, 0u);
		expectField (c.category, expected[i].category);
		expectField (c.name, expected[i].name);
		expectField (basic.name, expected[i].name);
		expectField (c.subCategories, expected[i].subCategories);
		expectField (c.vendor, "");
		expectField (c.version, "2.0.36");
		expectField (c.sdkVersion, "VST 3.8.0");
		EXPECT_EQ (wide.name[0], u'T');
	}
	PClassInfo basic;
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
	auto getFactory = reinterpret_cast<IPluginFactory* (PLUGIN_API*) ()> (GetProcAddress (module, "GetPluginFactory"));
	const uint32 before = factory->addRef ();
	factory->release ();
	IPluginFactory* again = getFactory ();
	EXPECT_EQ (again, factory);
	EXPECT_EQ (factory->addRef (), before + 1);
	factory->release ();
	again->release ();
}

TEST (Module, InitAndExitKeepAUseCountAndTheLastExitForgetsThePanelClass)
{
	// A private copy of the module, so its counter starts from zero.
	const auto copy = std::filesystem::temp_directory_path () / "tarvo-usecount-test.vst3";
	std::filesystem::copy_file (builtModule ().file (), copy, std::filesystem::copy_options::overwrite_existing);
	HMODULE module = LoadLibraryW (copy.wstring ().c_str ());
	ASSERT_NE (module, nullptr);
	auto initDll = reinterpret_cast<bool (*) ()> (GetProcAddress (module, "InitDll"));
	auto exitDll = reinterpret_cast<bool (*) ()> (GetProcAddress (module, "ExitDll"));
	auto getFactory = reinterpret_cast<IPluginFactory* (*) ()> (GetProcAddress (module, "GetPluginFactory"));
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
