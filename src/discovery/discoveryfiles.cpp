#include "discovery/discoveryfiles.h"

#include "discovery/discoveryrecord.h"
#include "shared/utf8.h"

#include <cstring>
#include <stdexcept>
#include <vector>

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

namespace {

/** A new file of the user's alone, open for writing and for renaming: never a file that
    was there before (whose own access list would stay), and never at a link's target (a
    create follows a link, also one whose target does not exist yet, unless told not to).
    Readers may open the record the moment it is renamed into place. */
UniqueHandle createNewFile (const std::filesystem::path& path, AccessDescriptor& access) noexcept
{
	return UniqueHandle (CreateFileW (path.c_str (), GENERIC_WRITE | DELETE, FILE_SHARE_READ, access.attributes (),
	                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

/** Moves the open file over `target`: the file that takes the record's name is the one
    just written, whatever happens to the temporary name meanwhile. */
bool renameOpenFile (HANDLE file, const std::filesystem::path& target)
{
	const std::wstring& name = target.native ();
	std::vector<FILE_RENAME_INFO> buffer (2 + name.size () * sizeof (wchar_t) / sizeof (FILE_RENAME_INFO));
	auto* rename = buffer.data ();
	rename->ReplaceIfExists = TRUE;
	rename->FileNameLength = DWORD (name.size () * sizeof (wchar_t));
	std::memcpy (rename->FileName, name.c_str (), (name.size () + 1) * sizeof (wchar_t));
	return SetFileInformationByHandle (file, FileRenameInfo, rename,
	                                   DWORD (sizeof (FILE_RENAME_INFO) + name.size () * sizeof (wchar_t))) != FALSE;
}

} // namespace

void publishDiscoveryRecord (PublicationContext& context, uint32_t generation, const std::u16string& label)
{
	if (generation == context.publishedGeneration)
		return;
	const std::string text =
	    composeDiscoveryRecord (context.id, context.token, GetCurrentProcessId (), toUtf8 (label));

	// The folder may be one where others can create files. Whatever they put under the
	// temporary name is never written into: a plain file is removed and the name made
	// anew; a folder, a link or anything else ends the publication.
	const std::filesystem::path& temporary = context.files.temporaryPath ();
	UniqueHandle file = createNewFile (temporary, context.access);
	if (!file && (GetLastError () == ERROR_FILE_EXISTS || GetLastError () == ERROR_ALREADY_EXISTS))
	{
		const DWORD attributes = GetFileAttributesW (temporary.c_str ());
		if (attributes != INVALID_FILE_ATTRIBUTES &&
		    !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) && DeleteFileW (temporary.c_str ()))
			file = createNewFile (temporary, context.access);
	}
	if (!file)
		throw std::runtime_error ("Discovery write failed");
	DWORD written = 0;
	if (!WriteFile (file.get (), text.data (), static_cast<DWORD> (text.size ()), &written, nullptr) ||
	    written != text.size ())
		throw std::runtime_error ("Discovery write failed");
	if (!FlushFileBuffers (file.get ()))
		throw std::runtime_error ("Discovery write failed");

	if (!retryWhileHeld ([&] { return renameOpenFile (file.get (), context.files.recordPath ()); }))
		throw std::runtime_error ("Discovery publish failed");
	context.publishedGeneration = generation;
}

} // namespace tarvo
