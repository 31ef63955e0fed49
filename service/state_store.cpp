// The state file; the header says which threads touch what.
#include "service/state_store.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "core/admin_event.h"
#include "core/lock.h"
#include "core/trace.h"
#include "core/win/error_text.h"
#include "devices/device_table.h"
#include "devices/state_keeper.h"

// The third entry lets the MQTT bridge (NT SERVICE\ZARVOMQTT, its service
// SID: bridge/win/service_sid.h) read what administrators put here for it
// (devices.ini); the state file has its own list without it.
const wchar_t kStateFolderSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
    L"(A;OICI;FR;;;S-1-5-80-1961564156-3192632008-3115881183-388753001-374328367)";
const wchar_t kStateFileSddl[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";

namespace {

const wchar_t kFolderLeaf[] = L"\\ZARVO Remote";
const wchar_t kFileLeaf[] = L"\\state.txt";
const wchar_t kNewFileLeaf[] = L"\\state.txt.new";

// The store's records, guarded by g_storeLock (see the header for who
// touches them). The lock is the outermost of the store's: under it the
// state lock is taken (for the text, for the read back), never the other way.
struct Store {
  bool on;                    // the folder was accepted: the file is written
  wchar_t folder[MAX_PATH];
  wchar_t path[MAX_PATH];     // the file, for events (as UTF-8 in pathText)
  char pathText[MAX_PATH * 3];
  uint64_t lastWriteMs;       // monotonic; 0 before the first write
  uint32_t failuresInARow;
  uint64_t failureReportedMs; // monotonic; 0 when not reported
};
Lock g_storeLock;
Store g_store;
char g_text[kStateTextMax];  // the text being written

// `folder` + `leaf` into `out`; false when it does not fit.
bool Join(const wchar_t* folder, const wchar_t* leaf, wchar_t (&out)[MAX_PATH]) {
  size_t a = std::wcslen(folder), b = std::wcslen(leaf);
  if (a + b + 1 > MAX_PATH) return false;
  std::wmemcpy(out, folder, a);
  std::wmemcpy(out + a, leaf, b + 1);
  return true;
}

void SayError(DWORD error, char* why, size_t whySize, const char* what) {
  char text[256];
  Win32ErrorText(error, text, sizeof text);
  std::snprintf(why, whySize, "%s: %s (error %lu)", what, text, static_cast<unsigned long>(error));
}

// A descriptor from one of the SDDL texts; LocalFree it.
PSECURITY_DESCRIPTOR Descriptor(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return nullptr;
  }
  return descriptor;
}

// Opens a file or folder to look at, never following a reparse point.
HANDLE OpenToCheck(const wchar_t* path, DWORD access) {
  return CreateFileW(path, access | READ_CONTROL | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

void Refuse(const char* path, const char* why) {
  ReportAdminEvent(kAdminStateFileRefused, {path, why});
}

// Reads the file open on `file` into the table. Returns false, with why,
// when it cannot be read.
bool ReadBack(HANDLE file, uint64_t utcNowMs, char* why, size_t whySize) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) {
    SayError(GetLastError(), why, whySize, "its size cannot be read");
    return false;
  }
  uint64_t length = static_cast<uint64_t>(size.QuadPart);
  bool cut = length > kStateFileReadMax;
  if (cut) length = kStateFileReadMax;
  uint8_t* bytes = new (std::nothrow) uint8_t[length ? length : 1];
  if (!bytes) {
    SayError(ERROR_NOT_ENOUGH_MEMORY, why, whySize, "it cannot be read");
    return false;
  }
  uint64_t got = 0;
  while (got < length) {
    DWORD chunk = 0;
    DWORD want = length - got > (1u << 20) ? (1u << 20) : static_cast<DWORD>(length - got);
    if (!ReadFile(file, bytes + got, want, &chunk, nullptr)) {
      SayError(GetLastError(), why, whySize, "it cannot be read");
      delete[] bytes;
      return false;
    }
    if (chunk == 0) break;  // shorter than it said: what came is what there is
    got += chunk;
  }
  StateFileResult result = RestoreStates(bytes, static_cast<size_t>(got), utcNowMs);
  delete[] bytes;
  // What lies past kStateFileReadMax counts as one damaged part more.
  size_t bad = result.bad + (cut ? 1 : 0);
  if (bad > 0) {
    ReportAdminEvent(kAdminStateFileDamaged,
                     {g_store.pathText, Decimal(bad).text, Decimal(result.restored).text});
  }
  TraceHook("state entries restored", static_cast<uint32_t>(result.restored));
  return true;
}

}  // namespace

