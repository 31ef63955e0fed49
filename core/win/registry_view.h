// The registry view of our settings under HKLM\SOFTWARE: the 64-bit one on
// 64-bit Windows, where an administrator's reg.exe writes, also for the
// 32-bit programs (which Windows would otherwise redirect to WOW6432Node).
// The service's PipeSecurity, the bridge and its -config all go through
// here, so that they always meet in the same place.
#pragma once

#include <windows.h>

// Opens HKLM\`subKey` in that view with `access`. Where there is no 64-bit
// view (32-bit Windows ignores the flag, but Wine's 32-bit prefixes find
// nothing with it), the one view there is. ERROR_FILE_NOT_FOUND when the key
// is in neither.
LONG OpenSettingsKey(const wchar_t* subKey, REGSAM access, HKEY* key);

// The same, creating the key in the 64-bit view when it is in neither;
// `security` (may be null) is the new key's security descriptor.
LONG CreateSettingsKey(const wchar_t* subKey, REGSAM access, SECURITY_ATTRIBUTES* security,
                       HKEY* key, bool* created);
