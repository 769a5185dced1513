#include "discovery/discoveryfiles.h"

#include "discovery/discoveryrecord.h"
#include "shared/utf8.h"

#include <stdexcept>

namespace tarvo {
namespace {

constexpr ULONGLONG kHeldFileMillis = 50;

/** A visualiser reading the record holds it open for a moment, and moving over it or
    deleting it is refused meanwhile. Tries again for about 50 ms (by the clock: one
    Sleep (1) may last 15 ms) before giving up. Every other retry only yields, so a
    reader that polls at the sleep's own period cannot hold the file at every attempt. */
template <typename Attempt>
bool retryWhileHeld (Attempt&& attempt)
{
	const ULONGLONG deadline = GetTickCount64 () + kHeldFileMillis;
	for (unsigned tries = 0; !attempt (); ++tries)
	{
		const DWORD error = GetLastError ();
		if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || GetTickCount64 () >= deadline)
			return false;
		Sleep (tries % 2);
	}
	return true;
}

} // namespace

DiscoveryFiles::DiscoveryFiles (std::filesystem::path recordPath)
: record (std::move (recordPath)), temporary (record.native () + L".tmp")
{
}

DiscoveryFiles::~DiscoveryFiles ()
{
	retryWhileHeld ([this] { return DeleteFileW (temporary.c_str ()) != FALSE; });
	retryWhileHeld ([this] { return DeleteFileW (record.c_str ()) != FALSE; });
}

void publishDiscoveryRecord (PublicationContext& context, uint32_t generation, const std::u16string& label)
{
	if (generation == context.publishedGeneration)
		return;
	const std::string text =
	    composeDiscoveryRecord (context.id, context.token, GetCurrentProcessId (), toUtf8 (label));

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

	if (!retryWhileHeld ([&] {
		    return MoveFileExW (context.files.temporaryPath ().c_str (), context.files.recordPath ().c_str (),
		                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
	    }))
		throw std::runtime_error ("Discovery publish failed");
	context.publishedGeneration = generation;
}

} // namespace tarvo
