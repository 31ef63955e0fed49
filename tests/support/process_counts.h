// Handle and thread counts of a process, for tests and benchmarks that check
// nothing leaks. Works under Wine, whose GetProcessHandleCount reports 0.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Handles the process holds (the system's handle list).
DWORD ProcessHandleCount(DWORD processId = GetCurrentProcessId());

// Threads the process runs.
int ProcessThreadCount(DWORD processId = GetCurrentProcessId());

// One handle of a process as the system's handle list shows it.
struct ProcessHandleEntry {
  uint16_t handle;     // the handle's value in its process
  uint8_t objectType;  // the system's number for the object's type
};

// Every handle the process holds, in the list's order.
std::vector<ProcessHandleEntry> ProcessHandles(DWORD processId);

// What a handle of another process refers to, as "Type name" (the name
// may be empty): the handle is duplicated into this process, asked about and
// closed again. `process` needs PROCESS_DUP_HANDLE. Empty when the handle
// could not be duplicated.
std::string DescribeForeignHandle(HANDLE process, uint16_t handle);

// The handles this process holds now that `before` did not list (by value),
// one "value: Type name" a line: where a count that did not come back
// points.
std::string HandlesAddedSince(const std::vector<ProcessHandleEntry>& before);
