// A simulated FTD2XX.dll: the eleven driver operations the service imports,
// emulating any number of transceivers as ftd2xx-sim.txt in the DLL's own
// folder describes them, and recording every call in ftd2xx-sim.log beside
// it. The format of both files is in README.md in this folder.
//
// Threads: the service calls in from several threads at once (pipe server:
// modem status and write; each reader thread: queue status and read; control
// thread: open, set-up, close). Every operation runs under one lock,
// g_lock: the configuration reload, the handle table, the receive queues and
// the log line. Nothing inside the lock blocks for long (no waits; one file
// status query per call, a file read only when the file changed, one log
// write), so the lock costs little even at thousands of calls per second.
// A call on a transceiver with `hang` set waits outside the lock, in short
// sleeps, re-taking it only to look at the configuration again: other
// transceivers and other threads go on meanwhile, as with a real driver
// call that never returns.
// The watcher thread, the library's own, runs from the first open of a
// transceiver whose line has `hear` or `hearseq` until the process ends: it
// sleeps on an overlapped read of the changes in the DLL's folder and, when
// the configuration file changed, takes the lock and reloads it as a call
// would. Once the opener has armed the folder watch (g_watch), the watcher
// is its only user. Whoever reloads (a call or the watcher) queues the
// telegrams that lines' `hear` keys ask for, so a transceiver hears them
// while the service makes no call at all.
// The caller's notification event is signalled inside the lock, from the
// writing thread or from whichever thread reloaded; the event stays the
// caller's and is never closed here.
#include <windows.h>

#include <cstring>
#include <string>

#include "devices/d2xx.h"
#include "tests/ftd2xx-sim/sim_config.h"

namespace {

constexpr int kSimMaxHandles = 128;
constexpr uint32_t kSimRxCapacity = 16384;
constexpr size_t kSimMaxConfigText = 256 * 1024;
constexpr size_t kPathSize = 1024;
// The file's time and size are compared on every call. A change inside one
// tick of a coarse file clock with the same size would be missed, so the
// text itself is compared this often as well.
constexpr ULONGLONG kRecheckTextMs = 250;
// A modem status that reads "not ready": DSR without CTS.
constexpr uint32_t kModemBusy = 0x20;
// How long a hung call sleeps between two looks at the configuration.
constexpr DWORD kHangStepMs = 10;
// How soon the watcher tries again to read a file that could not be read
// (being replaced at that moment).
constexpr DWORD kRetryReadMs = 10;
// Every log line changes the folder too. After a wake for other files only,
// the watcher lets further changes gather
// this long before it looks again, so that thousands of calls a second do
// not wake it thousands of times; a real change waits at most this much
// longer.
constexpr DWORD kQuietMs = 2;

struct SimHandle {
  bool inUse;
  bool pulled;        // its line left the configuration while it was open
  // Pulled out while its line said hangpulled: its hung calls go on hanging
  // while the serial number's line is missing or says so, as a driver call
  // that a replug does not free.
  bool hangsThroughPull;
  uint32_t generation;  // part of the handle value, so a stale handle fails
  char serial[kSimSerialSize];
  const SimDevice* device;  // its line in the current configuration
  uint32_t pollsSinceWrite;
  uint32_t eventMask;
  HANDLE event;  // the caller's; only signalled here
  uint8_t rx[kSimRxCapacity];
  uint32_t rxHead;
  uint32_t rxCount;
  // The last (hearseq, hear) pair of its line this handle acted on; a
  // different pair is heard once.
  uint32_t heardSeq;
  uint32_t heardLength;
  uint8_t heard[kSimMaxAnswer];
};

struct FileStamp {
  bool exists;
  FILETIME written;
  DWORD sizeLow;
  DWORD sizeHigh;
};

CRITICAL_SECTION g_lock;
wchar_t g_folder[kPathSize];
wchar_t g_configPath[kPathSize];
wchar_t g_logPath[kPathSize];

SimConfig g_configs[2];
int g_current = 0;
bool g_loaded = false;
FileStamp g_stamp;
ULONGLONG g_lastRead = 0;
char g_texts[2][kSimMaxConfigText];
size_t g_textSizes[2] = {0, 0};
int g_currentText = 0;

SimHandle g_handles[kSimMaxHandles];
int g_nextSlot = 0;

HANDLE g_log = INVALID_HANDLE_VALUE;
std::string g_line;

const SimConfig& Config() { return g_configs[g_current]; }

// --- the log -------------------------------------------------------------

void LogBegin(const char* serial, const char* operation, FT_STATUS status) {
  g_line.assign(serial);
  g_line += ' ';
  g_line += operation;
  g_line += ' ';
  g_line += std::to_string(status);
}

void LogDecimal(uint32_t value) {
  g_line += ' ';
  g_line += std::to_string(value);
}

void LogHex(uint8_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  g_line += ' ';
  g_line += kDigits[value >> 4];
  g_line += kDigits[value & 15];
}

void LogBytes(const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) LogHex(bytes[i]);
}

