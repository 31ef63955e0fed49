// The state file's folder and its writes, with the Windows calls the service
// makes. Under Wine, owners and access lists of files are not stored: a
// folder reads back as owned by the Wine user, with an access list made
// from its Unix mode. What these tests hold on both: the access list we ask
// for is the one we mean, nobody else is given anything on the folder, the
// owners the store takes, and a write that replaces the file whole or not
// at all.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "bridge/win/service_sid.h"
#include "service/state_store.h"

namespace {

std::wstring TestFolder(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + L"zarvo-state-" + name;
  return folder;
}

std::string ReadAll(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The SID of a well-known account; LocalFree it.
PSID Sid(const wchar_t* text) {
  PSID sid = nullptr;
  ConvertStringSidToSidW(text, &sid);
  return sid;
}

// True when an ACE of `acl` allows anything to `sid`.
bool Allows(PACL acl, PSID sid) {
  for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(acl, i, reinterpret_cast<void**>(&ace))) continue;
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    if (EqualSid(reinterpret_cast<PSID>(&ace->SidStart), sid) && ace->Mask != 0) return true;
  }
  return false;
}

TEST(StateFolder, IsMadeWithAProtectedAccessListForTheSystemAndAdministratorsAlone) {
  // The text, as converted: owner Administrators, a protected list, full
  // control for the system and Administrators and read for the MQTT
  // bridge's own service account, each inherited by files and folders
  // inside.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kStateFolderSddl, SDDL_REVISION_1,
                                                                   &descriptor, nullptr));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
  EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  BOOL present = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl);
  ASSERT_EQ(dacl->AceCount, 3);
  wchar_t bridgeText[kServiceSidTextUnits];
  ASSERT_TRUE(ServiceSidText(L"ZARVOMQTT", bridgeText));
  PSID bridge = Sid(bridgeText);
  for (DWORD i = 0; i < 3; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
              OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    PSID sid = reinterpret_cast<PSID>(&ace->SidStart);
    if (i < 2) {
      EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
      EXPECT_TRUE(IsWellKnownSid(sid, i == 0 ? WinLocalSystemSid : WinBuiltinAdministratorsSid));
    } else {
      EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_GENERIC_READ));
      EXPECT_TRUE(EqualSid(sid, bridge)) << "not the bridge's service SID";
    }
  }
  LocalFree(bridge);
  LocalFree(descriptor);

  // The folder made with it: read back, nobody else is given anything, and
  // the store takes it (again when it is there already).
  std::wstring folder = TestFolder(L"made");
  RemoveDirectoryW(folder.c_str());
  char why[512];
  ASSERT_EQ(MakeStateFolder(folder.c_str(), why, sizeof why), 0u) << why;
  PSECURITY_DESCRIPTOR read = nullptr;
  PACL readDacl = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                  nullptr, &readDacl, nullptr, &read),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(StateOwnerAccepted(owner));
  for (const wchar_t* other : {L"WD", L"BU", L"AU", L"AN"}) {
    PSID sid = Sid(other);
    EXPECT_FALSE(Allows(readDacl, sid)) << "the folder gives " << static_cast<const void*>(other);
    LocalFree(sid);
  }
  LocalFree(read);
  EXPECT_EQ(MakeStateFolder(folder.c_str(), why, sizeof why), 0u) << why;

  // A file where the folder should be is refused.
  std::wstring file = TestFolder(L"a-file");
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(MakeStateFolder(file.c_str(), why, sizeof why), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_STREQ(why, "it is a file, not a folder");
  DeleteFileW(file.c_str());
  RemoveDirectoryW(folder.c_str());
}

TEST(StateFolder, OwnersOtherThanTheSystemAdministratorsOrTheServicesOwnAccountAreRefused) {
  for (const wchar_t* accepted : {L"SY", L"BA"}) {
    PSID sid = Sid(accepted);
    EXPECT_TRUE(StateOwnerAccepted(sid));
    LocalFree(sid);
  }
  // The account this process runs as (under Wine, the owner of every file).
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  union {
    TOKEN_USER user;
    uint8_t bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD length = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, &info, sizeof info, &length));
  CloseHandle(token);
  EXPECT_TRUE(StateOwnerAccepted(info.user.User.Sid));
  // Everyone, the users, an anonymous logon, another user of a domain.
  for (const wchar_t* refused : {L"WD", L"BU", L"AU", L"AN", L"S-1-5-21-1-2-3-1001"}) {
    PSID sid = Sid(refused);
    ASSERT_TRUE(sid);
    EXPECT_FALSE(StateOwnerAccepted(sid));
    LocalFree(sid);
  }
  EXPECT_FALSE(StateOwnerAccepted(nullptr));
}

TEST(StateFile, AWriteReplacesTheFileWholeOrLeavesItAsItWas) {
  std::wstring folder = TestFolder(L"writes");
  char why[512];
  ASSERT_EQ(MakeStateFolder(folder.c_str(), why, sizeof why), 0u) << why;
  std::wstring path = folder + L"\\state.txt";
  std::wstring fresh = path + L".new";
  std::string first = "first\r\n", second = std::string(100000, 'x') + "\r\n";
  ASSERT_EQ(WriteStateFile(folder.c_str(), first.data(), first.size()), 0u);
  EXPECT_EQ(ReadAll(path), first);
  // A new file left behind by a write that was cut short is no obstacle.
  HANDLE left = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(left, INVALID_HANDLE_VALUE);
  CloseHandle(left);
  ASSERT_EQ(WriteStateFile(folder.c_str(), second.data(), second.size()), 0u);
  EXPECT_EQ(ReadAll(path).size(), second.size());
  EXPECT_FALSE(Exists(fresh));

  // A program that holds the file without letting it be replaced: the write
  // fails, the file stays as it was, nothing is left beside it.
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_NE(WriteStateFile(folder.c_str(), first.data(), first.size()), 0u);
  CloseHandle(held);
  EXPECT_EQ(ReadAll(path).size(), second.size());
  EXPECT_FALSE(Exists(fresh));

  DeleteFileW(path.c_str());
  RemoveDirectoryW(folder.c_str());
}

}  // namespace
