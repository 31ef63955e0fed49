// The events hub; the header says which threads touch what.
#include "core/event_hub.h"

#include "core/lock.h"

#include <cstring>
#include <new>

namespace {

struct QueuedLine {
  uint16_t length;
  char text[kEventLineMax];
};

// One listener slot. All fields are guarded by EventHub::lock.
struct ListenerSlot {
  QueuedLine* lines = nullptr;  // kListenerQueueLines records, allocated on the first attach, never freed
  // The greeting's whole lines, back to back: kGreetingBytes, allocated on
  // the first attach, never freed. [greetingAt, greetingLength) is still to
  // be taken, greetingLines lines.
  char* greeting = nullptr;
  size_t greetingLength = 0;
  size_t greetingAt = 0;
  uint32_t greetingLines = 0;
  bool attached = false;
  size_t head = 0;   // index of the oldest queued line
  size_t count = 0;  // lines queued
  uint64_t lostNow = 0;
  uint64_t lost = 0;
  uint64_t taken = 0;
};

struct EventHub {
  Lock lock;  // the platform's: contention creates no handle behind it
  ListenerSlot slots[kEventListenerCount];
  uint64_t published = 0;
  uint64_t refused = 0;
  EventHubWake wake = nullptr;
  void* wakeContext = nullptr;
};

// Made on first use and never destroyed: a transceiver thread stuck in a
// driver call may still publish while the process ends, and must not find
// the lock or the queues destroyed under it.
EventHub& Hub() {
  static EventHub* hub = new EventHub;
  return *hub;
}

bool IsValidLine(const char* line, size_t length) {
  if (!line || length < 2 || length > kEventLineMax) return false;
  if (line[length - 2] != '\r' || line[length - 1] != '\n') return false;
  for (size_t i = 0; i + 2 < length; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

bool IsValidSlot(int slot) { return slot >= 0 && slot < kEventListenerCount; }

// The slot whose greeting this thread is writing, under the hub's lock, or
// -1: EventGreetingLine touches a greeting buffer only when it is called
// from inside EventHubAttach's writer, where the lock is held.
thread_local int t_greetingSlot = -1;

// Under the hub's lock. A full queue gives up its oldest line.
void Enqueue(ListenerSlot& s, const char* line, size_t length) {
  if (s.count == kListenerQueueLines) {
    s.head = (s.head + 1) % kListenerQueueLines;
    --s.count;
    ++s.lostNow;
    ++s.lost;
  }
  QueuedLine& q = s.lines[(s.head + s.count) % kListenerQueueLines];
  std::memcpy(q.text, line, length);
  q.length = static_cast<uint16_t>(length);
  ++s.count;
}

void Empty(ListenerSlot& s) {
  s.head = 0;
  s.count = 0;
  s.lostNow = 0;
  s.greetingLength = 0;
  s.greetingAt = 0;
  s.greetingLines = 0;
}

// Under the hub's lock: the next greeting line into `out`, or 0 when the
// greeting has been taken whole. Every line in the buffer ends in LF.
size_t TakeGreetingLine(ListenerSlot& s, char* out) {
  if (s.greetingLines == 0) return 0;
  const char* begin = s.greeting + s.greetingAt;
  const char* end = static_cast<const char*>(
      std::memchr(begin, '\n', s.greetingLength - s.greetingAt));
  size_t length = static_cast<size_t>(end - begin) + 1;
  std::memcpy(out, begin, length);
  out[length] = '\0';
  s.greetingAt += length;
  --s.greetingLines;
  return length;
}

}  // namespace

const char* EventHubStatusName(EventHubStatus status) {
  switch (status) {
    case kEventHubOk: return "kEventHubOk";
    case kEventHubBadSlot: return "kEventHubBadSlot";
    case kEventHubBadLine: return "kEventHubBadLine";
    case kEventHubSlotBusy: return "kEventHubSlotBusy";
    case kEventHubNoMemory: return "kEventHubNoMemory";
    case kEventHubGreetingFull: return "kEventHubGreetingFull";
    case kEventHubNotGreeting: return "kEventHubNotGreeting";
  }
  return "unknown EventHubStatus";
}

EventHubStatus PublishEventLine(const char* line, size_t length) {
  EventHub& hub = Hub();
  // Checked before the lock: the scan is the only per-byte work besides the
  // copies, and publishers should hold the lock as briefly as they can.
  bool valid = IsValidLine(line, length);
  EventHubWake wake = nullptr;
  void* wakeContext = nullptr;
  {
    LockHold hold(hub.lock);
    if (!valid) {
      ++hub.refused;
      return kEventHubBadLine;
    }
    ++hub.published;
    bool queued = false;
    for (ListenerSlot& s : hub.slots) {
      if (!s.attached) continue;
      Enqueue(s, line, length);
      queued = true;
    }
    if (queued) {
      wake = hub.wake;
      wakeContext = hub.wakeContext;
    }
  }
  if (wake) wake(wakeContext);
  return kEventHubOk;
}

void SetEventHubWake(EventHubWake wake, void* context) {
  EventHub& hub = Hub();
  LockHold hold(hub.lock);
  hub.wake = wake;
  hub.wakeContext = context;
}

EventHubStatus EventGreetingLine(EventGreeting& greeting, const char* line, size_t length) {
  EventHubStatus status = kEventHubOk;
  if (!IsValidSlot(greeting.slot)) {
    status = kEventHubBadSlot;
  } else if (greeting.slot != t_greetingSlot) {
    status = kEventHubNotGreeting;
  } else if (!IsValidLine(line, length)) {
    status = kEventHubBadLine;
  } else {
    ListenerSlot& s = Hub().slots[greeting.slot];
    if (length > kGreetingBytes - s.greetingLength) {
      status = kEventHubGreetingFull;
    } else {
      std::memcpy(s.greeting + s.greetingLength, line, length);
      s.greetingLength += length;
      ++s.greetingLines;
    }
  }
  if (status != kEventHubOk && greeting.status == kEventHubOk) greeting.status = status;
  return status;
}

EventHubStatus EventHubAttach(int slot, EventGreetingWriter writer, void* context) {
  if (!IsValidSlot(slot)) return kEventHubBadSlot;
  EventHub& hub = Hub();
  LockHold hold(hub.lock);
  ListenerSlot& s = hub.slots[slot];
  if (s.attached) return kEventHubSlotBusy;
  if (!s.lines || !s.greeting) {
    // Once per slot, under the lock: the pipe thread alone attaches, so the
    // publishers wait for these allocations at most eight times in the
    // service's life.
    if (!s.lines) s.lines = new (std::nothrow) QueuedLine[kListenerQueueLines];
    if (!s.greeting) s.greeting = new (std::nothrow) char[kGreetingBytes];
    if (!s.lines || !s.greeting) return kEventHubNoMemory;
  }
  Empty(s);
  EventGreeting greeting{slot, kEventHubOk};
  if (writer) {
    t_greetingSlot = slot;
    writer(greeting, context);
    t_greetingSlot = -1;
  }
  if (greeting.status != kEventHubOk) {
    Empty(s);
    return greeting.status;
  }
  s.attached = true;
  return kEventHubOk;
}

size_t EventHubNext(int slot, char* out, size_t size, EventLostLineFormat formatLost) {
  if (!IsValidSlot(slot) || !out || size < kEventLineBufferSize) return 0;
  EventHub& hub = Hub();
  LockHold hold(hub.lock);
  ListenerSlot& s = hub.slots[slot];
  if (!s.attached) return 0;
  if (size_t length = TakeGreetingLine(s, out)) {
    ++s.taken;
    return length;
  }
  if (s.lostNow > 0 && formatLost) {
    size_t length = formatLost(s.lostNow, out, size);
    if (length >= 2 && length <= kEventLineMax && out[length - 2] == '\r' && out[length - 1] == '\n') {
      out[length] = '\0';
      s.lostNow = 0;
      ++s.taken;
      return length;
    }
  }
  if (s.count == 0) return 0;
  const QueuedLine& q = s.lines[s.head];
  std::memcpy(out, q.text, q.length);
  out[q.length] = '\0';
  s.head = (s.head + 1) % kListenerQueueLines;
  --s.count;
  ++s.taken;
  return q.length;
}

EventHubStatus EventHubDetach(int slot) {
  if (!IsValidSlot(slot)) return kEventHubBadSlot;
  EventHub& hub = Hub();
  LockHold hold(hub.lock);
  ListenerSlot& s = hub.slots[slot];
  s.attached = false;
  Empty(s);
  return kEventHubOk;
}

EventHubStats EventHubGetStats() {
  EventHub& hub = Hub();
  LockHold hold(hub.lock);
  EventHubStats stats{};
  stats.published = hub.published;
  stats.refused = hub.refused;
  for (int i = 0; i < kEventListenerCount; ++i) {
    const ListenerSlot& s = hub.slots[i];
    stats.slots[i] = {s.attached, static_cast<uint32_t>(s.count + s.greetingLines), s.taken, s.lost,
                      s.lostNow};
  }
  return stats;
}
