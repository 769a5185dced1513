#include "discovery/runtimedirectory.h"

#include "shared/win32owners.h"

#include <shlobj.h>

#include <stdexcept>
#include <vector>

namespace tarvo {

std::filesystem::path resolveRuntimeDirectory ()
{
	constexpr DWORD kCapacity = 32768;
	std::vector<wchar_t> value (kCapacity, L'\0');
	const DWORD length = GetEnvironmentVariableW (L"TARVO_AUDIO_SERVER_RUNTIME", value.data (), kCapacity);
	if (length != 0)
	{
		if (length >= kCapacity)
			throw std::runtime_error ("Invalid runtime directory");
		std::filesystem::path dir (value.data ());
		if (!dir.is_absolute ())
			throw std::runtime_error ("Invalid runtime directory");
		return dir;
	}

	ComTaskString folder;
	if (FAILED (SHGetKnownFolderPath (FOLDERID_LocalAppData, 0, nullptr, folder.out ())))
		throw std::runtime_error ("Local profile unavailable");
	return std::filesystem::path (folder.get ()) / L"Tarvo Audio Server Prototype" / L"Runtime-v5";
}

} // namespace tarvo
