// The devices.ini parser on arbitrary bytes, and the engine publishing the
// discovery configs of what it read.
//
// Invariants: every error names a line of the file (or 0 for the file as a
// whole) and says something; at most kDevicesIniMaxErrors + 1 errors; every
// entry read is well-formed (FS20 notation, a known sensor type, a 4-digit
// upper-case id or none, names of valid UTF-8 within the size limit). The
// engine then turns the file into configs: each is valid JSON or an empty
// clearing message, on a topic without wildcards or NUL.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/bridge_core.h"
#include "bridge/devices_ini.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool ValidUtf8(const std::string& s) {
  // The JSON library's own check: a dump with the strict handler throws on
  // invalid UTF-8.
  try {
    nlohmann::json(s).dump();
    return true;
  } catch (...) {
    return false;
  }
}

void CheckName(const std::string& name) {
  FUZZ_CHECK(name.size() <= kDevicesIniMaxName);
  FUZZ_CHECK(ValidUtf8(name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  DevicesConfig config;
  std::vector<IniError> errors;
  bool clean = ParseDevicesIni(text, size, config, errors);
  FUZZ_CHECK(clean == errors.empty());
  FUZZ_CHECK(errors.size() <= kDevicesIniMaxErrors + 1);
  size_t lines = 1;
  for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';
  for (const IniError& e : errors) {
    FUZZ_CHECK(e.line >= 0 && static_cast<size_t>(e.line) <= lines);
    FUZZ_CHECK(!e.text.empty());
  }
  for (const Fs20Device& d : config.fs20) {
    FUZZ_CHECK(IsFs20Notation(d.hc, 8) && IsFs20Notation(d.addr, 4));
    CheckName(d.name);
    FUZZ_CHECK(d.transceiver.size() <= 64);
  }
  for (const SensorDevice& s : config.sensors) {
    FUZZ_CHECK(IsSensorType(s.type));
    FUZZ_CHECK(!s.name.empty());
    CheckName(s.name);
    FUZZ_CHECK(s.id.empty() || s.id.size() == 4);
    for (char c : s.id) FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
  }
  for (const NamedDevice& d : config.heating) CheckName(d.name);
  for (const NamedDevice& d : config.weather) CheckName(d.name);

  BridgeCore core;
  BridgeSettings settings;
  settings.node = "fuzz";
  std::string reason;
  FUZZ_CHECK(BridgeInit(core, settings, reason));
  BridgeOutput out;
  BridgeOnConnected(core, out);
  BridgeSetDevices(core, config, out);
  BridgeSetDevices(core, DevicesConfig{}, out);
  for (const Publication& p : out.publications) {
    for (char c : p.topic) FUZZ_CHECK(c != '+' && c != '#' && c != '\0');
    if (!p.payload.empty() && p.payload != "online" && p.payload != "offline") {
      FUZZ_CHECK(!nlohmann::json::parse(p.payload, nullptr, false).is_discarded());
    }
  }
  return 0;
}
