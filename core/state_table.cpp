#include "core/state_table.h"

#include <algorithm>
#include <cstring>

#include "core/event_line.h"
#include "core/fs20_level.h"

namespace {

bool Within(uint64_t a, uint64_t b, uint64_t windowMs) {
  return (a >= b ? a - b : b - a) <= windowMs;
}

// The serial as lines write it, so that a weather station's key is the same
// after the file has been read back: bytes outside 0x21 .. 0x7E become "?",
// the text is cut at kStateViaMax, and "-" (the lines' "none") is empty.
void CopyVia(char (&via)[kStateViaMax + 1], const char* serial) {
  size_t n = 0;
  if (serial != nullptr && std::strcmp(serial, "-") != 0) {
    for (; n < kStateViaMax && serial[n] != '\0'; ++n) {
      unsigned char c = static_cast<unsigned char>(serial[n]);
      via[n] = c >= 0x21 && c <= 0x7E ? static_cast<char>(c) : '?';
    }
  }
  via[n] = '\0';
}

bool SameKey(const StateEntry& a, const StateEntry& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case kStateFs20:
      return a.fs20.houseCode[0] == b.fs20.houseCode[0] &&
             a.fs20.houseCode[1] == b.fs20.houseCode[1] && a.fs20.address == b.fs20.address;
    case kStateHms:
      return a.hms.id[0] == b.hms.id[0] && a.hms.id[1] == b.hms.id[1] && a.hms.type == b.hms.type;
    case kStateFht: return a.fht.code[0] == b.fht.code[0] && a.fht.code[1] == b.fht.code[1];
    default: return std::strcmp(a.via, b.via) == 0;
  }
}

// The snapshot's order: kind, then key.
bool KeyBefore(const StateEntry& a, const StateEntry& b) {
  if (a.kind != b.kind) return a.kind < b.kind;
  auto bytes = [](uint8_t x, uint8_t y, uint8_t z) { return (x << 16) | (y << 8) | z; };
  switch (a.kind) {
    case kStateFs20:
      return bytes(a.fs20.houseCode[0], a.fs20.houseCode[1], a.fs20.address) <
             bytes(b.fs20.houseCode[0], b.fs20.houseCode[1], b.fs20.address);
    case kStateHms:
      return bytes(a.hms.id[0], a.hms.id[1], a.hms.type) <
             bytes(b.hms.id[0], b.hms.id[1], b.hms.type);
    case kStateFht:
      return bytes(a.fht.code[0], a.fht.code[1], 0) < bytes(b.fht.code[0], b.fht.code[1], 0);
    default: return std::strcmp(a.via, b.via) < 0;
  }
}

StateSlot* Find(StateTable& table, const StateEntry& key) {
  for (size_t i = 0; i < table.count; ++i) {
    if (SameKey(table.slots[i].entry, key)) return &table.slots[i];
  }
  return nullptr;
}

// Changed longest ago: the earliest learned time, and of equal times the
// one changed first in this table.
bool OlderThan(const StateSlot& a, const StateSlot& b) {
  if (a.entry.learnedMs != b.entry.learnedMs) return a.entry.learnedMs < b.entry.learnedMs;
  return a.order < b.order;
}

// A zeroed slot for a new entry learned at `learnedMs`. When the table is
// full the oldest entry is forgotten; with `newcomerMayLose`, the newcomer
// is forgotten instead (null) when it is older still.
StateSlot* Admit(StateTable& table, uint64_t learnedMs, bool newcomerMayLose) {
  StateSlot* slot = nullptr;
  if (table.count < kStateEntriesMax) {
    slot = &table.slots[table.count++];
  } else {
    slot = &table.slots[0];
    for (size_t i = 1; i < table.count; ++i) {
      if (OlderThan(table.slots[i], *slot)) slot = &table.slots[i];
    }
    ++table.forgotten;
    if (newcomerMayLose && learnedMs < slot->entry.learnedMs) return nullptr;
  }
  std::memset(slot, 0, sizeof *slot);
  return slot;
}

// Finds the entry of `key`, or makes it from `key` (the key fields and
// whatever a new entry starts with). `created` says which.
StateSlot* FindOrMake(StateTable& table, const StateEntry& key, uint64_t nowMs, bool& created) {
  StateSlot* slot = Find(table, key);
  created = slot == nullptr;
  if (created) {
    slot = Admit(table, nowMs, false);
    slot->entry = key;
  }
  return slot;
}

// True, and the copy remembered, unless it equals the last copy heard
// within kStateRepeatMs; a repeat is remembered too, so that a chain of
// quick copies counts once.
bool NewCopy(StateSlot& slot, bool created, uint64_t nowMs, const uint8_t* copy, uint8_t length) {
  bool repeat = !created && slot.copyLength == length &&
                std::memcmp(slot.copy, copy, length) == 0 &&
                Within(nowMs, slot.copyMs, kStateRepeatMs);
  slot.copyLength = length;
  std::memcpy(slot.copy, copy, length);
  slot.copyMs = nowMs;
  return !repeat;
}

