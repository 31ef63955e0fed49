// The administrator events on Windows: the program's message table has a
// text for every event with exactly its inserts; the writer thread writes
// what is reported and never makes a reporter wait; the event source's
// registry values; and the events of the start-up walk over the registry
// fixture's devices (two transceivers, one other device), with the
// simulated driver library beside the program.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/admin_event.h"
#include "core/tests/event_recorder.h"
#include "devices/device_channel.h"
#include "devices/device_table.h"
#include "devices/win/discovery.h"
#include "service/event_log.h"
#include "service/event_source.h"
#include "service/service.h"
#include "tests/ftd2xx-sim/sim_script.h"

namespace {

constexpr int kMarkers = 9;

// The message's text with the inserts "<1>" ... "<9>", or "" when the table
// has no such message.
std::wstring FormatWithMarkers(DWORD id) {
  static wchar_t markers[kMarkers][4];
  DWORD_PTR args[kMarkers];
  for (int i = 0; i < kMarkers; ++i) {
    swprintf(markers[i], 4, L"<%d>", i + 1);
    args[i] = reinterpret_cast<DWORD_PTR>(markers[i]);
  }
  wchar_t text[2048];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           GetModuleHandleW(nullptr), id, 0, text, 2048,
                           reinterpret_cast<va_list*>(args));
  return std::wstring(text, n);
}

TEST(MessageTable, EveryEventHasItsTextWithExactlyItsInserts) {
  for (size_t i = 0; i < kAdminEventCount; ++i) {
    const AdminEventInfo& info = kAdminEvents[i];
    SCOPED_TRACE(info.name);
    DWORD id = AdminEventMessageId(info.event);
    EXPECT_EQ(id & 0xFFFF, static_cast<DWORD>(info.event)) << "the viewer's number";
    EXPECT_NE(id >> 30, 0u) << "a severity: information, warning or error";
    std::wstring text = FormatWithMarkers(id);
    ASSERT_FALSE(text.empty()) << "no message " << std::hex << id;
    for (int m = 1; m <= kMarkers; ++m) {
      bool wanted = m <= info.inserts;
      bool found = text.find(L"<" + std::to_wstring(m) + L">") != std::wstring::npos;
      EXPECT_EQ(found, wanted) << "insert %" << m;
    }
    EXPECT_EQ(text.find(L'%'), std::wstring::npos);
  }
}

// Walks the table resource itself: every message in it belongs to an event,
// so none is left behind when an event is renumbered or removed.
TEST(MessageTable, HoldsNoMessageWithoutAnEvent) {
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(11));
  ASSERT_NE(found, nullptr);
  const void* resource = LockResource(LoadResource(nullptr, found));
  auto* data = static_cast<const MESSAGE_RESOURCE_DATA*>(resource);
  ASSERT_NE(data, nullptr);
  size_t messages = 0;
  for (DWORD b = 0; b < data->NumberOfBlocks; ++b) {
    const MESSAGE_RESOURCE_BLOCK& block = data->Blocks[b];
    for (DWORD id = block.LowId; id <= block.HighId; ++id) {
      ++messages;
      bool known = false;
      for (size_t i = 0; i < kAdminEventCount; ++i) {
        if (AdminEventMessageId(kAdminEvents[i].event) == id) known = true;
      }
      EXPECT_TRUE(known) << "message " << std::hex << id << " has no event";
    }
  }
  EXPECT_EQ(messages, kAdminEventCount);
}

