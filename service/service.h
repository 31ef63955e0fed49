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

// Installation (service/install.cpp): 1 for success, 0 for failure.
int InstallService();
int UninstallService();
void AddNullSessionPipe();
void RemoveNullSessionPipe();

// Listing (service/list_devices.cpp): prints the USB devices of vendor id
// 0403 and what the service would do with each; 1 when it listed, 0 when
// the devices could not be listed.
int ListDevices();

// Program entry (service/entry.cpp).
void PrintUsage();
