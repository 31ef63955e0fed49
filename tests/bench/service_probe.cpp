// service-probe: the service benchmark's measuring tool (scripts/
// bench-service.sh). It looks at a running service from outside, through the
// service control manager and the process it names, and drives its pipe.
//
//   service-probe usage NAME
//       pid=N ws_kb=N peak_ws_kb=N handles=N threads=N of the service's
//       process (its CPU time the script reads from Linux: Wine's
//       GetProcessTimes reports none for another process)
//   service-probe requests COUNT CLIENTS IID
//       sends COUNT requests for transceiver IID over CLIENTS persistent
//       connections and prints ok=N other=N failed=N seconds=N
//   service-probe stop NAME
//       sends the stop control and prints stopped_ms=N (until the service
//       manager reports SERVICE_STOPPED) and exited_ms=N (until the process
//       has ended)
//   service-probe ask IID MARKER-FILE
//       writes one request for transceiver IID, creates MARKER-FILE once the
//       request is on its way, and prints reply=TEXT ms=N when the reply came
//   service-probe driver-cost SERIAL COUNT
//       loads the FTD2XX.dll beside this program, opens SERIAL and prints the
//       mean cost in microseconds of a modem-status poll and of an 11-byte
//       write (poll_us=N write_us=N), the driver's share of every request
//
// Exit code 0 when the measurement was made, 1 otherwise (the reason goes
// to standard output).
//
// Threads: the requests command runs one thread per client, each with its
// own connection and counters, read by the main thread after the join.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <thread>
#include <vector>

#include "core/request.h"
#include "tests/support/process_counts.h"
#include "tests/support/clock.h"

namespace {

const wchar_t kPipe[] = L"\\\\.\\pipe\\doraruzoz";

int Fail(const char* what) {
  std::printf("%s failed: error %lu\n", what, GetLastError());
  return 1;
}

// A request for transceiver `iid`: house code 1111 1111, address 1111,
// command 17.
PipeRequest ProbeRequest(uint8_t iid) {
  PipeRequest request = {};
  request.iid = iid;
  request.hc1 = 1111;
  request.hc2 = 1111;
  request.addr = 1111;
  request.cmd = 17;
  return request;
}

// The process that runs the service, from the service control manager.
bool ServicePid(const wchar_t* name, DWORD& pid) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
  bool ok = false;
  if (service) {
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    ok = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed) &&
         status.dwProcessId != 0;
    pid = status.dwProcessId;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return ok;
}

HANDLE OpenServiceProcess(const wchar_t* name, DWORD& pid) {
  if (!ServicePid(name, pid)) return nullptr;
  return OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, pid);
}

int Usage(const wchar_t* name) {
  DWORD pid = 0;
  HANDLE process = OpenServiceProcess(name, pid);
  if (!process) return Fail("finding the service's process");
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  if (!GetProcessMemoryInfo(process, &memory, sizeof memory)) return Fail("GetProcessMemoryInfo");
  std::printf("pid=%lu ws_kb=%lu peak_ws_kb=%lu handles=%lu threads=%d\n", pid,
              static_cast<unsigned long>(memory.WorkingSetSize / 1024),
              static_cast<unsigned long>(memory.PeakWorkingSetSize / 1024),
              ProcessHandleCount(pid), ProcessThreadCount(pid));
  CloseHandle(process);
  return 0;
}

struct Tally {
  long ok = 0, other = 0, failed = 0;
};

HANDLE OpenPipe() {
  for (int tries = 0; tries < 100; ++tries) {
    HANDLE pipe = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      if (SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) return pipe;
      CloseHandle(pipe);
      return INVALID_HANDLE_VALUE;
    }
    if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(kPipe, 5000)) break;
  }
  return INVALID_HANDLE_VALUE;
}

void SendRequests(long count, uint8_t iid, Tally& tally) {
  PipeRequest request = ProbeRequest(iid);
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (long n = 0; n < count; ++n) {
    if (pipe == INVALID_HANDLE_VALUE) pipe = OpenPipe();
    DWORD done = 0;
    wchar_t reply[512];
    if (pipe == INVALID_HANDLE_VALUE ||
        !WriteFile(pipe, &request, sizeof request, &done, nullptr) ||
        !ReadFile(pipe, reply, sizeof reply, &done, nullptr) || done < 2) {
      ++tally.failed;
      if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
      pipe = INVALID_HANDLE_VALUE;
      continue;
    }
    reply[done / 2 - 1] = 0;
    if (std::wcscmp(reply, L"OK") == 0) {
      ++tally.ok;
    } else {
      ++tally.other;
    }
  }
  if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
}

int Requests(long count, int clients, uint8_t iid) {
  if (clients < 1 || count < clients) return 2;
  std::vector<Tally> tallies(clients);
  std::vector<std::thread> threads;
  double started = NowMs();
  for (int i = 0; i < clients; ++i) {
    long share = count / clients + (i < count % clients ? 1 : 0);
    threads.emplace_back(SendRequests, share, iid, std::ref(tallies[i]));
  }
  for (std::thread& t : threads) t.join();
  Tally all;
  for (const Tally& t : tallies) {
    all.ok += t.ok;
    all.other += t.other;
    all.failed += t.failed;
  }
  std::printf("ok=%ld other=%ld failed=%ld seconds=%.2f\n", all.ok, all.other, all.failed,
              (NowMs() - started) / 1000);
  return all.failed == 0 ? 0 : 1;
}

