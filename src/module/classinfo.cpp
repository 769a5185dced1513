#include "module/classinfo.h"

#include "module/tarvocids.h"

#include <cstring>

namespace tarvo {
namespace {

using namespace Steinberg;

// The build defines the version once (major.minor.patch, unquoted), for the class
// descriptions and the version resource alike.
#ifndef TARVO_VERSION
#error "The build defines TARVO_VERSION"
#endif
#define TARVO_TEXT(x) #x
#define TARVO_VERSION_TEXT(x) TARVO_TEXT (x)
constexpr char kVersion[] = TARVO_VERSION_TEXT (TARVO_VERSION);
constexpr char kSdkVersion[] = "VST 3.8.0";

// Copies the text and zero-fills the rest of the fixed-width field.
template <size_t N>
void fill (char8 (&field)[N], const char* text)
{
	std::memset (field, 0, N);
	std::strncpy (field, text, N - 1);
}

PClassInfo2 describe (const FUID& cid, const char* category, const char* name,
                      const char* subCategories)
{
	PClassInfo2 info; // its constructor zeroes every field
	std::memcpy (info.cid, cid.toTUID (), sizeof (TUID));
	info.cardinality = PClassInfo::kManyInstances;
	fill (info.category, category);
	fill (info.name, name);
	info.classFlags = 0;
	fill (info.subCategories, subCategories);
	fill (info.vendor, "");
	fill (info.version, kVersion);
	fill (info.sdkVersion, kSdkVersion);
	return info;
}

} // namespace

const PFactoryInfo& factoryInfo ()
{
	static const PFactoryInfo info = [] {
		PFactoryInfo value; // its constructor zeroes every field
		fill (value.vendor, "Tarvo");
		fill (value.url, "");
		fill (value.email, "");
		value.flags = PFactoryInfo::kUnicode;
		return value;
	}();
	return info;
}

const PClassInfo2& processorClassInfo ()
{
	static const PClassInfo2 info =
	    describe (kProcessorUID, "Audio Module Class", "Tarvo Audio Server", "Fx|Analyzer");
	return info;
}

const PClassInfo2& controllerClassInfo ()
{
	static const PClassInfo2 info = describe (kControllerUID, "Component Controller Class",
	                                          "Tarvo Audio Server Controller", "");
	return info;
}

} // namespace tarvo
