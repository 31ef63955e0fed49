// The control handler in-process, with the simulated driver library beside
// this program: control codes and their results (Wine's ControlService does
// not pass a handler's result on), device events as Windows delivers them,
// start-up discovery of the transceivers the prefix lists, and device
// changes and a stop racing with requests in flight.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/request.h"
#include "devices/device_channel.h"
#include "devices/device_table.h"
#include "devices/win/discovery.h"
#include "pipe/pipe_server.h"
#include "service/service.h"
#include "service/tests/stress_support.h"
#include "tests/ftd2xx-sim/sim_script.h"

namespace {

void ScriptTransceivers(const std::string& text) {
  ASSERT_TRUE(WriteSimConfig(ProgramFolder(), text));
}

std::string SimLog() {
  std::string all;
  for (const std::string& line : SimLogSince(ProgramFolder(), 0)) all += line + "\n";
  return all;
}

int CountLines(const std::string& log, const std::string& needle) {
  int n = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.find(needle) != std::string::npos) ++n;
  }
  return n;
}

// The event data Windows hands a service for a device-interface event.
struct InterfaceEvent {
  std::vector<BYTE> bytes;
  explicit InterfaceEvent(const std::wstring& path, DWORD deviceType = DBT_DEVTYP_DEVICEINTERFACE) {
    size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * 2;
    bytes.assign(size, 0);
    auto* e = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
    e->dbcc_size = static_cast<DWORD>(size);
    e->dbcc_devicetype = deviceType;
    e->dbcc_classguid = kUsbDeviceInterfaceClass;
    std::memcpy(e->dbcc_name, path.c_str(), (path.size() + 1) * 2);
  }
  void* data() { return bytes.data(); }
};

DWORD Arrive(const std::wstring& path) {
  InterfaceEvent e(path);
  return ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, e.data(), nullptr);
}

DWORD Depart(const std::wstring& path) {
  InterfaceEvent e(path);
  return ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, e.data(),
                               nullptr);
}

void EmptyTable() { CloseEveryTransceiver(); }

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EmptyTable();
    ScriptTransceivers(
        "device serial=EL000123\n"
        "device serial=EL000777 pid=0xE0E8\n"
        "device serial=EL000999\n");
  }
  void TearDown() override { EmptyTable(); }
};

TEST_F(ControlTest, UnlistedControlCodesAreNotImplementedAndChangeNothing) {
  g_context.status.currentState = SERVICE_RUNNING;
  for (DWORD code : {0ul, 5ul, 6ul, 7ul, 8ul, 9ul, 10ul, 12ul, 129ul, 200ul, 255ul}) {
    EXPECT_EQ(ServiceControlHandler(code, 0, nullptr, nullptr), ERROR_CALL_NOT_IMPLEMENTED)
        << code;
    EXPECT_EQ(g_context.status.currentState, static_cast<DWORD>(SERVICE_RUNNING));
  }
}

