// The service's one state table (core/state_table.h): what it assumes about
// every device it commanded or heard, kept from the commands its
// transceivers wrote and the telegrams they heard. Every change is published
// as a `state` line on the events hub; a listener's greeting carries one per
// entry; the state file (service/state_store.h) is written from its text.
// Platform-free.
//
// Threads and what guards what:
//   - a transceiver's own thread notes a command once its write returned
//     success (KeepSentState); its reader thread each telegram heard
//     (KeepHeardState);
//   - the service's worker thread runs out due timers and reports a full
//     table every half second (TendStates), and takes the file's text
//     (TakeStateText, MarkStatesSaved);
//   - the events pipe's thread attaches listeners (AttachWithStates);
//   - the start fills the table from the file (RestoreStates) before any
//     transceiver or pipe runs.
// One lock, the platform's (core/lock.h), guards the table, the saved mark
// and the full-table report. A change's `state` line is published on the
// hub while it is held, so that a greeting, written under the same lock,
// never falls between a change and its line. Lock order: the device table's
// guard, then this lock, then the hub's. Nothing that holds this lock takes
// the device table's guard: callers read the serial number before.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/event_hub.h"
#include "core/frame.h"
#include "core/state_file.h"
#include "core/telegram.h"

// A full table is reported at most this often (event 503).
constexpr uint64_t kStateFullReportMs = 60 * 60 * 1000;

// A command the transceiver `serial` wrote, once the write returned success.
void KeepSentState(const char* serial, const Frame& frame, uint64_t nowMs);

// A telegram the transceiver `serial` heard.
void KeepHeardState(const char* serial, const Telegram& telegram, uint64_t nowMs);

// Runs out every timer due at `nowMs` (a line each), and reports the entries
// a full table forgot since the last report, at most once per
// kStateFullReportMs. `nowMs` is UTC, as the table's times.
void TendStates(uint64_t nowMs);

// Attaches the listener on `slot` (EventHubAttach) with a greeting of what
// `before` writes (the format and present lines), then one state line per
// entry and the ready line. The caller holds the device table's guard, which
// `before` may rely on; this holds the state lock around the attach.
EventHubStatus AttachWithStates(int slot, EventGreetingWriter before, void* context);

// Empties the table and fills it from the state file's bytes
// (RestoreStateFile). The table is marked as changed when the file had bad
// lines or timers that ran out, so that it is written again clean.
StateFileResult RestoreStates(const uint8_t* bytes, size_t length, uint64_t nowMs);

// The largest text TakeStateText writes: a state line per entry.
constexpr size_t kStateTextMax = kStateEntriesMax * kStateLineMax;

// True when the table changed since the last MarkStatesSaved: then `out`
// (`size` bytes, kStateTextMax is always enough) holds the state file's text,
// the snapshot's lines, `length` bytes (0 for an empty table), and `mark` is
// what to pass to MarkStatesSaved once that text is safely in the file.
bool TakeStateText(char* out, size_t size, size_t& length, uint64_t& mark);

// The text taken with `mark` is in the file: until the next change, there is
// nothing to write.
void MarkStatesSaved(uint64_t mark);

// For tests: the number of entries, and an empty table with nothing to
// write and nothing reported.
size_t StateCount();
void ClearStates();
