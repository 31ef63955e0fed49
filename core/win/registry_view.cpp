#include "core/win/registry_view.h"

LONG OpenSettingsKey(const wchar_t* subKey, REGSAM access, HKEY* key) {
  *key = nullptr;
  LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, access | KEY_WOW64_64KEY, key);
  if (opened == ERROR_FILE_NOT_FOUND) opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, access, key);
  if (opened != ERROR_SUCCESS) *key = nullptr;
  return opened;
}

LONG CreateSettingsKey(const wchar_t* subKey, REGSAM access, SECURITY_ATTRIBUTES* security,
                       HKEY* key, bool* created) {
  *created = false;
  LONG opened = OpenSettingsKey(subKey, access, key);
  if (opened != ERROR_FILE_NOT_FOUND) return opened;
  DWORD disposition = 0;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                access | KEY_WOW64_64KEY, security, key, &disposition);
  if (result != ERROR_SUCCESS) {
    *key = nullptr;
    return result;
  }
  *created = disposition == REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}