// One WriteFile per line on a handle opened for appending: every line lands
// whole at the end of the file, and readers see it at once.
void LogEnd() {
  g_line += '\n';
  if (g_log == INVALID_HANDLE_VALUE) {
    g_log = CreateFileW(g_logPath, FILE_APPEND_DATA,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_log == INVALID_HANDLE_VALUE) return;
  }
  DWORD written = 0;
  WriteFile(g_log, g_line.data(), static_cast<DWORD>(g_line.size()), &written, nullptr);
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
  if (a.exists != b.exists) return false;
  if (!a.exists) return true;
  return a.written.dwLowDateTime == b.written.dwLowDateTime &&
         a.written.dwHighDateTime == b.written.dwHighDateTime &&
         a.sizeLow == b.sizeLow && a.sizeHigh == b.sizeHigh;
}

// Reads the configuration file into the spare text buffer. A missing file
// reads as empty; false when it exists but could not be read (it may be in
// the middle of being replaced), so the caller tries again on the next call.
bool ReadConfigText(bool exists, int into) {
  g_textSizes[into] = 0;
  if (!exists) return true;
  HANDLE f = CreateFileW(g_configPath, GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  size_t total = 0;
  for (;;) {
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(kSimMaxConfigText - total);
    if (want == 0 || !ReadFile(f, g_texts[into] + total, want, &got, nullptr) || got == 0) break;
    total += got;
  }
  CloseHandle(f);
  g_textSizes[into] = total;
  return true;
}

void QueueReceived(SimHandle& h, const uint8_t* bytes, uint32_t count) {
  // A queue that nobody drains overflows like a real one: the excess is lost.
  for (uint32_t i = 0; i < count && h.rxCount < kSimRxCapacity; ++i) {
    h.rx[(h.rxHead + h.rxCount) % kSimRxCapacity] = bytes[i];
    ++h.rxCount;
  }
}

void RememberHearing(SimHandle& h) {
  h.heardSeq = h.device->hearSeq;
  h.heardLength = h.device->hearLength;
  std::memcpy(h.heard, h.device->hear, h.heardLength);
}

// The transceiver hears its line's telegram if the (hearseq, hear) pair
// changed since the handle last acted on one. Runs inside a reload, before
// any operation begins its own log line.
void HearIfChanged(SimHandle& h) {
  const SimDevice& d = *h.device;
  if (d.hearSeq == h.heardSeq && d.hearLength == h.heardLength &&
      std::memcmp(d.hear, h.heard, d.hearLength) == 0) {
    return;
  }
  RememberHearing(h);
  if (d.hearLength == 0) return;
  // Taken just before the bytes are queued: a benchmark subtracts it from
  // the counter value at which the service reports the telegram.
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  QueueReceived(h, d.hear, d.hearLength);
  LogBegin(h.serial, "heard", FT_OK);
  g_line += ' ';
  g_line += std::to_string(now.QuadPart);
  LogBytes(d.hear, d.hearLength);
  LogEnd();
  // Logged before the signal, so whoever wakes finds the line in the log.
  if ((h.eventMask & FT_EVENT_RXCHAR) && h.event) SetEvent(h.event);
}

// Makes the freshly read text the configuration. Every open handle is bound
// to its serial number's new line, and hears that line's telegram if it
// changed; one whose line is gone was pulled out, and stays so until it is
// closed.
void ApplyConfigText(int text) {
  int next = 1 - g_current;
  ParseSimConfig(g_texts[text], g_textSizes[text], g_configs[next]);
  g_current = next;
  g_currentText = text;
  for (SimHandle& h : g_handles) {
    if (!h.inUse || h.pulled) continue;
    const SimDevice* line = FindSimDevice(Config(), h.serial);
    if (!line) {
      h.pulled = true;
      h.hangsThroughPull = h.device->hangPulled != 0;
      // A test that pulls a transceiver out and plugs it in again waits for
      // this line, so that the library has seen it gone in between.
      LogBegin(h.serial, "pulled", FT_OK);
      LogEnd();
      // Its old line's buffer is reused by the next reload.
      h.device = nullptr;
    } else {
      h.device = line;
      HearIfChanged(h);
    }
  }
}

// Asks for no handle, so it can run at any time without the process's
// handle count showing it.
FileStamp ConfigStamp() {
  WIN32_FILE_ATTRIBUTE_DATA a;
  FileStamp now{};
  if (GetFileAttributesExW(g_configPath, GetFileExInfoStandard, &a)) {
    now.exists = true;
    now.written = a.ftLastWriteTime;
    now.sizeLow = a.nFileSizeLow;
    now.sizeHigh = a.nFileSizeHigh;
  }
  return now;
}

// Called at the start of every operation, and by the watcher, under the
// lock. False when the file exists but could not be read.
bool RefreshConfig() {
  FileStamp now = ConfigStamp();
  ULONGLONG tick = GetTickCount64();
  bool changed = !g_loaded || !SameStamp(now, g_stamp);
  if (!changed && tick - g_lastRead < kRecheckTextMs) return true;

  int spare = 1 - g_currentText;
  if (!ReadConfigText(now.exists, spare)) return false;
  g_lastRead = tick;
  g_stamp = now;
  if (!changed && g_textSizes[spare] == g_textSizes[g_currentText] &&
      std::memcmp(g_texts[spare], g_texts[g_currentText], g_textSizes[spare]) == 0) {
    return true;
  }
  g_loaded = true;
  ApplyConfigText(spare);
  return true;
}

// The watcher's look, under the lock. It reads the file only when its stamp
// changed and a handle is open (nothing else can hear): tests count the
// process's handles between calls, and a read in the background would show
// there. An edit that keeps the file's time and size is left to the calls'
// text compare. Returns false when a read failed and should be tried again.
bool WatcherRefresh() {
  bool anyOpen = false;
  for (const SimHandle& h : g_handles) anyOpen = anyOpen || h.inUse;
  if (!anyOpen || SameStamp(ConfigStamp(), g_stamp)) return true;
  return RefreshConfig();
}

// --- the watcher thread ----------------------------------------------------

// The folder watch: armed by the open that starts the watcher, then used by
// the watcher thread alone. An overlapped directory read with an event of
// its own rather than FindFirstChangeNotificationW: Wine gives that one's
// synchronous handle an extra handle while it is pending, which made the
// process's handle count flicker at every log line; and the names this
// read reports tell the log's changes from the configuration's.
struct FolderWatch {
  HANDLE folder;
  HANDLE event;
  OVERLAPPED overlapped;
  alignas(DWORD) uint8_t names[4096];
};
FolderWatch g_watch;

constexpr DWORD kWatchFilter =
    FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE;

bool ArmWatch() {
  ResetEvent(g_watch.event);
  std::memset(&g_watch.overlapped, 0, sizeof g_watch.overlapped);
  g_watch.overlapped.hEvent = g_watch.event;
  return ReadDirectoryChangesW(g_watch.folder, g_watch.names, sizeof g_watch.names, FALSE,
                               kWatchFilter, nullptr, &g_watch.overlapped, nullptr) != 0;
}

// True when the changes reported name the configuration file, or were too
// many to report.
bool ConfigNamed(DWORD bytes) {
  static const wchar_t kName[] = L"ftd2xx-sim.txt";
  if (bytes == 0) return true;
  for (DWORD at = 0; at + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
    auto* n = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(g_watch.names + at);
    size_t length = n->FileNameLength / sizeof(wchar_t);
    if (length == wcslen(kName) && _wcsnicmp(n->FileName, kName, length) == 0) return true;
    if (n->NextEntryOffset == 0) break;
    at += n->NextEntryOffset;
  }
  return false;
}

// Sleeps until a file in the DLL's folder changes and reloads when the
// configuration was among them (replaced by a rename, or written). No timer
// runs while nothing changes, so an idle service pays nothing for it.
DWORD WINAPI WatchConfig(void*) {
  DWORD timeout = INFINITE;
  for (;;) {
    DWORD woke = WaitForSingleObject(g_watch.event, timeout);
    if (woke == WAIT_FAILED) break;
    bool named = woke == WAIT_TIMEOUT;  // a read that failed, tried again
    if (woke == WAIT_OBJECT_0) {
      DWORD bytes = 0;
      if (GetOverlappedResult(g_watch.folder, &g_watch.overlapped, &bytes, FALSE)) {
        named = ConfigNamed(bytes);
      } else if (GetLastError() == ERROR_NOTIFY_ENUM_DIR) {
        // More changes than the buffer reports (Wine says so after a burst
        // of configurations written one after another): the configuration
        // may be among them.
        named = true;
      } else {
        break;
      }
      // Re-armed before the reload, so a change made during it is reported.
      if (!ArmWatch()) break;
    }
    bool read = true;
    if (named) {
      EnterCriticalSection(&g_lock);
      read = WatcherRefresh();
      LeaveCriticalSection(&g_lock);
    } else {
      Sleep(kQuietMs);
    }
    timeout = read ? INFINITE : kRetryReadMs;
  }
  // Without the watcher a telegram is still heard, at the next call.
  CloseHandle(g_watch.folder);
  CloseHandle(g_watch.event);
  return 0;
}

// Under the lock, at the open of a transceiver whose line has `hear` or
// `hearseq`, once per process. Only such a line starts it: tests that count
// the process's threads and handles see no change from a library whose
// transceivers never hear. Not from DllMain, which must not wait on
// anything. The watch is armed before the open returns, so a change made
// before the thread first runs still wakes it. The DLL pins itself: the
// thread is never stopped (that would need a wait in DllMain under the
// loader lock), so a FreeLibrary must never unmap the code under it.
void StartWatcher() {
  static bool started = false;
  if (started) return;
  started = true;
  g_watch.folder = CreateFileW(g_folder, FILE_LIST_DIRECTORY,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                               nullptr);
  if (g_watch.folder == INVALID_HANDLE_VALUE) return;
  g_watch.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HMODULE pinned = nullptr;
  HANDLE thread = nullptr;
  if (g_watch.event && ArmWatch() &&
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&WatchConfig), &pinned)) {
    thread = CreateThread(nullptr, 0, WatchConfig, nullptr, 0, nullptr);
  }
  if (!thread) {
    CloseHandle(g_watch.folder);  // also ends a pending read
    if (g_watch.event) CloseHandle(g_watch.event);
    return;
  }
  CloseHandle(thread);
}

