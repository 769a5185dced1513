// tarvo-host moduleinfo: writes the bundle's moduleinfo.json from what the built module
// itself reports, as the build does after linking it.
#include "hosttool.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace tarvo::hosttool {

using namespace Steinberg;

int moduleInfo (const std::string& bundle, const std::string& out)
{
	auto module = loadBundle (bundle);
	if (!module)
		return 1;
	PFactoryInfo info {};
	module->factory ()->getFactoryInfo (&info);
	const auto classes = host::describeClasses (module->factory ());

	nlohmann::ordered_json json;
	json["Name"] = module->file ().stem ().string ();
	json["Version"] = classes.empty () || !classes[0].hasInfo2
	                      ? std::string ()
	                      : fixedText (classes[0].info2.version, sizeof classes[0].info2.version);
	json["Factory Info"] = {{"Vendor", fixedText (info.vendor, sizeof info.vendor)},
	                        {"URL", fixedText (info.url, sizeof info.url)},
	                        {"E-Mail", fixedText (info.email, sizeof info.email)},
	                        {"Flags",
	                         {{"Unicode", (info.flags & PFactoryInfo::kUnicode) != 0},
	                          {"Classes Discardable", (info.flags & PFactoryInfo::kClassesDiscardable) != 0},
	                          {"Component Non Discardable", (info.flags & PFactoryInfo::kComponentNonDiscardable) != 0}}}};
	json["Compatibility"] = nlohmann::ordered_json::array ();
	nlohmann::ordered_json& list = json["Classes"] = nlohmann::ordered_json::array ();
	for (const auto& d : classes)
	{
		std::string cid = host::uidToString (d.info.cid);
		cid.erase (std::remove (cid.begin (), cid.end (), '-'), cid.end ());
		nlohmann::ordered_json entry;
		entry["CID"] = cid;
		entry["Category"] = fixedText (d.info.category, sizeof d.info.category);
		entry["Name"] = fixedText (d.info.name, sizeof d.info.name);
		if (d.hasInfo2)
		{
			entry["Vendor"] = fixedText (d.info2.vendor, sizeof d.info2.vendor);
			entry["Version"] = fixedText (d.info2.version, sizeof d.info2.version);
			entry["SDKVersion"] = fixedText (d.info2.sdkVersion, sizeof d.info2.sdkVersion);
			nlohmann::ordered_json& sub = entry["Sub Categories"] = nlohmann::ordered_json::array ();
			std::istringstream parts (fixedText (d.info2.subCategories, sizeof d.info2.subCategories));
			for (std::string part; std::getline (parts, part, '|');)
				if (!part.empty ())
					sub.push_back (part);
			entry["Class Flags"] = d.info2.classFlags;
		}
		entry["Cardinality"] = d.info.cardinality;
		entry["Snapshots"] = nlohmann::ordered_json::array ();
		list.push_back (std::move (entry));
	}

	std::error_code ec;
	std::filesystem::create_directories (std::filesystem::path (out).parent_path (), ec);
	std::ofstream file (out, std::ios::binary);
	file << json.dump (2) << "\n";
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
