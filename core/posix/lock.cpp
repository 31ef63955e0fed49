#include "core/lock.h"

#include <chrono>
#include <thread>

// The native build serves the unit tests and fuzzers only: a spin lock that
// yields is enough there.
void LockAcquire(Lock& lock) {
  void* expected = nullptr;
  while (!__atomic_compare_exchange_n(&lock.word, &expected, reinterpret_cast<void*>(1), false,
                                      __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
    expected = nullptr;
    std::this_thread::yield();
  }
}

void LockRelease(Lock& lock) { __atomic_store_n(&lock.word, nullptr, __ATOMIC_RELEASE); }

bool LockTryAcquire(Lock& lock) {
  void* expected = nullptr;
  return __atomic_compare_exchange_n(&lock.word, &expected, reinterpret_cast<void*>(1), false,
                                     __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
