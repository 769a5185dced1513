#include "securitychecks.h"

#include "shared/win32owners.h"

#include <gtest/gtest.h>

namespace tarvo::test {

std::vector<unsigned char> currentUserSid ()
{
	HANDLE token = nullptr;
	OpenProcessToken (GetCurrentProcess (), TOKEN_QUERY, &token);
	UniqueHandle owner (token);
	DWORD size = 0;
	GetTokenInformation (token, TokenUser, nullptr, 0, &size);
	std::vector<unsigned char> buffer (size);
	GetTokenInformation (token, TokenUser, buffer.data (), size, &size);
	PSID sid = reinterpret_cast<TOKEN_USER*> (buffer.data ())->User.Sid;
	return std::vector<unsigned char> (static_cast<unsigned char*> (sid),
	                                   static_cast<unsigned char*> (sid) + GetLengthSid (sid));
}

bool runningUnderWine ()
{
	HMODULE ntdll = GetModuleHandleW (L"ntdll.dll");
	return ntdll && GetProcAddress (ntdll, "wine_get_version");
}

void expectUserOnly (PSECURITY_DESCRIPTOR descriptor)
{
	SECURITY_DESCRIPTOR_CONTROL control = 0;
	DWORD revision = 0;
	ASSERT_TRUE (GetSecurityDescriptorControl (descriptor, &control, &revision));
	EXPECT_TRUE (control & SE_DACL_PROTECTED);

	BOOL present = FALSE, defaulted = FALSE;
	PACL dacl = nullptr;
	ASSERT_TRUE (GetSecurityDescriptorDacl (descriptor, &present, &dacl, &defaulted));
	ASSERT_TRUE (present);
	ASSERT_NE (dacl, nullptr);
	ASSERT_EQ (dacl->AceCount, 1);
	void* ace = nullptr;
	ASSERT_TRUE (GetAce (dacl, 0, &ace));
	auto* allowed = static_cast<ACCESS_ALLOWED_ACE*> (ace);
	EXPECT_EQ (allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
	EXPECT_EQ (allowed->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
	           OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
	// Generic-all, as written, or already mapped to the file-specific full rights.
	EXPECT_TRUE (allowed->Mask == GENERIC_ALL || (allowed->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS)
	    << std::hex << allowed->Mask;
	const auto user = currentUserSid ();
	EXPECT_TRUE (EqualSid (&allowed->SidStart, const_cast<unsigned char*> (user.data ())));
}

void expectDirectoryUserOnly (PSECURITY_DESCRIPTOR descriptor)
{
	if (!runningUnderWine ())
	{
		expectUserOnly (descriptor);
		return;
	}
	BOOL present = FALSE, defaulted = FALSE;
	PACL dacl = nullptr;
	ASSERT_TRUE (GetSecurityDescriptorDacl (descriptor, &present, &dacl, &defaulted));
	ASSERT_TRUE (present && dacl);
	const auto user = currentUserSid ();
	unsigned char systemSid[SECURITY_MAX_SID_SIZE];
	DWORD systemSize = sizeof systemSid;
	ASSERT_TRUE (CreateWellKnownSid (WinLocalSystemSid, nullptr, systemSid, &systemSize));
	bool userAllowed = false;
	for (DWORD i = 0; i < dacl->AceCount; ++i)
	{
		void* ace = nullptr;
		ASSERT_TRUE (GetAce (dacl, i, &ace));
		auto* entry = static_cast<ACCESS_ALLOWED_ACE*> (ace);
		PSID sid = &entry->SidStart;
		const bool isUser = EqualSid (sid, const_cast<unsigned char*> (user.data ()));
		EXPECT_TRUE (isUser || EqualSid (sid, systemSid)) << "entry " << i << " lets someone else in";
		userAllowed |= isUser && entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE;
	}
	EXPECT_TRUE (userAllowed);
}

std::vector<unsigned char> fileSecurity (const std::filesystem::path& path)
{
	DWORD needed = 0;
	GetFileSecurityW (path.c_str (), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
	std::vector<unsigned char> bytes (needed);
	if (needed == 0 ||
	    !GetFileSecurityW (path.c_str (), DACL_SECURITY_INFORMATION, bytes.data (), needed, &needed))
		bytes.clear ();
	return bytes;
}

} // namespace tarvo::test
