#include "core/air_budget.h"

#include <cstring>

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// `stored` holds at most kAirBudgetSerialSize - 1 characters; `serial` is
// compared on as many, so that a serial cut when stored still matches.
bool SameSerial(const char* stored, const char* serial) {
  for (size_t i = 0; i < kAirBudgetSerialSize - 1; ++i) {
    if (LowerAscii(stored[i]) != LowerAscii(serial[i])) return false;
    if (stored[i] == '\0') return true;
  }
  return true;
}

uint64_t Age(uint64_t thenMs, uint64_t nowMs) { return nowMs >= thenMs ? nowMs - thenMs : 0; }

AirBudgetEntry& FindOrTake(AirBudget& budget, const char* serial) {
  AirBudgetEntry* oldest = &budget.entries[0];
  for (AirBudgetEntry& e : budget.entries) {
    if (e.lastUse != 0 && SameSerial(e.serial, serial)) return e;
    if (e.lastUse < oldest->lastUse) oldest = &e;
  }
  // A free entry has lastUse 0, so it is the oldest there is.
  AirBudgetEntry& e = *oldest;
  e = AirBudgetEntry{};
  size_t length = strnlen(serial, kAirBudgetSerialSize - 1);
  std::memcpy(e.serial, serial, length);
  e.serial[length] = '\0';
  return e;
}

}  // namespace

bool AirBudgetCount(AirBudget& budget, const char* serial, uint64_t nowMs) {
  constexpr uint32_t kRing = kAirBudgetCommandsPerHour + 1;
  if (!serial) serial = "";
  LockHold hold(budget.lock);
  AirBudgetEntry& e = FindOrTake(budget, serial);
  e.lastUse = ++budget.uses;
  e.sentMs[e.next] = nowMs;
  e.next = (e.next + 1) % kRing;
  if (e.count < kRing) ++e.count;
  // With the ring full, `next` is the oldest of the last 161 commands.
  bool over = e.count == kRing && Age(e.sentMs[e.next], nowMs) < kAirBudgetWindowMs;
  if (!over) return false;
  if (e.warned && Age(e.warnedMs, nowMs) < kAirBudgetWindowMs) return false;
  e.warned = true;
  e.warnedMs = nowMs;
  return true;
}
