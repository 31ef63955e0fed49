#include "client/win/pipe_owner.h"

#include <aclapi.h>

bool OwnedByLocalSystem(HANDLE pipe) {
  PSID owner = NULL;
  PSECURITY_DESCRIPTOR descriptor = NULL;
  if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL,
                      NULL, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  BYTE system[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof system;
  bool ok = owner && CreateWellKnownSid(WinLocalSystemSid, NULL, system, &size) &&
            EqualSid(owner, system);
  LocalFree(descriptor);
  return ok;
}
