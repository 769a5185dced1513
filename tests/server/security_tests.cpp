// What a run exposes is for the current user only: the access list, the secured runtime
// directory and the pipe.
#include "runtimefixture.h"

#include "discovery/access.h"
#include "discovery/discoveryfiles.h"
#include "discovery/runtimedirectory.h"
#include "server/audioserver.h"
#include "shared/win32owners.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <fstream>
#include <set>

using namespace tarvo;
using namespace std::chrono_literals;

namespace {

std::vector<unsigned char> currentUserSid ()
{
	HANDLE token = nullptr;
	OpenProcessToken (GetCurrentProcess (), TOKEN_QUERY, &token);
	UniqueHandle owner (token);
	DWORD size = 0;
	GetTokenInformation (token, TokenUser, nullptr, 0, &size);
	std::vector<unsigned char> buffer (size);
	GetTokenInformation (token, TokenUser, buffer.data (), size, &size);
	auto* sid = static_cast<unsigned char*> (reinterpret_cast<TOKEN_USER*> (buffer.data ())->User.Sid);
	return {sid, sid + GetLengthSid (sid)};
}

/** The list is protected and holds one entry: the current user, generic-all (or the file
    rights it maps to), inherited by files and folders. Wine keeps no list on files and
    reports one made from the Unix mode bits, with entries for SYSTEM and the owner; for
    files and folders there (`onDisk`) only "nobody else is let in" can be checked. */
void expectUserOnly (PSECURITY_DESCRIPTOR descriptor, bool onDisk = false)
{
	const HMODULE ntdll = GetModuleHandleW (L"ntdll.dll");
	const bool lenient = onDisk && ntdll && GetProcAddress (ntdll, "wine_get_version");
	SECURITY_DESCRIPTOR_CONTROL control = 0;
	DWORD revision = 0;
	BOOL present = FALSE, defaulted = FALSE;
	PACL dacl = nullptr;
	ASSERT_TRUE (GetSecurityDescriptorControl (descriptor, &control, &revision));
	ASSERT_TRUE (GetSecurityDescriptorDacl (descriptor, &present, &dacl, &defaulted) && present && dacl);
	if (!lenient)
	{
		EXPECT_TRUE (control & SE_DACL_PROTECTED);
		ASSERT_EQ (dacl->AceCount, 1);
	}
	auto user = currentUserSid ();
	unsigned char systemSid[SECURITY_MAX_SID_SIZE];
	DWORD systemSize = sizeof systemSid;
	ASSERT_TRUE (CreateWellKnownSid (WinLocalSystemSid, nullptr, systemSid, &systemSize));
	bool userAllowed = false;
	for (DWORD i = 0; i < dacl->AceCount; ++i)
	{
		void* ace = nullptr;
		ASSERT_TRUE (GetAce (dacl, i, &ace));
		auto* entry = static_cast<ACCESS_ALLOWED_ACE*> (ace);
		const bool isUser = EqualSid (&entry->SidStart, user.data ());
		EXPECT_TRUE (isUser || (lenient && EqualSid (&entry->SidStart, systemSid))) << "entry " << i << " lets someone else in";
		userAllowed |= isUser && entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE;
		if (!lenient)
		{
			EXPECT_EQ (entry->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
			           OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
			EXPECT_TRUE (entry->Mask == GENERIC_ALL || (entry->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS)
			    << std::hex << entry->Mask;
		}
	}
	EXPECT_TRUE (userAllowed);
}

std::vector<unsigned char> securityOf (const std::filesystem::path& path)
{
	DWORD needed = 0;
	GetFileSecurityW (path.c_str (), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
	std::vector<unsigned char> bytes (needed);
	if (!needed || !GetFileSecurityW (path.c_str (), DACL_SECURITY_INFORMATION, bytes.data (), needed, &needed))
		bytes.clear ();
	return bytes;
}

void expectFileUserOnly (const std::filesystem::path& path)
{
	auto bytes = securityOf (path);
	ASSERT_FALSE (bytes.empty ()) << path;
	expectUserOnly (bytes.data (), true);
}

/** Gives `path` the access list `sddl`, as the user, or another user's tool, might. */
bool giveList (const std::filesystem::path& path, const wchar_t* sddl)
{
	LocalPtr<PSECURITY_DESCRIPTOR> list;
	return ConvertStringSecurityDescriptorToSecurityDescriptorW (sddl, SDDL_REVISION_1, list.out (), nullptr) &&
	       SetFileSecurityW (path.c_str (), DACL_SECURITY_INFORMATION, list.get ());
}

} // namespace

TEST (Access, TheDescriptorLetsInOnlyTheUserIdsNeverRepeatAndTheRuntimeDirectoryIsNarrowedToIt)
{
	AccessDescriptor access = makeAccessDescriptor ();
	ASSERT_NE (access.descriptor (), nullptr);
	expectUserOnly (access.descriptor ());
	EXPECT_EQ (std::make_tuple (access.attributes ()->nLength, access.attributes ()->bInheritHandle), std::make_tuple (24u, FALSE));
	PSID owner = nullptr;
	BOOL defaulted = FALSE;
	EXPECT_TRUE (GetSecurityDescriptorOwner (access.descriptor (), &owner, &defaulted) && owner == nullptr);
	AccessDescriptor moved (std::move (access)); // the attributes follow the descriptor
	EXPECT_EQ (moved.attributes ()->lpSecurityDescriptor, moved.descriptor ());
	EXPECT_EQ (access.descriptor (), nullptr);
	EXPECT_EQ (accessSddl (L"S-1-5-21-1"), L"D:P(A;OICI;GA;;;S-1-5-21-1)");

	std::set<std::string> seen;
	for (int i = 0; i < 200; ++i)
	{
		const std::string hex = *seen.insert (makeRandomHex ()).first;
		ASSERT_TRUE (hex.size () == 48 && hex.find_first_not_of ("0123456789abcdef") == std::string::npos) << hex;
	}
	EXPECT_EQ (seen.size (), 200u);

	test::RuntimeDirectory scratch;
	const auto deep = scratch.path () / "one" / "two" / "Runtime-v5";
	ensureSecureDirectory (deep, moved); // every missing folder is made and secured
	for (const auto& dir : {scratch.path () / "one", scratch.path () / "one" / "two", deep})
		expectFileUserOnly (dir);
	EXPECT_NO_THROW (ensureSecureDirectory (deep, moved));

	// A folder open to everyone is narrowed; its parent, open too, keeps its own list.
	const auto wide = scratch.path () / "wide";
	std::filesystem::create_directories (wide);
	for (const auto& dir : {scratch.path (), wide})
		ASSERT_TRUE (giveList (dir, L"D:(A;OICI;GA;;;WD)"));
	const auto parentBefore = securityOf (scratch.path ());
	ensureSecureDirectory (wide, moved);
	expectFileUserOnly (wide);
	EXPECT_EQ (securityOf (scratch.path ()), parentBefore);

	const auto file = scratch.path () / "not-a-folder";
	std::ofstream (file) << "x";
	EXPECT_EQ (test::errorOf ([&] { ensureSecureDirectory (file, moved); }), "Unsafe discovery directory");
	const auto link = scratch.path () / "link";
	const bool linked = CreateSymbolicLinkW (link.c_str (), deep.c_str (), SYMBOLIC_LINK_FLAG_DIRECTORY);
	const DWORD linkAttributes = linked ? GetFileAttributesW (link.c_str ()) : INVALID_FILE_ATTRIBUTES;
	if (linkAttributes != INVALID_FILE_ATTRIBUTES && (linkAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
		EXPECT_EQ (test::errorOf ([&] { ensureSecureDirectory (link, moved); }), "Unsafe discovery directory");
	else
		std::printf ("  (no directory link this system reports as a reparse point; link case not run)\n");

	// A root that does not exist is not descended into for ever.
	wchar_t missing[] = L"?:\\tarvo\\rt";
	for (wchar_t letter = L'Q'; letter <= L'Y' && missing[0] == L'?'; ++letter)
		if (const wchar_t root[] = {letter, L':', L'\\', 0}; GetDriveTypeW (root) == DRIVE_NO_ROOT_DIR)
			missing[0] = letter;
	ASSERT_NE (missing[0], L'?');
	EXPECT_EQ (test::errorOf ([&] { ensureSecureDirectory (missing, moved); }), "Discovery directory unavailable");
}

TEST (Security, ARunInAFolderTheUserNamedLeavesItsListAndKeepsTheTokenToTheUser)
{
	// A shared folder: everyone may read it, and it stays that way.
	test::RuntimeDirectory runtime;
	std::filesystem::create_directories (runtime.path ());
	ASSERT_TRUE (giveList (runtime.path (), L"D:(A;OICI;GA;;;WD)"));
	const auto before = securityOf (runtime.path ());
	{
		AudioServer server;
		server.start ();
		auto record = test::waitForSender (runtime.path ());
		ASSERT_TRUE (record);
		expectFileUserOnly (record->file);
		EXPECT_EQ (securityOf (runtime.path ()), before);
	}
	EXPECT_EQ (securityOf (runtime.path ()), before);

	// The record's temporary file, caught while a reader holds the record so that it
	// cannot be moved into place, is the user's alone too.
	test::Publisher p (runtime.path ());
	std::ofstream (p.files->recordPath ()) << "{}";
	UniqueHandle reader (CreateFileW (p.files->recordPath ().c_str (), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
	ASSERT_TRUE (reader);
	EXPECT_EQ (test::errorOf ([&] { p.publish (1, u"Shared"); }), "Discovery publish failed");
	expectFileUserOnly (p.files->temporaryPath ());
}

TEST (Access, AnAbsurdlyDeepRuntimeFolderIsRefusedAndTheHostCarriesOn)
{
	test::RuntimeDirectory scratch;
	for (const size_t length : {size_t (6000), size_t (32000)})
	{
		std::wstring deep = scratch.path ().wstring ();
		while (deep.size () < length)
			deep += L"\\d";
		test::setRuntimeVariable (deep);
		EXPECT_EQ (test::errorOf ([] { resolveRuntimeDirectory (); }), "Invalid runtime directory");
		// Made directly: refused before any folder is made, by a climb that does not recurse.
		AccessDescriptor access = makeAccessDescriptor ();
		EXPECT_EQ (test::errorOf ([&] { ensureSecureDirectory (deep, access); }), "Invalid runtime directory");
		// A sender told to use it reports the failure, and switching it off returns at once.
		AudioServer server;
		server.start ();
		EXPECT_TRUE (test::waitUntil ([&] { return server.status ().text == u"Connection unavailable"; }, 2000ms));
		const auto stopping = std::chrono::steady_clock::now ();
		server.stop ();
		EXPECT_LT (std::chrono::steady_clock::now () - stopping, 500ms);
	}
	EXPECT_FALSE (std::filesystem::exists (scratch.path () / "d"));
}

TEST (Security, WhatOthersPutUnderTheTemporaryNameIsNeverWrittenThrough)
{
	// Another user who may create files in the folder plants the record's temporary file
	// with a list that lets everyone read it: it is replaced by a file of the user's alone.
	test::RuntimeDirectory runtime;
	test::Publisher p (runtime.path ());
	const DiscoveryFiles& files = *p.files;
	std::ofstream (files.temporaryPath ()) << "planted";
	ASSERT_TRUE (giveList (files.temporaryPath (), L"D:(A;;GA;;;WD)"));
	p.publish (1, u"Planted on");
	expectFileUserOnly (files.recordPath ());
	EXPECT_NE (test::readFileBytes (files.recordPath ()).find (p.kToken), std::string::npos);
	EXPECT_FALSE (std::filesystem::exists (files.temporaryPath ()));

	// A folder, or a link to a file, under the name: nothing is written into or through it.
	// The folder fails the publication; so does the link on Windows, where a create of a
	// new file meets it, while Wine's create replaces the link itself.
	std::filesystem::create_directory (files.temporaryPath ());
	EXPECT_EQ (test::errorOf ([&] { p.publish (2, u"Into a folder"); }), "Discovery write failed");
	EXPECT_TRUE (std::filesystem::is_empty (files.temporaryPath ()));
	std::filesystem::remove (files.temporaryPath ());
	const auto victim = runtime.path () / "victim.txt";
	std::ofstream (victim) << "untouched";
	if (CreateSymbolicLinkW (files.temporaryPath ().c_str (), victim.c_str (), 0) &&
	    (GetFileAttributesW (files.temporaryPath ().c_str ()) & FILE_ATTRIBUTE_REPARSE_POINT))
	{
		const std::string error = test::errorOf ([&] { p.publish (3, u"Past a link"); });
		EXPECT_EQ (test::readFileBytes (victim), "untouched");
		if (error == "(no error)")
			expectFileUserOnly (files.recordPath ());
		else
			EXPECT_EQ (error, "Discovery write failed");
		std::printf ("  a link under the temporary name: %s\n", error == "(no error)" ? "replaced" : error.c_str ());
	}
	else
		std::printf ("  (no file link this system reports as a reparse point; link case not run)\n");
}

TEST (Security, ThePipeTakesOneLocalClientAndNoImpostorEnd)
{
	test::StartedServer started;
	const auto& record = started.record;
	ASSERT_TRUE (record);
	const std::string name = client::pipeNameFor (record->id);
	expectFileUserOnly (started.runtime.path ()); // (the record's own list: see the run in a shared folder)

	client::VisualiserClient client;
	std::string error;
	ASSERT_TRUE (client.open (name, error)) << error;
	EXPECT_FALSE (UniqueHandle (CreateFileA (name.c_str (), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr)))
	    << "a second open, while the first holds the pipe";
	client.close ();
	UniqueHandle pipe;
	ASSERT_TRUE (test::waitUntil ([&] {
		pipe.reset (CreateFileA (name.c_str (), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
		return pipe.valid ();
	}, 2000ms));
	LocalPtr<PSECURITY_DESCRIPTOR> descriptor;
	ASSERT_EQ (GetSecurityInfo (pipe.get (), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr, descriptor.out ()),
	           DWORD (ERROR_SUCCESS));
	expectUserOnly (descriptor.get ());

	// Another server end under the same name is refused, with or without first-instance.
	for (DWORD mode : {DWORD (PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE), DWORD (PIPE_ACCESS_DUPLEX)})
		EXPECT_FALSE (UniqueHandle (CreateNamedPipeA (name.c_str (), mode, PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr)));
	// Through the network path the pipe is not reached. (Wine has no network redirector,
	// so here this shows only that the path does not lead in; on Windows the pipe's
	// reject-remote flag refuses such a client.)
	EXPECT_FALSE (UniqueHandle (CreateFileA (("\\\\127.0.0.1\\pipe\\TarvoProto-" + record->id).c_str (),
	                                         GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
	started.server.stop ();
}
