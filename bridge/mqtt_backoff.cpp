#include "bridge/mqtt_backoff.h"

void MqttBackoffInit(MqttBackoff& b) {
  b.firstMs = 1000;
  b.maxMs = 60000;
  b.refusedMs = 60000;
  b.stableMs = 60000;
  b.stepMs = b.firstMs;
  b.up = false;
  b.acceptedAtMs = 0;
}

void MqttBackoffAccepted(MqttBackoff& b, uint64_t nowMs) {
  b.up = true;
  b.acceptedAtMs = nowMs;
}

uint32_t MqttBackoffDelayMs(MqttBackoff& b, uint64_t nowMs, bool refused, uint32_t random) {
  if (b.up && nowMs >= b.acceptedAtMs && nowMs - b.acceptedAtMs >= b.stableMs) b.stepMs = b.firstMs;
  b.up = false;
  if (refused) return b.refusedMs;
  const uint32_t step = b.stepMs < b.maxMs ? b.stepMs : b.maxMs;
  b.stepMs = step > b.maxMs / 2 ? b.maxMs : step * 2;
  // Between half the step and all of it.
  const uint32_t half = step / 2;
  return step - half + random % (half + 1);
}