TEST_F(ControlTest, ServiceMainWithoutAServiceManagerReportsNothingAndStartsNothing) {
  // Outside the service manager the handler cannot be registered: ServiceMain
  // must return without starting anything.
  ServiceMain(0, nullptr);
  EXPECT_EQ(g_context.statusHandle, nullptr);
  EXPECT_EQ(g_context.status.serviceType, 0x30u);
  EXPECT_EQ(g_context.status.currentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(g_context.status.controlsAccepted, 0u) << "no control but interrogate while starting";
  EXPECT_EQ(TableCount(g_context.devices), 0);
}

TEST_F(ControlTest, PauseContinueAndInterrogateOnlyChangeTheReportedState) {
  g_context.status.currentState = SERVICE_RUNNING;
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(g_context.status.currentState, static_cast<DWORD>(SERVICE_PAUSED));
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(g_context.status.currentState, static_cast<DWORD>(SERVICE_PAUSED));
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(g_context.status.currentState, static_cast<DWORD>(SERVICE_PAUSED));
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_CONTINUE, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(g_context.status.currentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ControlTest, ArrivalAddsRemovalTakesOutAndLaterRecordsMoveDown) {
  EXPECT_EQ(Arrive(TransceiverPath("EL000123")), 0u);
  EXPECT_EQ(Arrive(TransceiverPath("el000777", L"e0e8")), 0u);  // lower case
  EXPECT_EQ(Arrive(TransceiverPath("EL000999")), 0u);
  ASSERT_EQ(TableCount(g_context.devices), 3) << "each takes its slot at once";
  ASSERT_TRUE(WaitForOpens(5000)) << "and is opened on its own thread";
  EXPECT_STREQ(g_context.devices.entries[1]->serialNumber, "EL000777");

  // A duplicate, in another case, adds nothing.
  EXPECT_EQ(Arrive(TransceiverPath("El000123")), 0u);
  EXPECT_EQ(TableCount(g_context.devices), 3);

  EXPECT_EQ(Depart(TransceiverPath("EL000777", L"E0E8")), 0u);
  ASSERT_EQ(TableCount(g_context.devices), 2);
  EXPECT_STREQ(g_context.devices.entries[1]->serialNumber, "EL000999");
  EXPECT_EQ(g_context.devices.entries[1]->instance, 2);
  WaitForSimLog(ProgramFolder(), 0, "close", 1, 5000);
  EXPECT_EQ(CountLines(SimLog(), "EL000777 close 0"), 1);
}

TEST_F(ControlTest, OtherEventsAndOtherDevicesChangeNothing) {
  InterfaceEvent e(TransceiverPath("EL000123"));
  for (DWORD type : {0x8001ul, 0x8002ul, 0x8003ul, 0x8006ul, 0x0007ul}) {
    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, type, e.data(), nullptr), 0u);
  }
  InterfaceEvent volume(TransceiverPath("EL000123"), DBT_DEVTYP_VOLUME);
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, volume.data(),
                                  nullptr),
            0u);
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, nullptr, nullptr),
            0u);
  // Not a transceiver, and paths that break the form.
  EXPECT_EQ(Arrive(TransceiverPath("A9K2XQ1P", L"6001")), 0u);
  EXPECT_EQ(Arrive(L"\\\\?\\USB#VID_0403&PID_F06F"), 0u);
  EXPECT_EQ(Arrive(L""), 0u);
  EXPECT_EQ(Arrive(std::wstring(600, L'#')), 0u);
  EXPECT_EQ(TableCount(g_context.devices), 0);
}

TEST_F(ControlTest, StartUpDiscoveryOpensTheListedTransceiversOnly) {
  // The test prefix lists EL000123 (F06F), EL000777 (E0E8) and a USB-serial
  // device that is no transceiver.
  EnumeratePresentDevices(g_context);
  ASSERT_EQ(TableCount(g_context.devices), 2);
  ASSERT_TRUE(WaitForOpens(5000));
  std::string a = g_context.devices.entries[0]->serialNumber;
  std::string b = g_context.devices.entries[1]->serialNumber;
  EXPECT_TRUE((a == "EL000123" && b == "EL000777") || (a == "EL000777" && b == "EL000123"));
  EXPECT_EQ(SimLog().find("A9K2XQ1P"), std::string::npos);
}

