// A small service controller for the tests: Wine's sc.exe cannot pause,
// continue or interrogate, and `reg` shows a multi-string list only loosely.
// Prints one line and exits 0 on success.
//
//   svcctl pipes-get                  type=N size=N entries=a|b|c (or "absent")
//   svcctl pipes-set "a|b|c"          writes the list (an empty text: only the
//                                     closing empty string)
//   svcctl pipes-delete               deletes the value
//   svcctl query NAME                 state=N type=N accepted=N exit=N
//   svcctl control NAME CODE          sends a control code, then queries
//   svcctl wait NAME STATE SECONDS    waits until the service is in STATE
//   svcctl config NAME                type=N start=N error=N path=... account=...
//   svcctl description NAME           description=... (the Services console's text)
//   svcctl pid NAME                   pid=N (0 while the service is not running)
//   svcctl trace NAME SECONDS         prints every status change until the
//                                     service is running or stopped
//   svcctl pipe-sddl                  the owner and access list of
//                                     \\.\pipe\doraruzoz, read back by a client
//   svcctl key-sddl SUBKEY            the access list of HKLM\SUBKEY (64-bit
//                                     view), as SDDL
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>
#include <cstdlib>

namespace {

int Fail(const char* what) {
  std::printf("%s failed: error %lu\n", what, GetLastError());
  return 1;
}

void PrintStatus(const SERVICE_STATUS& s) {
  std::printf("state=%lu type=%lu accepted=%lu exit=%lu checkpoint=%lu hint=%lu\n",
              s.dwCurrentState, s.dwServiceType, s.dwControlsAccepted, s.dwWin32ExitCode,
              s.dwCheckPoint, s.dwWaitHint);
}

const wchar_t kParameters[] = L"System\\CurrentControlSet\\Services\\LanmanServer\\Parameters";

int PipeList(int argc, wchar_t** argv) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParameters, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return Fail("RegCreateKeyExW");
  const wchar_t* verb = argv[1];
  int rc = 0;
  if (!std::wcscmp(verb, L"pipes-get")) {
    static wchar_t data[8192];
    DWORD type = 0, size = sizeof data;
    LONG r = RegQueryValueExW(key, L"NullSessionPipes", nullptr, &type,
                              reinterpret_cast<BYTE*>(data), &size);
    if (r == ERROR_FILE_NOT_FOUND) {
      std::printf("absent\n");
    } else if (r != ERROR_SUCCESS) {
      std::printf("query failed: %ld\n", r);
      rc = 1;
    } else {
      std::printf("type=%lu size=%lu entries=", type, size);
      DWORD units = size / 2;
      for (DWORD i = 0; i < units; ++i) {
        if (data[i] == 0) {
          std::printf(i + 1 < units ? "|" : "");
        } else {
          std::printf("%lc", data[i]);
        }
      }
      std::printf("\n");
    }
  } else if (!std::wcscmp(verb, L"pipes-set") && argc >= 3) {
    static wchar_t data[8192];
    DWORD n = 0;
    for (const wchar_t* p = argv[2]; *p && n < 8000; ++p) data[n++] = (*p == L'|') ? 0 : *p;
    if (n > 0) data[n++] = 0;  // end of the last entry
    data[n++] = 0;             // the closing empty string
    if (RegSetValueExW(key, L"NullSessionPipes", 0, REG_MULTI_SZ,
                       reinterpret_cast<const BYTE*>(data), n * 2) != ERROR_SUCCESS)
      rc = Fail("RegSetValueExW");
  } else if (!std::wcscmp(verb, L"pipes-delete")) {
    RegDeleteValueW(key, L"NullSessionPipes");
  } else {
    rc = 2;
  }
  RegCloseKey(key);
  return rc;
}

// Opens the pipe as a client (waiting while it is busy) and prints its owner
// and access list as SDDL.
int PipeSddl() {
  const wchar_t kPipe[] = L"\\\\.\\pipe\\doraruzoz";
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int tries = 0; tries < 50; ++tries) {
    pipe = CreateFileW(kPipe, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) break;
    WaitNamedPipeW(kPipe, 1000);
  }
  if (pipe == INVALID_HANDLE_VALUE) return Fail("CreateFileW");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD got = GetSecurityInfo(pipe, SE_KERNEL_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor);
  CloseHandle(pipe);
  if (got != ERROR_SUCCESS) {
    SetLastError(got);
    return Fail("GetSecurityInfo");
  }
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          &text, nullptr)) {
    return Fail("ConvertSecurityDescriptorToStringSecurityDescriptorW");
  }
  std::printf("%ls\n", text);
  LocalFree(text);
  LocalFree(descriptor);
  return 0;
}

