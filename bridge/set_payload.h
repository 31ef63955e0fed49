// What a message on <prefix>/<node>/fs20/<hc>-<addr>/set asks for, as an
// FS20 command byte and, for a timed command, an extension byte.
//
// Accepted payloads (leading and trailing white space ignored):
//   - Home Assistant's JSON light command: {"state":"ON"|"OFF"} with an
//     optional "brightness" 0..16 (the light's brightness_scale is 16): OFF
//     is 0x00, ON with a brightness is dim-<brightness> (0x01..0x10; 0 counts
//     as 1), ON without one is 0x11 ("on at the last level"), a brightness
//     alone is the same as with ON (0 alone is OFF). Other keys
//     ("transition", "flash", "effect", ...) are ignored, not refused.
//   - ON (0x11), OFF (0x00), TOGGLE (0x12), in any case.
//   - a command name of the events grammar (Fs20CommandName: off, dim-1 ..
//     dim-16, on, toggle, dim-up, ..., on-100-for-timer-then-previous), in
//     any case; the timed ones (off-for-timer, on-100-for-timer,
//     on-last-for-timer, ramp-on-time, ramp-off-time, and the two
//     ...-then-previous) may be followed by seconds: "on-100-for-timer 60".
//     The seconds (digits, optionally "." and up to three more) become the
//     extension byte 2^(high nibble) x (low nibble) x 0.25 s: the smallest
//     time FS20 can express that is not shorter than the seconds asked for,
//     at most 15,360 s. The command byte then carries 0x20.
// Anything else gets a reason, and no command.
//
// Plain function, no state: safe on any thread, never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kSetPayloadMax = 256;
// The longest FS20 timer, in quarter seconds: 2^12 x 15 x 0.25 s = 15,360 s.
constexpr uint32_t kLongestTimerQuarters = 4096u * 15u;

struct SetCommand {
  uint8_t cmd;        // FS20 command byte, 0x20 set when `extension` follows
  uint8_t extension;  // 0 when none (a real timer byte never is 0)
};

// True and `out` filled for an accepted payload; false and `reason` (one
// short English sentence, ASCII) otherwise.
bool ParseSetPayload(const char* payload, size_t length, SetCommand& out, std::string& reason);

// The extension byte for a timer of at least `quarters` quarter seconds:
// the smallest expressible time not below it; among equal times the one with
// the lowest exponent. 0 when `quarters` is 0 or above kLongestTimerQuarters.
uint8_t TimerExtensionFor(uint32_t quarters);