// Requests through the real pipe server while transceivers come and go on
// this thread: every request is answered with one of the reply texts, and
// after the stop in the middle of traffic the answer is "not found".
TEST_F(ControlTest, DeviceChangesAndStopRaceSafelyWithRequestsInFlight) {
  static bool serverStarted = false;
  if (!serverStarted) {
    HANDLE t = CreateThread(nullptr, 0, PipeServerThread, nullptr, 0, nullptr);
    ASSERT_NE(t, nullptr);
    CloseHandle(t);
    serverStarted = true;
    Sleep(200);
  }
  std::atomic<bool> done{false};
  std::atomic<int> answered{0}, unexpected{0}, refused{0};
  auto ask = [](uint8_t iid, std::wstring& text) {
    return ExchangeOnce(StressRequest(iid), text, 5000) == Exchange::kReply;
  };
  auto client = [&](uint8_t iid) {
    while (!done) {
      std::wstring text;
      if (ask(iid, text)) {
        // A departed record is closed by its own thread; an arrival before
        // then waits for that close before it opens. Should the driver
        // still refuse the open, the record is dead until the next arrival
        // opens it again: requests for it get the driver's answer for a
        // handle that was never opened.
        if (text == L"ZARVO device handle invalid." || text == L"ZARVO device not opened.") {
          ++refused;
        } else if (text != L"OK" && text != L"ZARVO device not found.") {
          ++unexpected;
          std::printf("unexpected reply: %s\n", std::string(text.begin(), text.end()).c_str());
        }
        ++answered;
      }
    }
  };
  std::vector<std::thread> clients;
  for (uint8_t i = 0; i < 4; ++i) clients.emplace_back(client, static_cast<uint8_t>(i % 2));
  for (int round = 0; round < 20; ++round) {
    Arrive(TransceiverPath("EL000123"));
    Arrive(TransceiverPath("EL000777", L"E0E8"));
    Depart(TransceiverPath("EL000123"));
    Arrive(TransceiverPath("EL000123"));
    Depart(TransceiverPath("EL000777", L"E0E8"));
  }
  ServiceStop(g_context);
  EXPECT_EQ(TableCount(g_context.devices), 0);
  Sleep(100);
  int before = answered;
  Sleep(300);
  done = true;
  for (auto& t : clients) t.join();
  std::wstring after;
  ASSERT_TRUE(ask(0, after));
  EXPECT_EQ(after, L"ZARVO device not found.");
  EXPECT_GT(answered.load(), before);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GT(answered.load(), 20);
  std::printf("%d requests answered, %d of them for a record whose open the driver refused "
              "or that was being replaced\n",
              answered.load(), refused.load());
}

// Control 128 walks the devices again: what SetupAPI lists (the prefix's
// two transceivers) is added as a device event would add it, and a record
// whose device is no longer listed is removed. Last in this file: it takes
// a transceiver out of the prefix's registry.
TEST_F(ControlTest, RescanAddsWhatIsListedAndRemovesWhatIsNot) {
  g_context.status.currentState = SERVICE_RUNNING;
  EXPECT_EQ(Arrive(TransceiverPath("EL000999")), 0u);  // not in the registry
  ASSERT_EQ(ServiceControlHandler(128, 0, nullptr, nullptr), 0u);
  std::vector<std::string> serials;
  {
    LockHold hold(g_context.devices.guard);
    for (int i = 0; i < g_context.devices.count; ++i) {
      serials.push_back(g_context.devices.entries[i]->pathSerial);
    }
  }
  std::sort(serials.begin(), serials.end());
  EXPECT_EQ(serials, (std::vector<std::string>{"EL000123", "EL000777"}));

  // EL000777 leaves the machine without a word.
  const wchar_t kClass[] = L"System\\CurrentControlSet\\Control\\DeviceClasses\\"
                           L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  HKEY classes = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClass, 0, KEY_ALL_ACCESS, &classes), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(classes, L"##?#USB#VID_0403&PID_E0E8#EL000777#"
                                    L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
            ERROR_SUCCESS);
  RegCloseKey(classes);
  ASSERT_EQ(ServiceControlHandler(128, 0, nullptr, nullptr), 0u);
  ASSERT_EQ(TableCount(g_context.devices), 1);
  EXPECT_STREQ(g_context.devices.entries[0]->pathSerial, "EL000123");
  g_context.status.currentState = SERVICE_STOPPED;
  EXPECT_EQ(ServiceControlHandler(128, 0, nullptr, nullptr),
            static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL))
      << "nothing after STOPPED";
}

}  // namespace
