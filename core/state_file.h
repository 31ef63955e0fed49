// The state file: the state table kept across restarts. Its text is the
// table's snapshot (StateSnapshot), one `state` line per entry in the
// events pipe's grammar, each ending in CR LF. The caller reads and writes
// the file; this reads its bytes back into a table.
//
// A damaged file costs only its bad lines. A line is bad, and skipped, when
// it is not a whole `state` line with every field its kind needs and every
// value in its range: a last line without its line end (it may have been
// cut), garbage, NUL or other bytes outside printable ASCII, a line longer
// than kEventLineMax (skipped to its end, never buffered), an unknown kind,
// a key that an earlier line had already (the first is kept). Empty lines
// are passed over. Fields with names it does not know are ignored, so that
// lines may grow.
//
// Plain functions: no allocation, no state of their own; the memory used is
// the table's and a few hundred bytes of stack, whatever the input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/device_state.h"
#include "core/event_line.h"
#include "core/state_table.h"

// A file written from a full table is at most this long.
constexpr size_t kStateFileMaxBytes = kStateEntriesMax * kEventLineMax;

struct StateFileResult {
  size_t restored;       // entries the table holds now
  size_t bad;            // lines skipped as damaged
  size_t timersApplied;  // timers that had run out by `nowMs`
};

// Empties `table` and fills it from the file's bytes. Every entry comes back
// with by=restored and keeps its learned time, via=, level, before, last and
// pending timer. A timer that ran out by `nowMs` is applied as the table
// would have applied it: the level becomes its then=, before= the level
// until then, and the learned time the moment it ran out; by= stays
// restored, since the service learned it from the file and not by seeing
// the timer run out. More than kStateEntriesMax good lines keep the entries
// changed last, and the others count as forgotten in the table.
StateFileResult RestoreStateFile(StateTable& table, const uint8_t* bytes, size_t length,
                                 uint64_t nowMs);

// Reads one `state` line, without its line end, into `entry`. Returns false
// for anything FormatStateLine would not have written; `entry` is then
// undefined.
bool ParseStateLine(const char* line, size_t length, StateEntry& entry);
