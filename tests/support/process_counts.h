// Handle and thread counts of a process, for tests and benchmarks that check
// nothing leaks. Works under Wine, whose GetProcessHandleCount reports 0.
#pragma once

#include <windows.h>

// Handles the process holds (the system's handle list).
DWORD ProcessHandleCount(DWORD processId = GetCurrentProcessId());

// Threads the process runs.
int ProcessThreadCount(DWORD processId = GetCurrentProcessId());
