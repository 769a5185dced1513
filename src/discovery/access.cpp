#include "discovery/access.h"

#include <bcrypt.h>
#include <sddl.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace tarvo {

AccessDescriptor::AccessDescriptor () noexcept
: securityAttributes {sizeof (SECURITY_ATTRIBUTES), nullptr, FALSE}
{
}

AccessDescriptor::AccessDescriptor (AccessDescriptor&& other) noexcept
: owned (std::move (other.owned))
, securityAttributes {sizeof (SECURITY_ATTRIBUTES), owned.get (), FALSE}
{
	other.securityAttributes.lpSecurityDescriptor = nullptr;
}

std::wstring accessSddl (const std::wstring& userSid)
{
	return L"D:P(A;OICI;GA;;;" + userSid + L")";
}

AccessDescriptor makeAccessDescriptor ()
{
	AccessDescriptor access;

	HANDLE rawToken = nullptr;
	if (!OpenProcessToken (GetCurrentProcess (), TOKEN_QUERY, &rawToken))
		throw std::runtime_error ("Token unavailable");
	UniqueHandle token (rawToken);

	DWORD size = 0;
	GetTokenInformation (token.get (), TokenUser, nullptr, 0, &size);
	std::vector<unsigned char> buffer (size, 0);
	if (!GetTokenInformation (token.get (), TokenUser, buffer.data (), size, &size))
		throw std::runtime_error ("User unavailable");
	const auto* user = reinterpret_cast<const TOKEN_USER*> (buffer.data ());

	LocalPtr<LPWSTR> sidText;
	if (!ConvertSidToStringSidW (user->User.Sid, sidText.out ()))
		throw std::runtime_error ("SID unavailable");
	const std::wstring sddl = accessSddl (sidText.get ());
	sidText.reset ();

	if (!ConvertStringSecurityDescriptorToSecurityDescriptorW (sddl.c_str (), SDDL_REVISION_1,
	                                                           access.owned.out (), nullptr))
		throw std::runtime_error ("Security unavailable");
	access.securityAttributes.lpSecurityDescriptor = access.owned.get ();
	return access;
}

std::string makeRandomHex ()
{
	unsigned char bytes[24];
	if (!BCRYPT_SUCCESS (BCryptGenRandom (nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
		throw std::runtime_error ("Random source unavailable");
	static const char kDigits[] = "0123456789abcdef";
	std::string text;
	text.reserve (48);
	for (unsigned char b : bytes)
	{
		text.push_back (kDigits[b >> 4]);
		text.push_back (kDigits[b & 0x0F]);
	}
	SecureZeroMemory (bytes, sizeof bytes);
	return text;
}

namespace {

bool isMissingPathError (DWORD error)
{
	return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
	       error == ERROR_BAD_NET_NAME || error == ERROR_INVALID_NAME;
}

bool isSeparator (wchar_t c)
{
	return c == L'\\' || c == L'/';
}

/** Whether something is at `path`, asked of the system itself (the C runtime's stat sees
    every path with a '?' in it, such as "\\?\C:\x", as missing). */
bool exists (const std::wstring& path)
{
	if (GetFileAttributesW (path.c_str ()) != INVALID_FILE_ATTRIBUTES)
		return true;
	const DWORD error = GetLastError ();
	if (!isMissingPathError (error))
		throw std::filesystem::filesystem_error ("exists", path, std::error_code (int (error), std::system_category ()));
	return false;
}

/** `dir` reads as a directory that was there already: how Windows answers a create of a
    drive's root (access denied) and of a share's root, where the create itself fails. */
bool isDirectory (const std::wstring& dir)
{
	const DWORD attributes = GetFileAttributesW (dir.c_str ());
	return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void prepareDirectory (const std::wstring& dir, AccessDescriptor& access, ExistingDirectory existing)
{
	const bool created = CreateDirectoryW (dir.c_str (), access.attributes ()) != FALSE;
	if (!created && GetLastError () != ERROR_ALREADY_EXISTS && !isDirectory (dir))
		throw std::runtime_error ("Discovery directory unavailable");

	const DWORD attributes = GetFileAttributesW (dir.c_str ());
	if (attributes == INVALID_FILE_ATTRIBUTES ||
	    (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
		throw std::runtime_error ("Unsafe discovery directory");

	if ((created || existing == ExistingDirectory::narrow) &&
	    !SetFileSecurityW (dir.c_str (), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
	                       access.descriptor ()))
		throw std::runtime_error ("Discovery permissions unavailable");
}

} // namespace

size_t windowsRootLength (const std::wstring& path) noexcept
{
	// Where the root ends after `count` names from `at` on (separators before and between
	// them skipped, the one after them included); 0 when there are fewer names.
	auto afterNames = [&] (size_t at, int count) {
		for (int i = 0; i < count; ++i)
		{
			while (at < path.size () && isSeparator (path[at]))
				++at;
			const size_t start = at;
			while (at < path.size () && !isSeparator (path[at]))
				++at;
			if (at == start)
				return size_t (0);
		}
		return at < path.size () ? at + 1 : at;
	};
	if (path.size () >= 3 && path[1] == L':' && isSeparator (path[2]))
		return 3; // C:\ ...
	if (path.size () < 2 || !isSeparator (path[0]) || !isSeparator (path[1]))
		return 0;
	if (path.size () >= 4 && (path[2] == L'?' || path[2] == L'.') && isSeparator (path[3]))
	{
		// \\?\C:\, \\?\Volume{...}\ and \\.\C:\; \\?\UNC\server\share\ like a share.
		const bool unc = path.size () >= 8 && _wcsnicmp (path.c_str () + 4, L"UNC", 3) == 0 && isSeparator (path[7]);
		return unc ? afterNames (8, 2) : afterNames (4, 1);
	}
	return afterNames (2, 2); // \\server\share\ ...
}

void ensureSecureDirectory (const std::filesystem::path& dir, AccessDescriptor& access, ExistingDirectory existing)
{
	const std::wstring& path = dir.native ();
	const size_t root = windowsRootLength (path);
	// The folder above `folder`; empty for the root, above which nothing is made or asked.
	auto parentOf = [&] (const std::wstring& folder) {
		size_t end = folder.size ();
		while (end > root && isSeparator (folder[end - 1]))
			--end;
		if (end <= root)
			return std::wstring ();
		while (end > root && !isSeparator (folder[end - 1]))
			--end;
		while (end > root && isSeparator (folder[end - 1]))
			--end;
		return folder.substr (0, std::max (end, root));
	};
	// `dir` and its missing ancestors, climbing without recursion; then made top down. A
	// missing root (an unmapped drive) ends the climb, and its create fails.
	std::vector<std::wstring> chain {path};
	for (std::wstring parent = parentOf (path); !parent.empty () && !exists (parent); parent = parentOf (parent))
	{
		if (chain.size () >= kMaxRuntimeDepth)
			throw std::runtime_error ("Invalid runtime directory");
		chain.push_back (parent);
	}
	for (auto folder = chain.rbegin (); folder != chain.rend (); ++folder)
		prepareDirectory (*folder, access, existing);
}

} // namespace tarvo
