// Where a server run announces itself, and how the announcement is written and withdrawn.
#pragma once

#include "discovery/access.h"
#include "discovery/runtimedirectory.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace tarvo {

/** The record's path and its ".tmp" sibling; destruction withdraws both files. */
class DiscoveryFiles
{
public:
	explicit DiscoveryFiles (std::filesystem::path recordPath);
	~DiscoveryFiles ();
	DiscoveryFiles (const DiscoveryFiles&) = delete;
	DiscoveryFiles& operator= (const DiscoveryFiles&) = delete;

	const std::filesystem::path& recordPath () const noexcept { return record; }
	const std::filesystem::path& temporaryPath () const noexcept { return temporary; }

private:
	std::filesystem::path record;
	std::filesystem::path temporary;
};

struct PublicationContext
{
	uint32_t publishedGeneration {0};
	const DiscoveryFiles& files;
	const std::string& id;
	const std::string& token;
	AccessDescriptor& access;
};

/** Writes the record naming the sender `label` through its temporary file and moves it
    into place, unless the label's `generation` is the one last published. Throws
    "Invalid name", "Discovery write failed" or "Discovery publish failed". */
void publishDiscoveryRecord (PublicationContext& context, uint32_t generation, const std::u16string& label);

} // namespace tarvo