bool StateOwnerAccepted(PSID owner) {
  if (!owner || !IsValidSid(owner)) return false;
  if (IsWellKnownSid(owner, WinLocalSystemSid) ||
      IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
    return true;
  }
  // The service's own account: LocalSystem on Windows, so nothing more
  // there; under Wine, whose files all belong to its one user, the only
  // owner a file can have.
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  union {
    TOKEN_USER user;
    uint8_t bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD length = 0;
  bool own = GetTokenInformation(token, TokenUser, &info, sizeof info, &length) &&
             EqualSid(info.user.User.Sid, owner);
  CloseHandle(token);
  return own;
}

DWORD CheckStateObject(HANDLE handle, char* why, size_t whySize) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    DWORD error = GetLastError();
    SayError(error, why, whySize, "its attributes cannot be read");
    return error;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    std::snprintf(why, whySize, "it is a reparse point (a link or junction)");
    return ERROR_ACCESS_DENIED;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    SayError(error, why, whySize, "its owner cannot be read");
    return error;
  }
  bool accepted = StateOwnerAccepted(owner);
  if (!accepted) {
    wchar_t* sid = nullptr;
    char text[200] = "?";
    if (owner && ConvertSidToStringSidW(owner, &sid)) {
      WideText(sid, text, sizeof text);
      LocalFree(sid);
    }
    std::snprintf(why, whySize, "its owner is %s, not LocalSystem or Administrators", text);
  }
  LocalFree(descriptor);
  return accepted ? 0 : ERROR_ACCESS_DENIED;
}

bool StateFolderPath(wchar_t (&folder)[MAX_PATH]) {
  // The known folder, not %ProgramData%: Wine sets that variable to another
  // folder (C:\users\Public) than the common application data folder.
  wchar_t* common = nullptr;
  bool ok = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &common) == S_OK &&
            Join(common, kFolderLeaf, folder);
  CoTaskMemFree(common);
  return ok;
}

DWORD MakeStateFolder(const wchar_t* folder, char* why, size_t whySize) {
  why[0] = '\0';
  PSECURITY_DESCRIPTOR descriptor = Descriptor(kStateFolderSddl);
  if (!descriptor) {
    DWORD error = GetLastError();
    SayError(error, why, whySize, "its access list cannot be made");
    return error;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  DWORD error = CreateDirectoryW(folder, &attributes) ? 0 : GetLastError();
  LocalFree(descriptor);
  if (error == 0) return 0;
  if (error != ERROR_ALREADY_EXISTS) {
    SayError(error, why, whySize, "it cannot be made");
    return error;
  }
  // There already: made by an earlier installation, or by someone else.
  HANDLE handle = OpenToCheck(folder, 0);
  if (handle == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    SayError(error, why, whySize, "it cannot be opened");
    return error;
  }
  error = CheckStateObject(handle, why, whySize);
  if (error == 0) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info) &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      std::snprintf(why, whySize, "it is a file, not a folder");
      error = ERROR_DIRECTORY;
    }
  }
  CloseHandle(handle);
  return error;
}

