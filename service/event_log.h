// The service's administrator events in the event log: its source
// "ZARVO Remote" and its message table (service/messages.mc). The writer
// itself is shared with the MQTT bridge (core/win/event_log.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/admin_event.h"
#include "core/win/error_text.h"
#include "core/win/event_log.h"

constexpr wchar_t kEventSourceName[] = L"ZARVO Remote";

// The full 32-bit message id of an event (severity and facility bits
// included), as ReportEventW and FormatMessageW take it; 0 for a value that
// is no event of the service.
uint32_t AdminEventMessageId(AdminEvent event);

// Starts the writer for the service's events (core/win/event_log.h).
inline bool EventLogStart() {
  return EventLogStart(EventLogProgram{kEventSourceName, AdminEventMessageId, kAdminEventsDropped});
}