// --- handles -------------------------------------------------------------

// Handle values: generation in the upper 24 bits, slot + 1 in the low 8, so
// the null handle and a closed handle whose slot was reused both fail.
FT_HANDLE MakeHandle(int slot) {
  uintptr_t v = (static_cast<uintptr_t>(g_handles[slot].generation) << 8) |
                static_cast<uintptr_t>(slot + 1);
  return reinterpret_cast<FT_HANDLE>(v);
}

SimHandle* FindHandle(FT_HANDLE handle) {
  uintptr_t v = reinterpret_cast<uintptr_t>(handle);
  int slot = static_cast<int>(v & 0xFF) - 1;
  if (slot < 0 || slot >= kSimMaxHandles) return nullptr;
  SimHandle& h = g_handles[slot];
  if (!h.inUse || h.generation != static_cast<uint32_t>(v >> 8)) return nullptr;
  return &h;
}

// Everything an operation on a handle starts with: the lock, a fresh look
// at the configuration, and the handle's own status (1 not ours, 4 pulled
// out, else 0).
struct HandleCall {
  SimHandle* h = nullptr;
  const char* serial = "?";
  FT_STATUS status = FT_INVALID_HANDLE;

  explicit HandleCall(FT_HANDLE handle) {
    EnterCriticalSection(&g_lock);
    RefreshConfig();
    h = FindHandle(handle);
    if (!h) return;
    serial = h->serial;
    status = h->pulled ? FT_IO_ERROR : FT_OK;
  }
  ~HandleCall() { LeaveCriticalSection(&g_lock); }