void Emit(StateTable& table, StateSlot& slot, StateSource by, uint64_t learnedMs, const char* serial,
          StateLineSink sink, void* context) {
  slot.entry.by = by;
  slot.entry.learnedMs = learnedMs;
  if (serial != nullptr) CopyVia(slot.entry.via, serial);
  slot.order = ++table.changes;
  if (sink == nullptr) return;
  char line[kEventLineBufferSize];
  size_t n = FormatStateLine(line, sizeof line, slot.entry);
  if (n > 0) sink(line, n, context);
}

StateEntry Fs20Key(const Fs20Fields& f) {
  StateEntry key;
  std::memset(&key, 0, sizeof key);
  key.kind = kStateFs20;
  InitFs20State(key.fs20, f.houseCode[0], f.houseCode[1], f.address);
  return key;
}

bool HeardFs20(StateTable& table, uint64_t nowMs, const char* serial, const Fs20Fields& f,
               StateLineSink sink, void* context) {
  bool created = false;
  StateSlot* slot = FindOrMake(table, Fs20Key(f), nowMs, created);
  const uint8_t copy[3] = {f.command, f.hasExtension, f.hasExtension ? f.extension : uint8_t{0}};
  bool fresh = NewCopy(*slot, created, nowMs, copy, sizeof copy);
  bool echo = slot->hasSent && slot->sentCommand == f.command &&
              slot->sentHasExtension == f.hasExtension &&
              (!f.hasExtension || slot->sentExtension == f.extension) &&
              Within(nowMs, slot->sentMs, kStateSentEchoMs);
  if (!fresh || echo) return false;
  ApplyFs20Command(slot->entry.fs20, f.command, f.hasExtension, f.extension, nowMs);
  Emit(table, *slot, (f.command & kFs20ReceiverAnswer) ? kByAnswer : kByHeard, nowMs, serial, sink,
       context);
  return true;
}

bool HeardSensor(StateTable& table, uint64_t nowMs, const char* serial, const HmsFields& h,
                 StateLineSink sink, void* context) {
  StateEntry key;
  std::memset(&key, 0, sizeof key);
  key.kind = kStateHms;
  key.hms.id[0] = h.id[0];
  key.hms.id[1] = h.id[1];
  key.hms.type = h.typeByte & 0x0F;
  bool created = false;
  StateSlot* slot = FindOrMake(table, key, nowMs, created);
  const uint8_t copy[5] = {h.typeByte, h.values[0], h.values[1], h.values[2], h.values[3]};
  if (!NewCopy(*slot, created, nowMs, copy, sizeof copy)) return false;
  // Each telegram is the sensor's whole report: its readings replace the old.
  slot->entry.hms.battery = h.battery;
  slot->entry.hms.readings = h.readings;
  Emit(table, *slot, kByHeard, nowMs, serial, sink, context);
  return true;
}

bool HeardHeating(StateTable& table, uint64_t nowMs, const char* serial, const FhtFields& f,
                  StateLineSink sink, void* context) {
  StateEntry key;
  std::memset(&key, 0, sizeof key);
  key.kind = kStateFht;
  key.fht.code[0] = f.code[0];
  key.fht.code[1] = f.code[1];
  bool created = false;
  StateSlot* slot = FindOrMake(table, key, nowMs, created);
  const uint8_t copy[3] = {f.reg, f.status, f.value};
  if (!NewCopy(*slot, created, nowMs, copy, sizeof copy)) return false;
  FhtState& s = slot->entry.fht;
  bool changed = created;
  switch (f.reading) {
    case kFhtValve:
      // Registers 1 to 8 are single valves; the entry keeps the position of
      // all of them.
      if (f.reg == 0x00) {
        s.hasValve = 1;
        s.valvePercent = f.valvePercent;
        changed = true;
      }
      break;
    case kFhtMode:
      s.hasMode = 1;
      s.mode = f.mode;
      changed = true;
      break;
    case kFhtDesired:
      s.hasDesired = 1;
      s.desiredTenths = f.desiredTenths;
      changed = true;
      break;
    case kFhtMeasuredLow:
      slot->hasMeasuredLow = 1;
      slot->measuredLow = f.value;
      break;
    case kFhtMeasuredHigh:
      if (slot->hasMeasuredLow) {
        s.hasMeasured = 1;
        s.measuredTenths = static_cast<uint16_t>(f.value * 256 + slot->measuredLow);
        slot->hasMeasuredLow = 0;
        changed = true;
      }
      break;
    case kFhtWarnings:
      s.hasWarnings = 1;
      s.warnings = f.warnings;
      changed = true;
      break;
    default: break;
  }
  if (!changed) return false;
  Emit(table, *slot, kByHeard, nowMs, serial, sink, context);
  return true;
}

