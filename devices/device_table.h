// The transceiver record, the table of transceivers and the service's one
// global context.
//
// Threads and what guards what:
// - The table (`entries`, `count`) is changed on the service control thread
//   (device events, stop) and, at start, on the service main thread
//   (discovery); it is read on the pipe server thread for every request.
//   `DeviceTable::guard` serialises all of that: a request holds it from the
//   lookup to the end of SendFrame, so a record can only be taken out of the
//   table, and then closed and freed, when no request is writing to it.
// - A record's receive state (`rx*`) is touched only by its reader thread,
//   under the record's `lock`.
// - The driver handle is written once by OpenDevice before the record becomes
//   reachable from the table, and closed by CloseDevice after it has left it.
#pragma once

#include <cstdint>
#include <mutex>

#include "devices/d2xx.h"

constexpr int kMaxDevices = 64;
constexpr size_t kSerialNumberSize = 16;
constexpr size_t kManufacturerSize = 32;
constexpr size_t kManufacturerIdSize = 16;
constexpr size_t kDescriptionSize = 64;
constexpr size_t kRxBufferSize = 512;

struct DeviceRecord {
  FT_HANDLE handle;   // set by OpenDevice's open call; closed by CloseDevice
  void* rxEvent;      // auto-reset event the driver signals on received data
  void* stopEvent;    // auto-reset event for the reader-thread stop handshake
  int32_t notifyArmed;  // 1 once the driver was asked to signal rxEvent
  int32_t closing;      // 1 once CloseDevice has begun
  // Receive state: reader thread only, under `lock`.
  uint8_t rxBuf[kRxBufferSize];
  uint16_t rxCount;      // bytes stored in rxBuf
  uint16_t rxExpected;   // the length byte of the frame being received
  uint16_t rxBodyCount;  // bytes received after the length byte
  std::mutex lock;       // held by the reader thread while it drains
  int32_t rxState;       // 0 hunting, 1 start byte seen, 2 collecting
  // EEPROM strings, filled through `eeprom`'s pointers by OpenDevice.
  char serialNumber[kSerialNumberSize];
  char manufacturer[kManufacturerSize];
  char manufacturerId[kManufacturerIdSize];
  char description[kDescriptionSize];
  uint8_t instance;  // table slot at creation; diagnostic trace only
  FtProgramData eeprom;
  // The reader thread, kept so that CloseDevice can wait until it has ended
  // before it closes the events and frees the record. Control thread only.
  void* readerThread;
};

struct DeviceTable {
  DeviceRecord* entries[kMaxDevices];  // slots 0..count-1 live, in arrival order
  int32_t count;
  std::mutex guard;  // see the file comment
};

// The service status block, laid out word for word as SERVICE_STATUS.
struct ServiceStatusBlock {
  uint32_t serviceType;
  uint32_t currentState;
  uint32_t controlsAccepted;
  uint32_t win32ExitCode;
  uint32_t serviceSpecificExitCode;
  uint32_t checkPoint;
  uint32_t waitHint;
};

struct ServiceContext {
  ServiceStatusBlock status;  // service host only
  void* statusHandle;         // SERVICE_STATUS_HANDLE; service host only
  void* notifyHandle;         // HDEVNOTIFY; service host only
  DeviceTable devices;
};

// The one global of the service program.
extern ServiceContext g_context;

// Allocates a record as a new arrival needs it: everything zero, `instance`
// set, and the EEPROM record preset with its signatures and its string
// pointers aimed at the record's own buffers. Returns null when memory is out.
DeviceRecord* CreateDeviceRecord(uint8_t instance);
// Frees a record made by CreateDeviceRecord (nothing else is released).
void FreeDeviceRecord(DeviceRecord* record);

// Appends a record after the last live slot. Returns false, and leaves the
// table as it was, when all 64 slots are taken.
bool TableAppend(DeviceTable& table, DeviceRecord* record);
// Number of live slots, read under the guard.
int TableCount(DeviceTable& table);
// True when a live record's serial number equals `serial`, ignoring ASCII
// case. An empty serial number never matches.
bool TableHasSerial(DeviceTable& table, const char* serial);
// Takes the first live record whose serial number equals `serial` (ignoring
// ASCII case) out of the table, moving later records down one slot, and
// returns it; null when none matches. The caller closes and frees it.
DeviceRecord* TableTakeBySerial(DeviceTable& table, const char* serial);
// Takes every record out of the table, in slot order, into `out`; returns
// how many. Afterwards the table is empty.
int TableTakeAll(DeviceTable& table, DeviceRecord* out[kMaxDevices]);
// Writes a frame to the transceiver in slot `iid` while holding the guard;
// kStatusDeviceNotFound (2) when the slot is not live.
uint32_t TableSendFrame(DeviceTable& table, uint8_t iid, const struct Frame& frame);

// Equality of two 8-bit texts ignoring the case of ASCII letters only.
bool TextEqualsIgnoreCase(const char* a, const char* b);
