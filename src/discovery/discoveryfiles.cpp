#include "discovery/discoveryfiles.h"

#include "discovery/discoveryrecord.h"
#include "server/audioserver.h"
#include "shared/utf8.h"

#include <stdexcept>

namespace tarvo {

DiscoveryFiles::DiscoveryFiles (std::filesystem::path recordPath)
: record (std::move (recordPath)), temporary (record.native () + L".tmp")
{
}

DiscoveryFiles::~DiscoveryFiles ()
{
	DeleteFileW (temporary.c_str ());
	DeleteFileW (record.c_str ());
}

void publishDiscoveryRecord (PublicationContext& context)
{
	const uint32_t generation = context.server.labelGeneration ();
	if (generation == context.publishedGeneration)
		return;
	const std::string label = toUtf8 (context.server.label ());
	const std::string text =
	    composeDiscoveryRecord (context.id, context.token, GetCurrentProcessId (), label);

	{
		UniqueHandle file (CreateFileW (context.files.temporaryPath ().c_str (), GENERIC_WRITE, 0,
		                                context.access.attributes (), CREATE_ALWAYS,
		                                FILE_ATTRIBUTE_NORMAL, nullptr));
		if (!file)
			throw std::runtime_error ("Discovery write failed");
		DWORD written = 0;
		if (!WriteFile (file.get (), text.data (), static_cast<DWORD> (text.size ()), &written, nullptr) ||
		    written != text.size ())
			throw std::runtime_error ("Discovery write failed");
		if (!FlushFileBuffers (file.get ()))
			throw std::runtime_error ("Discovery write failed");
	}

	if (!MoveFileExW (context.files.temporaryPath ().c_str (), context.files.recordPath ().c_str (),
	                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
		throw std::runtime_error ("Discovery publish failed");
	context.publishedGeneration = generation;
}

} // namespace tarvo
