#include "tests/support/process_counts.h"

#include <tlhelp32.h>

#include <vector>

namespace {

// One entry of the system's handle list (SystemHandleInformation).
struct SystemHandleEntry {
  ULONG processId;
  BYTE objectType;
  BYTE flags;
  USHORT handle;
  void* object;
  ACCESS_MASK access;
};

}  // namespace

DWORD ProcessHandleCount(DWORD processId) {
  DWORD n = 0;
  if (processId == GetCurrentProcessId() && GetProcessHandleCount(GetCurrentProcess(), &n) &&
      n > 0)
    return n;
  n = 0;
  using QueryFn = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
  static QueryFn query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  constexpr int kSystemHandleInformation = 16;
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  while (query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
               &needed) != 0) {
    if (buffer.size() >= (64u << 20)) return 0;
    buffer.resize(buffer.size() * 2);
  }
  ULONG entries = *reinterpret_cast<ULONG*>(buffer.data());
  const SystemHandleEntry* e =
      reinterpret_cast<const SystemHandleEntry*>(buffer.data() + sizeof(void*));
  for (ULONG i = 0; i < entries; ++i) n += e[i].processId == processId;
  return n;
}

int ProcessThreadCount(DWORD processId) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  int n = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == processId) ++n;
  }
  CloseHandle(snapshot);
  return n;
}
