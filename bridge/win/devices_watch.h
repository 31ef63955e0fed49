// Watching %ProgramData%\ZARVO Remote\devices.ini: a change notification on
// its folder wakes the loop, which then compares the file's time and size
// with what it read last and reads it again when they differ. An editor
// writes a file in several steps, so the read waits until the folder has
// been quiet for kDevicesSettleMs. While the folder does not exist there is
// nothing to be notified of, and the loop looks for it every
// kDevicesPollMs instead. Nothing runs while nothing changes.
//
// Threads: the loop thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

constexpr uint32_t kDevicesSettleMs = 300;
constexpr uint32_t kDevicesPollMs = 10000;

struct DevicesWatch {
  wchar_t folder[MAX_PATH];
  wchar_t path[MAX_PATH];
  HANDLE change;           // the folder's change notification, or INVALID_HANDLE_VALUE
  bool known;              // the stamp below is what was read last
  bool exists;
  FILETIME written;
  uint64_t size;
  uint64_t settleAtMs;     // 0: no change waiting
  uint64_t pollAtMs;       // while there is no notification
};

// Finds the path (false when %ProgramData% is not set or too long) and
// starts watching.
bool DevicesWatchInit(DevicesWatch& w, uint64_t nowMs);
void DevicesWatchClose(DevicesWatch& w);

// The handle to wait on, or null.
HANDLE DevicesWatchHandle(const DevicesWatch& w);
// Milliseconds until DevicesWatchPoll is due, or INFINITE.
DWORD DevicesWatchWaitMs(const DevicesWatch& w, uint64_t nowMs);

// Called after every wake (`signalled`: its handle was). True when the file
// changed since it was read last (appeared, went, or was written) and should
// be read now.
bool DevicesWatchPoll(DevicesWatch& w, uint64_t nowMs, bool signalled);

// Reads the file whole, or its first `limit` bytes and one more when it is
// longer (for the parser to refuse), and records its stamp. A missing file reads as empty and returns
// ERROR_FILE_NOT_FOUND.
DWORD DevicesWatchRead(DevicesWatch& w, size_t limit, std::string& bytes);
