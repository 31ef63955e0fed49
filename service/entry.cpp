// Program entry of ZARVOSRV: with "-i" or "-u" it installs or removes the
// service ("-setup" and "-teardown" do the same for installer packages),
// with "-l" it lists the USB devices it would use; without an argument it
// hands the main thread to the service control dispatcher, which is how the
// service control manager starts it.
#include <cstdio>

#include "service/service.h"
#include "core/version.h"

namespace {

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

bool SwitchEquals(const wchar_t* arg, const wchar_t* option) {
  for (; *arg && *option; ++arg, ++option) {
    if (AsciiLower(*arg) != AsciiLower(*option)) return false;
  }
  return *arg == *option;
}

}  // namespace

void PrintUsage() {
  std::printf("Usage: ZARVOSRV <installoption>\n\n");
  std::printf("<installoption>   -i   install ZARVO Remote Service\n");
  std::printf("                  -u   uninstall ZARVO Remote Service\n");
  std::printf("                  -l   list the USB devices the service would use\n\n");
  std::printf("To start/stop ZARVO Remote Service use Windows Service Panel.\n");
  std::printf("To start ZARVO Remote Service via command line, type NET START \"ZARVO Remote\"\n");
  std::printf("To stop  ZARVO Remote Service via command line, type NET STOP  \"ZARVO Remote\"\n\n");
}

int wmain(int argc, wchar_t** argv) {
  std::printf("\nZARVOSRV - ZARVO Remote Service\n");
  std::printf("%s\n\n", kOwnerNotice);
  std::fflush(stdout);

  if (argc >= 2) {
    wchar_t* option = argv[1];
    if (option[0] == L'/') option[0] = L'-';
    int result = 0;
    if (SwitchEquals(option, L"-i")) {
      result = InstallService();
    } else if (SwitchEquals(option, L"-u")) {
      result = UninstallService();
    } else if (SwitchEquals(option, L"-setup")) {
      // For installer packages; not in the usage text.
      result = SetupService();
    } else if (SwitchEquals(option, L"-teardown")) {
      result = TeardownService();
    } else if (SwitchEquals(option, L"-l")) {
      result = ListDevices();
    } else {
      PrintUsage();
    }
    std::fflush(stdout);
    return result;
  }

  wchar_t name[sizeof kServiceName / sizeof kServiceName[0]];
  lstrcpyW(name, kServiceName);
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    DWORD error = GetLastError();
    PrintUsage();
    std::fflush(stdout);
    return static_cast<int>(error);
  }
  // The service has reported SERVICE_STOPPED. A transceiver thread may still
  // be inside a driver call that hung; ending here without running static
  // destructors or freeing anything means its late return never meets freed
  // memory. (Windows keeps the process until the driver lets go of a thread
  // caught inside it.)
  std::fflush(stdout);
  ExitProcess(0);
}
