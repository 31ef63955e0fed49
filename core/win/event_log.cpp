// Writing the administrator events to the event log without ever making the
// reporter wait for it. Shared by the service and the MQTT bridge, each with
// its own event source and message table (EventLogProgram).
//
// Threads and data flow: any thread reports an event; the sink (QueueEvent)
// copies its inserts into the next free slot of a fixed ring and wakes the
// writer, holding the ring's lock only for that copy. When the ring is full
// the event is dropped and counted. The writer thread, started by
// EventLogStart, takes the oldest slot, converts its inserts to UTF-16 and
// calls ReportEventW outside the lock (the event log may be slow or fail),
// then frees the slot; after a drain it reports how many were dropped.
// EventLogStop stops new events first, then lets the writer drain and end.
//
// The ring: slots [head, head + count) belong to the writer, every other
// slot to the reporters; head, count and the flags are guarded by g_lock.
#include "core/win/event_log.h"

#include <windows.h>

#include <cstring>

#include "core/trace.h"

namespace {

constexpr size_t kRingSlots = 64;
// All inserts of one event together: enough for the pulled-out event with
// 63 transceivers moving down; longer texts are cut.
constexpr size_t kSlotTextBytes = 2048;

struct Slot {
  AdminEvent event;
  uint32_t count;                       // inserts stored
  uint16_t offset[kAdminMaxInserts];    // where each insert starts in `text`
  char text[kSlotTextBytes];            // the inserts, each NUL-terminated
};

SRWLOCK g_lock = SRWLOCK_INIT;
Slot g_ring[kRingSlots];
size_t g_head = 0;         // g_lock
size_t g_count = 0;        // g_lock
bool g_accepting = false;  // g_lock: reports are queued
bool g_stopping = false;   // g_lock: the writer ends once the ring is empty
uint64_t g_dropped = 0;    // g_lock: dropped and not yet reported
EventLogCounts g_counts;   // g_lock
HANDLE g_wake = nullptr;   // auto-reset; made by EventLogStart, closed by the stop
HANDLE g_writer = nullptr;  // the writer thread, while it may run
// The program's source and messages: set by EventLogStart while no writer
// runs, read by the writer.
EventLogProgram g_program{L"", nullptr, kAdminEventsDropped};

// Copies `text` into `out` with at most `room` - 1 bytes and a NUL, cutting
// before a UTF-8 continuation byte so that a cut text stays valid UTF-8.
size_t CopyCut(const char* text, char* out, size_t room) {
  size_t n = 0;
  while (text[n] != '\0' && n + 1 < room) ++n;
  if (text[n] != '\0') {
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(out, text, n);
  out[n] = '\0';
  return n + 1;
}

void QueueEvent(AdminEvent event, const char* const* inserts, size_t count) {
  if (count > kAdminMaxInserts) count = kAdminMaxInserts;
  AcquireSRWLockExclusive(&g_lock);
  if (!g_accepting) {
    ReleaseSRWLockExclusive(&g_lock);
    return;
  }
  if (g_count == kRingSlots) {
    ++g_dropped;
    ++g_counts.dropped;
    ReleaseSRWLockExclusive(&g_lock);
    return;
  }
  Slot& slot = g_ring[(g_head + g_count) % kRingSlots];
  slot.event = event;
  slot.count = static_cast<uint32_t>(count);
  size_t used = 0;
  for (size_t i = 0; i < count; ++i) {
    // Leave every later insert at least its NUL.
    size_t room = kSlotTextBytes - used - (count - 1 - i);
    slot.offset[i] = static_cast<uint16_t>(used);
    used += CopyCut(inserts[i], slot.text + used, room);
  }
  ++g_count;
  // Under the lock, so that a stop that follows cannot close the event first.
  SetEvent(g_wake);
  ReleaseSRWLockExclusive(&g_lock);
}

WORD EventType(DWORD id) {
  switch (id >> 30) {
    case 3: return EVENTLOG_ERROR_TYPE;
    case 2: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_INFORMATION_TYPE;
  }
}

// UTF-8 when the text is valid UTF-8, otherwise each byte as the character
// of the same value (Latin-1): a serial number read from a transceiver's
// memory is bytes, not UTF-8.
void Widen(const char* text, wchar_t* out, size_t units) {
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out,
                              static_cast<int>(units));
  if (n > 0) return;
  size_t i = 0;
  for (; text[i] != '\0' && i + 1 < units; ++i) out[i] = static_cast<unsigned char>(text[i]);
  out[i] = L'\0';
}

// Writer thread only.
wchar_t g_wide[kAdminMaxInserts][kSlotTextBytes];
HANDLE g_source = nullptr;

bool Write(AdminEvent event, const char* const* inserts, size_t count) {
  const wchar_t* strings[kAdminMaxInserts];
  for (size_t i = 0; i < count; ++i) {
    Widen(inserts[i], g_wide[i], kSlotTextBytes);
    strings[i] = g_wide[i];
  }
  // Registered on the first event rather than at start, and again after a
  // failure: the event log may come up later than this service.
  if (!g_source) g_source = RegisterEventSourceW(nullptr, g_program.name);
  DWORD id = g_program.messageId(event);
  bool ok = g_source && ReportEventW(g_source, EventType(id), 0, id, nullptr,
                                     static_cast<WORD>(count), 0, strings, nullptr);
  if (!ok) TraceHook("event not written", GetLastError());
  AcquireSRWLockExclusive(&g_lock);
  ++(ok ? g_counts.written : g_counts.failed);
  ReleaseSRWLockExclusive(&g_lock);
  return ok;
}

DWORD WINAPI WriterMain(void*) {
  for (;;) {
    AcquireSRWLockExclusive(&g_lock);
    size_t queued = g_count;
    size_t head = g_head;
    uint64_t dropped = g_dropped;
    g_dropped = 0;
    bool stopping = g_stopping;
    HANDLE wake = g_wake;
    ReleaseSRWLockExclusive(&g_lock);

    if (queued > 0) {
      const Slot& slot = g_ring[head];
      const char* inserts[kAdminMaxInserts];
      for (uint32_t i = 0; i < slot.count; ++i) inserts[i] = slot.text + slot.offset[i];
      Write(slot.event, inserts, slot.count);
      AcquireSRWLockExclusive(&g_lock);
      g_head = (g_head + 1) % kRingSlots;
      --g_count;
      ReleaseSRWLockExclusive(&g_lock);
    }
    if (dropped > 0) {
      DecimalText n = Decimal(dropped);
      const char* inserts[] = {n.text};
      if (Write(g_program.droppedEvent, inserts, 1)) {
        AcquireSRWLockExclusive(&g_lock);
        ++g_counts.dropNotices;
        ReleaseSRWLockExclusive(&g_lock);
      }
    }
    if (queued == 0 && dropped == 0) {
      if (stopping) break;
      WaitForSingleObject(wake, INFINITE);
    }
  }
  if (g_source) DeregisterEventSource(g_source);
  g_source = nullptr;
  return 0;
}

}  // namespace