int KeySddl(const wchar_t* subKey) {
  HKEY key;
  LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, READ_CONTROL | KEY_WOW64_64KEY, &key);
  if (opened != ERROR_SUCCESS) {
    std::printf("RegOpenKeyExW failed: error %ld\n", opened);
    return 1;
  }
  static BYTE buffer[8192];
  DWORD size = sizeof buffer;
  LONG read = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size);
  RegCloseKey(key);
  if (read != ERROR_SUCCESS) {
    std::printf("RegGetKeySecurity failed: error %ld\n", read);
    return 1;
  }
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(buffer, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                            &text, nullptr)) {
    return Fail("ConvertSecurityDescriptorToStringSecurityDescriptorW");
  }
  std::printf("%ls\n", text);
  LocalFree(text);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && !std::wcsncmp(argv[1], L"pipes-", 6)) return PipeList(argc, argv);
  if (argc >= 2 && !std::wcscmp(argv[1], L"pipe-sddl")) return PipeSddl();
  if (argc >= 3 && !std::wcscmp(argv[1], L"key-sddl")) return KeySddl(argv[2]);
  if (argc < 3) {
    std::printf("usage: svcctl query|control|wait|config|description|pid|trace NAME [ARGS]\n");
    return 2;
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return Fail("OpenSCManagerW");
  SC_HANDLE service = OpenServiceW(manager, argv[2], SERVICE_ALL_ACCESS);
  if (!service) return Fail("OpenServiceW");

  SERVICE_STATUS status{};
  const wchar_t* verb = argv[1];
  if (!std::wcscmp(verb, L"query")) {
    if (!QueryServiceStatus(service, &status)) return Fail("QueryServiceStatus");
    PrintStatus(status);
  } else if (!std::wcscmp(verb, L"control") && argc >= 4) {
    DWORD code = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    if (!ControlService(service, code, &status)) return Fail("ControlService");
    if (!QueryServiceStatus(service, &status)) return Fail("QueryServiceStatus");
    PrintStatus(status);
  } else if (!std::wcscmp(verb, L"wait") && argc >= 5) {
    DWORD want = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    DWORD deadline = GetTickCount() + 1000 * static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10));
    for (;;) {
      if (!QueryServiceStatus(service, &status)) return Fail("QueryServiceStatus");
      if (status.dwCurrentState == want) break;
      if (static_cast<LONG>(GetTickCount() - deadline) > 0) {
        PrintStatus(status);
        std::printf("timed out waiting for state %lu\n", want);
        return 1;
      }
      Sleep(50);
    }
    PrintStatus(status);
  } else if (!std::wcscmp(verb, L"trace") && argc >= 4) {
    DWORD deadline = GetTickCount() + 1000 * static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    SERVICE_STATUS last{};
    last.dwCurrentState = ~0ul;
    for (;;) {
      if (!QueryServiceStatus(service, &status)) return Fail("QueryServiceStatus");
      if (status.dwCurrentState != last.dwCurrentState || status.dwCheckPoint != last.dwCheckPoint ||
          status.dwWaitHint != last.dwWaitHint) {
        PrintStatus(status);
        std::fflush(stdout);
        last = status;
      }
      if (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_STOPPED) break;
      if (static_cast<LONG>(GetTickCount() - deadline) > 0) {
        std::printf("timed out\n");
        return 1;
      }
      Sleep(20);
    }
  } else if (!std::wcscmp(verb, L"config")) {
    union {
      QUERY_SERVICE_CONFIGW config;
      BYTE raw[8192];
    } buffer;
    DWORD needed = 0;
    if (!QueryServiceConfigW(service, &buffer.config, sizeof buffer, &needed))
      return Fail("QueryServiceConfigW");
    const QUERY_SERVICE_CONFIGW& c = buffer.config;
    std::printf("type=%lu start=%lu error=%lu path=%ls account=%ls display=%ls\n",
                c.dwServiceType, c.dwStartType, c.dwErrorControl,
                c.lpBinaryPathName ? c.lpBinaryPathName : L"",
                c.lpServiceStartName ? c.lpServiceStartName : L"",
                c.lpDisplayName ? c.lpDisplayName : L"");
  } else if (!std::wcscmp(verb, L"pid")) {
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                              sizeof process, &needed))
      return Fail("QueryServiceStatusEx");
    std::printf("pid=%lu\n", process.dwProcessId);
  } else if (!std::wcscmp(verb, L"description")) {
    union {
      SERVICE_DESCRIPTIONW description;
      BYTE raw[8192];
    } buffer;
    DWORD needed = 0;
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.raw, sizeof buffer,
                              &needed))
      return Fail("QueryServiceConfig2W");
    const wchar_t* text = buffer.description.lpDescription;
    std::printf("description=%ls\n", text ? text : L"");
  } else {
    std::printf("unknown verb\n");
    return 2;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 0;
}
