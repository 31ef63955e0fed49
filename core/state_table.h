// The state table: what the service assumes about every device it commanded
// or heard, one entry each (records in core/device_state.h), and a `state`
// line for every change.
//
//   FS20       by house code and address, from the commands this service
//              sent (once their write succeeded) and the telegrams heard;
//              the rules of core/fs20_level.h
//   sensors    by id and type, from their telegrams
//   heating    by device code; valve (register 0x00), mode, desired and
//              measured temperature and warnings fill in as their registers
//              come; the measured temperature only once its high byte
//              (0x43) follows a low byte (0x42)
//   weather    by the transceiver that heard the station
//
// An address nobody has commanded is not in the table; the first command
// to it makes its entry. Every telegram is still published as `heard`; the
// table only decides whether it changes a state:
//   - a heard telegram with the same bytes as the last copy heard for that
//     entry, within kStateRepeatMs of it, is a repeat and changes nothing
//     (each copy is compared with the one before, so a chain of quick
//     copies counts once): a sender's repeats, the three copies of one
//     command on the air, two transceivers hearing one telegram;
//   - an FS20 telegram heard within kStateSentEchoMs of the same command
//     (and extension byte) sent by this service, through any transceiver,
//     changes nothing: it is our own command heard back;
//   - a command sent always applies;
//   - a heating telegram with nothing the table keeps (the measured
//     temperature's low byte, valves 1 to 8, other registers) changes
//     nothing, except that a unit's first telegram makes its entry;
//   - every other heard telegram is a change, even when it repeats the
//     values the entry has: the line's time then says when the device was
//     last heard.
// Both windows are taken either side of the earlier time: the time of a
// telegram and of a write come from different threads.
//
// At most kStateEntriesMax entries of all kinds together. When a new one
// finds the table full, the entry changed longest ago is forgotten, and
// counted (StateForgottenCount).
//
// Each change writes exactly one `state` line (FormatStateLine) to the
// caller's sink, inside the call. No threads and no clock of its own: the
// caller passes the time (UTC milliseconds since 1970) into every call, and
// guards the table with its own lock; the service publishes the lines on
// the events hub from the sink while holding that lock (the hub's lock is
// the innermost), so that a listener's greeting, taken under the same lock,
// never falls between a change and its line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/device_state.h"
#include "core/frame.h"
#include "core/telegram.h"

constexpr size_t kStateEntriesMax = 1024;
constexpr uint64_t kStateRepeatMs = 200;
constexpr uint64_t kStateSentEchoMs = 500;

// Gets one whole line: `length` characters, CR LF included, and a NUL
// after them. The line lives only during the call.
typedef void (*StateLineSink)(const char* line, size_t length, void* context);

// One entry and what the table remembers to judge the next telegram.
struct StateSlot {
  StateEntry entry;
  uint64_t order;  // the table's change count at the entry's last change
  // The last copy heard: the bytes that say what the telegram said
  // (command and extension; type and values; register, status and value;
  // the station's bytes), and when.
  uint8_t copyLength;
  uint8_t copy[8];
  uint64_t copyMs;
  // FS20: the last command this service sent to the address.
  uint8_t hasSent;
  uint8_t sentCommand;
  uint8_t sentHasExtension;
  uint8_t sentExtension;
  uint64_t sentMs;
  // Heating: the measured temperature's low byte, waiting for its high byte.
  uint8_t hasMeasuredLow;
  uint8_t measuredLow;
};

// About 160 KB: the service keeps one for its life. All zero is an empty
// table.
struct StateTable {
  StateSlot slots[kStateEntriesMax];  // [0, count) in use, in no order
  size_t count;
  uint64_t changes;    // changes so far; orders the entries
  uint64_t forgotten;  // entries forgotten because the table was full
};

// Empties the table and zeroes its counts.
void StateTableClear(StateTable& table);

// A command this service wrote, once its write succeeded, through the
// transceiver `serial`. `frame` is the FS20 send frame (BuildSendFrame's
// layout). Returns whether a state changed: false only for a frame without
// that layout, which changes nothing.
bool StateNoteSent(StateTable& table, uint64_t nowMs, const char* serial, const Frame& frame,
                   StateLineSink sink, void* context);

// A telegram the transceiver `serial` heard. Returns whether a state
// changed. Kinds other than FS20, sensor, heating and weather change
// nothing.
bool StateNoteHeard(StateTable& table, uint64_t nowMs, const char* serial,
                    const Telegram& telegram, StateLineSink sink, void* context);

// The earliest time a pending timer runs out, into `dueMs`; false when no
// timer is pending.
bool StateNextTimer(const StateTable& table, uint64_t& dueMs);

// Runs out every timer due at `nowMs` (untilMs <= nowMs), earliest first:
// each is a change by timer, learned at the time it ran out, with one line.
// Returns how many ran out.
size_t StateFireTimers(StateTable& table, uint64_t nowMs, StateLineSink sink, void* context);

// One `state` line per entry, by kind (fs20, hms, fht, weather), then by
// key: for a listener's greeting and for the state file. Returns the number
// of lines.
size_t StateSnapshot(const StateTable& table, StateLineSink sink, void* context);

// Puts `entry` into the table as it is, for the state file's reader.
// Returns false, and changes nothing, when an entry with its key is there
// already, or its kind is none of the four. A full table forgets the entry changed longest ago, or this one
// when it is older than all of them.
bool StatePutEntry(StateTable& table, const StateEntry& entry);

// The entry with the key of `key` (its kind and the key fields of that
// kind), or null.
const StateEntry* StateFindEntry(const StateTable& table, const StateEntry& key);

size_t StateEntryCount(const StateTable& table);
uint64_t StateForgottenCount(const StateTable& table);
