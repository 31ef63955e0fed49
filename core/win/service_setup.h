// What installing a Windows service of ours takes besides CreateServiceW,
// shared by ZARVOSRV.exe and ZARVOMQTT.exe: the program's quoted path, the
// recovery settings, the event source that points the event viewer at the
// program's message table, and a stop that waits.
#pragma once

#include <windows.h>

// The service's command line: the program path in quotes, so that Windows
// never runs "C:\Program.exe" for a path with blanks. False, with `quoted`
// unusable, when the path does not fit with its quotes.
bool QuoteProgramPath(const wchar_t* path, wchar_t (&quoted)[MAX_PATH]);

// The recovery installation sets: restart after 5 s, 5 s, then 60 s; the
// failure count resets after a day. Fills `steps` and points `actions` at
// them.
constexpr DWORD kFailureActionCount = 3;
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;
void BuildFailureActions(SC_ACTION (&steps)[kFailureActionCount],
                         SERVICE_FAILURE_ACTIONSW& actions);

// Registers the event source `source` in the Application log with
// `programPath` (the installed program, holding the message table) as its
// message file, and the event types it writes. False when the registry
// refused, or when the path holds a ';' (the value is a list separated by
// ';', so such a path cannot be registered).
bool InstallEventSourceFor(const wchar_t* source, const wchar_t* programPath);

// Removes the source. True also when it was not registered.
bool RemoveEventSourceFor(const wchar_t* source);

// Stops the service unless it is stopped, and waits for it up to `waitMs`.
// A start in progress is let finish and then stopped. The handle needs
// SERVICE_STOP and SERVICE_QUERY_STATUS.
bool StopServiceAndWait(SC_HANDLE service, DWORD waitMs);
