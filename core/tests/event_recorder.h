// A sink for the administrator events that keeps what was reported, for
// tests: SetAdminEventSink(RecordAdminEvent), then read RecordedEvents() (or
// g_recorded once every thread that reports has ended). Transceiver threads
// report too, so the list is guarded.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/admin_event.h"

struct Recorded {
  AdminEvent event;
  std::vector<std::string> inserts;
};

inline std::vector<Recorded> g_recorded;
inline std::mutex g_recordedMu;

inline void RecordAdminEvent(AdminEvent event, const char* const* inserts, size_t count) {
  Recorded r{event, {}};
  for (size_t i = 0; i < count; ++i) r.inserts.push_back(inserts[i]);
  std::lock_guard<std::mutex> hold(g_recordedMu);
  g_recorded.push_back(r);
}

inline std::vector<Recorded> RecordedEvents() {
  std::lock_guard<std::mutex> hold(g_recordedMu);
  return g_recorded;
}

inline void ClearRecordedEvents() {
  std::lock_guard<std::mutex> hold(g_recordedMu);
  g_recorded.clear();
}
