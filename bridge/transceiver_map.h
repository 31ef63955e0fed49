// Which transceiver has which instance number, followed from the events
// lines: a greeting (format, present..., ready) lists those in use; plugged
// and pulled lines say what changed since, pulled with the others that moved
// down a slot (moved=SERIAL:FROM>TO,...). Requests name a transceiver by
// instance number, devices.ini by serial number: this map joins the two.
//
// A transceiver once seen stays in the map, marked not present, so that its
// `transceiver/<serial>/state` can say it has gone. Plain records, used by
// the bridge engine's one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/events_parse.h"

// More transceivers than a machine has USB ports: past this, new serial
// numbers are not kept (the lines still pass through on `line`).
constexpr size_t kTransceiverMapLimit = 64;

struct TransceiverEntry {
  std::string serial;
  int32_t iid;      // the instance number while present, -1 otherwise
  bool present;
  bool confirmed;   // named in the greeting under way
};

struct TransceiverMap {
  std::vector<TransceiverEntry> entries;
  bool inGreeting = false;
};

// Applies one line: format starts a greeting, present/plugged/pulled change
// entries, ready ends the greeting (whatever it did not name is not present
// any more). Other words change nothing. Appends the serial numbers whose
// entry changed to `changed` (each at most once per call). Returns true when
// the line was one of these words.
bool TransceiverMapApply(TransceiverMap& map, const EventLine& line,
                         std::vector<std::string>& changed);

// The entry for a serial number, or null.
const TransceiverEntry* TransceiverFind(const TransceiverMap& map, const std::string& serial);

// The present transceiver with the lowest instance number, or null.
const TransceiverEntry* TransceiverLowestPresent(const TransceiverMap& map);

// Everything is unknown again (the connection to the service ended).
void TransceiverMapReset(TransceiverMap& map, std::vector<std::string>& changed);
