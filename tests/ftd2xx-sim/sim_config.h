// The simulated driver library's configuration: which transceivers are
// plugged in and how each one behaves. Parsed from the text of
// ftd2xx-sim.txt (see README.md in this folder for the format).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kSimMaxDevices = 128;
constexpr size_t kSimSerialSize = 16;        // at most 15 characters, as in an EEPROM
constexpr size_t kSimManufacturerSize = 32;  // the usual EEPROM string buffers
constexpr size_t kSimDescriptionSize = 64;
constexpr size_t kSimMaxAnswer = 1024;

struct SimDevice {
  char serial[kSimSerialSize];
  uint16_t vid;
  uint16_t pid;
  char manufacturer[kSimManufacturerSize];
  char description[kSimDescriptionSize];
  uint32_t openStatus;   // what opening this serial returns
  uint32_t modem;        // modem status once the transceiver is ready
  uint32_t busy;         // polls after each write (and the open) that read 0x20
  uint32_t chunk;        // most bytes one write accepts; 0: all
  uint32_t writeStatus;  // what every write returns
  uint32_t hang;         // not 0: writes and modem-status polls block until the line goes
  uint32_t hangPulled;   // not 0: a hung call of a handle pulled out goes on hanging while
                         // the serial's line is missing or has this key
  uint32_t hangRead;     // not 0: queue-status queries and reads block until the line goes
  uint32_t hangOpen;     // not 0: an open blocks until the line goes or loses hangopen
  uint8_t answer[kSimMaxAnswer];
  uint32_t answerLength;  // queued after every successful write
  // A telegram the transceiver hears without being written to: each open
  // handle queues it once whenever the (hearSeq, hear) pair differs from the
  // last pair that handle acted on (see README.md).
  uint8_t hear[kSimMaxAnswer];
  uint32_t hearLength;
  uint32_t hearSeq;
  bool listens;  // the line has `hear` or `hearseq`: its open starts the watcher
};

struct SimConfig {
  SimDevice devices[kSimMaxDevices];
  int count;
};

// Parses the whole configuration text (not NUL-terminated). A line that is
// malformed in any way (unknown keyword or key, bad number, value too long,
// more than kSimMaxDevices devices) is left out as a whole, so a mistake in a
// test's configuration shows up as a transceiver that cannot be opened
// rather than as one that quietly behaves differently. A second line with a
// serial number already seen is left out too.
void ParseSimConfig(const char* text, size_t size, SimConfig& out);

// The device with this serial number, compared ignoring ASCII case, or null.
const SimDevice* FindSimDevice(const SimConfig& config, const char* serial);
