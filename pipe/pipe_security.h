// Who may use the service's pipe: the security descriptor every instance is
// created with. Written as SDDL and converted by the platform; an
// administrator may replace it with the REG_SZ value PipeSecurity under
// HKLM\SOFTWARE\ZARVO Remote, read at start. That key lies outside the
// service's own registry key, so the setting outlives removing and
// reinstalling the service.
#pragma once

#include <windows.h>

// Owner LocalSystem, protected access list: full control for LocalSystem and
// Administrators; read and write (FILE_GENERIC_READ | FILE_GENERIC_WRITE,
// what a client that opens the pipe for both needs) for Authenticated Users
// and for ANONYMOUS LOGON, the anonymous network clients that the
// NullSessionPipes entry admits. Nobody else may change the owner or the
// access list, or delete the pipe.
extern const wchar_t kDefaultPipeSddl[];
extern const wchar_t kPipeSecurityKey[];    // SOFTWARE\ZARVO Remote, under HKLM
extern const wchar_t kPipeSecurityValue[];  // PipeSecurity
// The events pipe's: full control for LocalSystem and Administrators, read
// (FILE_GENERIC_READ, all a listener needs) for Authenticated Users, and
// nothing for anonymous network clients. EventsPipeSecurity, beside
// PipeSecurity and under the same rules, replaces it.
extern const wchar_t kDefaultEventsPipeSddl[];
extern const wchar_t kEventsPipeSecurityValue[];  // EventsPipeSecurity

// The security descriptor for the pipe, self-relative, from LocalAlloc.
struct PipeSecurity {
  PSECURITY_DESCRIPTOR descriptor;  // free with FreePipeSecurity
  bool fromRegistry;                // the administrator's value was used
  wchar_t reason[160];              // why it was refused, when it was
  wchar_t value[200];               // the text that was parsed, cut to fit
};

// Checks an SDDL text for use on the pipe: it converts, has an access list
// that is not null, gives LocalSystem full control, and names no owner but
// LocalSystem (no owner: the creator's, LocalSystem for the service). On
// success stores the descriptor and returns 0; otherwise returns
// ERROR_INVALID_SECURITY_DESCR (or the conversion's error) with the reason
// filled in. Never falls back to anything wider than asked.
DWORD ParsePipeSecurity(const wchar_t* sddl, PipeSecurity& out);

// Reads the administrator's value (or takes the default when there is none)
// and parses it. A value that exists but is not a REG_SZ text is refused too.
DWORD LoadPipeSecurity(PipeSecurity& out, const wchar_t* valueName = kPipeSecurityValue,
                       const wchar_t* defaultSddl = kDefaultPipeSddl);

void FreePipeSecurity(PipeSecurity& security);
