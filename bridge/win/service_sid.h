// A service's own SID, as Windows gives it to a service registered with
// SERVICE_SID_TYPE_UNRESTRICTED: S-1-5-80- and five sub-authorities, the
// SHA-1 of the service name in upper case (UTF-16LE) read as five 32-bit
// little-endian numbers. Computed here because looking "NT SERVICE\<name>"
// up by name fails under Wine, and an access list must name the bridge
// before its service exists.
#pragma once

#include <cstddef>

// The longest text: "S-1-5-80-" and five numbers of up to 10 digits.
constexpr size_t kServiceSidTextUnits = 9 + 5 * 11 + 1;

// Writes the SID's text for `serviceName` into `out`. False when SHA-1 is
// not available (the error is in GetLastError) or the name is empty or
// longer than 256 characters.
bool ServiceSidText(const wchar_t* serviceName, wchar_t (&out)[kServiceSidTextUnits]);
