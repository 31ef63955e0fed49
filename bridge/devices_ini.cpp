#include "bridge/devices_ini.h"

#include <cstdio>

namespace {

enum SectionKind { kNone, kRefused, kBridge, kFs20, kSensor, kHeating, kWeather };

struct Parser {
  DevicesConfig& config;
  std::vector<IniError>& errors;
  size_t errorCount = 0;
  size_t sections = 0;
  SectionKind section = kNone;
  size_t index = 0;  // the current section's entry in its list
};

void Error(Parser& p, int line, const std::string& text) {
  ++p.errorCount;
  if (p.errorCount <= kDevicesIniMaxErrors) {
    p.errors.push_back(IniError{line, text});
  } else if (p.errorCount == kDevicesIniMaxErrors + 1) {
    p.errors.push_back(IniError{line, "More errors follow; they are not listed."});
  }
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(const std::string& s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// The next blank-separated word from `at`; `at` moves past it.
std::string Word(const std::string& s, size_t& at) {
  while (at < s.size() && IsBlank(s[at])) ++at;
  size_t b = at;
  while (at < s.size() && !IsBlank(s[at])) ++at;
  return s.substr(b, at - b);
}

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t more;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      more = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + more >= s.size()) return false;
    for (size_t k = 1; k <= more; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((more == 1 && cp < 0x80) || (more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;
    }
    i += more + 1;
  }
  return true;
}

bool IsHex(const std::string& s, size_t digits) {
  if (s.size() != digits) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string UpperAscii(const std::string& s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool ParseBool(const std::string& value, bool& out) {
  std::string v = LowerAscii(value);
  if (v == "yes" || v == "true" || v == "1") {
    out = true;
  } else if (v == "no" || v == "false" || v == "0") {
    out = false;
  } else {
    return false;
  }
  return true;
}

bool ParseKind(const std::string& value, Fs20Kind& out) {
  std::string v = LowerAscii(value);
  for (int k = kKindLight; k <= kKindButton; ++k) {
    if (v == Fs20KindName(static_cast<Fs20Kind>(k))) {
      out = static_cast<Fs20Kind>(k);
      return true;
    }
  }
  return false;
}

// A section header's text between the brackets.
void OpenSection(Parser& p, int line, const std::string& inside) {
  p.section = kRefused;
  if (p.sections >= kDevicesIniMaxSections) {
    Error(p, line, "Too many sections; this one and the rest of the file are skipped.");
    return;
  }
  ++p.sections;
  size_t at = 0;
  std::string kind = LowerAscii(Word(inside, at));
  if (kind == "bridge") {
    if (!Trim(inside.substr(at)).empty()) {
      Error(p, line, "[bridge] takes no further words; section skipped.");
      return;
    }
    p.section = kBridge;
  } else if (kind == "fs20") {
    std::string hc = Word(inside, at);
    std::string addr = Word(inside, at);
    if (!IsFs20Notation(hc, 8) || !IsFs20Notation(addr, 4) || !Trim(inside.substr(at)).empty()) {
      Error(p, line, "Expected [fs20 <house code, 8 digits 1-4> <address, 4 digits 1-4>]; "
                     "section skipped.");
      return;
    }
    if (FindFs20Device(p.config, hc, addr) != nullptr) {
      Error(p, line, "This address has a section already; section skipped.");
      return;
    }
    Fs20Device d;
    d.hc = hc;
    d.addr = addr;
    d.line = line;
    p.config.fs20.push_back(d);
    p.index = p.config.fs20.size() - 1;
    p.section = kFs20;
  } else if (kind == "sensor") {
    std::string type = LowerAscii(Word(inside, at));
    std::string name = Trim(inside.substr(at));
    if (!IsSensorType(type) || name.empty()) {
      Error(p, line, "Expected [sensor <type> <name>] with type temp-hum, temp, water, smoke, "
                     "door, gas, co, breaker or other; section skipped.");
      return;
    }
    if (name.size() > kDevicesIniMaxName) {
      Error(p, line, "The sensor's name is longer than 128 bytes; section skipped.");
      return;
    }
    for (const SensorDevice& s : p.config.sensors) {
      if (s.type == type && s.name == name) {
        Error(p, line, "A sensor of this type has this name already; section skipped.");
        return;
      }
    }
    SensorDevice s;
    s.type = type;
    s.name = name;
    s.line = line;
    p.config.sensors.push_back(s);
    p.index = p.config.sensors.size() - 1;
    p.section = kSensor;
  } else if (kind == "heating" || kind == "weather") {
    std::string key = Word(inside, at);
    bool heating = kind == "heating";
    if (heating) key = UpperAscii(key);
    if (key.empty() || !Trim(inside.substr(at)).empty() || (heating && !IsHex(key, 4))) {
      Error(p, line, heating ? "Expected [heating <code, 4 hex digits>]; section skipped."
                             : "Expected [weather <transceiver serial number>]; section skipped.");
      return;
    }
    std::vector<NamedDevice>& list = heating ? p.config.heating : p.config.weather;
    if (FindNamed(list, key) != nullptr) {
      Error(p, line, "This device has a section already; section skipped.");
      return;
    }
    NamedDevice d;
    d.key = key;
    d.line = line;
    list.push_back(d);
    p.index = list.size() - 1;
    p.section = heating ? kHeating : kWeather;
  } else {
    Error(p, line, "Unknown section; expected bridge, fs20, sensor, heating or weather. "
                   "Section skipped.");
  }
}

void Setting(Parser& p, int line, const std::string& key, const std::string& value) {
  const std::string unknown = "Unknown key \"" + key + "\" here; line skipped.";
  bool flag = false;
  switch (p.section) {
    case kNone:
      Error(p, line, "A setting before the first section; line skipped.");
      return;
    case kRefused:
      return;
    case kBridge:
      if (key != "autocreate") {
        Error(p, line, unknown);
      } else if (LowerAscii(value) == "all") {
        p.config.autocreate = kAutoCreateAll;
      } else if (LowerAscii(value) == "sent") {
        p.config.autocreate = kAutoCreateSent;
      } else if (LowerAscii(value) == "none") {
        p.config.autocreate = kAutoCreateNone;
      } else {
        Error(p, line, "autocreate must be all, sent or none; line skipped.");
      }
      return;
    default:
      break;
  }
  if (key == "ignore") {
    if (!ParseBool(value, flag)) {
      Error(p, line, "ignore must be yes, no, true, false, 1 or 0; line skipped.");
      return;
    }
    switch (p.section) {
      case kFs20: p.config.fs20[p.index].ignore = flag; break;
      case kSensor: p.config.sensors[p.index].ignore = flag; break;
      case kHeating: p.config.heating[p.index].ignore = flag; break;
      default: p.config.weather[p.index].ignore = flag; break;
    }
    return;
  }
  if (key == "name" && p.section != kSensor) {
    if (value.size() > kDevicesIniMaxName) {
      Error(p, line, "The name is longer than 128 bytes; line skipped.");
      return;
    }
    switch (p.section) {
      case kFs20: p.config.fs20[p.index].name = value; break;
      case kHeating: p.config.heating[p.index].name = value; break;
      default: p.config.weather[p.index].name = value; break;
    }
    return;
  }
  if (p.section == kFs20 && key == "kind") {
    if (!ParseKind(value, p.config.fs20[p.index].kind)) {
      Error(p, line, "kind must be light, switch, motion, door, window, opening or button; "
                     "line skipped.");
    }
    return;
  }
  if (p.section == kFs20 && key == "transceiver") {
    bool ok = !value.empty() && value.size() <= 64;
    for (char c : value) ok = ok && c > 0x20 && c < 0x7F;
    if (!ok) {
      Error(p, line, "transceiver must be a serial number (printable ASCII, no blanks); "
                     "line skipped.");
      return;
    }
    p.config.fs20[p.index].transceiver = value;
    return;
  }
  if (p.section == kSensor && key == "id") {
    if (!IsHex(value, 4)) {
      Error(p, line, "id must be 4 hex digits, as in the state lines (id=B16D); line skipped.");
      return;
    }
    p.config.sensors[p.index].id = UpperAscii(value);
    return;
  }
  if (p.section == kSensor && key == "kind") {
    Fs20Kind kind = kKindDoor;
    if (!ParseKind(value, kind) || (kind != kKindDoor && kind != kKindWindow && kind != kKindOpening)) {
      Error(p, line, "A sensor's kind must be door, window or opening; line skipped.");
      return;
    }
    p.config.sensors[p.index].kind = kind;
    return;
  }
  Error(p, line, unknown);
}

void ParseLine(Parser& p, int line, std::string text) {
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.size() > kDevicesIniMaxLine) {
    Error(p, line, "The line is longer than 1024 bytes; line skipped.");
    return;
  }
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7F) {
      Error(p, line, "The line holds a control character; line skipped.");
      return;
    }
  }
  if (!ValidUtf8(text)) {
    Error(p, line, "The line is not UTF-8 (save the file as UTF-8); line skipped.");
    return;
  }
  std::string t = Trim(text);
  if (t.empty() || t[0] == '#' || t[0] == ';') return;
  if (t[0] == '[') {
    if (t.back() != ']') {
      p.section = kRefused;
      Error(p, line, "A section header must end in \"]\"; section skipped.");
      return;
    }
    OpenSection(p, line, t.substr(1, t.size() - 2));
    return;
  }
  size_t eq = t.find('=');
  if (eq == std::string::npos) {
    Error(p, line, "Expected key = value, a [section], or a comment; line skipped.");
    return;
  }
  Setting(p, line, LowerAscii(Trim(t.substr(0, eq))), Trim(t.substr(eq + 1)));
}

}  // namespace

