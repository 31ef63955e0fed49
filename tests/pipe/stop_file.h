// Test programs under Wine run in the background of a shell script, which
// cannot signal them the Windows way; it asks them to end by creating a file.
#pragma once

#include <windows.h>

inline bool StopFileExists(const wchar_t* path) {
  return path && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Sleeps until `path` exists or `maxMs` have passed; true when it exists.
inline bool WaitForStopFile(const wchar_t* path, DWORD maxMs) {
  DWORD started = GetTickCount();
  while (!StopFileExists(path)) {
    if (GetTickCount() - started >= maxMs) return false;
    Sleep(20);
  }
  return true;
}
