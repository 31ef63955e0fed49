#include "devices/tests/fake_d2xx.h"

#include <algorithm>
#include <cstring>

namespace {
FakeDevice* Dev(FT_HANDLE h) { return static_cast<FakeDevice*>(h); }
}  // namespace

extern "C" {

FT_STATUS FT_API FT_GetModemStatus(FT_HANDLE h, uint32_t* modem) {
  if (!h) return FT_INVALID_HANDLE;
  FakeDevice* d = Dev(h);
  std::lock_guard<std::mutex> hold(d->mu);
  ++d->polls;
  if (d->pollStatus != FT_OK) return d->pollStatus;
  if (!d->modemSequence.empty()) {
    *modem = d->modemSequence.front();
    d->modemSequence.pop_front();
  } else {
    *modem = d->modemAfter;
  }
  return FT_OK;
}

FT_STATUS FT_API FT_Write(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* written) {
  if (!h) return FT_INVALID_HANDLE;
  FakeDevice* d = Dev(h);
  std::lock_guard<std::mutex> hold(d->mu);
  ++d->writes;
  d->writeSizes.push_back(n);
  *written = 0;
  FT_STATUS status = d->writeStatus;
  if (!d->writeStatusSequence.empty()) {
    status = d->writeStatusSequence.front();
    d->writeStatusSequence.pop_front();
  }
  if (status != FT_OK) return status;
  uint32_t take = d->chunk ? std::min(d->chunk, n) : n;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  d->written.insert(d->written.end(), p, p + take);
  *written = take;
  return FT_OK;
}

FT_STATUS FT_API FT_GetQueueStatus(FT_HANDLE h, uint32_t* waiting) {
  if (!h) return FT_INVALID_HANDLE;
  FakeDevice* d = Dev(h);
  std::lock_guard<std::mutex> hold(d->mu);
  *waiting = static_cast<uint32_t>(d->rx.size());
  return FT_OK;
}

FT_STATUS FT_API FT_Read(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* got) {
  if (!h) return FT_INVALID_HANDLE;
  FakeDevice* d = Dev(h);
  std::lock_guard<std::mutex> hold(d->mu);
  uint32_t take = std::min<uint32_t>(n, static_cast<uint32_t>(d->rx.size()));
  uint8_t* p = static_cast<uint8_t*>(buffer);
  for (uint32_t i = 0; i < take; ++i) {
    p[i] = d->rx.front();
    d->rx.pop_front();
  }
  *got = take;
  return FT_OK;
}

// Line set-up, EEPROM and open are not used by the unit tests of the request
// path; they succeed without effect.
FT_STATUS FT_API FT_Close(FT_HANDLE) { return FT_OK; }
FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE, uint32_t) { return FT_OK; }
FT_STATUS FT_API FT_SetDataCharacteristics(FT_HANDLE, uint8_t, uint8_t, uint8_t) { return FT_OK; }
FT_STATUS FT_API FT_SetFlowControl(FT_HANDLE, uint16_t, uint8_t, uint8_t) { return FT_OK; }
FT_STATUS FT_API FT_SetEventNotification(FT_HANDLE, uint32_t, void*) { return FT_OK; }
FT_STATUS FT_API FT_OpenEx(void*, uint32_t, FT_HANDLE*) { return FT_DEVICE_NOT_FOUND; }
FT_STATUS FT_API FT_EE_Read(FT_HANDLE, FtProgramData*) { return FT_OK; }

}  // extern "C"
