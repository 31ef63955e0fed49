// A stand-in for the Windows device channel, linked into the unit tests and
// the pipe test host in place of devices/win/. It does a transceiver
// thread's work on the calling thread, at once: StartTransceiver opens the
// record's transceiver, and every wake serves its queue, a reopen or a
// close right there. OpenDevice behaves like a successful open (the
// record's serialNumber filled as the EEPROM read would, upper case, and its
// handle aimed at a FakeDevice of fake_d2xx) unless the test made that
// serial number fail; ShutDevice drops the handle. Both record what they
// saw. The lists are guarded by `mu`; tests read them once the threads that
// may add to them have ended.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/frame.h"
#include "core/request.h"
#include "devices/device_table.h"
#include "devices/tests/fake_d2xx.h"

struct ChannelCall {
  std::string serial;      // OpenDevice: the serial handed in; ShutDevice: the record's
  uint8_t instance;        // the record's instance
  bool guardWasFree;       // the table's guard could be taken during the call
  bool recordWasInTable;   // the record was reachable through a live slot
};

struct FakeChannel {
  DeviceTable* table = nullptr;      // watched for the two checks above
  std::set<std::string> failOpen;    // upper-case serial numbers whose open fails
  // Run inside OpenDevice, before it returns: lets a test act while an open
  // is under way.
  std::function<void(DeviceRecord&)> duringOpen;
  // While set, a wake serves nothing: queued requests wait, as behind a
  // transceiver thread that is held up outside any driver call.
  std::atomic<bool> wakesIgnored{false};
  std::mutex mu;  // guards the three lists below
  std::vector<ChannelCall> opens;
  std::vector<ChannelCall> closes;
  std::vector<const DeviceRecord*> closedRecords;  // in the order of `closes`
  // One fake transceiver per upper-case serial number, for the frame writes.
  std::map<std::string, std::unique_ptr<FakeDevice>> devices;
};

// The channel the fake functions use; each test resets it.
extern FakeChannel g_channel;

void ResetFakeChannel(DeviceTable& table);

// Makes a record that a test put into a table by hand take requests: its
// "thread" runs, and it counts as open.
void MarkServing(DeviceRecord& record);

// Queues a frame for slot `iid` and returns its outcome, which the stand-in
// decides before this returns.
DeviceStatus SendNow(DeviceTable& table, uint8_t iid, const Frame& frame);

// A request as the pipe server hands it over, answered at once: the reply
// text for the 10 request bytes.
void HandleRequestNow(const PipeRequest& request, uint8_t* reply, uint32_t& bytesToWrite);
