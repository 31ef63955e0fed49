// "ZARVOSRV -l": what the machine shows, for troubleshooting. Lists every
// USB device of vendor id 0403 with the instance number the service would
// give it at start, or why it would be ignored. It runs the service's own
// start-up walk and decisions but opens no transceiver, so it is safe while
// the service runs.
#include <cstdio>

#include "devices/device_classify.h"
#include "devices/win/discovery.h"
#include "service/event_log.h"
#include "service/service.h"

namespace {

struct Listing {
  StartNumbering numbering;
  int listed;
};

void PrintDevice(const char* id, DWORD error, void* user) {
  Listing& listing = *static_cast<Listing*>(user);
  DeviceFinding finding;
  ClassifyStartDevice(id, listing.numbering, finding);
  if (finding.verdict == kDeviceOtherVendor) return;
  if (listing.listed++ == 0) std::printf("Serial number    Product id  Instance number at start\n");
  const char* serial = finding.serial[0] ? finding.serial : "?";
  if (finding.verdict == kDeviceAccepted) {
    std::printf("%-16s %-11s %d\n", serial, finding.productId, finding.instance);
  } else if (finding.verdict == kDeviceIdUnreadable && !id) {
    std::printf("%-16s %-11s ignored: %s (error %lu)\n", serial, finding.productId,
                DeviceVerdictText(finding.verdict), static_cast<unsigned long>(error));
  } else {
    std::printf("%-16s %-11s ignored: %s\n", serial, finding.productId,
                DeviceVerdictText(finding.verdict));
  }
}

}  // namespace

int ListDevices() {
  Listing listing;
  StartNumberingReset(listing.numbering);
  listing.listed = 0;
  DWORD error = WalkUsbDevices(PrintDevice, &listing);
  if (error != ERROR_SUCCESS) {
    char text[200];
    Win32ErrorText(error, text, sizeof text);
    std::printf("Cannot list the USB devices: %s (error %lu).\n", text,
                static_cast<unsigned long>(error));
    return 0;
  }
  if (listing.listed == 0) std::printf("No USB device with vendor id 0403 is present.\n");
  return 1;
}
