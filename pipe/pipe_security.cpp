#include "pipe/pipe_security.h"

#include <sddl.h>

#include "core/win/registry_view.h"

#include <cwchar>

const wchar_t kDefaultPipeSddl[] =
    L"O:SYG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFW;;;AU)(A;;FRFW;;;AN)";
const wchar_t kPipeSecurityKey[] = L"SOFTWARE\\ZARVO Remote";
const wchar_t kPipeSecurityValue[] = L"PipeSecurity";
const wchar_t kEventsPipeSecurityValue[] = L"EventsPipeSecurity";
const wchar_t kDefaultEventsPipeSddl[] = L"O:SYG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;AU)";

namespace {

constexpr size_t kLongestSddl = 4096;

DWORD Refuse(PipeSecurity& out, const wchar_t* why) {
  std::wcsncpy(out.reason, why, sizeof out.reason / sizeof out.reason[0] - 1);
  out.reason[sizeof out.reason / sizeof out.reason[0] - 1] = L'\0';
  if (out.descriptor) LocalFree(out.descriptor);
  out.descriptor = nullptr;
  return ERROR_INVALID_SECURITY_DESCR;
}

// The rights the access list leaves LocalSystem, evaluated as an access
// check does: ACEs in order, for the groups a LocalSystem token holds;
// generic rights mapped as for a file.
bool GivesLocalSystemFullControl(PACL dacl) {
  BYTE system[SECURITY_MAX_SID_SIZE], everyone[SECURITY_MAX_SID_SIZE],
      users[SECURITY_MAX_SID_SIZE], admins[SECURITY_MAX_SID_SIZE];
  PSID sids[] = {system, everyone, users, admins};
  const WELL_KNOWN_SID_TYPE types[] = {WinLocalSystemSid, WinWorldSid,
                                       WinAuthenticatedUserSid, WinBuiltinAdministratorsSid};
  for (int i = 0; i < 4; ++i) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    if (!CreateWellKnownSid(types[i], nullptr, sids[i], &size)) return false;
  }
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  ACCESS_MASK granted = 0, denied = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return false;
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) {
      continue;
    }
    // Both ACE types share this layout: header, mask, then the SID.
    const ACCESS_ALLOWED_ACE* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = const_cast<DWORD*>(&entry->SidStart);
    bool applies = false;
    for (PSID own : sids) applies = applies || EqualSid(sid, own);
    if (!applies) continue;
    ACCESS_MASK mask = entry->Mask;
    MapGenericMask(&mask, &mapping);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      denied |= mask & ~granted;
    } else {
      granted |= mask & ~denied;
    }
  }
  return (granted & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
}

}  // namespace

DWORD ParsePipeSecurity(const wchar_t* sddl, PipeSecurity& out) {
  out.descriptor = nullptr;
  out.reason[0] = L'\0';
  std::wcsncpy(out.value, sddl, sizeof out.value / sizeof out.value[0] - 1);
  out.value[sizeof out.value / sizeof out.value[0] - 1] = L'\0';
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                            &out.descriptor, nullptr)) {
    DWORD error = GetLastError();
    Refuse(out, L"the text is not a valid security descriptor");
    return error != 0 ? error : ERROR_INVALID_SECURITY_DESCR;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(out.descriptor, &present, &dacl, &defaulted) || !present) {
    return Refuse(out, L"it has no access list");
  }
  if (!dacl) return Refuse(out, L"its access list is null (everyone would have full control)");
  if (!GivesLocalSystemFullControl(dacl)) {
    return Refuse(out, L"it does not leave LocalSystem full control");
  }
  PSID owner = nullptr;
  if (!GetSecurityDescriptorOwner(out.descriptor, &owner, &defaulted)) {
    return Refuse(out, L"its owner cannot be read");
  }
  if (owner) {
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof system;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size) ||
        !EqualSid(owner, system)) {
      return Refuse(out, L"its owner is not LocalSystem (clients refuse such a pipe)");
    }
  }
  return 0;
}

DWORD LoadPipeSecurity(PipeSecurity& out, const wchar_t* valueName, const wchar_t* defaultSddl) {
  out.descriptor = nullptr;
  out.fromRegistry = false;
  out.reason[0] = L'\0';
  std::swprintf(out.value, sizeof out.value / sizeof out.value[0],
                L"HKLM\\SOFTWARE\\ZARVO Remote\\%ls", valueName);
  // The 64-bit view on 64-bit Windows, where an administrator's reg.exe
  // writes (core/win/registry_view.h).
  HKEY key = nullptr;
  LONG opened = OpenSettingsKey(kPipeSecurityKey, KEY_QUERY_VALUE, &key);
  static wchar_t text[kLongestSddl + 1];
  DWORD type = 0;
  DWORD size = kLongestSddl * sizeof(wchar_t);
  LONG read = opened;
  if (opened == ERROR_SUCCESS) {
    read = RegQueryValueExW(key, valueName, nullptr, &type,
                            reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
  }
  if (read == ERROR_FILE_NOT_FOUND) return ParsePipeSecurity(defaultSddl, out);
  out.fromRegistry = true;
  if (read != ERROR_SUCCESS) {
    Refuse(out, L"the value cannot be read (longer than 4096 characters?)");
    return static_cast<DWORD>(read);
  }
  if (type != REG_SZ) return Refuse(out, L"the value is not a text (REG_SZ)");
  // Stored data need not end with its NUL.
  text[size / sizeof(wchar_t)] = L'\0';
  return ParsePipeSecurity(text, out);
}

void FreePipeSecurity(PipeSecurity& security) {
  if (security.descriptor) LocalFree(security.descriptor);
  security.descriptor = nullptr;
}
