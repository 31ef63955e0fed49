// The service host: program entry, the service's lifecycle under the service
// control manager, and the two command operations that install and remove it.
#pragma once

#include <windows.h>

constexpr wchar_t kServiceName[] = L"DADUDODI";
constexpr wchar_t kServiceDisplayName[] = L"ZARVO Remote";

// Lifecycle (service/lifecycle.cpp).
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                   LPVOID context);
DWORD ServiceStart(struct ServiceContext& context);
void ServiceStop(struct ServiceContext& context);

// Installation (service/install.cpp). "-i" and "-u": 1 for success, 0 for
// failure. "-setup" and "-teardown", for installer packages: idempotent, 0
// for success, 1 for failure. -setup registers the service or updates its
// registration, -teardown stops it (waiting up to 30 s) and deletes it; both
// then write or withdraw everything else installation writes.
int InstallService();
int UninstallService();
int SetupService();
int TeardownService();
void AddNullSessionPipe();
void RemoveNullSessionPipe();

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

// Listing (service/list_devices.cpp): prints the USB devices of vendor id
// 0403 and what the service would do with each; 1 when it listed, 0 when
// the devices could not be listed.
int ListDevices();

// Program entry (service/entry.cpp).
void PrintUsage();
