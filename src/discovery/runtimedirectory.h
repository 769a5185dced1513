// The per-user folder where running senders keep their discovery records.
#pragma once

#include <filesystem>
#include <string>

namespace tarvo {

/** Where the runtime directory was taken from. */
enum class RuntimeSource
{
	localProfile,
	environment, // a folder the user named
};

/** TARVO_AUDIO_SERVER_RUNTIME when set and not empty (it must be absolute and nest no more
    than kMaxRuntimeDepth folders), else
    <local app data>\Tarvo Audio Server Prototype\Runtime-v5. Throws "Invalid runtime
    directory" or "Local profile unavailable". */
std::filesystem::path resolveRuntimeDirectory (RuntimeSource* source = nullptr);

/** A drive letter, a colon and a separator; or two leading separators (network or device). */
bool isAbsoluteWindowsPath (const std::wstring& path) noexcept;

} // namespace tarvo
