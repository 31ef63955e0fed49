// The service's state table; the header says which threads touch what.
#include "devices/state_keeper.h"

#include <cstring>

#include "core/admin_event.h"
#include "core/event_line.h"
#include "core/lock.h"
#include "core/state_table.h"
#include "devices/transceiver_events.h"

namespace {

// Plain data with trivial destructors: a transceiver thread stuck in a
// driver call may still note a telegram while the process ends, and finds
// nothing destroyed under it.
Lock g_lock;
StateTable g_table;  // all zero: empty
// The table's change count when its text was last written to the file; a
// change makes the two differ. kNeverSaved forces a write.
constexpr uint64_t kNeverSaved = ~0ull;
uint64_t g_savedChanges = 0;
// The forgotten count last reported, and when (0: never).
uint64_t g_reportedForgotten = 0;
uint64_t g_reportedMs = 0;

// Each change's line, published while the state lock is held.
void Publish(const char* line, size_t length, void*) { PublishEventLine(line, length); }

struct Greeting {
  EventGreetingWriter before;
  void* context;
};

void GreetingLine(const char* line, size_t length, void* greeting) {
  EventGreetingLine(*static_cast<EventGreeting*>(greeting), line, length);
}

// Under the hub's lock, with the state lock held by AttachWithStates.
void WriteGreeting(EventGreeting& greeting, void* context) {
  const Greeting& g = *static_cast<const Greeting*>(context);
  if (g.before) g.before(greeting, g.context);
  StateSnapshot(g_table, GreetingLine, &greeting);
  char line[kEventLineBufferSize];
  size_t n = FormatReadyLine(line, sizeof line, UtcNowMs());
  EventGreetingLine(greeting, line, n);
}

struct TextOut {
  char* out;
  size_t size;
  size_t length;
  bool failed;
};

void AppendLine(const char* line, size_t length, void* context) {
  TextOut& t = *static_cast<TextOut*>(context);
  if (t.failed || length > t.size - t.length) {
    t.failed = true;
    return;
  }
  std::memcpy(t.out + t.length, line, length);
  t.length += length;
}

}  // namespace

void KeepSentState(const char* serial, const Frame& frame, uint64_t nowMs) {
  LockHold hold(g_lock);
  StateNoteSent(g_table, nowMs, serial, frame, Publish, nullptr);
}

void KeepHeardState(const char* serial, const Telegram& telegram, uint64_t nowMs) {
  LockHold hold(g_lock);
  StateNoteHeard(g_table, nowMs, serial, telegram, Publish, nullptr);
}

void TendStates(uint64_t nowMs) {
  uint64_t forgotten = 0;
  {
    LockHold hold(g_lock);
    uint64_t due = 0;
    if (StateNextTimer(g_table, due) && due <= nowMs) {
      StateFireTimers(g_table, nowMs, Publish, nullptr);
    }
    uint64_t total = StateForgottenCount(g_table);
    if (total > g_reportedForgotten &&
        (g_reportedMs == 0 || nowMs - g_reportedMs >= kStateFullReportMs)) {
      forgotten = total - g_reportedForgotten;
      g_reportedForgotten = total;
      g_reportedMs = nowMs == 0 ? 1 : nowMs;
    }
  }
  // Outside the lock: the event log's sink takes a lock of its own.
  if (forgotten > 0) {
    ReportAdminEvent(kAdminStateTableFull, {Decimal(forgotten).text, Decimal(kStateEntriesMax).text});
  }
}

EventHubStatus AttachWithStates(int slot, EventGreetingWriter before, void* context) {
  Greeting greeting{before, context};
  LockHold hold(g_lock);
  return EventHubAttach(slot, WriteGreeting, &greeting);
}

StateFileResult RestoreStates(const uint8_t* bytes, size_t length, uint64_t nowMs) {
  LockHold hold(g_lock);
  StateFileResult result = RestoreStateFile(g_table, bytes, length, nowMs);
  bool rewrite = result.bad > 0 || result.timersApplied > 0 || StateForgottenCount(g_table) > 0;
  g_savedChanges = rewrite ? kNeverSaved : g_table.changes;
  g_reportedForgotten = 0;
  g_reportedMs = 0;
  return result;
}

bool TakeStateText(char* out, size_t size, size_t& length, uint64_t& mark) {
  LockHold hold(g_lock);
  if (g_table.changes == g_savedChanges) return false;
  mark = g_table.changes;
  TextOut text{out, size, 0, out == nullptr};
  StateSnapshot(g_table, AppendLine, &text);
  // Cannot happen with a buffer of kStateTextMax; a text that was cut must
  // never replace a whole file.
  if (text.failed) return false;
  length = text.length;
  return true;
}

void MarkStatesSaved(uint64_t mark) {
  LockHold hold(g_lock);
  g_savedChanges = mark;
}

size_t StateCount() {
  LockHold hold(g_lock);
  return StateEntryCount(g_table);
}

void ClearStates() {
  LockHold hold(g_lock);
  StateTableClear(g_table);
  g_savedChanges = 0;
  g_reportedForgotten = 0;
  g_reportedMs = 0;
}
