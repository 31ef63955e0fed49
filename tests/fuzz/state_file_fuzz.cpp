// The state file's reader on arbitrary bytes: the whole input is the file,
// read at a fixed moment (2026-12-08T10:15:06.544Z), so that the seed
// corpus is plain text with timers on either side of it.
//
// Invariants: the reader never reads past the buffer (it gets an exact
// copy) and keeps at most 1,024 entries, as many as it says it restored.
// Every snapshot line is one the events hub accepts. Reading the snapshot
// back finds no bad line and gives the same snapshot. After every timer has
// run out, none is pending and the lines are still whole.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/event_hub.h"
#include "core/event_line.h"
#include "core/state_file.h"
#include "core/state_table.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const uint64_t kNow = 1796724906544;

struct Snapshot {
  std::string text;
  size_t lines = 0;
};

void Collect(const char* line, size_t length, void* context) {
  // No listener is attached: the hub only judges the line.
  FUZZ_CHECK(PublishEventLine(line, length) == kEventHubOk);
  FUZZ_CHECK(length > 40 && std::memcmp(line + 24, " - - state kind=", 16) == 0);
  StateEntry entry;
  FUZZ_CHECK(ParseStateLine(line, length - 2, entry));
  Snapshot* s = static_cast<Snapshot*>(context);
  s->text.append(line, length);
  ++s->lines;
}

Snapshot Take(const StateTable& table) {
  Snapshot s;
  FUZZ_CHECK(StateSnapshot(table, Collect, &s) == StateEntryCount(table));
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static StateTable* table = new StateTable();
  std::vector<uint8_t> exact(data, data + size);
  StateFileResult r = RestoreStateFile(*table, exact.data(), exact.size(), kNow);
  FUZZ_CHECK(r.restored == StateEntryCount(*table));
  FUZZ_CHECK(r.restored <= kStateEntriesMax);
  FUZZ_CHECK(r.timersApplied <= r.restored + StateForgottenCount(*table));
  Snapshot first = Take(*table);
  FUZZ_CHECK(first.lines == r.restored);

  std::vector<uint8_t> again(first.text.begin(), first.text.end());
  r = RestoreStateFile(*table, again.data(), again.size(), kNow);
  FUZZ_CHECK(r.bad == 0);
  FUZZ_CHECK(r.timersApplied == 0);
  FUZZ_CHECK(r.restored == first.lines);
  FUZZ_CHECK(Take(*table).text == first.text);

  uint64_t due = 0;
  if (StateNextTimer(*table, due)) {
    FUZZ_CHECK(due > kNow);
    Snapshot fired;
    StateFireTimers(*table, UINT64_MAX, Collect, &fired);
    FUZZ_CHECK(fired.lines > 0);
    FUZZ_CHECK(!StateNextTimer(*table, due));
    Take(*table);
  }
  return 0;
}