bool ParseDevicesIni(const char* data, size_t size, DevicesConfig& config,
                     std::vector<IniError>& errors) {
  config = DevicesConfig{};
  size_t before = errors.size();
  if (size > kDevicesIniMaxBytes) {
    errors.push_back(IniError{0, "The file is larger than 256 KiB and was not read."});
    return false;
  }
  if (data == nullptr) size = 0;
  Parser p{config, errors};
  size_t at = 0;
  if (size >= 3 && static_cast<unsigned char>(data[0]) == 0xEF &&
      static_cast<unsigned char>(data[1]) == 0xBB && static_cast<unsigned char>(data[2]) == 0xBF) {
    at = 3;
  }
  int line = 1;
  while (at < size) {
    size_t end = at;
    while (end < size && data[end] != '\n') ++end;
    // A line far past the limit is not copied whole: its first bytes are
    // enough to refuse it.
    size_t keep = end - at;
    if (keep > kDevicesIniMaxLine + 2) keep = kDevicesIniMaxLine + 2;
    ParseLine(p, line, std::string(data + at, keep));
    at = end + 1;
    ++line;
  }
  return errors.size() == before;
}

const Fs20Device* FindFs20Device(const DevicesConfig& config, const std::string& hc,
                                 const std::string& addr) {
  for (const Fs20Device& d : config.fs20) {
    if (d.hc == hc && d.addr == addr) return &d;
  }
  return nullptr;
}

