#include "core/admin_event.h"

#include <atomic>
#include <cstring>

const AdminEventInfo kAdminEvents[] = {
    {kAdminServiceStarted, 1, "kAdminServiceStarted"},
    {kAdminServiceStopping, 0, "kAdminServiceStopping"},
    {kAdminServiceStoppingOnError, 2, "kAdminServiceStoppingOnError"},
    {kAdminEventsDropped, 1, "kAdminEventsDropped"},
    {kAdminTransceiverInUse, 2, "kAdminTransceiverInUse"},
    {kAdminTransceiverNotOpened, 4, "kAdminTransceiverNotOpened"},
    {kAdminDeviceIgnored, 3, "kAdminDeviceIgnored"},
    {kAdminDeviceIdUnreadable, 2, "kAdminDeviceIdUnreadable"},
    {kAdminTooManyTransceivers, 2, "kAdminTooManyTransceivers"},
    {kAdminTransceiverPluggedIn, 2, "kAdminTransceiverPluggedIn"},
    {kAdminTransceiverPulledOut, 3, "kAdminTransceiverPulledOut"},
    {kAdminTransceiverNotReady, 3, "kAdminTransceiverNotReady"},
    {kAdminWriteFailed, 5, "kAdminWriteFailed"},
    {kAdminRequestStuck, 3, "kAdminRequestStuck"},
    {kAdminDevicesNotListed, 2, "kAdminDevicesNotListed"},
    {kAdminTransceiverStuck, 3, "kAdminTransceiverStuck"},
    {kAdminTransceiverReturned, 3, "kAdminTransceiverReturned"},
    {kAdminAirTimeNearLimit, 3, "kAdminAirTimeNearLimit"},
    {kAdminPipeNotCreated, 2, "kAdminPipeNotCreated"},
    {kAdminPipeServerFailing, 2, "kAdminPipeServerFailing"},
    {kAdminPipeSecurityRejected, 2, "kAdminPipeSecurityRejected"},
    {kAdminEventsPipeNotServed, 2, "kAdminEventsPipeNotServed"},
    {kAdminEventsPipeServed, 0, "kAdminEventsPipeServed"},
};
const size_t kAdminEventCount = sizeof kAdminEvents / sizeof kAdminEvents[0];

const AdminEventInfo kBridgeEvents[] = {
    {kBridgeStarted, 1, "kBridgeStarted"},
    {kBridgeStopping, 0, "kBridgeStopping"},
    {kBridgeStoppingOnError, 2, "kBridgeStoppingOnError"},
    {kBridgeEventsDropped, 1, "kBridgeEventsDropped"},
    {kBridgeSettingUnusable, 2, "kBridgeSettingUnusable"},
    {kBridgeBrokerConnected, 2, "kBridgeBrokerConnected"},
    {kBridgeBrokerUnreachable, 2, "kBridgeBrokerUnreachable"},
    {kBridgeBrokerRefused, 2, "kBridgeBrokerRefused"},
    {kBridgeServiceConnected, 0, "kBridgeServiceConnected"},
    {kBridgeServiceLost, 1, "kBridgeServiceLost"},
    {kBridgePipeRefused, 1, "kBridgePipeRefused"},
    {kBridgeCommandRefused, 1, "kBridgeCommandRefused"},
    {kBridgeDevicesIniErrors, 2, "kBridgeDevicesIniErrors"},
    {kBridgeDevicesIniRead, 2, "kBridgeDevicesIniRead"},
    {kBridgePublicationsDropped, 1, "kBridgePublicationsDropped"},
};
const size_t kBridgeEventCount = sizeof kBridgeEvents / sizeof kBridgeEvents[0];

namespace {

std::atomic<AdminEventSink> g_sink{nullptr};

}  // namespace

size_t AdminEventInserts(AdminEvent event) {
  for (size_t i = 0; i < kAdminEventCount; ++i) {
    if (kAdminEvents[i].event == event) return kAdminEvents[i].inserts;
  }
  for (size_t i = 0; i < kBridgeEventCount; ++i) {
    if (kBridgeEvents[i].event == event) return kBridgeEvents[i].inserts;
  }
  return 0;
}

void SetAdminEventSink(AdminEventSink sink) { g_sink.store(sink); }

void ReportAdminEvent(AdminEvent event, const char* const* inserts, size_t count) {
  AdminEventSink sink = g_sink.load();
  if (!sink) return;
  size_t wanted = AdminEventInserts(event);
  const char* texts[kAdminMaxInserts];
  for (size_t i = 0; i < wanted; ++i) {
    const char* text = (inserts && i < count) ? inserts[i] : nullptr;
    texts[i] = text ? text : "";
  }
  sink(event, texts, wanted);
}

void ReportAdminEvent(AdminEvent event, std::initializer_list<const char*> inserts) {
  ReportAdminEvent(event, inserts.begin(), inserts.size());
}

DecimalText Decimal(uint64_t value) {
  DecimalText result;
  char digits[sizeof result.text];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < n; ++i) result.text[i] = digits[n - 1 - i];
  result.text[n] = '\0';
  return result;
}

void FormatMovedDown(const char* const* serials, int count, int removed, char* out, size_t size) {
  static const char kNone[] = "none";
  static const char kMore[] = "...";
  std::strcpy(out, kNone);
  size_t used = 0;
  for (int slot = removed + 1; slot < count; ++slot) {
    char entry[96];
    const char* serial = serials[slot] ? serials[slot] : "";
    // Serial numbers are at most 31 characters, so an entry always fits.
    size_t serialLength = 0;
    while (serialLength < 31 && serial[serialLength] != '\0') ++serialLength;
    std::memcpy(entry, used ? "; " : "", used ? 2 : 0);
    size_t n = used ? 2 : 0;
    std::memcpy(entry + n, serial, serialLength);
    n += serialLength;
    const char* from = " from ";
    std::memcpy(entry + n, from, 6);
    n += 6;
    DecimalText a = Decimal(static_cast<uint64_t>(slot));
    DecimalText b = Decimal(static_cast<uint64_t>(slot - 1));
    std::memcpy(entry + n, a.text, std::strlen(a.text));
    n += std::strlen(a.text);
    std::memcpy(entry + n, " to ", 4);
    n += 4;
    std::memcpy(entry + n, b.text, std::strlen(b.text));
    n += std::strlen(b.text);
    // Room for this entry, and for "..." after it should a later one not fit.
    if (used + n + sizeof kMore > size) {
      std::memcpy(out + used, kMore, sizeof kMore);
      return;
    }
    std::memcpy(out + used, entry, n);
    used += n;
    out[used] = '\0';
  }
}
