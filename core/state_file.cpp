#include "core/state_file.h"

#include <cstring>

#include "core/event_line.h"
#include "core/frame.h"
#include "core/fs20_level.h"

namespace {

// A piece of the line, never NUL-terminated.
struct Text {
  const char* at;
  size_t length;
};

bool Is(const Text& t, const char* word) {
  size_t n = std::strlen(word);
  return t.length == n && std::memcmp(t.at, word, n) == 0;
}

// More fields than any kind writes, for lines that grow later.
constexpr size_t kMaxFields = 32;

struct Fields {
  Text name[kMaxFields];
  Text value[kMaxFields];
  size_t count;
};

// " name=value" pairs up to the line's end: each name and value not empty,
// of printable characters other than space and "=" in names; a name given
// twice spoils the line.
bool SplitFields(const char* at, const char* end, Fields& f) {
  f.count = 0;
  while (at < end) {
    if (*at != ' ' || f.count == kMaxFields) return false;
    const char* name = ++at;
    while (at < end && *at != '=' && *at != ' ') ++at;
    if (at == end || *at != '=' || at == name) return false;
    const char* value = ++at;
    while (at < end && *at != ' ') ++at;
    if (at == value) return false;
    Text n{name, static_cast<size_t>(value - 1 - name)};
    for (size_t i = 0; i < f.count; ++i) {
      if (f.name[i].length == n.length && std::memcmp(f.name[i].at, n.at, n.length) == 0) {
        return false;
      }
    }
    f.name[f.count] = n;
    f.value[f.count] = Text{value, static_cast<size_t>(at - value)};
    ++f.count;
  }
  return true;
}

const Text* Get(const Fields& f, const char* name) {
  for (size_t i = 0; i < f.count; ++i) {
    if (Is(f.name[i], name)) return &f.value[i];
  }
  return nullptr;
}

// Whole numbers as the lines write them: digits, no sign, no leading zero.
bool Whole(const Text* t, uint32_t max, uint32_t& out) {
  if (t == nullptr || t->length == 0 || t->length > 9) return false;
  if (t->length > 1 && t->at[0] == '0') return false;
  uint32_t v = 0;
  for (size_t i = 0; i < t->length; ++i) {
    char c = t->at[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > max) return false;
  out = v;
  return true;
}

// Tenths as the lines write them: [-]digits "." one digit.
bool Tenths(const Text* t, int32_t min, int32_t max, int32_t& out) {
  if (t == nullptr || t->length < 3) return false;
  bool negative = t->at[0] == '-';
  size_t at = negative ? 1 : 0;
  if (t->length - at < 3 || t->at[t->length - 2] != '.') return false;
  Text whole{t->at + at, t->length - at - 2};
  char tenth = t->at[t->length - 1];
  uint32_t units = 0;
  if (tenth < '0' || tenth > '9' || !Whole(&whole, 100000, units)) return false;
  int32_t v = static_cast<int32_t>(units * 10 + static_cast<uint32_t>(tenth - '0'));
  if (negative) v = -v;
  if (v < min || v > max) return false;
  out = v;
  return true;
}

bool Level(const Text* t, bool unknownAllowed, uint8_t& out) {
  if (t != nullptr && unknownAllowed && Is(*t, "unknown")) {
    out = kLevelUnknown;
    return true;
  }
  uint32_t v = 0;
  if (!Whole(t, kLevelFull, v)) return false;
  out = static_cast<uint8_t>(v);
  return true;
}

// One of `words`, by its index.
template <size_t N>
bool Word(const Text* t, const char* const (&words)[N], uint8_t& out) {
  if (t == nullptr) return false;
  for (size_t i = 0; i < N; ++i) {
    if (Is(*t, words[i])) {
      out = static_cast<uint8_t>(i);
      return true;
    }
  }
  return false;
}

bool Flag(const Text* t, uint8_t& out) {
  static const char* const kFlag[] = {"0", "1"};
  return Word(t, kFlag, out);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Upper-case hex digits, as the lines write them, into `count` bytes.
bool HexBytes(const Text* t, uint8_t* out, size_t count) {
  if (t == nullptr || t->length != 2 * count) return false;
  for (size_t i = 0; i < count; ++i) {
    int high = HexDigit(t->at[2 * i]);
    int low = HexDigit(t->at[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

// FS20 notation: four digits 1 to 4 for each byte.
bool Notation(const Text* t, uint8_t* out, size_t count) {
  if (t == nullptr || t->length != 4 * count) return false;
  for (size_t i = 0; i < count; ++i) {
    uint16_t digits = 0;
    for (size_t j = 0; j < 4; ++j) {
      char c = t->at[4 * i + j];
      if (c < '1' || c > '4') return false;
      digits = static_cast<uint16_t>(digits * 10 + (c - '0'));
    }
    out[i] = NotationToByte(digits);
  }
  return true;
}

bool Via(const Text* t, char (&via)[kStateViaMax + 1]) {
  if (t == nullptr || t->length > kStateViaMax) return false;
  size_t n = Is(*t, "-") ? 0 : t->length;
  std::memcpy(via, t->at, n);
  via[n] = '\0';
  return true;
}

bool ReadFs20(const Fields& f, Fs20State& s) {
  if (!Notation(Get(f, "hc"), s.houseCode, 2) || !Notation(Get(f, "addr"), &s.address, 1) ||
      !Level(Get(f, "level"), true, s.level) || !Level(Get(f, "before"), true, s.before) ||
      !Level(Get(f, "last"), false, s.last) || s.last == 0) {
    return false;
  }
  // pct= is the level in %: a value that disagrees is damage.
  const Text* pct = Get(f, "pct");
  uint32_t percent = 0;
  if (pct != nullptr &&
      (s.level == kLevelUnknown || !Whole(pct, 100, percent) || percent != LevelPercent(s.level))) {
    return false;
  }
  const Text* until = Get(f, "until");
  const Text* then = Get(f, "then");
  s.then = kLevelUnknown;
  if (until == nullptr && then == nullptr) return true;
  if (until == nullptr || !ParseEventTime(until->at, until->length, s.untilMs) ||
      !Level(then, true, s.then)) {
    return false;
  }
  s.timerPending = 1;
  return true;
}

bool ReadHms(const Fields& f, HmsState& s) {
  static const char* const kBattery[] = {"ok", "low", "new"};
  uint8_t battery = 0;
  const Text* type = Get(f, "type");
  if (!HexBytes(Get(f, "id"), s.id, 2) || type == nullptr || type->length != 1 ||
      HexDigit(type->at[0]) < 0 || !Word(Get(f, "battery"), kBattery, battery)) {
    return false;
  }
  s.type = static_cast<uint8_t>(HexDigit(type->at[0]));
  s.battery = static_cast<HmsBattery>(battery);
  const Text* sensor = Get(f, "sensor");
  if (sensor == nullptr || !Is(*sensor, HmsSensorToken(HmsSensorOfType(s.type)))) return false;
  HmsReadings& r = s.readings;
  int32_t tenths = 0;
  if (const Text* temp = Get(f, "temp")) {
    if (!Tenths(temp, -999, 999, tenths)) return false;
    r.hasTemperature = 1;
    r.temperatureTenths = static_cast<int16_t>(tenths);
  }
  if (const Text* hum = Get(f, "hum")) {
    if (!Tenths(hum, 0, 999, tenths)) return false;
    r.hasHumidity = 1;
    r.humidityTenths = static_cast<uint16_t>(tenths);
  }
  if (const Text* alarm = Get(f, "alarm")) {
    if (!Flag(alarm, r.alarm)) return false;
    r.hasAlarm = 1;
  }
  return true;
}

bool ReadFht(const Fields& f, FhtState& s) {
  if (!HexBytes(Get(f, "code"), s.code, 2)) return false;
  int32_t tenths = 0;
  uint32_t whole = 0;
  if (const Text* measured = Get(f, "measured")) {
    if (!Tenths(measured, 0, 65535, tenths)) return false;
    s.hasMeasured = 1;
    s.measuredTenths = static_cast<uint16_t>(tenths);
  }
  if (const Text* desired = Get(f, "desired")) {
    if (!Tenths(desired, 0, 255 * 5, tenths)) return false;
    s.hasDesired = 1;
    s.desiredTenths = static_cast<uint16_t>(tenths);
  }
  if (const Text* valve = Get(f, "valve")) {
    if (!Whole(valve, 100, whole)) return false;
    s.hasValve = 1;
    s.valvePercent = static_cast<uint8_t>(whole);
  }
  if (const Text* mode = Get(f, "mode")) {
    static const char* const kModes[] = {"auto", "manual", "holiday", "holiday-short"};
    uint8_t m = 0;
    if (!Word(mode, kModes, m)) return false;
    s.hasMode = 1;
    s.mode = static_cast<FhtMode>(m);
  }
  // The four warnings come from one register: all of them or none.
  const Text* window = Get(f, "window");
  const Text* battery = Get(f, "battery");
  const Text* cold = Get(f, "cold");
  const Text* sensor = Get(f, "window-sensor");
  if (window == nullptr && battery == nullptr && cold == nullptr && sensor == nullptr) return true;
  static const char* const kWindow[] = {"closed", "open"};
  static const char* const kBattery[] = {"ok", "low"};
  static const char* const kSensor[] = {"ok", "fault"};
  uint8_t open = 0, low = 0, tooCold = 0, fault = 0;
  if (!Word(window, kWindow, open) || !Word(battery, kBattery, low) || !Flag(cold, tooCold) ||
      !Word(sensor, kSensor, fault)) {
    return false;
  }
  s.hasWarnings = 1;
  s.warnings = static_cast<uint8_t>((open ? kFhtWindowOpen : 0) | (low ? kFhtBatteryLow : 0) |
                                    (tooCold ? kFhtTooCold : 0) |
                                    (fault ? kFhtWindowSensorFault : 0));
  return true;
}

bool ReadWeather(const Fields& f, WeatherReadings& r) {
  int32_t tenths = 0;
  uint32_t whole = 0;
  if (const Text* temp = Get(f, "temp")) {
    if (!Tenths(temp, -999, 999, tenths)) return false;
    r.hasTemperature = 1;
    r.temperatureTenths = static_cast<int16_t>(tenths);
  }
  if (const Text* hum = Get(f, "hum")) {
    if (!Whole(hum, 99, whole)) return false;
    r.hasHumidity = 1;
    r.humidity = static_cast<uint8_t>(whole);
  }
  if (const Text* wind = Get(f, "wind")) {
    if (!Tenths(wind, 0, 1999, tenths)) return false;
    r.hasWind = 1;
    r.windTenths = static_cast<uint16_t>(tenths);
  }
  // rain= is worked out from the counter: a value that disagrees is damage.
  if (!Whole(Get(f, "rain-count"), 4095, whole) || !Flag(Get(f, "raining"), r.raining)) {
    return false;
  }
  r.rainCount = static_cast<uint16_t>(whole);
  return Tenths(Get(f, "rain"), 0, 100000, tenths) &&
         static_cast<uint32_t>(tenths) == WeatherRainTenths(r.rainCount);
}

constexpr char kPrefix[] = " - - state";
constexpr size_t kTimeChars = 24;

}  // namespace

bool ParseStateLine(const char* line, size_t length, StateEntry& entry) {
  std::memset(&entry, 0, sizeof entry);
  const size_t prefix = kTimeChars + sizeof kPrefix - 1;
  if (line == nullptr || length < prefix || length > kEventLineMax - 2) return false;
  for (size_t i = 0; i < length; ++i) {
    if (line[i] < 0x20 || line[i] > 0x7E) return false;
  }
  if (!ParseEventTime(line, kTimeChars, entry.learnedMs) ||
      std::memcmp(line + kTimeChars, kPrefix, sizeof kPrefix - 1) != 0) {
    return false;
  }
  Fields f;
  if (!SplitFields(line + prefix, line + length, f)) return false;
  static const char* const kSources[] = {"sent", "heard", "answer", "timer", "restored"};
  uint8_t by = 0;
  if (!Word(Get(f, "by"), kSources, by) || !Via(Get(f, "via"), entry.via)) return false;
  entry.by = static_cast<StateSource>(by);
  const Text* kind = Get(f, "kind");
  if (kind == nullptr) return false;
  if (Is(*kind, "fs20")) {
    entry.kind = kStateFs20;
    return ReadFs20(f, entry.fs20);
  }
  if (Is(*kind, "hms")) {
    entry.kind = kStateHms;
    return ReadHms(f, entry.hms);
  }
  if (Is(*kind, "fht")) {
    entry.kind = kStateFht;
    return ReadFht(f, entry.fht);
  }
  if (Is(*kind, "weather")) {
    entry.kind = kStateWeather;
    return ReadWeather(f, entry.weather);
  }
  return false;
}

StateFileResult RestoreStateFile(StateTable& table, const uint8_t* bytes, size_t length,
                                 uint64_t nowMs) {
  StateTableClear(table);
  StateFileResult result = {0, 0, 0};
  if (bytes == nullptr) return result;
  const char* text = reinterpret_cast<const char*>(bytes);
  size_t at = 0;
  while (at < length) {
    const void* found = std::memchr(text + at, '\n', length - at);
    if (found == nullptr) {
      ++result.bad;  // the last line has no end: it may have been cut anywhere
      break;
    }
    size_t end = static_cast<size_t>(static_cast<const char*>(found) - text);
    size_t n = end - at;
    if (n > 0 && text[end - 1] == '\r') --n;
    StateEntry entry;
    if (n > 0) {
      if (!ParseStateLine(text + at, n, entry)) {
        ++result.bad;
      } else {
        entry.by = kByRestored;
        bool ranOut =
            entry.kind == kStateFs20 && entry.fs20.timerPending && entry.fs20.untilMs <= nowMs;
        if (ranOut) {
          entry.learnedMs = entry.fs20.untilMs;
          RunOutFs20Timer(entry.fs20);
        }
        if (!StatePutEntry(table, entry)) {
          ++result.bad;
        } else if (ranOut) {
          ++result.timersApplied;
        }
      }
    }
    at = end + 1;
  }
  result.restored = StateEntryCount(table);
  return result;
}
