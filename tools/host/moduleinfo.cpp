// tarvo-host moduleinfo: writes the bundle's moduleinfo.json from what the built module
// itself reports, as the build does after linking it.
#include "hosttool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace tarvo::hosttool {

using namespace Steinberg;

namespace {

/** The pictures of class `cid` in the bundle's Contents/Resources/Snapshots, named as hosts
    look for them: the class ID, "_snapshot", an optional "_2.0x" scale factor, ".png". */
nlohmann::ordered_json snapshotsOf (const std::filesystem::path& moduleFile, const std::string& cid)
{
	const std::filesystem::path folder = moduleFile.parent_path ().parent_path () / "Resources" / "Snapshots";
	std::vector<std::pair<double, std::string>> found;
	std::error_code ec;
	for (const auto& entry : std::filesystem::directory_iterator (folder, ec))
	{
		const std::string name = entry.path ().filename ().string ();
		const std::string prefix = cid + "_snapshot";
		if (name.size () < prefix.size () + 4 || name.compare (0, prefix.size (), prefix) != 0 ||
		    name.compare (name.size () - 4, 4, ".png") != 0)
			continue;
		const std::string scale = name.substr (prefix.size (), name.size () - 4 - prefix.size ());
		double factor = 1.0;
		if (!scale.empty () && !(scale.size () > 2 && scale.front () == '_' && scale.back () == 'x' &&
		                         (factor = std::atof (scale.c_str () + 1)) > 0.0))
			continue;
		found.emplace_back (factor, "Contents/Resources/Snapshots/" + name);
	}
	std::sort (found.begin (), found.end ());
	nlohmann::ordered_json list = nlohmann::ordered_json::array ();
	for (const auto& [factor, path] : found)
		list.push_back ({{"Scale Factor", factor}, {"Path", path}});
	return list;
}

} // namespace

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
		entry["Snapshots"] = snapshotsOf (module->file (), cid);
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
