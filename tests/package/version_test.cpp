// The version resource of both programs, read the way Windows Explorer reads
// it. The programs are looked for beside this test program.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/version.h"

namespace {

std::wstring Beside(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L"\\/") + 1) + name;
}

std::wstring Field(const std::vector<BYTE>& info, const wchar_t* name) {
  std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  wchar_t* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
    return L"(missing)";
  return std::wstring(value);
}

void ExpectVersionResource(const wchar_t* file, const wchar_t* description) {
  std::wstring path = Beside(file);
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u) << "no version resource";
  std::vector<BYTE> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
  std::string v(ZARVO_VERSION_TEXT);
  std::wstring version(v.begin(), v.end());
  EXPECT_EQ(Field(info, L"ProductName"), L"ZARVO Remote");
  EXPECT_EQ(Field(info, L"FileDescription"), description);
  EXPECT_EQ(Field(info, L"FileVersion"), version);
  EXPECT_EQ(Field(info, L"ProductVersion"), version);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
}

TEST(VersionResource, Service) { ExpectVersionResource(L"ZARVOSRV.exe", L"ZARVO Remote Service"); }
TEST(VersionResource, Client) {
  ExpectVersionResource(L"ZARVOCTL.exe", L"ZARVO Remote command-line client");
}
TEST(VersionResource, Bridge) { ExpectVersionResource(L"ZARVOMQTT.exe", L"ZARVO Remote MQTT bridge"); }

}  // namespace
