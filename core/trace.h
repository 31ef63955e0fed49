// The diagnostic trace entry. Operations offer it values at fixed points
// (last-error codes, instance numbers, EEPROM strings, serial numbers, the
// class word of a received frame). It produces no output and has no effect;
// it marks the places where a diagnostic build would look.
#pragma once

#include <cstdint>

inline void TraceHook(const char* /*what*/, uint32_t /*value*/) {}
inline void TraceHook(const char* /*what*/, const char* /*text*/) {}
