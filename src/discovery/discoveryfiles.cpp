#include "discovery/discoveryfiles.h"

#include "discovery/discoveryrecord.h"
#include "server/audioserver.h"
#include "shared/utf8.h"

#include <stdexcept>

namespace tarvo {
namespace {
constexpr int kPublishAttempts = 50;
}

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

	// A visualiser reading the old record holds it open for a moment, and the move over it
	// is refused meanwhile; a short retry keeps that from ending the whole run.
	for (int attempt = 0;; ++attempt)
	{
		if (MoveFileExW (context.files.temporaryPath ().c_str (), context.files.recordPath ().c_str (),
		                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
			break;
		const DWORD error = GetLastError ();
		if (attempt >= kPublishAttempts || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION))
			throw std::runtime_error ("Discovery publish failed");
		Sleep (1);
	}
	context.publishedGeneration = generation;
}

} // namespace tarvo
