// tarvo-host info: the factory and its classes as a host's plug-in scanner sees them.
#include "hosttool.h"

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"

#include "shared/utf8.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

namespace tarvo::hosttool {
namespace {

using namespace Steinberg;
using namespace Steinberg::Vst;

std::string tuidBytes (const TUID tuid)
{
	std::string text;
	char part[4];
	for (int i = 0; i < 16; ++i)
	{
		std::snprintf (part, sizeof part, i ? " %02X" : "%02X", static_cast<unsigned char> (tuid[i]));
		text += part;
	}
	return text;
}

const char* busTypeName (int32 type) { return type == kMain ? "main" : "aux"; }

/** The module's version resource, read as Windows reads it for the Details tab of the
    file's properties (and as an installer compares versions). */
void printVersionResource (const std::filesystem::path& file)
{
	DWORD ignored = 0;
	const DWORD size = GetFileVersionInfoSizeW (file.c_str (), &ignored);
	std::vector<unsigned char> data (size);
	VS_FIXEDFILEINFO* fixed = nullptr;
	UINT length = 0;
	if (size == 0 || !GetFileVersionInfoW (file.c_str (), 0, size, data.data ()) ||
	    !VerQueryValueW (data.data (), L"\\", reinterpret_cast<void**> (&fixed), &length) || !fixed)
	{
		std::printf ("Version  none: the module has no version resource\n");
		return;
	}
	auto numbers = [] (DWORD high, DWORD low) {
		return std::to_string (HIWORD (high)) + "." + std::to_string (LOWORD (high)) + "." +
		       std::to_string (HIWORD (low)) + "." + std::to_string (LOWORD (low));
	};
	std::printf ("Version  file %s, product %s\n", numbers (fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str (),
	             numbers (fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str ());

	auto narrow = [] (const wchar_t* text) {
		return tarvo::toUtf8 (std::u16string_view (reinterpret_cast<const char16_t*> (text)));
	};
	struct Translation
	{
		WORD language, codePage;
	}* translation = nullptr;
	if (!VerQueryValueW (data.data (), L"\\VarFileInfo\\Translation", reinterpret_cast<void**> (&translation),
	                     &length) ||
	    length < sizeof (Translation))
		return;
	for (const wchar_t* name : {L"CompanyName", L"ProductName", L"FileDescription", L"FileVersion",
	                            L"ProductVersion", L"OriginalFilename", L"InternalName", L"LegalCopyright"})
	{
		wchar_t key[96];
		std::swprintf (key, 96, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language, translation->codePage, name);
		wchar_t* text = nullptr;
		if (VerQueryValueW (data.data (), key, reinterpret_cast<void**> (&text), &length) && text)
			std::printf ("    %-16s \"%s\"\n", narrow (name).c_str (), narrow (text).c_str ());
	}
}

} // namespace

int info (const std::string& bundle)
{
	auto module = loadBundle (bundle);
	if (!module)
		return 1;
	IPluginFactory* factory = module->factory ();
	PFactoryInfo info {};
	factory->getFactoryInfo (&info);
	std::printf ("Module   %s\n", module->file ().string ().c_str ());
	printVersionResource (module->file ());
	std::printf ("Factory  vendor \"%s\", url \"%s\", email \"%s\", flags 0x%X%s\n",
	             fixedText (info.vendor, sizeof info.vendor).c_str (),
	             fixedText (info.url, sizeof info.url).c_str (),
	             fixedText (info.email, sizeof info.email).c_str (), static_cast<unsigned> (info.flags),
	             info.flags == PFactoryInfo::kUnicode ? " (Unicode)" : "");

	const auto classes = host::describeClasses (factory);
	std::printf ("Classes  %zu\n", classes.size ());
	for (size_t i = 0; i < classes.size (); ++i)
	{
		const auto& d = classes[i];
		std::printf ("\n[%zu] %s\n", i, fixedText (d.info.name, sizeof d.info.name).c_str ());
		std::printf ("    class ID        {%s}\n", host::uidToString (d.info.cid).c_str ());
		std::printf ("    TUID bytes      %s\n", tuidBytes (d.info.cid).c_str ());
		std::printf ("    category        %s\n", fixedText (d.info.category, sizeof d.info.category).c_str ());
		std::printf ("    cardinality     0x%X%s\n", static_cast<unsigned> (d.info.cardinality),
		             d.info.cardinality == PClassInfo::kManyInstances ? " (many instances)" : "");
		if (d.hasInfo2)
		{
			std::printf ("    sub-categories  \"%s\"\n",
			             fixedText (d.info2.subCategories, sizeof d.info2.subCategories).c_str ());
			std::printf ("    vendor          \"%s\"\n", fixedText (d.info2.vendor, sizeof d.info2.vendor).c_str ());
			std::printf ("    version         %s\n", fixedText (d.info2.version, sizeof d.info2.version).c_str ());
			std::printf ("    SDK version     %s\n",
			             fixedText (d.info2.sdkVersion, sizeof d.info2.sdkVersion).c_str ());
			std::printf ("    class flags     0x%X\n", static_cast<unsigned> (d.info2.classFlags));
		}
	}

	// A scanner also instantiates each effect to read its buses.
	for (const auto& d : classes)
	{
		if (std::strcmp (d.info.category, kVstAudioEffectClass) != 0)
			continue;
		std::string error;
		auto instance = host::PluginInstance::create (factory, d.info.cid, error);
		if (!instance)
		{
			std::printf ("\nInstance of %s: %s\n", d.info.name, error.c_str ());
			return 1;
		}
		TUID controllerClass {};
		instance->component->getControllerClassId (controllerClass);
		std::printf ("\nInstance of %s\n", d.info.name);
		std::printf ("    controller      {%s}%s\n", host::uidToString (controllerClass).c_str (),
		             instance->controller ? " (created and connected)" : " (not created)");
		for (BusDirection dir : {kInput, kOutput})
		{
			const int32 count = instance->component->getBusCount (kAudio, dir);
			for (int32 b = 0; b < count; ++b)
			{
				BusInfo bus {};
				instance->component->getBusInfo (kAudio, dir, b, bus);
				SpeakerArrangement arrangement = 0;
				instance->processor->getBusArrangement (dir, b, arrangement);
				char name[128] = {};
				for (int k = 0; k < 127 && bus.name[k]; ++k)
					name[k] = static_cast<char> (bus.name[k]);
				std::printf ("    %s bus %d     \"%s\", %d channels, arrangement 0x%llX, %s, flags 0x%X\n",
				             dir == kInput ? "input " : "output", static_cast<int> (b), name,
				             static_cast<int> (bus.channelCount),
				             static_cast<unsigned long long> (arrangement), busTypeName (bus.busType),
				             static_cast<unsigned> (bus.flags));
			}
		}
		std::printf ("    event buses     %d in, %d out\n",
		             static_cast<int> (instance->component->getBusCount (kEvent, kInput)),
		             static_cast<int> (instance->component->getBusCount (kEvent, kOutput)));
		std::printf ("    latency         %u samples, tail %u samples\n",
		             static_cast<unsigned> (instance->processor->getLatencySamples ()),
		             static_cast<unsigned> (instance->processor->getTailSamples ()));
		FUnknownPtr<IProcessContextRequirements> requirements (instance->component);
		if (requirements)
			std::printf ("    context needs   0x%X\n",
			             static_cast<unsigned> (requirements->getProcessContextRequirements ()));
		std::printf ("    64-bit samples  %s\n",
		             instance->processor->canProcessSampleSize (kSample64) == kResultTrue ? "yes" : "no");
	}
	return 0;
}

} // namespace tarvo::hosttool