bool HeardWeather(StateTable& table, uint64_t nowMs, const char* serial, const WeatherFields& f,
                  StateLineSink sink, void* context) {
  StateEntry key;
  std::memset(&key, 0, sizeof key);
  key.kind = kStateWeather;
  CopyVia(key.via, serial);
  bool created = false;
  StateSlot* slot = FindOrMake(table, key, nowMs, created);
  uint8_t copy[7];
  std::memcpy(copy, f.values, sizeof copy);
  if (!NewCopy(*slot, created, nowMs, copy, sizeof copy)) return false;
  slot->entry.weather = f.readings;
  Emit(table, *slot, kByHeard, nowMs, serial, sink, context);
  return true;
}

}  // namespace

void StateTableClear(StateTable& table) { std::memset(&table, 0, sizeof table); }

bool StateNoteSent(StateTable& table, uint64_t nowMs, const char* serial, const Frame& frame,
                   StateLineSink sink, void* context) {
  Fs20Fields f;
  if (!DecodeSendFrame(frame.bytes, frame.length, f)) return false;
  bool created = false;
  StateSlot* slot = FindOrMake(table, Fs20Key(f), nowMs, created);
  slot->hasSent = 1;
  slot->sentCommand = f.command;
  slot->sentHasExtension = f.hasExtension;
  slot->sentExtension = f.extension;
  slot->sentMs = nowMs;
  ApplyFs20Command(slot->entry.fs20, f.command, f.hasExtension, f.extension, nowMs);
  Emit(table, *slot, kBySent, nowMs, serial, sink, context);
  return true;
}

bool StateNoteHeard(StateTable& table, uint64_t nowMs, const char* serial, const Telegram& t,
                    StateLineSink sink, void* context) {
  switch (t.kind) {
    case kTelegramSwitch: return HeardFs20(table, nowMs, serial, t.fs20, sink, context);
    case kTelegramSensor: return HeardSensor(table, nowMs, serial, t.hms, sink, context);
    case kTelegramHeating: return HeardHeating(table, nowMs, serial, t.fht, sink, context);
    case kTelegramWeather: return HeardWeather(table, nowMs, serial, t.weather, sink, context);
    default: return false;
  }
}

bool StateNextTimer(const StateTable& table, uint64_t& dueMs) {
  bool any = false;
  for (size_t i = 0; i < table.count; ++i) {
    const StateEntry& e = table.slots[i].entry;
    if (e.kind != kStateFs20 || !e.fs20.timerPending) continue;
    if (!any || e.fs20.untilMs < dueMs) dueMs = e.fs20.untilMs;
    any = true;
  }
  return any;
}

size_t StateFireTimers(StateTable& table, uint64_t nowMs, StateLineSink sink, void* context) {
  uint16_t due[kStateEntriesMax];
  size_t n = 0;
  for (size_t i = 0; i < table.count; ++i) {
    const StateEntry& e = table.slots[i].entry;
    if (e.kind == kStateFs20 && e.fs20.timerPending && e.fs20.untilMs <= nowMs) {
      due[n++] = static_cast<uint16_t>(i);
    }
  }
  std::sort(due, due + n, [&](uint16_t a, uint16_t b) {
    const StateSlot& x = table.slots[a];
    const StateSlot& y = table.slots[b];
    if (x.entry.fs20.untilMs != y.entry.fs20.untilMs) {
      return x.entry.fs20.untilMs < y.entry.fs20.untilMs;
    }
    return x.order < y.order;
  });
  for (size_t i = 0; i < n; ++i) {
    StateSlot& slot = table.slots[due[i]];
    uint64_t ranOut = slot.entry.fs20.untilMs;
    RunOutFs20Timer(slot.entry.fs20);
    Emit(table, slot, kByTimer, ranOut, nullptr, sink, context);
  }
  return n;
}

size_t StateSnapshot(const StateTable& table, StateLineSink sink, void* context) {
  uint16_t order[kStateEntriesMax];
  for (size_t i = 0; i < table.count; ++i) order[i] = static_cast<uint16_t>(i);
  std::sort(order, order + table.count, [&](uint16_t a, uint16_t b) {
    return KeyBefore(table.slots[a].entry, table.slots[b].entry);
  });
  size_t lines = 0;
  char line[kEventLineBufferSize];
  for (size_t i = 0; i < table.count; ++i) {
    size_t n = FormatStateLine(line, sizeof line, table.slots[order[i]].entry);
    if (n == 0) continue;
    ++lines;
    if (sink != nullptr) sink(line, n, context);
  }
  return lines;
}

bool StatePutEntry(StateTable& table, const StateEntry& entry) {
  if (entry.kind > kStateWeather || Find(table, entry) != nullptr) return false;
  StateSlot* slot = Admit(table, entry.learnedMs, true);
  if (slot == nullptr) return true;  // forgotten at once: older than every entry kept
  slot->entry = entry;
  CopyVia(slot->entry.via, entry.via);
  slot->order = ++table.changes;
  return true;
}

const StateEntry* StateFindEntry(const StateTable& table, const StateEntry& key) {
  for (size_t i = 0; i < table.count; ++i) {
    if (SameKey(table.slots[i].entry, key)) return &table.slots[i].entry;
  }
  return nullptr;
}

size_t StateEntryCount(const StateTable& table) { return table.count; }

uint64_t StateForgottenCount(const StateTable& table) { return table.forgotten; }
