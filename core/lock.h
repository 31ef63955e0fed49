// A small lock for records that live on the heap and come and go with the
// transceivers, and for the service's long-lived tables. It needs no
// construction beyond zeroing and no destruction, so freeing a record that
// holds one releases nothing behind it: on Windows it is a slim
// reader/writer lock (one pointer, zero when free), natively a spin lock
// that yields. std::mutex is not used in the service because the MinGW
// threads library allocates behind it: an event handle at its first
// contention, kept until the mutex is destroyed (a global one, never), and
// never freed for one that lives in a record.
#pragma once

#include <cstdint>

struct Lock {
  void* word = nullptr;  // SRWLOCK on Windows; 0 free, 1 held natively
};

void LockAcquire(Lock& lock);
void LockRelease(Lock& lock);
// Takes the lock when it is free; false at once when it is held.
bool LockTryAcquire(Lock& lock);

// Sleeps the calling thread for about `ms` milliseconds with the platform's
// own call. The transceivers' threads are the platform's, not the threads
// library's: the library's sleep would give each of them a record of its
// own, with a handle, that it does not always give back when they end.
void SleepMs(uint32_t ms);

// Holds a lock for a scope.
class LockHold {
 public:
  explicit LockHold(Lock& lock) : lock_(lock) { LockAcquire(lock_); }
  ~LockHold() { LockRelease(lock_); }
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;

 private:
  Lock& lock_;
};
