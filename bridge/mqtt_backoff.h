// How long the bridge waits before it connects to the broker again.
// Platform-free, without a clock or a random source of its own: the caller
// passes the time and a random number, so that tests are exact.
//
// A connection that failed or broke is retried after 1 s, then 2, 4, ... up
// to 60 s, each delay drawn between half and all of that step, so that
// bridges that lost one broker together do not all return in the same
// instant. A connection that stayed up for stableMs starts the steps from 1 s
// again; one that the broker drops at once (another client with our client
// id, a broker that takes us and throws us out) keeps stepping up rather than
// knocking at it every second. A CONNACK that refused us (bad user name or
// password, not authorised) waits refusedMs, 60 s, every time: the refusal
// will not change until an administrator does something.
//
// The network loop's part:
//   CONNACK accepted:   MqttBackoffAccepted(b, now)
//   connection over:    delay = MqttBackoffDelayMs(b, now, refused, random 32 bits)
#pragma once

#include <cstdint>

struct MqttBackoff {
  // Settings, from MqttBackoffInit; a test may shorten them.
  uint32_t firstMs;    // 1000
  uint32_t maxMs;      // 60000
  uint32_t refusedMs;  // 60000
  uint32_t stableMs;   // 60000: a connection up this long was a good one
  // State.
  uint32_t stepMs;     // the step the next failure waits
  bool up;             // a CONNACK accepted the connection now ending
  uint64_t acceptedAtMs;
};

void MqttBackoffInit(MqttBackoff& b);

// The broker accepted the connection.
void MqttBackoffAccepted(MqttBackoff& b, uint64_t nowMs);

// The connection attempt failed, was refused (`refused`: a CONNACK with a
// return code), or a connection ended: the milliseconds to wait before the
// next attempt.
uint32_t MqttBackoffDelayMs(MqttBackoff& b, uint64_t nowMs, bool refused, uint32_t random);
