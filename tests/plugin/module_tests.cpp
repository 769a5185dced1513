// What a host sees before any instance exists: exports, factory, class descriptions.
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

// Every byte after the text up to the end of the field must be zero.
template <size_t N>
void expectField (const char8 (&field)[N], const char* text)
{
	const size_t length = std::strlen (text);
	ASSERT_LT (length, N);
	EXPECT_EQ (std::memcmp (field, text, length), 0) << text;
	for (size_t i = length; i < N; ++i)
		ASSERT_EQ (field[i], 0) << "byte " << i << " after \"" << text << "\"";
}

void expectClass (const PClassInfo2& info, const uint8_t (&cid)[16], const char* category,
                  const char* name, const char* subCategories)
{
	EXPECT_EQ (std::memcmp (info.cid, cid, 16), 0);
	EXPECT_EQ (info.cardinality, 0x7FFFFFFF);
	expectField (info.category, category);
	expectField (info.name, name);
	EXPECT_EQ (info.classFlags, 0u);
	expectField (info.subCategories, subCategories);
	expectField (info.vendor, "");
	expectField (info.version, "2.0.36");
	expectField (info.sdkVersion, "VST 3.8.0");
}

FARPROC exported (const char* name)
{
	HMODULE module = GetModuleHandleW (builtModule ().file ().wstring ().c_str ());
	return module ? GetProcAddress (module, name) : nullptr;
}

} // namespace

TEST (Module, ExportsTheThreeEntryPointsByName)
{
	EXPECT_NE (exported ("GetPluginFactory"), nullptr);
	EXPECT_NE (exported ("InitDll"), nullptr);
	EXPECT_NE (exported ("ExitDll"), nullptr);
	EXPECT_EQ (exported ("DllMain"), nullptr);
}

TEST (Module, FactoryInformation)
{
	PFactoryInfo info;
	ASSERT_EQ (builtModule ().factory ()->getFactoryInfo (&info), kResultOk);
	expectField (info.vendor, "Tarvo");
	expectField (info.url, "");
	expectField (info.email, "");
	EXPECT_EQ (info.flags, 16);
}

TEST (Module, TwoClassesInOrderWithExactDescriptions)
{
	IPluginFactory* factory = builtModule ().factory ();
	ASSERT_EQ (factory->countClasses (), 2);
	FUnknownPtr<IPluginFactory2> factory2 (factory);
	FUnknownPtr<IPluginFactory3> factory3 (factory);
	ASSERT_TRUE (factory2);
	ASSERT_TRUE (factory3);

	PClassInfo2 processor, controller;
	ASSERT_EQ (factory2->getClassInfo2 (0, &processor), kResultOk);
	ASSERT_EQ (factory2->getClassInfo2 (1, &controller), kResultOk);
	expectClass (processor, kProcessorBytes, "Audio Module Class", "Tarvo Audio Server", "Fx|Analyzer");
	expectClass (controller, kControllerBytes, "Component Controller Class",
	             "Tarvo Audio Server Controller", "");

	// getClassInfo reports the same identity; the Unicode form carries the same data.
	PClassInfo basic;
	ASSERT_EQ (factory->getClassInfo (0, &basic), kResultOk);
	EXPECT_EQ (std::memcmp (basic.cid, kProcessorBytes, 16), 0);
	expectField (basic.name, "Tarvo Audio Server");
	PClassInfoW wide;
	ASSERT_EQ (factory3->getClassInfoUnicode (1, &wide), kResultOk);
	EXPECT_EQ (std::memcmp (wide.cid, kControllerBytes, 16), 0);
	EXPECT_EQ (wide.name[0], u'T');
	EXPECT_EQ (wide.subCategories[0], 0);

	EXPECT_EQ (factory->getClassInfo (2, &basic), kInvalidArgument);
	EXPECT_EQ (factory->getClassInfo (-1, &basic), kInvalidArgument);
	EXPECT_EQ (factory2->getClassInfo2 (0, nullptr), kInvalidArgument);
}

TEST (Module, ClassIdTextMatchesTheStoredBytes)
{
	// A project that stored the GUID text finds the component again.
	FUID stored;
	ASSERT_TRUE (stored.fromRegistryString ("{8A6C9D42-19E3-407A-BAB4-C21052D06891}"));
	EXPECT_EQ (std::memcmp (stored.toTUID (), kProcessorBytes, 16), 0);
	Vst::IComponent* component = nullptr;
	ASSERT_EQ (builtModule ().factory ()->createInstance (stored.toTUID (), Vst::IComponent::iid,
	                                                      reinterpret_cast<void**> (&component)),
	           kResultOk);
	ASSERT_NE (component, nullptr);
	TUID controllerId;
	EXPECT_EQ (component->getControllerClassId (controllerId), kResultOk);
	EXPECT_EQ (std::memcmp (controllerId, kControllerBytes, 16), 0);
	component->release ();
}

TEST (Module, CreateInstanceRefusesUnknownClassesAndInterfaces)
{
	IPluginFactory* factory = builtModule ().factory ();
	void* object = reinterpret_cast<void*> (1);
	TUID unknown = {};
	EXPECT_EQ (factory->createInstance (unknown, Vst::IComponent::iid, &object), kNoInterface);
	EXPECT_EQ (object, nullptr);
	object = reinterpret_cast<void*> (1);
	EXPECT_EQ (factory->createInstance (reinterpret_cast<const char*> (kControllerBytes),
	                                    Vst::IAudioProcessor::iid, &object),
	           kNoInterface);
	EXPECT_EQ (object, nullptr);

	Vst::IEditController* controller = nullptr;
	ASSERT_EQ (factory->createInstance (reinterpret_cast<const char*> (kControllerBytes),
	                                    Vst::IEditController::iid,
	                                    reinterpret_cast<void**> (&controller)),
	           kResultOk);
	controller->release ();
}

TEST (Module, SecondGetPluginFactoryReturnsTheSameObjectWithOneMoreReference)
{
	using GetFactory = IPluginFactory* (PLUGIN_API*) ();
	auto getFactory = reinterpret_cast<GetFactory> (exported ("GetPluginFactory"));
	ASSERT_NE (getFactory, nullptr);
	IPluginFactory* factory = builtModule ().factory ();
	const uint32 before = factory->addRef ();
	factory->release ();
	IPluginFactory* again = getFactory ();
	EXPECT_EQ (again, factory);
	const uint32 after = factory->addRef ();
	factory->release ();
	EXPECT_EQ (after, before + 1);
	again->release ();
}

TEST (Module, InitAndExitKeepAUseCountAndTheLastExitForgetsThePanelClass)
{
	// A private copy of the module, so its counter starts from zero.
	const auto copy = std::filesystem::temp_directory_path () / "tarvo-usecount-test.vst3";
	std::filesystem::copy_file (builtModule ().file (), copy,
	                            std::filesystem::copy_options::overwrite_existing);
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
	EXPECT_TRUE (exitDll ());  // back to zero
	EXPECT_FALSE (GetClassInfoExW (module, L"TarvoAudioServerPanel", &panelClass));
	EXPECT_FALSE (exitDll ()); // one more than InitDll
	FreeLibrary (module);
	std::filesystem::remove (copy);
}
