// Windows texts for events and messages: UTF-16 to UTF-8, and the system's
// text for a Win32 error number. Used by the service and the device walk.
#pragma once

#include <cstddef>
#include <cstdint>

// A UTF-16 text as UTF-8, for an event's insert; always NUL-terminated
// (`size` > 0), cut to fit, empty when it cannot be converted.
void WideText(const wchar_t* text, char* out, size_t size);

// The system's text for a Win32 error number, as UTF-8 without its line end
// or final period, for an event's insert. Always writes a NUL-terminated text
// (`size` > 0); "unknown error" when the system has none.
void Win32ErrorText(uint32_t error, char* out, size_t size);
