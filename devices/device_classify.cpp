#include "devices/device_classify.h"

#include <cstring>

namespace {

const char kOurVendor[] = "USB\\VID_0403&";
const char kProductTag[] = "PID_";

char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool StartsWithIgnoreCase(const char* text, const char* start) {
  for (; *start; ++text, ++start) {
    if (*text == '\0' || AsciiUpper(*text) != AsciiUpper(*start)) return false;
  }
  return true;
}

// The product id after "PID_", up to the next '\' or '&', as written.
void CopyProductId(const char* id, char out[kProductIdSize]) {
  std::strcpy(out, "?");
  const char* at = id + sizeof kOurVendor - 1;
  if (!StartsWithIgnoreCase(at, kProductTag)) return;
  at += sizeof kProductTag - 1;
  size_t n = 0;
  while (at[n] != '\0' && at[n] != '\\' && at[n] != '&' && n < kProductIdSize - 1) ++n;
  if (n == 0 || (at[n] != '\\' && at[n] != '&')) return;
  std::memcpy(out, at, n);
  out[n] = '\0';
}

// A device that is not a transceiver: would it be one if its serial number
// began with "EL"? Then the serial number is why, otherwise the product id.
DeviceVerdict WhyNotTransceiver(const char* prefix) {
  const char* lastSeparator = std::strrchr(prefix, '\\');
  if (!lastSeparator) return kDeviceOtherProduct;
  size_t head = static_cast<size_t>(lastSeparator - prefix) + 1;
  char candidate[kHardwareIdPrefixSize];
  if (head + 3 > sizeof candidate) return kDeviceOtherProduct;
  std::memcpy(candidate, prefix, head);
  std::memcpy(candidate + head, "EL", 3);
  return IsTransceiverPrefix(candidate) ? kDeviceSerialNotEl : kDeviceOtherProduct;
}

}  // namespace

void StartNumberingReset(StartNumbering& numbering) { numbering.count = 0; }

void ClassifyStartDevice(const char* id, StartNumbering& numbering, DeviceFinding& finding) {
  std::strcpy(finding.productId, "?");
  finding.prefix[0] = '\0';
  finding.serial[0] = '\0';
  finding.instance = -1;
  finding.sameAs = -1;
  if (!id) {
    finding.verdict = kDeviceIdUnreadable;
    return;
  }
  if (!StartsWithIgnoreCase(id, kOurVendor)) {
    finding.verdict = kDeviceOtherVendor;
    return;
  }
  // Without a product id followed by the serial number the id has another
  // form than USB\VID_0403&PID_xxxx\serial, and nothing can be said of it.
  CopyProductId(id, finding.productId);
  if (finding.productId[0] == '?' || !SplitInstanceId(id, finding.prefix, finding.serial)) {
    finding.prefix[0] = '\0';
    finding.serial[0] = '\0';
    finding.verdict = kDeviceIdUnreadable;
    return;
  }
  if (!IsTransceiverPrefix(finding.prefix)) {
    finding.verdict = WhyNotTransceiver(finding.prefix);
    return;
  }
  // The same tests, in the same order, as AddDevice makes against the table.
  for (int i = 0; i < numbering.count; ++i) {
    if (TextEqualsIgnoreCase(numbering.serials[i], finding.serial)) {
      finding.verdict = kDeviceDuplicate;
      finding.sameAs = i;
      return;
    }
  }
  if (numbering.count >= kMaxDevices) {
    finding.verdict = kDeviceTableFull;
    return;
  }
  std::strcpy(numbering.serials[numbering.count], finding.serial);
  finding.instance = numbering.count++;
  finding.verdict = kDeviceAccepted;
}

const char* DeviceVerdictText(DeviceVerdict verdict) {
  switch (verdict) {
    case kDeviceAccepted: return "";
    case kDeviceOtherVendor: return "another vendor id";
    case kDeviceOtherProduct: return "another product id";
    case kDeviceSerialNotEl: return "serial number does not begin with \"EL\"";
    case kDeviceIdUnreadable: return "device id cannot be read";
    case kDeviceDuplicate: return "same serial number as an earlier transceiver";
    case kDeviceTableFull: return "more than 64 transceivers";
  }
  return "unknown";
}
