// A stand-in for the Windows device channel, linked into the hot-plug tests in
// place of devices/win/. OpenDevice behaves like a successful open (the
// record's serialNumber filled as the EEPROM read would, upper case, and its
// handle aimed at a FakeDevice of fake_d2xx) unless the test made that serial
// number fail; CloseDevice frees the record. Both record what they saw.
// CloseDevice may run on any thread (whoever releases a record last); the
// lists are guarded by `mu`, and tests read them once those threads ended.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "devices/device_table.h"
#include "devices/tests/fake_d2xx.h"

struct ChannelCall {
  std::string serial;      // OpenDevice: the serial handed in; CloseDevice: the record's
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
  std::mutex mu;  // guards the two lists below
  std::vector<ChannelCall> opens;
  std::vector<ChannelCall> closes;
  std::vector<const DeviceRecord*> closedRecords;  // in the order of `closes`
  // One fake transceiver per upper-case serial number, for the frame writes.
  std::map<std::string, std::unique_ptr<FakeDevice>> devices;
};

// The channel the fake functions use; each test resets it.
extern FakeChannel g_channel;

void ResetFakeChannel(DeviceTable& table);