TEST(EventLog, WritesWhatIsQueuedDropsTheRestAndNeverMakesTheReporterWait) {
  ASSERT_TRUE(EventLogStart());
  constexpr int kReports = 5000;
  auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < kReports; ++i) {
    ReportAdminEvent(kAdminWriteFailed,
                     {"EL000123", "0", "ZARVO i/o error.", "4", Decimal(i).text});
  }
  auto took = std::chrono::steady_clock::now() - begin;
  ASSERT_TRUE(EventLogStop(10000));
  EventLogCounts counts = EventLogCountsNow();
  EXPECT_EQ(counts.failed, 0u);
  // Each report either was written or was counted as dropped; every drop
  // was told in a later event of its own.
  EXPECT_EQ(counts.written - counts.dropNotices, kReports - counts.dropped);
  EXPECT_EQ(counts.dropped > 0, counts.dropNotices > 0);
  // A copy into the queue per report, not a write to the log.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 2000);

  ReportAdminEvent(kAdminServiceStopping);  // after the stop: goes nowhere
  EXPECT_EQ(EventLogCountsNow().written, counts.written);
  EXPECT_FALSE(EventLogStop(1000)) << "not running";

  // Long and non-UTF-8 inserts are cut or taken as Latin-1, never refused.
  ASSERT_TRUE(EventLogStart());
  std::string moved(5000, 'x');
  ReportAdminEvent(kAdminTransceiverPulledOut, {"EL\xE9\xFF", "1", moved.c_str()});
  ASSERT_TRUE(EventLogStop(10000));
  EXPECT_EQ(EventLogCountsNow().written, 1u);
}

TEST(EventLog, ErrorTextsForInserts) {
  char text[256];
  Win32ErrorText(ERROR_ACCESS_DENIED, text, sizeof text);
  std::string access(text);
  EXPECT_FALSE(access.empty());
  EXPECT_NE(access.back(), '.');
  EXPECT_EQ(access.find('\n'), std::string::npos);
  Win32ErrorText(0x2FFFFFFF, text, sizeof text);
  EXPECT_STREQ(text, "unknown error");
  char small[4];
  Win32ErrorText(ERROR_ACCESS_DENIED, small, sizeof small);
  EXPECT_LT(std::strlen(small), sizeof small);
}

const wchar_t kSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZARVO Remote";

TEST(EventSource, RegisteredWithThePlainPathAndRemoved) {
  const wchar_t path[] = L"C:\\Program Files\\ZARVO Remote\\ZARVOSRV.exe";
  ASSERT_TRUE(InstallEventSource(path));
  wchar_t value[MAX_PATH];
  DWORD size = sizeof value;
  DWORD type = 0;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kSourceKey, L"EventMessageFile",
                         RRF_RT_ANY | RRF_NOEXPAND, &type, value, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(value, path) << "no quotes: the value is a list of files";
  EXPECT_TRUE(type == REG_EXPAND_SZ || type == REG_SZ);
  DWORD types = 0;
  size = sizeof types;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kSourceKey, L"TypesSupported", RRF_RT_REG_DWORD,
                         nullptr, &types, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(types, static_cast<DWORD>(EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE |
                                      EVENTLOG_INFORMATION_TYPE));

  EXPECT_TRUE(RemoveEventSource());
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(RemoveEventSource()) << "removing what is not there is no failure";

  // A ';' would split the list: refused, and nothing is left behind.
  EXPECT_FALSE(InstallEventSource(L"C:\\a;b\\ZARVOSRV.exe"));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}


// Each transceiver is opened, and its event reported, on its own thread:
// waits until none is still opening, then copies the table's EEPROM serial
// numbers and has every transceiver closed as the stop does.
std::vector<std::string> SettleAndClose() {
  for (int i = 0; i < 500; ++i) {
    bool opening = false;
    {
      LockHold hold(g_context.devices.guard);
      for (int k = 0; k < g_context.devices.count; ++k) {
        opening |= g_context.devices.entries[k]->openStatus.load() == kOpenPending;
      }
    }
    if (!opening) break;
    Sleep(10);
  }
  std::vector<std::string> serials;
  {
    LockHold hold(g_context.devices.guard);
    for (int k = 0; k < g_context.devices.count; ++k) {
      serials.push_back(g_context.devices.entries[k]->serialNumber);
    }
  }
  ServiceStop(g_context);
  TableReopen(g_context.devices);
  return serials;
}

const Recorded* FindFor(AdminEvent event, const std::string& first) {
  for (const Recorded& r : g_recorded) {
    if (r.event == event && !r.inserts.empty() && r.inserts[0].find(first) != std::string::npos) {
      return &r;
    }
  }
  return nullptr;
}

