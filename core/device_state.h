// What the service assumes about one device it commanded or heard: the
// record of a state table entry. The table (core/state_table.h) keeps them,
// the state line (core/event_line.h) writes one, the state file
// (core/state_file.h) reads it back. Plain data, no functions of its own.
//
// FS20 receivers never report their state: an FS20 entry is what the last
// command sent or heard should have done ("optimistic" state), never a
// confirmation. Sensors, heating units and weather stations report
// themselves: their entries hold what they last said.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/telegram.h"

constexpr uint8_t kLevelUnknown = 0xFF;
constexpr uint8_t kLevelFull = 16;  // 100 %; levels 1 .. 16 step by 6.25 %
// A transceiver's serial number as the table keeps it; a longer one is cut.
constexpr size_t kStateViaMax = 31;

enum StateKind : uint8_t { kStateFs20 = 0, kStateHms = 1, kStateFht = 2, kStateWeather = 3 };

// How the state was learned.
enum StateSource : uint8_t {
  kBySent = 0,      // a command this service wrote
  kByHeard = 1,     // a telegram a transceiver heard
  kByAnswer = 2,    // an FS20 telegram with 0x80: a receiver's own report
  kByTimer = 3,     // a pending timer ran out
  kByRestored = 4,  // read back from the state file at start
};

// Keyed by house code and address. A group address (44xx, xx44, 4444) is an
// address of its own: nobody can tell from the air which receivers follow it.
struct Fs20State {
  uint8_t houseCode[2];
  uint8_t address;
  uint8_t level;         // 0 .. 16, or kLevelUnknown
  uint8_t before;        // the level before the last change, or kLevelUnknown
  uint8_t last;          // the last level other than off, 1 .. 16: what `on` restores
  uint8_t timerPending;  // 1 while a timer will set `then` at `untilMs`
  uint8_t then;          // 0 .. 16, or kLevelUnknown
  uint64_t untilMs;      // UTC milliseconds since 1970
};

// Keyed by id and type (the low nibble of T).
struct HmsState {
  uint8_t id[2];
  uint8_t type;
  HmsBattery battery;
  HmsReadings readings;
};

// Keyed by device code. Each register reports on its own, so the readings
// fill in one by one; window, battery and the two other warnings come
// together from register 0x44.
struct FhtState {
  uint8_t code[2];
  uint8_t hasMeasured;
  uint8_t hasDesired;
  uint8_t hasValve;
  uint8_t hasMode;
  uint8_t hasWarnings;
  uint8_t valvePercent;     // register 0x00, all valves
  FhtMode mode;
  uint8_t warnings;         // kFhtBatteryLow | kFhtTooCold | kFhtWindowSensorFault | kFhtWindowOpen
  uint16_t measuredTenths;  // 0.1 degC, from 0x42 and 0x43 together
  uint16_t desiredTenths;   // 0.1 degC
};

struct StateEntry {
  StateKind kind;
  StateSource by;
  uint64_t learnedMs;          // when the state was learned, UTC ms since 1970
  char via[kStateViaMax + 1];  // the transceiver's serial, printable ASCII; empty when none
  // Only the record of `kind` is meaningful; a weather station is keyed by
  // `via`, the transceiver that heard it, since its telegrams carry no address.
  Fs20State fs20;
  HmsState hms;
  FhtState fht;
  WeatherReadings weather;
};