  // For a transceiver whose line has `hang` (or, for `reads`, `hangread`)
  // set: waits, outside the lock, until the line is removed (the call then
  // fails as pulled out, 4) or loses the key (the call goes on as usual). A
  // line with hangpulled hangs on after it was removed, while the serial
  // number has no line or one with hangpulled. A handle closed meanwhile
  // ends the wait with 1.
  bool Hung(bool reads) const {
    if (!h) return false;
    if (h->pulled) {
      if (reads || !h->hangsThroughPull) return false;
      const SimDevice* line = FindSimDevice(Config(), h->serial);
      return !line || line->hangPulled != 0;
    }
    return (reads ? h->device->hangRead : h->device->hang) != 0;
  }
  void WaitWhileHung(FT_HANDLE handle, bool reads = false) {
    while (Hung(reads)) {
      LeaveCriticalSection(&g_lock);
      Sleep(kHangStepMs);
      EnterCriticalSection(&g_lock);
      RefreshConfig();
      h = FindHandle(handle);
    }
    serial = h ? h->serial : "?";
    status = !h ? FT_INVALID_HANDLE : h->pulled ? FT_IO_ERROR : FT_OK;
  }
  HandleCall(const HandleCall&) = delete;
  HandleCall& operator=(const HandleCall&) = delete;
};

