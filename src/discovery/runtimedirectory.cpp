#include "discovery/runtimedirectory.h"

#include "discovery/access.h"
#include "shared/win32owners.h"

#include <shlobj.h>

#include <stdexcept>
#include <vector>

namespace tarvo {

bool isAbsoluteWindowsPath (const std::wstring& path) noexcept
{
	auto separator = [] (wchar_t c) { return c == L'\\' || c == L'/'; };
	const bool driveRoot = path.size () >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
	                       path[1] == L':' && separator (path[2]);
	const bool networkOrDevice = path.size () >= 2 && separator (path[0]) && separator (path[1]);
	return driveRoot || networkOrDevice;
}

std::filesystem::path resolveRuntimeDirectory (RuntimeSource* source)
{
	constexpr DWORD kCapacity = 32768;
	std::vector<wchar_t> value (kCapacity, L'\0');
	const DWORD length = GetEnvironmentVariableW (L"TARVO_AUDIO_SERVER_RUNTIME", value.data (), kCapacity);
	if (length != 0)
	{
		if (length >= kCapacity)
			throw std::runtime_error ("Invalid runtime directory");
		// The Windows rule, also for network roots, which this runtime's path class misses.
		const std::wstring dir (value.data ());
		if (!isAbsoluteWindowsPath (dir))
			throw std::runtime_error ("Invalid runtime directory");
		// Thousands of nested folders are no runtime directory anyone meant.
		auto separator = [] (wchar_t c) { return c == L'\\' || c == L'/'; };
		size_t names = 0;
		for (size_t i = windowsRootLength (dir); i < dir.size (); ++i)
			names += !separator (dir[i]) && (i == 0 || separator (dir[i - 1]));
		if (names > kMaxRuntimeDepth)
			throw std::runtime_error ("Invalid runtime directory");
		if (source)
			*source = RuntimeSource::environment;
		return std::filesystem::path (dir);
	}

	ComTaskString folder;
	if (FAILED (SHGetKnownFolderPath (FOLDERID_LocalAppData, 0, nullptr, folder.out ())))
		throw std::runtime_error ("Local profile unavailable");
	if (source)
		*source = RuntimeSource::localProfile;
	return std::filesystem::path (folder.get ()) / L"Tarvo Audio Server Prototype" / L"Runtime-v5";
}

} // namespace tarvo
