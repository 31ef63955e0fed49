// The service host: program entry, the service's lifecycle under the service
// control manager, and the two command operations that install and remove it.
#pragma once

#include <windows.h>

#include "core/win/service_setup.h"

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

// The quoted program path and the recovery settings: core/win/service_setup.h.

// Listing (service/list_devices.cpp): prints the USB devices of vendor id
// 0403 and what the service would do with each; 1 when it listed, 0 when
// the devices could not be listed.
int ListDevices();

// Program entry (service/entry.cpp).
void PrintUsage();