DWORD WriteStateFile(const wchar_t* folder, const char* text, size_t length) {
  wchar_t path[MAX_PATH], fresh[MAX_PATH];
  if (!Join(folder, kFileLeaf, path) || !Join(folder, kNewFileLeaf, fresh)) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  PSECURITY_DESCRIPTOR descriptor = Descriptor(kStateFileSddl);
  if (!descriptor) return GetLastError();
  // A new file of our own every time: one left by a write that was cut
  // short is removed first, and CREATE_NEW never opens what is there.
  DeleteFileW(fresh);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  HANDLE file = CreateFileW(fresh, GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  LocalFree(descriptor);
  if (error != 0) return error;
  size_t done = 0;
  while (error == 0 && done < length) {
    DWORD want = length - done > (1u << 20) ? (1u << 20) : static_cast<DWORD>(length - done);
    DWORD wrote = 0;
    if (!WriteFile(file, text + done, want, &wrote, nullptr)) {
      error = GetLastError();
    } else if (wrote == 0) {
      error = ERROR_WRITE_FAULT;
    }
    done += wrote;
  }
  // On the disk before the move: otherwise a power cut after the move could
  // leave the new name with no data behind it.
  if (error == 0 && !FlushFileBuffers(file)) error = GetLastError();
  CloseHandle(file);
  if (error == 0 &&
      !MoveFileExW(fresh, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != 0) DeleteFileW(fresh);
  return error;
}

void StateStoreStart(const wchar_t* folder, uint64_t utcNowMs) {
  LockHold hold(g_storeLock);
  g_store = Store{};
  ClearStates();
  if (folder) {
    if (!Join(folder, L"", g_store.folder)) return;
  } else if (!StateFolderPath(g_store.folder)) {
    Refuse("%ProgramData%\\ZARVO Remote", "the common application data folder is not known");
    return;
  }
  Join(g_store.folder, kFileLeaf, g_store.path);
  WideText(g_store.path, g_store.pathText, sizeof g_store.pathText);
  char why[512];
  if (MakeStateFolder(g_store.folder, why, sizeof why) != 0) {
    char folderText[MAX_PATH * 3];
    WideText(g_store.folder, folderText, sizeof folderText);
    Refuse(folderText, why);
    return;
  }
  HANDLE file = OpenToCheck(g_store.path, GENERIC_READ);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
      g_store.on = true;  // the first start: nothing to read back
    } else {
      // Never written over: what it holds may still be read by a later start.
      SayError(error, why, sizeof why, "it cannot be opened");
      Refuse(g_store.pathText, why);
    }
    return;
  }
  bool ok = CheckStateObject(file, why, sizeof why) == 0 && ReadBack(file, utcNowMs, why, sizeof why);
  CloseHandle(file);
  if (!ok) {
    Refuse(g_store.pathText, why);
    return;
  }
  g_store.on = true;
}

namespace {

void WriteIfChanged(uint64_t monotonicMs) {
  size_t length = 0;
  uint64_t mark = 0;
  if (!TakeStateText(g_text, sizeof g_text, length, mark)) return;
  g_store.lastWriteMs = monotonicMs;
  DWORD error = WriteStateFile(g_store.folder, g_text, length);
  if (error == 0) {
    MarkStatesSaved(mark);
    g_store.failuresInARow = 0;
    g_store.failureReportedMs = 0;
    return;
  }
  TraceHook("state file not written", error);
  ++g_store.failuresInARow;
  if (g_store.failuresInARow >= kStateWriteFailuresReported &&
      (g_store.failureReportedMs == 0 ||
       monotonicMs - g_store.failureReportedMs >= kStateWriteFailureReportMs)) {
    g_store.failureReportedMs = monotonicMs;
    char text[256];
    Win32ErrorText(error, text, sizeof text);
    ReportAdminEvent(kAdminStateFileNotWritten, {g_store.pathText, Decimal(error).text, text,
                                                 Decimal(g_store.failuresInARow).text});
  }
}

}  // namespace

void StateStoreTick(uint64_t monotonicMs) {
  LockHold hold(g_storeLock);
  if (!g_store.on) return;
  if (g_store.lastWriteMs != 0 && monotonicMs - g_store.lastWriteMs < kStateWriteMs) return;
  WriteIfChanged(monotonicMs);
}

void StateStoreStop() {
  LockHold hold(g_storeLock);
  if (!g_store.on) return;
  WriteIfChanged(MonotonicMs());
  // Until the next start: a worker thread left running by a start that
  // failed writes nothing more.
  g_store.on = false;
}
