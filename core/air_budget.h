// The radio air-time counter. On 868 MHz a transceiver may be on the air 1 %
// of the time, about 160 FS20 commands an hour; beyond that it drops
// commands without a word, while the service has already answered "OK". The
// service cannot see the drops, so it counts the commands it sent through
// each transceiver over the last hour and warns once an hour when a
// transceiver has passed the mark.
//
// Transceivers are known by serial number, not by slot: a transceiver keeps
// its count when it is pulled out and plugged in again, or moves to another
// slot. The table holds kAirBudgetSerials serial numbers, twice the most
// transceivers in use at once, so that ones that came and went keep their
// counts for a while; when it is full, the entry used least recently is
// given to the new serial number.
//
// Threads: the transceiver threads that send commands call AirBudgetCount
// at once, for their own transceivers or for the same one; the budget's own
// lock serialises them. It is held for one table search and never calls out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/lock.h"

constexpr size_t kAirBudgetSerials = 128;
constexpr uint32_t kAirBudgetCommandsPerHour = 160;
constexpr uint64_t kAirBudgetWindowMs = 60 * 60 * 1000;
// Serial numbers are at most 31 characters (the device table's limit); a
// longer one is known by its first 31.
constexpr size_t kAirBudgetSerialSize = 32;

struct AirBudgetEntry {
  char serial[kAirBudgetSerialSize];  // NUL-terminated
  uint64_t lastUse;                   // AirBudget::uses when last counted, the LRU order; 0: a free entry
  // The times of the last kAirBudgetCommandsPerHour + 1 commands, a ring:
  // more than 160 commands fell within the hour exactly when the oldest of
  // these 161 did.
  uint64_t sentMs[kAirBudgetCommandsPerHour + 1];
  uint32_t next;   // where the next time goes
  uint32_t count;  // times kept, up to the ring's size
  bool warned;     // a warning was given at warnedMs
  uint64_t warnedMs;
};

// About 170 KB: keep one in static storage or in the service's context, not
// on a stack. A new one is empty and ready.
struct AirBudget {
  Lock lock;          // guards everything below
  uint64_t uses = 0;  // counts calls, for the LRU order
  AirBudgetEntry entries[kAirBudgetSerials] = {};
};

// Records one FS20 command sent through the transceiver `serial` at `nowMs`
// (a monotonic millisecond clock, such as GetTickCount64) and returns true
// exactly when a warning is due: more than kAirBudgetCommandsPerHour
// commands of this transceiver fell within the last kAirBudgetWindowMs
// (this one included; a command exactly an hour old no longer counts), and
// no warning was given for it within the last hour. Count each FS20 send
// frame written; frames that only talk to the transceiver (status and serial
// queries, forwarding on or off) do not go on the air.
//
// Serial numbers are compared without regard to the case of the ASCII
// letters. A null serial counts as the empty one: transceivers without a
// serial number share one count rather than none. A clock that went
// backwards counts as no time passed.
bool AirBudgetCount(AirBudget& budget, const char* serial, uint64_t nowMs);
