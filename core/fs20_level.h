// What an FS20 command does to the level the service assumes for the
// receivers on its house code and address. FS20 has no acknowledgement, so
// the level is what the command should have done:
//
//   0x00            off
//   0x01 .. 0x10    that level (an extension byte is a ramp time: nothing
//                   is scheduled)
//   0x11            on: the last level other than off (16 when none is known)
//   0x12            toggle: from off to the last level, from any level to off
//   0x13, 0x14      dim up, dim down: one step, within 0 .. 16
//   0x15 .. 0x17    dim up and down, timer programming, send status: no change
//   0x18            off now; after the timer the level before
//   0x19, 0x1A      16, or the last level, now; off after the timer
//   0x1B            reset to factory settings: unknown, and the last level
//                   forgotten (16)
//   0x1C, 0x1D      ramp times: no change
//   0x1E, 0x1F      the last level, or 16, now; after the timer the level before
//
// From an unknown level, toggle and dim up/down leave it unknown; a level
// that was unknown before a "then the level before" command comes back
// unknown. The timer runs only when an extension byte gives a time (its
// low nibble not 0); every command cancels the timer pending before it.
// Flag bits (0x20 extension, 0x40 bidirectional, 0x80 answer) do not change
// what a command does.
//
// Plain functions on a caller-owned record.
#pragma once

#include <cstdint>

#include "core/device_state.h"

// Applies `command` at `nowMs` to `state`: sets its level, before (the level
// until now), last level and timer. `hasExtension` says whether `extension`
// was there.
void ApplyFs20Command(Fs20State& state, uint8_t command, uint8_t hasExtension, uint8_t extension,
                      uint64_t nowMs);

// The pending timer ran out: the level becomes `then` and the timer is
// gone. Does nothing when no timer is pending.
void RunOutFs20Timer(Fs20State& state);

// A new entry: level, before and then unknown, last level 16, no timer.
void InitFs20State(Fs20State& state, uint8_t hc1, uint8_t hc2, uint8_t address);