int Ask(uint8_t iid, const wchar_t* marker) {
  HANDLE pipe = OpenPipe();
  if (pipe == INVALID_HANDLE_VALUE) return Fail("opening the pipe");
  PipeRequest request = ProbeRequest(iid);
  DWORD done = 0;
  if (!WriteFile(pipe, &request, sizeof request, &done, nullptr)) return Fail("WriteFile");
  double sent = NowMs();
  HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  wchar_t reply[512] = {};
  if (!ReadFile(pipe, reply, sizeof reply - 2, &done, nullptr)) return Fail("ReadFile");
  std::printf("reply=%ls ms=%.0f\n", reply, NowMs() - sent);
  CloseHandle(pipe);
  return 0;
}

// The driver's exports, looked up by name: this program runs with or without
// a driver library beside it.
typedef uint32_t(WINAPI* OpenExFn)(void*, uint32_t, void**);
typedef uint32_t(WINAPI* CloseFn)(void*);
typedef uint32_t(WINAPI* ModemFn)(void*, uint32_t*);
typedef uint32_t(WINAPI* WriteFn)(void*, void*, uint32_t, uint32_t*);

int DriverCost(const wchar_t* serial, long count) {
  HMODULE driver = LoadLibraryW(L"FTD2XX.dll");
  if (!driver || count < 1) return Fail("LoadLibraryW FTD2XX.dll");
  auto openEx = reinterpret_cast<OpenExFn>(reinterpret_cast<void*>(GetProcAddress(driver, "FT_OpenEx")));
  auto close = reinterpret_cast<CloseFn>(reinterpret_cast<void*>(GetProcAddress(driver, "FT_Close")));
  auto modem = reinterpret_cast<ModemFn>(reinterpret_cast<void*>(GetProcAddress(driver, "FT_GetModemStatus")));
  auto write = reinterpret_cast<WriteFn>(reinterpret_cast<void*>(GetProcAddress(driver, "FT_Write")));
  if (!openEx || !close || !modem || !write) return Fail("GetProcAddress");
  char narrow[32] = {};
  for (int i = 0; i < 31 && serial[i]; ++i) narrow[i] = static_cast<char>(serial[i]);
  void* handle = nullptr;
  if (openEx(narrow, 1, &handle) != 0) return Fail("FT_OpenEx");
  uint8_t frame[11] = {0x81, 0x09, 0x04, 0x30, 0x02, 0x01, 0x01, 0x1B, 0x00, 0x00, 0x11};
  double started = NowMs();
  for (long i = 0; i < count; ++i) {
    uint32_t status = 0;
    modem(handle, &status);
  }
  double polls = NowMs() - started;
  started = NowMs();
  for (long i = 0; i < count; ++i) {
    uint32_t written = 0;
    write(handle, frame, sizeof frame, &written);
  }
  double writes = NowMs() - started;
  close(handle);
  std::printf("poll_us=%.1f write_us=%.1f\n", polls * 1000 / count, writes * 1000 / count);
  return 0;
}

int Stop(const wchar_t* name) {
  DWORD pid = 0;
  HANDLE process = OpenServiceProcess(name, pid);
  if (!process) return Fail("finding the service's process");
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS)
                              : nullptr;
  if (!service) return Fail("OpenServiceW");
  double started = NowMs();
  SERVICE_STATUS status;
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) return Fail("ControlService");
  double stopped = -1;
  while (NowMs() - started < 30000) {
    if (!QueryServiceStatus(service, &status)) return Fail("QueryServiceStatus");
    if (status.dwCurrentState == SERVICE_STOPPED) {
      stopped = NowMs() - started;
      break;
    }
    Sleep(1);
  }
  DWORD ended = WaitForSingleObject(process, 30000);
  double exited = NowMs() - started;
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  CloseHandle(process);
  if (stopped < 0) return Fail("waiting for SERVICE_STOPPED");
  if (ended != WAIT_OBJECT_0) return Fail("waiting for the process to end");
  std::printf("stopped_ms=%.0f exited_ms=%.0f\n", stopped, exited);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && !std::wcscmp(argv[1], L"usage")) return Usage(argv[2]);
  if (argc >= 5 && !std::wcscmp(argv[1], L"requests")) {
    return Requests(std::wcstol(argv[2], nullptr, 10), static_cast<int>(std::wcstol(argv[3], nullptr, 10)),
                    static_cast<uint8_t>(std::wcstol(argv[4], nullptr, 10)));
  }
  if (argc >= 3 && !std::wcscmp(argv[1], L"stop")) return Stop(argv[2]);
  if (argc >= 4 && !std::wcscmp(argv[1], L"ask")) {
    return Ask(static_cast<uint8_t>(std::wcstol(argv[2], nullptr, 10)), argv[3]);
  }
  if (argc >= 4 && !std::wcscmp(argv[1], L"driver-cost")) {
    return DriverCost(argv[2], std::wcstol(argv[3], nullptr, 10));
  }
  std::printf("usage: service-probe usage NAME | requests COUNT CLIENTS IID | "
              "stop NAME | ask IID MARKER-FILE | driver-cost SERIAL COUNT\n");
  return 2;
}