// Copies a text into the log's serial field without blanks or control
// characters, so that a line always splits into its fields.
void SafeSerial(const char* text, char* out, size_t size) {
  size_t i = 0;
  for (; text[i] && i + 1 < size; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    out[i] = (c <= ' ' || c >= 0x7F) ? '?' : static_cast<char>(c);
  }
  out[i] = '\0';
  if (i == 0) std::strcpy(out, "?");
}

void CopyString(char* to, const char* from, size_t size) {
  if (!to) return;
  size_t n = std::strlen(from);
  if (n >= size) n = size - 1;
  std::memcpy(to, from, n);
  to[n] = '\0';
}

}  // namespace

extern "C" {

FT_STATUS FT_API FT_OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle) {
  EnterCriticalSection(&g_lock);
  RefreshConfig();
  char wanted[32];
  FT_STATUS status = FT_OK;
  const SimDevice* d = nullptr;
  if (!arg || !handle || flags != FT_OPEN_BY_SERIAL_NUMBER) {
    std::strcpy(wanted, "?");
    status = FT_INVALID_PARAMETER;
  } else {
    SafeSerial(static_cast<const char*>(arg), wanted, sizeof wanted);
    d = FindSimDevice(Config(), static_cast<const char*>(arg));
    // hangopen: the open blocks, outside the lock, until the line goes or
    // loses the key.
    while (d && d->hangOpen != 0) {
      LeaveCriticalSection(&g_lock);
      Sleep(kHangStepMs);
      EnterCriticalSection(&g_lock);
      RefreshConfig();
      d = FindSimDevice(Config(), static_cast<const char*>(arg));
    }
    if (!d) status = FT_DEVICE_NOT_FOUND;
    else if (d->openStatus != FT_OK) status = d->openStatus;
  }
  if (status == FT_OK) {
    // The real library refuses a second open of a device that is open;
    // a pulled-out handle no longer holds its device.
    for (const SimHandle& h : g_handles) {
      if (h.inUse && !h.pulled && h.device == d) status = FT_DEVICE_NOT_OPENED;
    }
  }
  int slot = -1;
  if (status == FT_OK) {
    for (int i = 0; i < kSimMaxHandles && slot < 0; ++i) {
      int s = (g_nextSlot + i) % kSimMaxHandles;
      if (!g_handles[s].inUse) slot = s;
    }
    if (slot < 0) status = FT_INSUFFICIENT_RESOURCES;
  }
  if (status == FT_OK) {
    // Slots are handed out in turn, so a closed handle's value comes back
    // only after many opens.
    g_nextSlot = (slot + 1) % kSimMaxHandles;
    SimHandle& h = g_handles[slot];
    uint32_t generation = (h.generation + 1) & 0xFFFFFF;
    std::memset(&h, 0, sizeof h);
    h.generation = generation == 0 ? 1 : generation;
    h.inUse = true;
    std::strcpy(h.serial, d->serial);
    h.device = d;
    // A transceiver opened now does not hear what its line asked for
    // before.
    RememberHearing(h);
    *handle = MakeHandle(slot);
    if (d->listens) StartWatcher();
  }
  LogBegin(d ? d->serial : wanted, "open", status);
  LogEnd();
  LeaveCriticalSection(&g_lock);
  return status;
}

