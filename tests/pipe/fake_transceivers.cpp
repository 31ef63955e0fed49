#include "tests/pipe/fake_transceivers.h"

#include <algorithm>
#include <mutex>

#include "devices/device_table.h"
#include "devices/tests/fake_channel.h"

FakeDevice g_fakeTransceivers[kMaxFakeTransceivers];

bool InstallFakeTransceivers(int count) {
  if (count < 0 || count > kMaxFakeTransceivers) return false;
  for (int i = 0; i < count; ++i) {
    DeviceRecord* record = CreateDeviceRecord(static_cast<uint8_t>(i));
    if (!record) return false;
    record->handle = AsHandle(g_fakeTransceivers[i]);
    // The stand-in channel writes each request on the pipe server thread.
    MarkServing(*record);
    if (!TableAppend(g_context.devices, record)) {
      ReleaseDeviceRecord(record);
      return false;
    }
  }
  return true;
}

int FakeFramesWritten(int slot) {
  FakeDevice& d = g_fakeTransceivers[slot];
  std::lock_guard<std::mutex> hold(d.mu);
  return d.writes;
}

bool FakeFrame(int slot, int index, uint8_t (&bytes)[kFrameBufferSize], uint32_t& length) {
  FakeDevice& d = g_fakeTransceivers[slot];
  std::lock_guard<std::mutex> hold(d.mu);
  length = 0;
  if (index < 0 || static_cast<size_t>(index) >= d.writeSizes.size()) return false;
  size_t from = 0;
  for (int i = 0; i < index; ++i) from += d.writeSizes[i];
  size_t size = std::min<size_t>(d.writeSizes[index], kFrameBufferSize);
  if (from + size > d.written.size()) return false;
  std::copy(d.written.begin() + from, d.written.begin() + from + size, bytes);
  length = static_cast<uint32_t>(size);
  return true;
}
