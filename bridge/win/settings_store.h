// The bridge's settings in the registry: REG_SZ values under
// HKLM\SOFTWARE\ZARVO Remote\MQTT, in the view PipeSecurity uses
// (core/win/registry_view.h). The key holds the broker's password, so its
// access list lets only LocalSystem, Administrators and the bridge's own
// service SID read it; -config sets that list every time it writes.
#pragma once

#include <windows.h>

#include <string>

#include "bridge/bridge_settings.h"

extern const wchar_t kBridgeSettingsKey[];  // SOFTWARE\ZARVO Remote\MQTT
// A DWORD beside the settings that tests use to shorten the minute the
// bridge waits after the broker refused it; not set by -config.
extern const wchar_t kRefusedRetryValue[];  // RefusedRetryMs

// Reads every setting. ERROR_SUCCESS also when the key does not exist
// (nothing stored); `refusedRetryMs` is 0 unless the test value is there.
LONG ReadStoredSettings(StoredSettings& out, DWORD& refusedRetryMs);

// Opens the key for -config, creating it, and gives it its access list
// (SYSTEM and Administrators full control, `serviceSid` read). `secured`
// says whether the list could be set.
LONG OpenSettingsForWriting(const wchar_t* serviceSid, HKEY* key, bool& secured);

// Stores one setting (UTF-8), or deletes it (`remove`).
LONG WriteStoredSetting(HKEY key, BridgeSettingKey setting, const std::string& value, bool remove);

// The computer's name, for the default node name.
std::string ComputerNameText();
