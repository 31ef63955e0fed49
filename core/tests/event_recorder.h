// A sink for the administrator events that keeps what was reported, for
// tests: SetAdminEventSink(RecordAdminEvent), then read g_recorded.
#pragma once

#include <string>
#include <vector>

#include "core/admin_event.h"

struct Recorded {
  AdminEvent event;
  std::vector<std::string> inserts;
};

inline std::vector<Recorded> g_recorded;

inline void RecordAdminEvent(AdminEvent event, const char* const* inserts, size_t count) {
  Recorded r{event, {}};
  for (size_t i = 0; i < count; ++i) r.inserts.push_back(inserts[i]);
  g_recorded.push_back(r);
}