bool EventLogStart(const EventLogProgram& program) {
  if (g_writer) {
    // A writer left behind by a timed-out stop: usable again once it ended.
    if (WaitForSingleObject(g_writer, 0) != WAIT_OBJECT_0) return false;
    CloseHandle(g_writer);
    CloseHandle(g_wake);
    g_writer = nullptr;
    g_wake = nullptr;
  }
  if (!program.name || !program.messageId) return false;
  HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!wake) return false;
  g_program = program;
  AcquireSRWLockExclusive(&g_lock);
  g_head = 0;
  g_count = 0;
  g_dropped = 0;
  g_counts = EventLogCounts{};
  g_stopping = false;
  g_accepting = true;
  g_wake = wake;
  ReleaseSRWLockExclusive(&g_lock);
  g_writer = CreateThread(nullptr, 0, WriterMain, nullptr, 0, nullptr);
  if (!g_writer) {
    AcquireSRWLockExclusive(&g_lock);
    g_accepting = false;
    g_wake = nullptr;
    ReleaseSRWLockExclusive(&g_lock);
    CloseHandle(wake);
    return false;
  }
  SetAdminEventSink(QueueEvent);
  return true;
}

bool EventLogStop(uint32_t timeoutMs) {
  if (!g_writer) return false;
  SetAdminEventSink(nullptr);
  // A report that read the sink just before is refused here, under the lock.
  AcquireSRWLockExclusive(&g_lock);
  g_accepting = false;
  g_stopping = true;
  ReleaseSRWLockExclusive(&g_lock);
  SetEvent(g_wake);
  if (WaitForSingleObject(g_writer, timeoutMs) != WAIT_OBJECT_0) {
    TraceHook("event log writer still busy at stop", timeoutMs);
    return false;  // the writer keeps g_wake; EventLogStart closes both later
  }
  CloseHandle(g_writer);
  CloseHandle(g_wake);
  g_writer = nullptr;
  g_wake = nullptr;
  return true;
}

EventLogCounts EventLogCountsNow() {
  AcquireSRWLockExclusive(&g_lock);
  EventLogCounts counts = g_counts;
  ReleaseSRWLockExclusive(&g_lock);
  return counts;
}
