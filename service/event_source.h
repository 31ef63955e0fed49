// The event source "ZARVO Remote" in the Application log: where the event
// viewer finds the texts of the service's events.
#pragma once

#include "core/win/service_setup.h"
#include "service/event_log.h"

// Registers the source with `programPath` (the installed program, holding
// the message table) as its message file, and the event types the service
// writes. False when the registry refused, or when the path holds a ';' (the
// value is a list separated by ';', so such a path cannot be registered).
inline bool InstallEventSource(const wchar_t* programPath) {
  return InstallEventSourceFor(kEventSourceName, programPath);
}

// Removes the source. True also when it was not registered.
inline bool RemoveEventSource() { return RemoveEventSourceFor(kEventSourceName); }
