// tarvo-host moduleinfo: writes the bundle's moduleinfo.json from what the built module
// itself reports, as the build does after linking it.
#include "hosttool.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tarvo::hosttool {
namespace {

using namespace Steinberg;

std::string jsonQuote (const std::string& text)
{
	std::string out = "\"";
	for (unsigned char ch : text)
	{
		if (ch == '"' || ch == '\\')
		{
			out += '\\';
			out += static_cast<char> (ch);
		}
		else if (ch < 0x20)
		{
			char escape[8];
			std::snprintf (escape, sizeof escape, "\\u%04X", ch);
			out += escape;
		}
		else
			out += static_cast<char> (ch);
	}
	return out + "\"";
}

} // namespace

int moduleInfo (const tools::CommandLine& options)
{
	const std::string out = options.get ("out", "");
	if (out.empty ())
	{
		std::fprintf (stderr, "tarvo-host: moduleinfo needs --out FILE\n");
		return 2;
	}
	auto module = loadBundle (options);
	if (!module)
		return 1;
	PFactoryInfo info {};
	module->factory ()->getFactoryInfo (&info);
	const auto classes = host::describeClasses (module->factory ());

	std::ostringstream json;
	const std::string moduleName = module->file ().stem ().string ();
	std::string version = classes.empty () || !classes[0].hasInfo2
	                          ? std::string ()
	                          : fixedText (classes[0].info2.version, sizeof classes[0].info2.version);
	json << "{\n  \"Name\": " << jsonQuote (moduleName) << ",\n  \"Version\": " << jsonQuote (version)
	     << ",\n  \"Factory Info\": {\n    \"Vendor\": " << jsonQuote (fixedText (info.vendor, sizeof info.vendor))
	     << ",\n    \"URL\": " << jsonQuote (fixedText (info.url, sizeof info.url))
	     << ",\n    \"E-Mail\": " << jsonQuote (fixedText (info.email, sizeof info.email))
	     << ",\n    \"Flags\": {\n      \"Unicode\": "
	     << ((info.flags & PFactoryInfo::kUnicode) ? "true" : "false")
	     << ",\n      \"Classes Discardable\": "
	     << ((info.flags & PFactoryInfo::kClassesDiscardable) ? "true" : "false")
	     << ",\n      \"Component Non Discardable\": "
	     << ((info.flags & PFactoryInfo::kComponentNonDiscardable) ? "true" : "false")
	     << "\n    }\n  },\n  \"Compatibility\": [],\n  \"Classes\": [";
	for (size_t i = 0; i < classes.size (); ++i)
	{
		const auto& d = classes[i];
		std::string cid = host::uidToString (d.info.cid);
		cid.erase (std::remove (cid.begin (), cid.end (), '-'), cid.end ());
		json << (i ? "," : "") << "\n    {\n      \"CID\": " << jsonQuote (cid)
		     << ",\n      \"Category\": " << jsonQuote (fixedText (d.info.category, sizeof d.info.category))
		     << ",\n      \"Name\": " << jsonQuote (fixedText (d.info.name, sizeof d.info.name));
		if (d.hasInfo2)
		{
			json << ",\n      \"Vendor\": " << jsonQuote (fixedText (d.info2.vendor, sizeof d.info2.vendor))
			     << ",\n      \"Version\": " << jsonQuote (fixedText (d.info2.version, sizeof d.info2.version))
			     << ",\n      \"SDKVersion\": "
			     << jsonQuote (fixedText (d.info2.sdkVersion, sizeof d.info2.sdkVersion))
			     << ",\n      \"Sub Categories\": [";
			std::string sub = fixedText (d.info2.subCategories, sizeof d.info2.subCategories);
			std::istringstream parts (sub);
			std::string part;
			bool first = true;
			while (std::getline (parts, part, '|'))
			{
				if (part.empty ())
					continue;
				json << (first ? "" : ", ") << jsonQuote (part);
				first = false;
			}
			json << "],\n      \"Class Flags\": " << d.info2.classFlags;
		}
		json << ",\n      \"Cardinality\": " << d.info.cardinality
		     << ",\n      \"Snapshots\": []\n    }";
	}
	json << "\n  ]\n}\n";

	std::error_code ec;
	std::filesystem::create_directories (std::filesystem::path (out).parent_path (), ec);
	std::ofstream file (out, std::ios::binary);
	file << json.str ();
	file.close ();
	if (!file)
	{
		std::fprintf (stderr, "tarvo-host: cannot write %s\n", out.c_str ());
		return 1;
	}
	std::printf ("wrote %s\n", out.c_str ());
	return 0;
}

} // namespace tarvo::hosttool