FT_STATUS FT_API FT_Close(FT_HANDLE handle) {
  HandleCall call(handle);
  if (call.h) {
    // The caller's event is left alone: it still owns it.
    call.h->inUse = false;
    call.h->event = nullptr;
  }
  LogBegin(call.serial, "close", call.status);
  LogEnd();
  return call.status;
}

FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate) {
  HandleCall call(handle);
  LogBegin(call.serial, "baud", call.status);
  LogDecimal(baudRate);
  LogEnd();
  return call.status;
}

FT_STATUS FT_API FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength,
                                           uint8_t stopBits, uint8_t parity) {
  HandleCall call(handle);
  LogBegin(call.serial, "data", call.status);
  LogDecimal(wordLength);
  LogDecimal(stopBits);
  LogDecimal(parity);
  LogEnd();
  return call.status;
}

FT_STATUS FT_API FT_SetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t xon,
                                   uint8_t xoff) {
  HandleCall call(handle);
  LogBegin(call.serial, "flow", call.status);
  LogDecimal(flowControl);
  LogHex(xon);
  LogHex(xoff);
  LogEnd();
  return call.status;
}

FT_STATUS FT_API FT_EE_Read(FT_HANDLE handle, FtProgramData* data) {
  HandleCall call(handle);
  FT_STATUS status = call.status;
  if (status == FT_OK &&
      (!data || data->Signature1 != 0x00000000u || data->Signature2 != 0xFFFFFFFFu)) {
    status = FT_INVALID_PARAMETER;
  }
  if (status == FT_OK) {
    const SimDevice& d = *call.h->device;
    // Built whole here, then only the blocks the caller's Version knows are
    // copied out: a caller with an older, shorter record is not overrun.
    FtProgramData filled;
    std::memset(&filled, 0, sizeof filled);
    filled.Signature1 = data->Signature1;
    filled.Signature2 = data->Signature2;
    filled.Version = data->Version;
    filled.VendorId = d.vid;
    filled.ProductId = d.pid;
    filled.Manufacturer = data->Manufacturer;
    filled.ManufacturerId = data->ManufacturerId;
    filled.Description = data->Description;
    filled.SerialNumber = data->SerialNumber;
    filled.MaxPower = 90;
    filled.PnP = 1;
    filled.SerNumEnable = 1;
    uint32_t version = data->Version > 5 ? 5 : data->Version;
    std::memcpy(data, &filled, kProgramDataBytesForVersion[version]);
    // The usual string buffers: 32, 16, 64 and 16 bytes.
    char manufacturerId[3] = {d.serial[0], d.serial[0] ? d.serial[1] : '\0', '\0'};
    CopyString(data->Manufacturer, d.manufacturer, 32);
    CopyString(data->ManufacturerId, manufacturerId, 16);
    CopyString(data->Description, d.description, 64);
    CopyString(data->SerialNumber, d.serial, 16);
  }
  LogBegin(call.serial, "eeprom", status);
  LogEnd();
  return status;
}

FT_STATUS FT_API FT_SetEventNotification(FT_HANDLE handle, uint32_t mask, void* param) {
  HandleCall call(handle);
  if (call.status == FT_OK) {
    call.h->eventMask = mask;
    call.h->event = static_cast<HANDLE>(param);
  }
  LogBegin(call.serial, "notify", call.status);
  LogDecimal(mask);
  LogEnd();
  return call.status;
}

// Not logged: the service polls it in a loop before every write.
FT_STATUS FT_API FT_GetModemStatus(FT_HANDLE handle, uint32_t* modemStatus) {
  HandleCall call(handle);
  call.WaitWhileHung(handle);
  if (call.status != FT_OK) return call.status;
  if (!modemStatus) return FT_INVALID_PARAMETER;
  SimHandle& h = *call.h;
  *modemStatus = h.pollsSinceWrite < h.device->busy ? kModemBusy : h.device->modem;
  if (h.pollsSinceWrite < 0xFFFFFFFFu) ++h.pollsSinceWrite;
  return FT_OK;
}

