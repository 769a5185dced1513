// Reading back who a security descriptor lets in.
#pragma once

#include <windows.h>

#include <filesystem>
#include <vector>

namespace tarvo::test {

std::vector<unsigned char> currentUserSid ();
bool runningUnderWine ();

/** A descriptor that is protected and grants exactly the current user generic-all,
    inherited by files and folders. */
void expectUserOnly (PSECURITY_DESCRIPTOR descriptor);

/** Wine keeps no access list on files: it reports one made from the Unix mode bits, with
    entries for SYSTEM and the owner. There only "nobody else is let in" can be checked;
    on Windows the list must be exactly the one set. */
void expectDirectoryUserOnly (PSECURITY_DESCRIPTOR descriptor);

/** The access list of a file or folder as the system reports it. */
std::vector<unsigned char> fileSecurity (const std::filesystem::path& path);

} // namespace tarvo::test
