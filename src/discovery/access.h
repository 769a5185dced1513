// Restricting what a server run exposes to the current user, and the run's id and token.
#pragma once

#include "shared/win32owners.h"

#include <filesystem>
#include <string>

namespace tarvo {

/** A self-relative security descriptor granting only the current user full access
    (protected, inherited by files and subfolders), and the attributes that carry it. */
class AccessDescriptor
{
public:
	AccessDescriptor () noexcept;
	AccessDescriptor (AccessDescriptor&& other) noexcept;
	AccessDescriptor (const AccessDescriptor&) = delete;
	AccessDescriptor& operator= (const AccessDescriptor&) = delete;
	AccessDescriptor& operator= (AccessDescriptor&&) = delete;

	PSECURITY_DESCRIPTOR descriptor () const noexcept { return owned.get (); }
	SECURITY_ATTRIBUTES* attributes () noexcept { return &securityAttributes; }

private:
	friend AccessDescriptor makeAccessDescriptor ();
	LocalPtr<PSECURITY_DESCRIPTOR> owned;
	SECURITY_ATTRIBUTES securityAttributes;
};

/** Throws std::runtime_error: "Token unavailable", "User unavailable", "SID unavailable",
    "Security unavailable". */
AccessDescriptor makeAccessDescriptor ();

/** The SDDL text the descriptor is built from, for the given user SID string. */
std::wstring accessSddl (const std::wstring& userSid);

/** 24 bytes from the system's preferred generator as 48 lower-case hex characters.
    Throws "Random source unavailable". */
std::string makeRandomHex ();

/** What becomes of the access list of a directory that exists already. */
enum class ExistingDirectory
{
	narrow, // our own folder: given the protected user-only list again on every call
	keep,   // a folder the user named: it keeps its list
};

/** Folders a runtime directory may nest below its root: a deeper one is refused. */
constexpr size_t kMaxRuntimeDepth = 255;

/** The length of the root at the start of a Windows path: "C:\", "\\server\share\",
    "\\?\C:\", "\\?\UNC\server\share\" (with the separator after it where there is
    one); 0 when the path has none. */
size_t windowsRootLength (const std::wstring& path) noexcept;

/** Creates `dir` and any missing ancestors with the descriptor (what it creates is the
    user's alone) and refuses anything that is not a plain directory. Climbs no higher than
    the path's root; a root, which cannot be made, counts when it reads as a directory.
    Throws "Invalid runtime directory" when more than kMaxRuntimeDepth folders are missing. */
void ensureSecureDirectory (const std::filesystem::path& dir, AccessDescriptor& access,
                            ExistingDirectory existing = ExistingDirectory::narrow);

} // namespace tarvo
