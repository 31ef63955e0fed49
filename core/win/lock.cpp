#include "core/lock.h"

#include <windows.h>

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");

void LockAcquire(Lock& lock) { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&lock.word)); }

void LockRelease(Lock& lock) { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&lock.word)); }

bool LockTryAcquire(Lock& lock) {
  return TryAcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&lock.word)) != FALSE;
}

void SleepMs(uint32_t ms) { Sleep(ms); }