FT_STATUS FT_API FT_Write(FT_HANDLE handle, void* buffer, uint32_t toWrite,
                          uint32_t* written) {
  HandleCall call(handle);
  call.WaitWhileHung(handle);
  FT_STATUS status = call.status;
  if (status == FT_OK && (!written || (!buffer && toWrite > 0))) status = FT_INVALID_PARAMETER;
  uint32_t accepted = 0;
  if (status == FT_OK) {
    SimHandle& h = *call.h;
    const SimDevice& d = *h.device;
    h.pollsSinceWrite = 0;
    status = d.writeStatus;
    if (status == FT_OK) {
      accepted = (d.chunk != 0 && d.chunk < toWrite) ? d.chunk : toWrite;
      if (d.answerLength > 0) {
        QueueReceived(h, d.answer, d.answerLength);
        if ((h.eventMask & FT_EVENT_RXCHAR) && h.event) SetEvent(h.event);
      }
    }
    *written = accepted;
  }
  LogBegin(call.serial, "write", status);
  LogBytes(static_cast<const uint8_t*>(buffer), accepted);
  LogEnd();
  return status;
}

FT_STATUS FT_API FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) {
  HandleCall call(handle);
  call.WaitWhileHung(handle, true);
  FT_STATUS status = call.status;
  if (status == FT_OK && !rxBytes) status = FT_INVALID_PARAMETER;
  LogBegin(call.serial, "queue", status);
  if (status == FT_OK) {
    *rxBytes = call.h->rxCount;
    LogDecimal(call.h->rxCount);
  }
  LogEnd();
  return status;
}

// Returns at once with at most what is queued: the simulated transceiver has
// nothing more on the way.
FT_STATUS FT_API FT_Read(FT_HANDLE handle, void* buffer, uint32_t toRead,
                         uint32_t* returned) {
  HandleCall call(handle);
  call.WaitWhileHung(handle, true);
  FT_STATUS status = call.status;
  if (status == FT_OK && (!returned || (!buffer && toRead > 0))) status = FT_INVALID_PARAMETER;
  LogBegin(call.serial, "read", status);
  if (status == FT_OK) {
    SimHandle& h = *call.h;
    uint32_t n = toRead < h.rxCount ? toRead : h.rxCount;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < n; ++i) {
      out[i] = h.rx[h.rxHead];
      h.rxHead = (h.rxHead + 1) % kSimRxCapacity;
    }
    h.rxCount -= n;
    *returned = n;
    LogBytes(out, n);
  }
  LogEnd();
  return status;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(module);
    InitializeCriticalSection(&g_lock);
    // Both files live beside the DLL itself: a service started by the
    // service control manager has neither our working directory nor our
    // environment.
    DWORD n = GetModuleFileNameW(module, g_configPath, kPathSize);
    if (n == 0 || n >= kPathSize) return FALSE;
    wchar_t* slash = wcsrchr(g_configPath, L'\\');
    size_t dir = slash ? static_cast<size_t>(slash - g_configPath + 1) : 0;
    static const wchar_t kConfig[] = L"ftd2xx-sim.txt";
    static const wchar_t kLog[] = L"ftd2xx-sim.log";
    if (dir + sizeof kConfig / sizeof(wchar_t) > kPathSize) return FALSE;
    std::memcpy(g_logPath, g_configPath, dir * sizeof(wchar_t));
    std::memcpy(g_folder, g_configPath, dir * sizeof(wchar_t));
    g_folder[dir] = L'\0';
    std::memcpy(g_configPath + dir, kConfig, sizeof kConfig);
    std::memcpy(g_logPath + dir, kLog, sizeof kLog);
    EnterCriticalSection(&g_lock);
    RefreshConfig();
    LeaveCriticalSection(&g_lock);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Unloaded by FreeLibrary (at process exit other threads may have died
    // holding the lock, and the system closes the file anyway). Never once
    // the watcher runs: the DLL is pinned then.
    if (g_log != INVALID_HANDLE_VALUE) CloseHandle(g_log);
    g_log = INVALID_HANDLE_VALUE;
    DeleteCriticalSection(&g_lock);
  }
  return TRUE;
}

}  // extern "C"
