// The service SID computed from a name is the one Windows gives the
// service: checked against a SID Windows documents, whatever the case of
// the name.
#include "bridge/win/service_sid.h"

#include <gtest/gtest.h>

#include <string>

TEST(ServiceSid, ComputedFromTheUpperCaseNameAsWindowsDoes) {
  wchar_t sid[kServiceSidTextUnits];
  ASSERT_TRUE(ServiceSidText(L"TrustedInstaller", sid));
  EXPECT_EQ(std::wstring(sid), L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
  wchar_t lower[kServiceSidTextUnits];
  ASSERT_TRUE(ServiceSidText(L"trustedinstaller", lower));
  EXPECT_EQ(std::wstring(lower), std::wstring(sid));

  wchar_t bridge[kServiceSidTextUnits];
  ASSERT_TRUE(ServiceSidText(L"ZARVOMQTT", bridge));
  EXPECT_EQ(std::wstring(bridge).rfind(L"S-1-5-80-", 0), 0u);
  EXPECT_NE(std::wstring(bridge), std::wstring(sid));

  EXPECT_FALSE(ServiceSidText(L"", sid));
  EXPECT_FALSE(ServiceSidText(std::wstring(257, L'x').c_str(), sid));
}
