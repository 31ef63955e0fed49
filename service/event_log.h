// The Windows side of the administrator events (core/admin_event.h): writes
// each reported event to the Application event log under the source
// "ZARVO Remote", with its text from the program's message table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/admin_event.h"
#include "core/win/error_text.h"

constexpr wchar_t kEventSourceName[] = L"ZARVO Remote";

// Starts the writer thread and sets the event sink. Events reported before
// the start, or when it fails (false: the thread could not be made), are
// not written. Also false while a writer abandoned by a timed-out
// EventLogStop is still running.
bool EventLogStart();

// Removes the sink, then lets the writer write what is queued and end,
// waiting at most `timeoutMs`. True when it ended in time; false when it did
// not (the writer then finishes on its own and keeps its handles until the
// process ends) or was not running.
bool EventLogStop(uint32_t timeoutMs);

// What the writer did since the last EventLogStart, for tests and the stop.
struct EventLogCounts {
  uint64_t written;  // ReportEventW succeeded
  uint64_t failed;   // ReportEventW or RegisterEventSourceW failed
  uint64_t dropped;  // the queue was full when the event was reported
  uint64_t dropNotices;  // kAdminEventsDropped events written (part of `written`)
};
EventLogCounts EventLogCountsNow();

// The full 32-bit message id of an event (severity and facility bits
// included), as ReportEventW and FormatMessageW take it; 0 for a value that
// is no event.
uint32_t AdminEventMessageId(AdminEvent event);
