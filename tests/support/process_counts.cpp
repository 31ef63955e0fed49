#include "tests/support/process_counts.h"

#include <tlhelp32.h>

#include <cstdio>

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

// The counted text NtQueryObject answers with.
struct CountedText {
  USHORT length;  // bytes
  USHORT capacity;
  wchar_t* text;
};

using QuerySystemFn = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
using QueryObjectFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);

void* NtFunction(const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name));
}

// The system's handle list, or an empty buffer when it could not be read.
std::vector<char> SystemHandles() {
  static QuerySystemFn query =
      reinterpret_cast<QuerySystemFn>(NtFunction("NtQuerySystemInformation"));
  constexpr int kSystemHandleInformation = 16;
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  while (query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
               &needed) != 0) {
    if (buffer.size() >= (64u << 20)) return std::vector<char>();
    buffer.resize(buffer.size() * 2);
  }
  return buffer;
}

// Calls `visit` for every entry of the list that belongs to `processId`.
template <typename Visit>
void ForEachHandleOf(DWORD processId, Visit visit) {
  std::vector<char> buffer = SystemHandles();
  if (buffer.empty()) return;
  ULONG entries = *reinterpret_cast<ULONG*>(buffer.data());
  const SystemHandleEntry* e =
      reinterpret_cast<const SystemHandleEntry*>(buffer.data() + sizeof(void*));
  for (ULONG i = 0; i < entries; ++i) {
    if (e[i].processId == processId) visit(e[i]);
  }
}

std::string Narrow(const CountedText& t) {
  std::string s;
  for (USHORT i = 0; i < t.length / 2; ++i) {
    s += t.text[i] < 128 ? static_cast<char>(t.text[i]) : '?';
  }
  return s;
}

}  // namespace

DWORD ProcessHandleCount(DWORD processId) {
  DWORD n = 0;
  if (processId == GetCurrentProcessId() && GetProcessHandleCount(GetCurrentProcess(), &n) &&
      n > 0)
    return n;
  n = 0;
  ForEachHandleOf(processId, [&](const SystemHandleEntry&) { ++n; });
  return n;
}

std::vector<ProcessHandleEntry> ProcessHandles(DWORD processId) {
  std::vector<ProcessHandleEntry> handles;
  ForEachHandleOf(processId, [&](const SystemHandleEntry& e) {
    handles.push_back({e.handle, e.objectType});
  });
  return handles;
}

std::string DescribeForeignHandle(HANDLE process, uint16_t handle) {
  HANDLE own = nullptr;
  if (!DuplicateHandle(process, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)),
                       GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return std::string();
  }
  static QueryObjectFn query = reinterpret_cast<QueryObjectFn>(NtFunction("NtQueryObject"));
  constexpr int kObjectNameInformation = 1;
  constexpr int kObjectTypeInformation = 2;
  alignas(8) static thread_local char answer[4096];
  ULONG got = 0;
  std::string text = "?";
  if (query(own, kObjectTypeInformation, answer, sizeof answer, &got) == 0) {
    text = Narrow(*reinterpret_cast<CountedText*>(answer));
  }
  text += " ";
  if (query(own, kObjectNameInformation, answer, sizeof answer, &got) == 0) {
    text += Narrow(*reinterpret_cast<CountedText*>(answer));
  }
  CloseHandle(own);
  return text;
}

std::string HandlesAddedSince(const std::vector<ProcessHandleEntry>& before) {
  std::string text;
  for (const ProcessHandleEntry& now : ProcessHandles(GetCurrentProcessId())) {
    bool old = false;
    for (const ProcessHandleEntry& b : before) old = old || b.handle == now.handle;
    if (old) continue;
    char value[16];
    std::snprintf(value, sizeof value, "%#x: ", now.handle);
    text += value + DescribeForeignHandle(GetCurrentProcess(), now.handle) + "\n";
  }
  return text;
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
