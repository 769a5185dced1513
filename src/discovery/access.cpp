#include "discovery/access.h"

#include <bcrypt.h>
#include <sddl.h>

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

bool isMissingPathError (const std::error_code& ec)
{
	const int v = ec.value ();
	return v == ERROR_FILE_NOT_FOUND || v == ERROR_PATH_NOT_FOUND || v == ERROR_BAD_NETPATH ||
	       v == ERROR_INVALID_NAME || ec == std::errc::no_such_file_or_directory;
}

} // namespace

void ensureSecureDirectory (const std::filesystem::path& dir, AccessDescriptor& access, ExistingDirectory existing)
{
	const std::filesystem::path parent = dir.parent_path ();
	std::error_code ec;
	const bool parentExists = std::filesystem::exists (parent, ec);
	if (ec && !isMissingPathError (ec))
		throw std::filesystem::filesystem_error ("exists", parent, ec);
	// A root is its own parent: it is not descended into again.
	if (!parentExists && parent != dir)
		ensureSecureDirectory (parent, access, existing);

	const bool created = CreateDirectoryW (dir.c_str (), access.attributes ()) != FALSE;
	if (!created && GetLastError () != ERROR_ALREADY_EXISTS)
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

} // namespace tarvo
