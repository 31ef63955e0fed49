#include "core/fs20_level.h"

#include <cstring>

#include "core/telegram.h"

namespace {

bool Known(uint8_t level) { return level <= kLevelFull; }

void SetLevel(Fs20State& s, uint8_t level) {
  s.level = level;
  if (level >= 1 && level <= kLevelFull) s.last = level;
}

// The last level is 1 .. 16 in every record this code made; a record from
// elsewhere that breaks that gets the default rather than a level above 16.
uint8_t LastLevel(const Fs20State& s) {
  return s.last >= 1 && s.last <= kLevelFull ? s.last : kLevelFull;
}

uint64_t After(uint64_t nowMs, uint32_t quarters) {
  uint64_t ms = static_cast<uint64_t>(quarters) * 250;
  return nowMs > UINT64_MAX - ms ? UINT64_MAX : nowMs + ms;
}

}  // namespace

void InitFs20State(Fs20State& state, uint8_t hc1, uint8_t hc2, uint8_t address) {
  std::memset(&state, 0, sizeof state);
  state.houseCode[0] = hc1;
  state.houseCode[1] = hc2;
  state.address = address;
  state.level = kLevelUnknown;
  state.before = kLevelUnknown;
  state.then = kLevelUnknown;
  state.last = kLevelFull;
}

void ApplyFs20Command(Fs20State& s, uint8_t command, uint8_t hasExtension, uint8_t extension,
                      uint64_t nowMs) {
  const uint8_t was = s.level;
  const uint8_t last = LastLevel(s);
  const uint8_t cmd = command & kFs20CommandMask;
  s.before = was;
  s.timerPending = 0;
  s.then = kLevelUnknown;
  s.untilMs = 0;
  bool timed = false;
  uint8_t then = kLevelUnknown;
  if (cmd <= kLevelFull) {
    SetLevel(s, cmd);
    return;
  }
  switch (cmd) {
    case 0x11: SetLevel(s, last); break;
    case 0x12:
      if (Known(was)) SetLevel(s, was == 0 ? last : 0);
      break;
    case 0x13:
      if (Known(was)) SetLevel(s, was < kLevelFull ? was + 1 : kLevelFull);
      break;
    case 0x14:
      if (Known(was)) SetLevel(s, was > 0 ? was - 1 : 0);
      break;
    case 0x18:
      SetLevel(s, 0);
      timed = true;
      then = was;
      break;
    case 0x19:
      SetLevel(s, kLevelFull);
      timed = true;
      then = 0;
      break;
    case 0x1A:
      SetLevel(s, last);
      timed = true;
      then = 0;
      break;
    case 0x1B:
      s.level = kLevelUnknown;
      s.last = kLevelFull;
      break;
    case 0x1E:
      SetLevel(s, last);
      timed = true;
      then = was;
      break;
    case 0x1F:
      SetLevel(s, kLevelFull);
      timed = true;
      then = was;
      break;
    default: break;  // 0x15, 0x16, 0x17, 0x1C, 0x1D
  }
  uint32_t quarters = hasExtension ? Fs20TimerQuarters(extension) : 0;
  if (timed && quarters != 0) {
    s.timerPending = 1;
    s.then = then;
    s.untilMs = After(nowMs, quarters);
  }
}

void RunOutFs20Timer(Fs20State& s) {
  if (!s.timerPending) return;
  s.before = s.level;
  SetLevel(s, Known(s.then) ? s.then : kLevelUnknown);
  s.timerPending = 0;
  s.then = kLevelUnknown;
  s.untilMs = 0;
}