// The fixture's machine: EL000123 opens, EL000777 is refused by the driver,
// and the third device has another product id.
TEST(StartWalk, ReportsEveryDeviceOfVendor0403WithTheInstanceNumberClientsUse) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), "device serial=EL000123\n"
                                              "device serial=EL000777 open=3\n"));
  g_recorded.clear();
  SetAdminEventSink(RecordAdminEvent);
  EnumeratePresentDevices(g_context);
  std::vector<std::string> serials = SettleAndClose();
  SetAdminEventSink(nullptr);
  ASSERT_EQ(serials.size(), 2u);

  // The numbers are the table slots: EL000123's slot holds EL000123, and
  // EL000777, whose record stays in the table with its open status, has the
  // other one.
  const Recorded* inUse = FindFor(kAdminTransceiverInUse, "EL000123");
  ASSERT_NE(inUse, nullptr);
  ASSERT_TRUE(inUse->inserts[1] == "0" || inUse->inserts[1] == "1");
  int slot = inUse->inserts[1][0] - '0';
  EXPECT_EQ(serials[slot], "EL000123");
  const Recorded* notOpened = FindFor(kAdminTransceiverNotOpened, "EL000777");
  ASSERT_NE(notOpened, nullptr);
  EXPECT_EQ(notOpened->inserts[1], slot == 0 ? "1" : "0");
  EXPECT_EQ(notOpened->inserts[2], "ZARVO device not opened.");
  EXPECT_EQ(notOpened->inserts[3], "3");
  const Recorded* ignored = FindFor(kAdminDeviceIgnored, "A9K2XQ1P");
  ASSERT_NE(ignored, nullptr);
  EXPECT_EQ(ignored->inserts[0], "USB\\VID_0403&PID_6001\\A9K2XQ1P");
  EXPECT_EQ(ignored->inserts[1], "6001");
  EXPECT_EQ(ignored->inserts[2], "another product id");
  EXPECT_EQ(g_recorded.size(), 3u);
}

// What a device event carries for a device path.
std::vector<uint8_t> ArrivalOf(const wchar_t* path) {
  size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (wcslen(path) + 1) * 2;
  std::vector<uint8_t> data(size);
  auto* event = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(data.data());
  event->dbcc_size = static_cast<DWORD>(size);
  event->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  std::memcpy(event->dbcc_name, path, (wcslen(path) + 1) * 2);
  return data;
}

TEST(DeviceEvents, APluggedInTransceiverIsReportedWithTheNumberItGot) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), "device serial=EL000999\n"
                                              "device serial=EL000888 open=3\n"));
  g_recorded.clear();
  SetAdminEventSink(RecordAdminEvent);
  const wchar_t* paths[] = {
      L"\\\\?\\USB#VID_0403&PID_F06F#EL000999#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
      L"\\\\?\\USB#VID_0403&PID_6001#A9K2XQ1P#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
      L"\\\\?\\USB#VID_0403&PID_E0E8#EL000888#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
  };
  for (const wchar_t* path : paths) {
    std::vector<uint8_t> arrival = ArrivalOf(path);
    OnDeviceEvent(DBT_DEVICEARRIVAL, arrival.data(), g_context);
  }
  std::vector<std::string> serials = SettleAndClose();
  SetAdminEventSink(nullptr);
  ASSERT_EQ(serials.size(), 2u);

  // The two opens run on threads of their own: their events come in either
  // order, each with the slot its transceiver took in the order it arrived.
  ASSERT_EQ(g_recorded.size(), 2u) << "another product's arrival is no event";
  const Recorded* plugged = FindFor(kAdminTransceiverPluggedIn, "EL000999");
  ASSERT_NE(plugged, nullptr);
  EXPECT_EQ(plugged->inserts, (std::vector<std::string>{"EL000999", "0"}));
  const Recorded* notOpened = FindFor(kAdminTransceiverNotOpened, "EL000888");
  ASSERT_NE(notOpened, nullptr);
  EXPECT_EQ(notOpened->inserts,
            (std::vector<std::string>{"EL000888", "1", "ZARVO device not opened.", "3"}));
}

}  // namespace
