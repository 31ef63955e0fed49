// %ProgramData%\ZARVO Remote\devices.ini: names, kinds and the transceiver
// for the devices the bridge shows, read by our own parser (Windows' profile
// functions read the file in the ANSI code page and would garble the UTF-8
// that Notepad writes).
//
//   file     = [BOM] *line              UTF-8, BOM EF BB BF optional
//   line     = blank | comment | section | setting, ending in LF or CR LF
//   comment  = ("#" / ";") anything     only as the first non-blank character
//   section  = "[" words "]"            words separated by blanks
//   setting  = key "=" value            blanks around key and value ignored
//
//   [bridge]                 autocreate = all | sent | none   (default all)
//   [fs20 <hc> <addr>]       hc 8 and addr 4 digits 1-4 (FS20 notation)
//                            name = <text>
//                            kind = light | switch | motion | door | window |
//                                   opening | button       (default light)
//                            transceiver = <serial number>
//                            ignore = yes | no | true | false | 1 | 0
//   [sensor <type> <name>]   type temp-hum | temp | water | smoke | door |
//                            gas | co | breaker | other; the name is the rest
//                            of the header (blanks inside kept)
//                            id = <4 hex digits>   (update after a battery
//                                                   change)
//                            kind = door | window | opening   (door sensors)
//                            ignore = ...
//   [heating <code>]         code 4 hex digits; name =, ignore =
//   [weather <serial>]       the transceiver's serial; name =, ignore =
//
// Section words and keys are compared without regard to case; names keep
// their UTF-8 exactly ("Küche"). A line that cannot be used gets an error
// with its line number and is skipped; nothing is fatal. A setting under a
// section that was refused is skipped without a further error.
//
// Plain function on caller-owned records: safe on any thread, never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kDevicesIniMaxBytes = 256 * 1024;
constexpr size_t kDevicesIniMaxLine = 1024;
constexpr size_t kDevicesIniMaxSections = 2000;
constexpr size_t kDevicesIniMaxName = 128;  // bytes of UTF-8
constexpr size_t kDevicesIniMaxErrors = 100;

enum AutoCreate : uint8_t { kAutoCreateAll = 0, kAutoCreateSent, kAutoCreateNone };

enum Fs20Kind : uint8_t {
  kKindLight = 0,
  kKindSwitch,
  kKindMotion,
  kKindDoor,
  kKindWindow,
  kKindOpening,
  kKindButton,
};

struct Fs20Device {
  std::string hc;    // 8 digits
  std::string addr;  // 4 digits
  std::string name;  // empty: not named
  Fs20Kind kind = kKindLight;
  std::string transceiver;  // serial number, empty: the lowest present
  bool ignore = false;
  int line = 0;
};

struct SensorDevice {
  std::string type;  // temp-hum temp water smoke door gas co breaker other
  std::string name;
  std::string id;    // upper-case hex; empty until set
  Fs20Kind kind = kKindDoor;  // door, window or opening: for door sensors
  bool ignore = false;
  int line = 0;
};

// A heating or weather section: keyed by its code or serial.
struct NamedDevice {
  std::string key;
  std::string name;
  bool ignore = false;
  int line = 0;
};

struct DevicesConfig {
  AutoCreate autocreate = kAutoCreateAll;
  std::vector<Fs20Device> fs20;
  std::vector<SensorDevice> sensors;
  std::vector<NamedDevice> heating;
  std::vector<NamedDevice> weather;
};

struct IniError {
  int line;          // 1-based; 0 for the file as a whole
  std::string text;  // ASCII, one sentence
};

// Fills `config` from the file's bytes and appends one error per line that
// was skipped (at most kDevicesIniMaxErrors, then one saying more were left
// out). A file larger than kDevicesIniMaxBytes is not read at all: the
// defaults and one error. Returns true when no error was found.
bool ParseDevicesIni(const char* data, size_t size, DevicesConfig& config,
                     std::vector<IniError>& errors);

// Lookups for the engine: null when the file does not mention it.
const Fs20Device* FindFs20Device(const DevicesConfig& config, const std::string& hc,
                                 const std::string& addr);
const SensorDevice* FindSensorById(const DevicesConfig& config, const std::string& type,
                                   const std::string& id);
const NamedDevice* FindNamed(const std::vector<NamedDevice>& list, const std::string& key);

// The words of the files and the state lines: "light" for kKindLight, ...
const char* Fs20KindName(Fs20Kind kind);
bool IsSensorType(const std::string& type);
// 8 digits 1-4 (house code) or 4 (address).
bool IsFs20Notation(const std::string& text, size_t digits);
