#include "devices/transceiver_events.h"

#include <chrono>

#include "core/admin_event.h"
#include "core/air_budget.h"
#include "core/event_hub.h"
#include "core/event_line.h"
#include "core/telegram.h"
#include "devices/state_keeper.h"

namespace {

// The service's one air-time count, by serial number.
AirBudget g_airBudget;

// The longest greeting: the format line, a present line per transceiver, a
// state line per entry and the ready line.
static_assert(2 * 64 + kMaxDevices * kPresentLineMax + kStateEntriesMax * kStateLineMax <=
                  kGreetingBytes,
              "the longest greeting fits a slot's greeting buffer");

void Publish(const char* line, size_t length) {
  if (length > 0) PublishEventLine(line, length);
}

}  // namespace

uint64_t UtcNowMs() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void PublishHeard(DeviceRecord& record, const Frame& frame) {
  uint64_t now = UtcNowMs();
  Telegram telegram;
  if (!DecodeTelegram(frame.bytes, frame.length, telegram)) return;
  char serial[kPathSerialSize];
  RecordSerial(record, serial);
  char line[kEventLineBufferSize];
  Publish(line, FormatHeardLine(line, sizeof line, now, RecordSlot(record), serial, telegram));
  KeepHeardState(serial, telegram, now);
}

void PublishSent(DeviceRecord& record, const Frame& frame) {
  uint64_t now = UtcNowMs();
  char serial[kPathSerialSize];
  RecordSerial(record, serial);
  int slot = RecordSlot(record);
  char line[kEventLineBufferSize];
  Publish(line, FormatSentLine(line, sizeof line, now, slot, serial, frame));
  KeepSentState(serial, frame, now);
  if (AirBudgetCount(g_airBudget, serial, MonotonicMs())) {
    DecimalText instance = Decimal(static_cast<uint32_t>(slot < 0 ? 0 : slot));
    ReportAdminEvent(kAdminAirTimeNearLimit,
                     {serial, slot < 0 ? "none" : instance.text,
                      Decimal(kAirBudgetCommandsPerHour).text});
  }
}

void PublishPlugged(const DeviceTable& table, int slot) {
  char serial[kPathSerialSize];
  RecordSerial(*table.entries[slot], serial);
  char line[kEventLineBufferSize];
  Publish(line, FormatPluggedLine(line, sizeof line, UtcNowMs(), slot, serial));
}

void PublishPulled(const DeviceTable& table, int slot) {
  static_assert(kMaxDevices <= 64, "the moves fit the stack");
  char serials[kMaxDevices][kPathSerialSize];
  EventMove moves[kMaxDevices];
  size_t count = 0;
  for (int i = slot + 1; i < table.count; ++i, ++count) {
    RecordSerial(*table.entries[i], serials[count]);
    moves[count] = {serials[count], i, i - 1};
  }
  char serial[kPathSerialSize];
  RecordSerial(*table.entries[slot], serial);
  char line[kEventLineBufferSize];
  Publish(line, FormatPulledLine(line, sizeof line, UtcNowMs(), slot, serial, moves, count));
}

void WriteEventsGreeting(const DeviceTable& table, EventGreeting& greeting) {
  uint64_t now = UtcNowMs();
  char line[kEventLineBufferSize];
  size_t n = FormatFormatLine(line, sizeof line, now);
  EventGreetingLine(greeting, line, n);
  for (int i = 0; i < table.count; ++i) {
    char serial[kPathSerialSize];
    RecordSerial(*table.entries[i], serial);
    n = FormatPresentLine(line, sizeof line, now, i, serial);
    EventGreetingLine(greeting, line, n);
  }
}

namespace {

void GreetPresent(EventGreeting& greeting, void* table) {
  WriteEventsGreeting(*static_cast<const DeviceTable*>(table), greeting);
}

}  // namespace

EventHubStatus AttachEventsListener(DeviceTable& table, int slot) {
  LockHold hold(table.guard);
  return AttachWithStates(slot, GreetPresent, &table);
}

size_t FormatLostNow(uint64_t count, char* out, size_t size) {
  return FormatLostLine(out, size, UtcNowMs(), kNoInstance, nullptr, count);
}