const SensorDevice* FindSensorById(const DevicesConfig& config, const std::string& type,
                                   const std::string& id) {
  for (const SensorDevice& s : config.sensors) {
    if (s.type == type && !s.id.empty() && s.id == id) return &s;
  }
  return nullptr;
}

const NamedDevice* FindNamed(const std::vector<NamedDevice>& list, const std::string& key) {
  for (const NamedDevice& d : list) {
    if (d.key == key) return &d;
  }
  return nullptr;
}

const char* Fs20KindName(Fs20Kind kind) {
  switch (kind) {
    case kKindSwitch: return "switch";
    case kKindMotion: return "motion";
    case kKindDoor: return "door";
    case kKindWindow: return "window";
    case kKindOpening: return "opening";
    case kKindButton: return "button";
    default: return "light";
  }
}

bool IsSensorType(const std::string& type) {
  static const char* const kTypes[] = {"temp-hum", "temp", "water", "smoke",  "door",
                                       "gas",      "co",   "breaker", "other"};
  for (const char* t : kTypes) {
    if (type == t) return true;
  }
  return false;
}

bool IsFs20Notation(const std::string& text, size_t digits) {
  if (text.size() != digits) return false;
  for (char c : text) {
    if (c < '1' || c > '4') return false;
  }
  return true;
}
