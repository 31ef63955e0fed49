#include "service/tests/stress_support.h"
#include "tests/support/clock.h"

#include <dbt.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

#include "devices/device_table.h"
#include "devices/win/discovery.h"
#include "pipe/pipe_server.h"
#include "service/service.h"

namespace {

// The texts as clients see them, written out here rather than taken from
// the code under test.
const wchar_t* const kReplyTexts[] = {
    L"OK",
    L"ZARVO device handle invalid.",
    L"ZARVO device not found.",
    L"ZARVO device not opened.",
    L"ZARVO i/o error.",
    L"Insufficient resources.",
    L"Invalid parameter.",
    L"Invalid baud rate.",
    L"ZARVO device not opened for erase.",
    L"ZARVO device not opened for write.",
    L"Failed to write to ZARVO device.",
    L"EEPROM read failed.",
    L"EEPROM write failed.",
    L"EEPROM erase failed.",
    L"EEPROM not present.",
    L"EEPROM not programmed.",
    L"Invalid arguments.",
    L"Not supported.",
    L"Other error.",
};

DWORD SendDeviceEvent(DWORD eventType, const std::string& serial, const wchar_t* pid) {
  std::wstring path = TransceiverPath(serial, pid);
  size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * 2;
  std::vector<BYTE> bytes(size, 0);
  auto* e = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
  e->dbcc_size = static_cast<DWORD>(size);
  e->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  e->dbcc_classguid = kUsbDeviceInterfaceClass;
  std::memcpy(e->dbcc_name, path.c_str(), (path.size() + 1) * 2);
  return ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, eventType, bytes.data(), nullptr);
}

// Waits for an overlapped operation started on the client; cancels it when
// the time is up, and waits for the cancellation, so that the OVERLAPPED on
// the caller's stack is no longer the system's when this returns.
bool Finish(PipeClient& client, OVERLAPPED& o, BOOL started, DWORD& count, DWORD timeoutMs,
            bool& timedOut, DWORD& error) {
  timedOut = false;
  error = 0;
  if (started) return GetOverlappedResult(client.pipe, &o, &count, FALSE) != 0;
  error = GetLastError();
  if (error != ERROR_IO_PENDING) return false;
  if (WaitForSingleObject(o.hEvent, timeoutMs) != WAIT_OBJECT_0) {
    CancelIo(client.pipe);
    GetOverlappedResult(client.pipe, &o, &count, TRUE);
    timedOut = true;
    return false;
  }
  BOOL ok = GetOverlappedResult(client.pipe, &o, &count, FALSE);
  error = ok ? 0 : GetLastError();
  return ok != 0;
}

}  // namespace

std::wstring TransceiverPath(const std::string& serial, const wchar_t* pid) {
  return std::wstring(L"\\\\?\\USB#VID_0403&PID_") + pid + L"#" +
         std::wstring(serial.begin(), serial.end()) + L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

DWORD ArriveTransceiver(const std::string& serial, const wchar_t* pid) {
  return SendDeviceEvent(DBT_DEVICEARRIVAL, serial, pid);
}

DWORD DepartTransceiver(const std::string& serial, const wchar_t* pid) {
  return SendDeviceEvent(DBT_DEVICEREMOVECOMPLETE, serial, pid);
}

bool IsReplyText(const std::wstring& text) {
  for (const wchar_t* t : kReplyTexts) {
    if (text == t) return true;
  }
  return false;
}

PipeRequest StressRequest(uint8_t iid, uint8_t data) {
  PipeRequest r{};
  r.iid = iid;
  r.hc1 = 1234;
  r.hc2 = 1111;
  r.addr = 1111;
  r.cmd = 17;
  r.data = data;
  return r;
}

const char* ExchangeName(Exchange e) {
  switch (e) {
    case Exchange::kReply: return "reply";
    case Exchange::kMalformed: return "malformed reply";
    case Exchange::kUnasked: return "reply nobody asked for";
    case Exchange::kNoPipe: return "no pipe";
    case Exchange::kTimedOut: return "timed out";
    case Exchange::kBroken: return "broken connection";
  }
  return "?";
}

bool PipeClientOpen(PipeClient& client, DWORD timeoutMs) {
  double deadline = NowMs() + timeoutMs;
  for (;;) {
    HANDLE pipe = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (!event || !SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        if (event) CloseHandle(event);
        CloseHandle(pipe);
        return false;
      }
      client.pipe = pipe;
      client.event = event;
      return true;
    }
    DWORD error = GetLastError();
    double left = deadline - NowMs();
    if (left <= 0) return false;
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(kPipeName, static_cast<DWORD>(left) + 1);
    } else if (error == ERROR_FILE_NOT_FOUND) {
      Sleep(5);  // the server is not listening yet
    } else {
      return false;
    }
  }
}

Exchange PipeClientExchange(PipeClient& client, const PipeRequest& request, std::wstring& reply,
                            DWORD timeoutMs) {
  reply.clear();
  DWORD waiting = 0;
  if (PeekNamedPipe(client.pipe, nullptr, 0, nullptr, &waiting, nullptr) && waiting != 0) {
    return Exchange::kUnasked;
  }
  OVERLAPPED o{};
  o.hEvent = client.event;
  DWORD count = 0, error = 0;
  bool timedOut = false;
  BOOL started = WriteFile(client.pipe, &request, sizeof request, &count, &o);
  if (!Finish(client, o, started, count, timeoutMs, timedOut, error) || count != sizeof request) {
    return timedOut ? Exchange::kTimedOut : Exchange::kBroken;
  }
  uint8_t buffer[1024];
  o = OVERLAPPED{};
  o.hEvent = client.event;
  count = 0;
  started = ReadFile(client.pipe, buffer, sizeof buffer, &count, &o);
  if (!Finish(client, o, started, count, timeoutMs, timedOut, error)) {
    if (timedOut) return Exchange::kTimedOut;
    return error == ERROR_MORE_DATA ? Exchange::kMalformed : Exchange::kBroken;
  }
  // One text, its NUL as the message's last unit and no NUL before it.
  if (count < 2 || count % 2 != 0) return Exchange::kMalformed;
  size_t units = count / 2;
  for (size_t i = 0; i < units; ++i) {
    wchar_t unit = static_cast<wchar_t>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
    if (unit == 0) return i + 1 == units ? Exchange::kReply : Exchange::kMalformed;
    reply.push_back(unit);
  }
  return Exchange::kMalformed;
}

void PipeClientClose(PipeClient& client) {
  if (client.pipe != INVALID_HANDLE_VALUE) CloseHandle(client.pipe);
  if (client.event) CloseHandle(client.event);
  client.pipe = INVALID_HANDLE_VALUE;
  client.event = nullptr;
}

Exchange ExchangeOnce(const PipeRequest& request, std::wstring& reply, DWORD timeoutMs) {
  PipeClient client;
  if (!PipeClientOpen(client, timeoutMs)) return Exchange::kNoPipe;
  Exchange e = PipeClientExchange(client, request, reply, timeoutMs);
  PipeClientClose(client);
  return e;
}

bool WaitForOpens(DWORD timeoutMs) {
  for (DWORD waited = 0;; waited += 5) {
    bool opening = false;
    {
      LockHold hold(g_context.devices.guard);
      for (int i = 0; i < g_context.devices.count; ++i) {
        opening |= g_context.devices.entries[i]->openStatus.load() == kOpenPending;
      }
    }
    if (!opening) return true;
    if (waited >= timeoutMs) return false;
    Sleep(5);
  }
}

void CloseEveryTransceiver() {
  ServiceStop(g_context);
  TableReopen(g_context.devices);
}
