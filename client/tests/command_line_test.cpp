#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "client/command_line.h"

namespace {

// Builds a request from wide arguments (those after the program name).
bool Build(std::vector<const wchar_t*> args, PipeRequest& request) {
  return BuildPipeRequest(static_cast<int>(args.size()), args.data(), request);
}

TEST(ArgumentValue, FollowsDecimalWcstol) {
  EXPECT_EQ(ArgumentValue(L"17"), 17);
  EXPECT_EQ(ArgumentValue(L"  \t-7"), -7);
  EXPECT_EQ(ArgumentValue(L"+5"), 5);
  EXPECT_EQ(ArgumentValue(L"12abc"), 12);
  EXPECT_EQ(ArgumentValue(L"0x10"), 0);  // base 10: stops at the x
  EXPECT_EQ(ArgumentValue(L"abc"), 0);
  EXPECT_EQ(ArgumentValue(L""), 0);
  EXPECT_EQ(ArgumentValue(L"-"), 0);
}

TEST(ArgumentValue, ClampsToSigned32BitRangeWhateverTheWidthOfLong) {
  EXPECT_EQ(ArgumentValue(L"2147483647"), INT32_MAX);
  EXPECT_EQ(ArgumentValue(L"2147483648"), INT32_MAX);
  EXPECT_EQ(ArgumentValue(L"4294967296"), INT32_MAX);
  EXPECT_EQ(ArgumentValue(L"99999999999999999999999"), INT32_MAX);
  EXPECT_EQ(ArgumentValue(L"-2147483648"), INT32_MIN);
  EXPECT_EQ(ArgumentValue(L"-2147483649"), INT32_MIN);
}

TEST(BuildPipeRequest, SixArgumentsSendDataZero) {
  PipeRequest request;
  std::memset(&request, 0xEE, sizeof request);
  ASSERT_TRUE(Build({L".", L"1", L"1234", L"1111", L"4411", L"17"}, request));
  const uint8_t expected[10] = {1, 0, 0xD2, 0x04, 0x57, 0x04, 0x3B, 0x11, 17, 0};
  EXPECT_EQ(std::memcmp(&request, expected, sizeof expected), 0);
}

TEST(BuildPipeRequest, SevenArgumentsSendTheDataByte) {
  PipeRequest request{};
  ASSERT_TRUE(Build({L"host", L"0", L"1", L"2", L"3", L"4", L"200"}, request));
  EXPECT_EQ(request.data, 200);
  EXPECT_EQ(request.cmd, 4);
  EXPECT_EQ(request.reserved, 0);
}

TEST(BuildPipeRequest, FieldsKeepTheLowBitsOfTheValue) {
  PipeRequest request{};
  ASSERT_TRUE(Build({L".", L"-1", L"-1", L"65536", L"word", L"256", L"-2147483649"}, request));
  EXPECT_EQ(request.iid, 255);
  EXPECT_EQ(request.hc1, 65535);
  EXPECT_EQ(request.hc2, 0);
  EXPECT_EQ(request.addr, 0);
  EXPECT_EQ(request.cmd, 0);
  EXPECT_EQ(request.data, 0);  // INT32_MIN: low byte 0
  ASSERT_TRUE(Build({L".", L"256", L"70000", L"1", L"1", L"99999999999"}, request));
  EXPECT_EQ(request.iid, 0);
  EXPECT_EQ(request.hc1, 70000 - 65536);
  EXPECT_EQ(request.cmd, 255);  // INT32_MAX: low byte 0xFF
}

TEST(BuildPipeRequest, WrongArgumentCountsLeaveTheRequestAlone) {
  PipeRequest request;
  std::memset(&request, 0xEE, sizeof request);
  EXPECT_FALSE(Build({L".", L"0", L"1", L"1", L"1"}, request));
  EXPECT_FALSE(Build({L".", L"0", L"1", L"1", L"1", L"1", L"1", L"1"}, request));
  EXPECT_FALSE(Build({}, request));
  for (size_t i = 0; i < sizeof request; ++i) {
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&request)[i], 0xEE);
  }
}

TEST(FormatPipePath, DotNamesTheLocalPipe) {
  wchar_t path[kPipePathUnits];
  ASSERT_TRUE(FormatPipePath(L".", path, kPipePathUnits));
  EXPECT_EQ(std::wstring(path), L"\\\\.\\pipe\\doraruzoz");
  ASSERT_TRUE(FormatPipePath(L"192.168.1.20", path, kPipePathUnits));
  EXPECT_EQ(std::wstring(path), L"\\\\192.168.1.20\\pipe\\doraruzoz");
}

TEST(FormatPipePath, NeverWritesPastTheBuffer) {
  EXPECT_EQ(kLongestHostName, 238u);
  // The buffer sits inside a larger one whose tail must stay untouched.
  wchar_t guarded[kPipePathUnits + 8];
  for (wchar_t& c : guarded) c = L'#';
  std::wstring longest(kLongestHostName, L'h');
  ASSERT_TRUE(FormatPipePath(longest.c_str(), guarded, kPipePathUnits));
  EXPECT_EQ(std::wcslen(guarded), kPipePathUnits - 1);
  for (size_t i = kPipePathUnits; i < kPipePathUnits + 8; ++i) EXPECT_EQ(guarded[i], L'#');

  for (wchar_t& c : guarded) c = L'#';
  std::wstring tooLong(kLongestHostName + 1, L'h');
  EXPECT_FALSE(FormatPipePath(tooLong.c_str(), guarded, kPipePathUnits));
  EXPECT_EQ(guarded[0], L'\0');
  for (size_t i = 1; i < kPipePathUnits + 8; ++i) EXPECT_EQ(guarded[i], L'#');
  std::wstring huge(5000, L'h');
  EXPECT_FALSE(FormatPipePath(huge.c_str(), guarded, kPipePathUnits));
}

// The two listening forms, and what is not one of them.
TEST(ListenCommandOf, TakesListenAndStateAfterTheHostOnly) {
  auto of = [](std::vector<const wchar_t*> args) {
    return ListenCommandOf(static_cast<int>(args.size()), args.data());
  };
  EXPECT_EQ(of({L".", L"-listen"}), kListenCommand);
  EXPECT_EQ(of({L"host", L"/LISTEN"}), kListenCommand);
  EXPECT_EQ(of({L".", L"-state"}), kStateCommand);
  EXPECT_EQ(of({L".", L"/State"}), kStateCommand);
  EXPECT_EQ(of({L".", L"-states"}), kNoListenCommand);
  EXPECT_EQ(of({L".", L"-stat"}), kNoListenCommand);
  EXPECT_EQ(of({L".", L"state"}), kNoListenCommand);
  EXPECT_EQ(of({L".", L"-"}), kNoListenCommand);
  EXPECT_EQ(of({L".", L"-state", L"0"}), kNoListenCommand);
  EXPECT_EQ(of({L"-state"}), kNoListenCommand);
}

}  // namespace
