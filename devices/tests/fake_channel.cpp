#include "devices/tests/fake_channel.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/handle_request.h"
#include "devices/device_channel.h"
#include "devices/transceiver_queue.h"

FakeChannel g_channel;

namespace {

std::string Upper(const char* text) {
  std::string s(text);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

ChannelCall Observe(const std::string& serial, DeviceRecord* record) {
  ChannelCall call{serial, record->instance, false, false};
  if (DeviceTable* table = g_channel.table) {
    call.guardWasFree = LockTryAcquire(table->guard);
    if (call.guardWasFree) {
      for (int i = 0; i < table->count; ++i) {
        if (table->entries[i] == record) call.recordWasInTable = true;
      }
      LockRelease(table->guard);
    }
  }
  return call;
}

// Records whose stand-in thread is at work right now, on some thread: a
// wake meanwhile (a close asked from inside an open, say) is only noted,
// and the one at work takes another turn.
std::mutex g_workMu;
std::set<DeviceRecord*> g_atWork;
std::set<DeviceRecord*> g_wokenAgain;
// Records whose stand-in thread has started: a wake before that (a request
// queued the moment after the record took its slot) waits for the start.
std::set<DeviceRecord*> g_started;

// One turn of the stand-in thread; false once it has closed and ended.
bool Turn(DeviceRecord& record) {
  bool close = false, reopen = false;
  {
    LockHold hold(record.lock);
    close = record.closeAsked != 0;
    reopen = record.reopenAsked != 0;
    record.reopenAsked = 0;
  }
  if (close) {
    ShutDevice(record);
    StopServing(record, kStatusDeviceNotFound);
    std::lock_guard<std::mutex> hold(g_workMu);
    g_started.erase(&record);
    return false;
  }
  if (reopen) {
    ShutDevice(record);
    OpenRecordAndReport(record);
  }
  RunQueuedRequests(record);
  return true;
}

// Takes turns until no wake came meanwhile. The caller has put the record
// into g_atWork.
void Work(DeviceRecord& record, bool opening) {
  if (opening) OpenRecordAndReport(record);
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(g_workMu);
      g_wokenAgain.erase(&record);
    }
    bool alive = Turn(record);
    std::lock_guard<std::mutex> hold(g_workMu);
    if (!alive) {
      g_atWork.erase(&record);
      break;
    }
    if (!g_wokenAgain.count(&record)) {
      g_atWork.erase(&record);
      return;
    }
  }
  // Ended: the thread's reference goes.
  ReleaseDeviceRecord(&record);
}

DeviceStatus g_lastOutcome = 0;
void CaptureOutcome(uint64_t, DeviceStatus status) { g_lastOutcome = status; }

}  // namespace

void ResetFakeChannel(DeviceTable& table) {
  g_channel.table = &table;
  g_channel.failOpen.clear();
  g_channel.duringOpen = nullptr;
  std::lock_guard<std::mutex> hold(g_channel.mu);
  g_channel.opens.clear();
  g_channel.closes.clear();
  g_channel.closedRecords.clear();
  g_channel.devices.clear();
}

bool (*g_refuseTransceiverThread)(DeviceRecord& record) = nullptr;

DeviceStatus StartTransceiver(DeviceRecord& record) {
  if (g_refuseTransceiverThread && g_refuseTransceiverThread(record)) {
    record.openStatus.store(FT_INSUFFICIENT_RESOURCES, std::memory_order_release);
    StopServing(record, FT_INSUFFICIENT_RESOURCES);
    return FT_INSUFFICIENT_RESOURCES;
  }
  {
    LockHold hold(record.lock);
    record.serving = 1;
  }
  HoldDeviceRecord(&record);
  {
    std::lock_guard<std::mutex> hold(g_workMu);
    g_atWork.insert(&record);
    g_started.insert(&record);
  }
  Work(record, true);
  return FT_OK;
}

void WakeTransceiver(DeviceRecord& record) {
  if (g_channel.wakesIgnored) return;
  {
    LockHold hold(record.lock);
    if (!record.serving) return;
  }
  {
    std::lock_guard<std::mutex> hold(g_workMu);
    if (!g_started.count(&record)) return;
    if (g_atWork.count(&record)) {
      g_wokenAgain.insert(&record);
      return;
    }
    g_atWork.insert(&record);
  }
  Work(record, false);
}

void MarkServing(DeviceRecord& record) {
  {
    std::lock_guard<std::mutex> hold(g_workMu);
    g_started.insert(&record);
  }
  record.openStatus.store(kStatusOk, std::memory_order_release);
  LockHold hold(record.lock);
  record.serving = 1;
}

DeviceStatus SendNow(DeviceTable& table, uint8_t iid, const Frame& frame) {
  SetRequestOutcomeSink(CaptureOutcome);
  DeviceStatus status = 0;
  if (TableSubmitRequest(table, iid, frame, 0, &status)) status = g_lastOutcome;
  return status;
}

void HandleRequestNow(const PipeRequest& request, uint8_t* reply, uint32_t& bytesToWrite) {
  SetRequestOutcomeSink(CaptureOutcome);
  if (HandleRequest(request, sizeof request, 0, reply, bytesToWrite)) {
    bytesToWrite = EncodeReply(g_lastOutcome, reply, kReplyBufferSize);
  }
}

DeviceStatus OpenDevice(const char* serial, DeviceRecord& record) {
  {
    ChannelCall call = Observe(serial, &record);
    std::lock_guard<std::mutex> hold(g_channel.mu);
    g_channel.opens.push_back(call);
  }
  if (g_channel.duringOpen) g_channel.duringOpen(record);
  std::string id = Upper(serial);
  if (g_channel.failOpen.count(id)) return FT_DEVICE_NOT_OPENED;
  std::unique_ptr<FakeDevice>& device = g_channel.devices[id];
  if (!device) device.reset(new FakeDevice);
  record.handle = AsHandle(*device);
  std::snprintf(record.serialNumber, sizeof record.serialNumber, "%s", id.c_str());
  return FT_OK;
}

DeviceStatus DrainDevice(DeviceRecord&) { return FT_OK; }

void ShutDevice(DeviceRecord& record) {
  // Known by the EEPROM serial number (which may fill its buffer without a
  // terminator), else by the one it arrived with.
  std::string serial(record.serialNumber, strnlen(record.serialNumber, kSerialNumberSize));
  if (serial.empty()) serial = record.pathSerial;
  ChannelCall call = Observe(serial, &record);
  {
    std::lock_guard<std::mutex> hold(g_channel.mu);
    g_channel.closes.push_back(call);
    g_channel.closedRecords.push_back(&record);
  }
  record.handle = nullptr;
}

void CloseDevice(DeviceRecord* record) {
  if (!record) return;
  ShutDevice(*record);
  DisposeDeviceRecord(record);
}

void DisposeDeviceRecord(DeviceRecord* record) {
  {
    std::lock_guard<std::mutex> hold(g_workMu);
    g_started.erase(record);
  }
  FreeDeviceRecord(record);
}
