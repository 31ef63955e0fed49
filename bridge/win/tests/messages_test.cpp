// The bridge's message table: every bridge event has its text under its own
// number, with exactly its inserts, and nothing else is in the table.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "bridge/win/bridge_service.h"
#include "core/admin_event.h"

namespace {

std::wstring FormatWithMarkers(DWORD id) {
  static wchar_t markers[9][4];
  DWORD_PTR args[9];
  for (int i = 0; i < 9; ++i) {
    swprintf(markers[i], 4, L"<%d>", i + 1);
    args[i] = reinterpret_cast<DWORD_PTR>(markers[i]);
  }
  wchar_t text[2048];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, GetModuleHandleW(nullptr),
                           id, 0, text, 2048, reinterpret_cast<va_list*>(args));
  return std::wstring(text, n);
}

TEST(BridgeMessages, EveryEventHasItsTextWithExactlyItsInsertsAndNothingElseIsThere) {
  for (size_t i = 0; i < kBridgeEventCount; ++i) {
    const AdminEventInfo& info = kBridgeEvents[i];
    SCOPED_TRACE(info.name);
    DWORD id = BridgeEventMessageId(info.event);
    EXPECT_EQ(id & 0xFFFF, static_cast<DWORD>(info.event));
    EXPECT_NE(id >> 30, 0u) << "a severity";
    std::wstring text = FormatWithMarkers(id);
    ASSERT_FALSE(text.empty()) << "no message " << std::hex << id;
    for (int m = 1; m <= 9; ++m) {
      bool found = text.find(L"<" + std::to_wstring(m) + L">") != std::wstring::npos;
      EXPECT_EQ(found, m <= info.inserts) << "insert %" << m;
    }
  }
  EXPECT_EQ(BridgeEventMessageId(kAdminServiceStarted), 0u) << "the service's events are not the bridge's";
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(11));
  ASSERT_NE(found, nullptr);
  auto* data = static_cast<const MESSAGE_RESOURCE_DATA*>(LockResource(LoadResource(nullptr, found)));
  size_t messages = 0;
  for (DWORD b = 0; b < data->NumberOfBlocks; ++b) messages += data->Blocks[b].HighId - data->Blocks[b].LowId + 1;
  EXPECT_EQ(messages, kBridgeEventCount);
}

}  // namespace
