// What installing a Windows service of ours takes, shared by ZARVOSRV.exe
// and ZARVOMQTT.exe: the program's quoted path, a registration made or
// brought up to date, the recovery settings, the event source that points
// the event viewer at the program's message table, and a stop that waits.
#pragma once

#include <windows.h>

// The service's command line: the program path in quotes, so that Windows
// never runs "C:\Program.exe" for a path with blanks. False, with `quoted`
// unusable, when the path does not fit with its quotes.
bool QuoteProgramPath(const wchar_t* path, wchar_t (&quoted)[MAX_PATH]);

// The program's own path as it is (for the event source) and in quotes (the
// service's command line).
struct ProgramPath {
  wchar_t plain[MAX_PATH];
  wchar_t quoted[MAX_PATH];
};

// False when the path was cut (registering it would start a program that
// does not exist) or does not fit with its quotes.
bool ReadProgramPath(ProgramPath& path);

// The program's own CreateServiceW and ChangeServiceConfigW calls, with the
// same settings: a registration that exists is brought to what a new one
// would have been.
using CreateRecordFn = SC_HANDLE (*)(SC_HANDLE manager, const ProgramPath& path);
using UpdateRecordFn = bool (*)(SC_HANDLE service, const ProgramPath& path);

// Registers the service `name`, or updates its registration when it exists
// (`updated` then true). A registration marked for deletion (removed while
// its process still ran) is waited out for up to `waitMs`, so that an
// upgrade's remove-then-install succeeds. The handle has SERVICE_ALL_ACCESS;
// null, with `error`, when it failed.
SC_HANDLE CreateOrUpdateService(SC_HANDLE manager, const wchar_t* name, const ProgramPath& path,
                                CreateRecordFn create, UpdateRecordFn update, DWORD waitMs,
                                DWORD& error, bool& updated);

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
