// The Windows side of the administrator events (core/admin_event.h): writes
// each reported event to the Application event log under a program's own
// event source, with its text from that program's message table. The
// service and the MQTT bridge each start it with their own EventLogProgram.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/admin_event.h"

// Whose events these are.
struct EventLogProgram {
  const wchar_t* name;                      // the event source, e.g. L"ZARVO Remote"
  uint32_t (*messageId)(AdminEvent event);  // the message's full 32-bit id; 0 for none
  AdminEvent droppedEvent;                  // says how many were dropped (one insert)
};

// Starts the writer thread and sets the event sink. Events reported before
// the start, or when it fails (false: the thread could not be made), are
// not written. Also false while a writer abandoned by a timed-out
// EventLogStop is still running.
bool EventLogStart(const EventLogProgram& program);

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
  uint64_t dropNotices;  // dropped-events events written (part of `written`)
};
EventLogCounts EventLogCountsNow();
