#include "bridge/transceiver_map.h"

#include <algorithm>

namespace {

void NoteChanged(std::vector<std::string>& changed, const std::string& serial) {
  if (std::find(changed.begin(), changed.end(), serial) == changed.end()) changed.push_back(serial);
}

TransceiverEntry* FindOrAdd(TransceiverMap& map, const std::string& serial) {
  for (TransceiverEntry& e : map.entries) {
    if (e.serial == serial) return &e;
  }
  if (map.entries.size() >= kTransceiverMapLimit) return nullptr;
  map.entries.push_back(TransceiverEntry{serial, -1, false, false});
  return &map.entries.back();
}

void SetPresent(TransceiverMap& map, const std::string& serial, int32_t iid,
                std::vector<std::string>& changed) {
  if (serial.empty() || iid < 0) return;
  // Two serials never share a slot: whoever held it before has moved or gone
  // without our hearing of it.
  for (TransceiverEntry& other : map.entries) {
    if (other.present && other.iid == iid && other.serial != serial) {
      other.present = false;
      other.iid = -1;
      NoteChanged(changed, other.serial);
    }
  }
  TransceiverEntry* e = FindOrAdd(map, serial);
  if (e == nullptr) return;
  if (map.inGreeting) e->confirmed = true;
  if (!e->present || e->iid != iid) {
    e->present = true;
    e->iid = iid;
    NoteChanged(changed, serial);
  }
}

void SetGone(TransceiverMap& map, const std::string& serial, std::vector<std::string>& changed) {
  for (TransceiverEntry& e : map.entries) {
    if (e.serial == serial && e.present) {
      e.present = false;
      e.iid = -1;
      NoteChanged(changed, serial);
    }
  }
}

// moved=SERIAL:FROM>TO,SERIAL:FROM>TO[,...] or moved=none. The serial
// numbers hold no ":" (the service writes "?" for odd bytes, and a serial
// with ":" would make the entry ambiguous anyway): split at the last one.
void ApplyMoves(TransceiverMap& map, const std::string& moved, std::vector<std::string>& changed) {
  if (moved == "none") return;
  size_t start = 0;
  while (start <= moved.size()) {
    size_t comma = moved.find(',', start);
    if (comma == std::string::npos) comma = moved.size();
    std::string entry = moved.substr(start, comma - start);
    start = comma + 1;
    size_t colon = entry.rfind(':');
    size_t arrow = entry.rfind('>');
    if (colon == std::string::npos || arrow == std::string::npos || arrow < colon) continue;
    std::string serial = entry.substr(0, colon);
    std::string to = entry.substr(arrow + 1);
    int32_t iid = -1;
    if (!to.empty() && to.size() <= 9 && to.find_first_not_of("0123456789") == std::string::npos) {
      iid = static_cast<int32_t>(std::stol(to));
    }
    if (iid >= 0) SetPresent(map, serial, iid, changed);
  }
}

}  // namespace

bool TransceiverMapApply(TransceiverMap& map, const EventLine& line,
                         std::vector<std::string>& changed) {
  if (line.word == "format") {
    map.inGreeting = true;
    for (TransceiverEntry& e : map.entries) e.confirmed = false;
  } else if (line.word == "present" || line.word == "plugged") {
    SetPresent(map, line.serial, line.iid, changed);
  } else if (line.word == "pulled") {
    SetGone(map, line.serial, changed);
    const std::string* moved = FindEventField(line, "moved");
    if (moved != nullptr) ApplyMoves(map, *moved, changed);
  } else if (line.word == "ready") {
    if (map.inGreeting) {
      for (TransceiverEntry& e : map.entries) {
        if (!e.confirmed) SetGone(map, e.serial, changed);
      }
    }
    map.inGreeting = false;
  } else {
    return false;
  }
  return true;
}

const TransceiverEntry* TransceiverFind(const TransceiverMap& map, const std::string& serial) {
  for (const TransceiverEntry& e : map.entries) {
    if (e.serial == serial) return &e;
  }
  return nullptr;
}

const TransceiverEntry* TransceiverLowestPresent(const TransceiverMap& map) {
  const TransceiverEntry* best = nullptr;
  for (const TransceiverEntry& e : map.entries) {
    if (e.present && (best == nullptr || e.iid < best->iid)) best = &e;
  }
  return best;
}

void TransceiverMapReset(TransceiverMap& map, std::vector<std::string>& changed) {
  for (TransceiverEntry& e : map.entries) {
    if (e.present) {
      e.present = false;
      e.iid = -1;
      NoteChanged(changed, e.serial);
    }
  }
  map.inGreeting = false;
}
