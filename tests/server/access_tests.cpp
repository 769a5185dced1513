// The user-only access list, the run's id and token, and the secured runtime directory.
#include "runtimefixture.h"
#include "securitychecks.h"

#include "discovery/access.h"
#include "shared/win32owners.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <fstream>
#include <set>
#include <stdexcept>

using namespace tarvo;
using namespace tarvo::test;

namespace {

std::string messageOf (const std::function<void ()>& action)
{
	try
	{
		action ();
	}
	catch (const std::runtime_error& e)
	{
		return e.what ();
	}
	return "(no error)";
}

} // namespace

TEST (Access, DescriptorGrantsOnlyTheCurrentUser)
{
	AccessDescriptor access = makeAccessDescriptor ();
	ASSERT_NE (access.descriptor (), nullptr);
	expectUserOnly (access.descriptor ());
	EXPECT_EQ (access.attributes ()->nLength, 24u);
	EXPECT_EQ (access.attributes ()->lpSecurityDescriptor, access.descriptor ());
	EXPECT_FALSE (access.attributes ()->bInheritHandle);

	PSID owner = nullptr;
	BOOL defaulted = FALSE;
	ASSERT_TRUE (GetSecurityDescriptorOwner (access.descriptor (), &owner, &defaulted));
	EXPECT_EQ (owner, nullptr);

	// A moved descriptor carries its attributes along.
	AccessDescriptor moved (std::move (access));
	EXPECT_EQ (moved.attributes ()->lpSecurityDescriptor, moved.descriptor ());
	EXPECT_EQ (access.descriptor (), nullptr);
	EXPECT_EQ (accessSddl (L"S-1-5-21-1"), L"D:P(A;OICI;GA;;;S-1-5-21-1)");
}

TEST (Access, RandomHexIsFortyEightLowerCaseDigitsAndNeverRepeats)
{
	std::set<std::string> seen;
	for (int i = 0; i < 200; ++i)
	{
		const std::string hex = makeRandomHex ();
		ASSERT_EQ (hex.size (), 48u);
		ASSERT_EQ (hex.find_first_not_of ("0123456789abcdef"), std::string::npos) << hex;
		seen.insert (hex);
	}
	EXPECT_EQ (seen.size (), 200u);
}

TEST (Access, MissingAncestorsAreCreatedAndSecured)
{
	test::RuntimeDirectory scratch;
	AccessDescriptor access = makeAccessDescriptor ();
	const auto deep = scratch.path () / "one" / "two" / "Runtime-v5";
	ensureSecureDirectory (deep, access);
	EXPECT_TRUE (std::filesystem::is_directory (deep));
	for (const auto& dir : {scratch.path () / "one", scratch.path () / "one" / "two", deep})
	{
		const auto security = fileSecurity (dir);
		ASSERT_FALSE (security.empty ()) << dir;
		expectDirectoryUserOnly (const_cast<unsigned char*> (security.data ()));
	}
	// A second run over the same tree is fine.
	EXPECT_NO_THROW (ensureSecureDirectory (deep, access));
}

TEST (Access, AnExistingWiderListIsReplacedAndTheParentKeepsItsOwn)
{
	test::RuntimeDirectory scratch;
	std::filesystem::create_directories (scratch.path () / "rt");
	const auto dir = scratch.path () / "rt";
	// Give the folder an inherited-friendly list open to everyone.
	PSECURITY_DESCRIPTOR open = nullptr;
	ASSERT_TRUE (ConvertStringSecurityDescriptorToSecurityDescriptorW (L"D:(A;OICI;GA;;;WD)", SDDL_REVISION_1,
	                                                                   &open, nullptr));
	LocalPtr<PSECURITY_DESCRIPTOR> openOwner (open);
	ASSERT_TRUE (SetFileSecurityW (dir.c_str (), DACL_SECURITY_INFORMATION, open));
	const auto parentBefore = fileSecurity (scratch.path ());

	AccessDescriptor access = makeAccessDescriptor ();
	ensureSecureDirectory (dir, access);
	const auto after = fileSecurity (dir);
	ASSERT_FALSE (after.empty ());
	expectDirectoryUserOnly (const_cast<unsigned char*> (after.data ()));
	EXPECT_EQ (fileSecurity (scratch.path ()), parentBefore);
}

TEST (Access, AnythingButAPlainDirectoryIsRefused)
{
	test::RuntimeDirectory scratch;
	std::filesystem::create_directories (scratch.path ());
	AccessDescriptor access = makeAccessDescriptor ();

	const auto file = scratch.path () / "not-a-folder";
	std::ofstream (file) << "x";
	EXPECT_EQ (messageOf ([&] { ensureSecureDirectory (file, access); }), "Unsafe discovery directory");

	const auto target = scratch.path () / "target";
	std::filesystem::create_directories (target);
	const auto link = scratch.path () / "link";
	const bool linked = CreateSymbolicLinkW (link.c_str (), target.c_str (), SYMBOLIC_LINK_FLAG_DIRECTORY);
	const DWORD linkAttributes = linked ? GetFileAttributesW (link.c_str ()) : INVALID_FILE_ATTRIBUTES;
	if (linked && linkAttributes != INVALID_FILE_ATTRIBUTES && (linkAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
		EXPECT_EQ (messageOf ([&] { ensureSecureDirectory (link, access); }), "Unsafe discovery directory");
	else
		std::printf ("  (no directory link this system reports as a reparse point; link case not run)\n");

	// A root that does not exist is not descended into for ever.
	wchar_t missingDrive[] = L"?:\\tarvo\\rt";
	for (wchar_t letter = L'Q'; letter <= L'Y'; ++letter)
	{
		const wchar_t root[] = {letter, L':', L'\\', 0};
		if (GetDriveTypeW (root) == DRIVE_NO_ROOT_DIR)
		{
			missingDrive[0] = letter;
			break;
		}
	}
	ASSERT_NE (missingDrive[0], L'?');
	EXPECT_EQ (messageOf ([&] { ensureSecureDirectory (missingDrive, access); }),
	           "Discovery directory unavailable");
}
