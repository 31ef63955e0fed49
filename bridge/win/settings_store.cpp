#include "bridge/win/settings_store.h"

#include <sddl.h>

#include <cwchar>

#include "bridge/win/wide_text.h"
#include "core/win/registry_view.h"

const wchar_t kBridgeSettingsKey[] = L"SOFTWARE\\ZARVO Remote\\MQTT";
const wchar_t kRefusedRetryValue[] = L"RefusedRetryMs";

namespace {

// The longest value read, in characters: far above any valid setting, so
// that a value too long is still read whole and refused by its check.
constexpr DWORD kLongestValue = 4096;

}  // namespace

LONG ReadStoredSettings(StoredSettings& out, DWORD& refusedRetryMs) {
  out = StoredSettings{};
  refusedRetryMs = 0;
  HKEY key = nullptr;
  LONG opened = OpenSettingsKey(kBridgeSettingsKey, KEY_QUERY_VALUE, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (opened != ERROR_SUCCESS) return opened;
  wchar_t text[kLongestValue + 1];
  for (int k = 0; k < kSettingCount; ++k) {
    std::wstring name = Wide(BridgeSettingName(static_cast<BridgeSettingKey>(k)));
    DWORD type = 0;
    DWORD size = kLongestValue * sizeof(wchar_t);
    LONG read = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    if (read == ERROR_FILE_NOT_FOUND) continue;
    if (read != ERROR_SUCCESS || type != REG_SZ) {
      // A value that cannot be a setting is taken as one that fails its
      // check, so that the event names it.
      out.has[k] = true;
      out.value[k] = std::string(1, '\x01');
      continue;
    }
    size_t units = size / sizeof(wchar_t);
    while (units > 0 && text[units - 1] == L'\0') --units;
    out.has[k] = true;
    out.value[k] = Utf8(text, units);
  }
  DWORD retry = 0, type = 0, size = sizeof retry;
  if (RegQueryValueExW(key, kRefusedRetryValue, nullptr, &type, reinterpret_cast<BYTE*>(&retry), &size) ==
          ERROR_SUCCESS &&
      type == REG_DWORD) {
    refusedRetryMs = retry;
  }
  RegCloseKey(key);
  return ERROR_SUCCESS;
}

LONG OpenSettingsForWriting(const wchar_t* serviceSid, HKEY* key, bool& secured) {
  secured = false;
  wchar_t sddl[256];
  // Protected: nothing inherited from SOFTWARE (where Users may read).
  std::swprintf(sddl, sizeof sddl / sizeof sddl[0], L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;%ls)",
                serviceSid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  bool haveDescriptor =
      ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr) != FALSE;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  bool created = false;
  LONG result = CreateSettingsKey(kBridgeSettingsKey, KEY_QUERY_VALUE | KEY_SET_VALUE | WRITE_DAC,
                                  haveDescriptor ? &attributes : nullptr, key, &created);
  if (result == ERROR_SUCCESS && haveDescriptor) {
    // An existing key (an older installation, or one made by hand) gets the
    // list too.
    secured = RegSetKeySecurity(*key, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                descriptor) == ERROR_SUCCESS;
  }
  if (descriptor) LocalFree(descriptor);
  return result;
}

LONG WriteStoredSetting(HKEY key, BridgeSettingKey setting, const std::string& value, bool remove) {
  std::wstring name = Wide(BridgeSettingName(setting));
  if (remove) {
    LONG deleted = RegDeleteValueW(key, name.c_str());
    return deleted == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : deleted;
  }
  std::wstring wide = Wide(value);
  return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                        static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

std::string ComputerNameText() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return std::string();
  return Utf8(name, size);
}
