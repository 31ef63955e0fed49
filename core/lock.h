// A small lock for records that live on the heap and come and go with the
// transceivers. It needs no construction beyond zeroing and no destruction,
// so freeing a record that holds one releases nothing behind it: on Windows
// it is a slim reader/writer lock (one pointer, zero when free), natively a
// spin lock that yields. std::mutex is not used in such records because the
// MinGW threads library allocates behind it on first use and its destructor
// never frees that.
#pragma once

struct Lock {
  void* word = nullptr;  // SRWLOCK on Windows; 0 free, 1 held natively
};

void LockAcquire(Lock& lock);
void LockRelease(Lock& lock);

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
