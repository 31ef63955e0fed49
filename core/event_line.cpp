#include "core/event_line.h"

#include <cstring>

namespace {

constexpr uint64_t kMsPerDay = 86400000;
// 10000-01-01T00:00:00.000Z less one millisecond.
constexpr uint64_t kLastWritableMs = 253402300799999;

// The longest line each part can make, to show that a heard line with all
// 255 raw bytes fits: TIME, IID ("2147483647"), SERIAL, and the longest
// fields of any kind.
constexpr size_t kTimeChars = 24;
constexpr size_t kIidChars = 10;
constexpr size_t kLongestName = sizeof "on-last-for-timer-then-previous" - 1;
constexpr size_t kFs20FieldChars = sizeof " kind=fs20 hc=12345678 addr=1234 cmd=FF name=" - 1 +
                                   kLongestName + sizeof " ext=FF timer=15360" - 1;
constexpr size_t kFhtFieldChars = sizeof " kind=fht code=FFFF reg=FF status=FF value=FF" - 1 +
                                  sizeof " window=closed battery=low cold=0 window-sensor=fault" - 1;
constexpr size_t kHmsFieldChars =
    sizeof " kind=hms id=FFFF sensor=temp-hum type=F battery=new value=FFFFFFFF" - 1 +
    sizeof " temp=-99.9 hum=99.9" - 1;
constexpr size_t kWeatherFieldChars =
    sizeof " kind=weather temp=-99.9 hum=99 wind=199.9 rain=1044.2 raining=1 rain-count=4095" - 1;
constexpr size_t Longer(size_t a, size_t b) { return a > b ? a : b; }
constexpr size_t kLongestFields =
    Longer(Longer(kFs20FieldChars, kFhtFieldChars), Longer(kHmsFieldChars, kWeatherFieldChars));
constexpr size_t kLongestHeard = kTimeChars + 1 + kIidChars + 1 + kEventSerialMax +
                                 sizeof " heard" - 1 + kLongestFields + sizeof " raw=" - 1 +
                                 2 * kTelegramMaxBytes + 2;
static_assert(kLongestHeard <= kEventLineMax, "a heard frame of 255 bytes must fit one line");

// State lines have no raw bytes: their longest, an fs20 entry with a timer,
// is far below a line's limit, so they are always written whole.
constexpr size_t kLongestState =
    sizeof "9999-12-31T23:59:59.999Z - - state kind=fs20 hc=12345678 addr=1234 level=unknown "
           "pct=100 before=unknown by=restored via= until=9999-12-31T23:59:59.999Z then=unknown "
           "last=16\r\n" - 1 + kStateViaMax;
static_assert(kLongestState <= kStateLineMax, "an fs20 state line fits kStateLineMax");
// The other kinds, each with every reading it may carry at its longest.
constexpr size_t kStatePrefixAndTail =
    sizeof "9999-12-31T23:59:59.999Z - - state by=restored via=\r\n" - 1 + kStateViaMax;
static_assert(kStatePrefixAndTail +
                      sizeof " kind=hms id=FFFF sensor=temp-hum type=F battery=new temp=-3276.8 "
                             "hum=6553.5 alarm=1" - 1 <= kStateLineMax,
              "an hms state line fits kStateLineMax");
static_assert(kStatePrefixAndTail +
                      sizeof " kind=fht code=FFFF measured=6553.5 desired=6553.5 valve=255 "
                             "mode=holiday-short window=closed battery=low cold=0 "
                             "window-sensor=fault" - 1 <= kStateLineMax,
              "an fht state line fits kStateLineMax");
static_assert(kStatePrefixAndTail +
                      sizeof " kind=weather temp=-3276.8 hum=255 wind=6553.5 rain=1044.2 raining=1 "
                             "rain-count=65535" - 1 <= kStateLineMax,
              "a weather state line fits kStateLineMax");
static_assert(kPresentLineMax <= kEventLineMax, "a present line fits one line");

// Appends to the caller's buffer, keeping room for CR LF and the NUL. Once
// something did not fit, everything after is refused and the line fails as a
// whole rather than going out cut in the middle of a field.
struct Writer {
  char* out;
  size_t cap;  // characters available before CR LF NUL
  size_t len;
  bool failed;
};

Writer Begin(char* out, size_t size) {
  if (size > kEventLineBufferSize) size = kEventLineBufferSize;
  Writer w{out, 0, 0, out == nullptr || size < 3};
  if (!w.failed) w.cap = size - 3;
  return w;
}

size_t Room(const Writer& w) { return w.failed ? 0 : w.cap - w.len; }

void PutN(Writer& w, const char* s, size_t n) {
  if (w.failed) return;
  if (n > Room(w)) {
    w.failed = true;
    return;
  }
  std::memcpy(w.out + w.len, s, n);
  w.len += n;
}

void Put(Writer& w, const char* s) { PutN(w, s, std::strlen(s)); }

void PutChar(Writer& w, char c) { PutN(w, &c, 1); }

void PutHex(Writer& w, uint8_t b) {
  static const char kDigits[] = "0123456789ABCDEF";
  char two[2] = {kDigits[b >> 4], kDigits[b & 0x0F]};
  PutN(w, two, 2);
}

void PutDecimal(Writer& w, uint64_t v) {
  char digits[20];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  char text[20];
  for (size_t i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  PutN(w, text, n);
}

void PutNotation(Writer& w, uint8_t b) {
  uint16_t digits = ByteToNotation(b);
  char four[4];
  for (int i = 3; i >= 0; --i) {
    four[i] = static_cast<char>('0' + digits % 10);
    digits = static_cast<uint16_t>(digits / 10);
  }
  PutN(w, four, 4);
}

// " name=" before a field's value.
void Field(Writer& w, const char* name) {
  PutChar(w, ' ');
  Put(w, name);
  PutChar(w, '=');
}

void PutSerial(Writer& w, const char* serial) {
  if (serial == nullptr || serial[0] == '\0') {
    PutChar(w, '-');
    return;
  }
  for (size_t i = 0; i < kEventSerialMax && serial[i] != '\0'; ++i) {
    unsigned char c = static_cast<unsigned char>(serial[i]);
    PutChar(w, c >= 0x21 && c <= 0x7E ? static_cast<char>(c) : '?');
  }
}

void PutInstance(Writer& w, int32_t iid) {
  if (iid < 0) {
    PutChar(w, '-');
  } else {
    PutDecimal(w, static_cast<uint64_t>(iid));
  }
}

void PutPrefix(Writer& w, uint64_t timeMs, int32_t iid, const char* serial, const char* word) {
  char time[25];
  FormatEventTime(timeMs, time);
  PutN(w, time, kTimeChars);
  PutChar(w, ' ');
  PutInstance(w, iid);
  PutChar(w, ' ');
  PutSerial(w, serial);
  PutChar(w, ' ');
  Put(w, word);
}

// Seconds from 0.25 s units, without trailing zeros: 240 -> "60", 1 -> "0.25".
void PutQuarters(Writer& w, uint32_t quarters) {
  static const char* const kFractions[4] = {"", ".25", ".5", ".75"};
  PutDecimal(w, quarters / 4);
  Put(w, kFractions[quarters % 4]);
}

void PutFs20(Writer& w, const Fs20Fields& f) {
  Field(w, "hc");
  PutNotation(w, f.houseCode[0]);
  PutNotation(w, f.houseCode[1]);
  Field(w, "addr");
  PutNotation(w, f.address);
  Field(w, "cmd");
  PutHex(w, f.command);
  Field(w, "name");
  Put(w, Fs20CommandName(f.command));
  if (f.hasExtension) {
    Field(w, "ext");
    PutHex(w, f.extension);
    if (f.timerQuarters != 0) {
      Field(w, "timer");
      PutQuarters(w, f.timerQuarters);
    }
  }
}

// Last field of heard and sent lines. Cut only when the buffer is smaller
// than a full line's: whole bytes, then "...".
void PutRaw(Writer& w, const uint8_t* bytes, size_t n) {
  Field(w, "raw");
  if (w.failed) return;
  size_t room = Room(w);
  bool cut = 2 * n > room;
  if (cut) {
    if (room < 3) {
      w.failed = true;
      return;
    }
    n = (room - 3) / 2;
  }
  for (size_t i = 0; i < n; ++i) PutHex(w, bytes[i]);
  if (cut) Put(w, "...");
}

size_t Finish(Writer& w, size_t size) {
  if (w.failed) {
    if (w.out != nullptr && size > 0) w.out[0] = '\0';
    return 0;
  }
  w.out[w.len++] = '\r';
  w.out[w.len++] = '\n';
  w.out[w.len] = '\0';
  return w.len;
}

size_t PlainLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                 const char* word) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, iid, serial, word);
  return Finish(w, size);
}

const char* KindToken(TelegramKind kind) {
  switch (kind) {
    case kTelegramSwitch: return "fs20";
    case kTelegramHeating: return "fht";
    case kTelegramSensor: return "hms";
    case kTelegramWeather: return "weather";
    case kTelegramAnswer: return "answer";
    case kTelegramBadCheck: return "badcheck";
    default: return "unknown";
  }
}

// Tenths as "21.2", "-5.5", "0.0".
void PutTenths(Writer& w, int32_t tenths) {
  uint32_t magnitude = static_cast<uint32_t>(tenths < 0 ? -static_cast<int64_t>(tenths) : tenths);
  if (tenths < 0) PutChar(w, '-');
  PutDecimal(w, magnitude / 10);
  PutChar(w, '.');
  PutChar(w, static_cast<char>('0' + magnitude % 10));
}

void PutHexDigit(Writer& w, uint8_t nibble) { PutChar(w, "0123456789ABCDEF"[nibble & 0x0F]); }

void PutHmsReadings(Writer& w, const HmsReadings& r) {
  if (r.hasTemperature) {
    Field(w, "temp");
    PutTenths(w, r.temperatureTenths);
  }
  if (r.hasHumidity) {
    Field(w, "hum");
    PutTenths(w, r.humidityTenths);
  }
  if (r.hasAlarm) {
    Field(w, "alarm");
    PutDecimal(w, r.alarm ? 1 : 0);
  }
}

void PutFhtWarnings(Writer& w, uint8_t warnings) {
  Field(w, "window");
  Put(w, (warnings & kFhtWindowOpen) ? "open" : "closed");
  Field(w, "battery");
  Put(w, (warnings & kFhtBatteryLow) ? "low" : "ok");
  Field(w, "cold");
  PutDecimal(w, (warnings & kFhtTooCold) ? 1 : 0);
  Field(w, "window-sensor");
  Put(w, (warnings & kFhtWindowSensorFault) ? "fault" : "ok");
}

void PutWeatherReadings(Writer& w, const WeatherReadings& r) {
  if (r.hasTemperature) {
    Field(w, "temp");
    PutTenths(w, r.temperatureTenths);
  }
  if (r.hasHumidity) {
    Field(w, "hum");
    PutDecimal(w, r.humidity);
  }
  if (r.hasWind) {
    Field(w, "wind");
    PutTenths(w, r.windTenths);
  }
  Field(w, "rain");
  PutTenths(w, static_cast<int32_t>(WeatherRainTenths(r.rainCount)));
  Field(w, "raining");
  PutDecimal(w, r.raining ? 1 : 0);
  Field(w, "rain-count");
  PutDecimal(w, r.rainCount);
}

void PutFhtHeard(Writer& w, const FhtFields& f) {
  Field(w, "code");
  PutHex(w, f.code[0]);
  PutHex(w, f.code[1]);
  Field(w, "reg");
  PutHex(w, f.reg);
  Field(w, "status");
  PutHex(w, f.status);
  Field(w, "value");
  PutHex(w, f.value);
  switch (f.reading) {
    case kFhtValve:
      Field(w, "valve");
      PutDecimal(w, f.valvePercent);
      break;
    case kFhtMode:
      Field(w, "mode");
      Put(w, FhtModeToken(f.mode));
      break;
    case kFhtDesired:
      Field(w, "desired");
      PutTenths(w, f.desiredTenths);
      break;
    case kFhtWarnings:
      PutFhtWarnings(w, f.warnings);
      break;
    default:
      break;  // the measured temperature's halves make a reading only together
  }
}

void PutLevel(Writer& w, const char* name, uint8_t level) {
  Field(w, name);
  if (level <= kLevelFull) {
    PutDecimal(w, level);
  } else {
    Put(w, "unknown");
  }
}

void PutVia(Writer& w, const char* via) {
  Field(w, "via");
  char text[kStateViaMax + 1];
  size_t n = 0;
  while (n < kStateViaMax && via[n] != '\0') {
    text[n] = via[n];
    ++n;
  }
  text[n] = '\0';
  PutSerial(w, text);
}

void PutStateFs20(Writer& w, const StateEntry& e) {
  const Fs20State& s = e.fs20;
  Field(w, "hc");
  PutNotation(w, s.houseCode[0]);
  PutNotation(w, s.houseCode[1]);
  Field(w, "addr");
  PutNotation(w, s.address);
  PutLevel(w, "level", s.level);
  if (s.level <= kLevelFull) {
    Field(w, "pct");
    PutDecimal(w, LevelPercent(s.level));
  }
  PutLevel(w, "before", s.before);
  Field(w, "by");
  Put(w, StateSourceToken(e.by));
  PutVia(w, e.via);
  if (s.timerPending) {
    Field(w, "until");
    char time[25];
    FormatEventTime(s.untilMs, time);
    PutN(w, time, kTimeChars);
    PutLevel(w, "then", s.then);
  }
  PutLevel(w, "last", s.last);
}

void PutStateFht(const FhtState& s, Writer& w) {
  Field(w, "code");
  PutHex(w, s.code[0]);
  PutHex(w, s.code[1]);
  if (s.hasMeasured) {
    Field(w, "measured");
    PutTenths(w, s.measuredTenths);
  }
  if (s.hasDesired) {
    Field(w, "desired");
    PutTenths(w, s.desiredTenths);
  }
  if (s.hasValve) {
    Field(w, "valve");
    PutDecimal(w, s.valvePercent);
  }
  if (s.hasMode) {
    Field(w, "mode");
    Put(w, FhtModeToken(s.mode));
  }
  if (s.hasWarnings) PutFhtWarnings(w, s.warnings);
}

}  // namespace

void FormatEventTime(uint64_t timeMs, char out[25]) {
  if (timeMs > kLastWritableMs) timeMs = kLastWritableMs;
  uint64_t days = timeMs / kMsPerDay;
  uint64_t msOfDay = timeMs % kMsPerDay;

  // Civil date from days since 1970-01-01, counting in 400-year eras that
  // start on 0000-03-01: with March first, the leap day is the era year's
  // last day, and month lengths repeat in a 153-day pattern of five months.
  uint64_t z = days + 719468;  // days since 0000-03-01
  uint64_t era = z / 146097;
  uint64_t dayOfEra = z - era * 146097;
  uint64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  uint64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  uint64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  uint64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  uint64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

  uint64_t fields[7] = {year,
                        month,
                        day,
                        msOfDay / 3600000,
                        msOfDay / 60000 % 60,
                        msOfDay / 1000 % 60,
                        msOfDay % 1000};
  static const uint8_t kWidths[7] = {4, 2, 2, 2, 2, 2, 3};
  static const char kAfter[7] = {'-', '-', 'T', ':', ':', '.', 'Z'};
  size_t at = 0;
  for (int f = 0; f < 7; ++f) {
    for (int i = kWidths[f] - 1; i >= 0; --i) {
      out[at + i] = static_cast<char>('0' + fields[f] % 10);
      fields[f] /= 10;
    }
    at += kWidths[f];
    out[at++] = kAfter[f];
  }
  out[at] = '\0';
}

size_t FormatHeardLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                       const Telegram& t) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, iid, serial, "heard");
  Field(w, "kind");
  Put(w, KindToken(t.kind));
  switch (t.kind) {
    case kTelegramSwitch:
      PutFs20(w, t.fs20);
      break;
    case kTelegramHeating:
      PutFhtHeard(w, t.fht);
      break;
    case kTelegramSensor:
      Field(w, "id");
      PutHex(w, t.hms.id[0]);
      PutHex(w, t.hms.id[1]);
      Field(w, "sensor");
      Put(w, HmsSensorToken(t.hms.sensor));
      Field(w, "type");
      PutHexDigit(w, t.hms.typeByte);
      Field(w, "battery");
      Put(w, HmsBatteryToken(t.hms.battery));
      Field(w, "value");
      for (uint8_t v : t.hms.values) PutHex(w, v);
      PutHmsReadings(w, t.hms.readings);
      break;
    case kTelegramWeather:
      PutWeatherReadings(w, t.weather.readings);
      break;
    case kTelegramAnswer:
      if (t.answer.hasCode) {
        Field(w, "code");
        PutHex(w, t.answer.code);
      }
      break;
    default:
      break;
  }
  PutRaw(w, t.raw, t.rawLength);
  return Finish(w, size);
}

size_t FormatSentLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                      const Frame& frame) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, iid, serial, "sent");
  Fs20Fields f;
  if (DecodeSendFrame(frame.bytes, frame.length, f)) PutFs20(w, f);
  PutRaw(w, frame.bytes, frame.length);
  return Finish(w, size);
}

size_t FormatPluggedLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial) {
  return PlainLine(out, size, timeMs, iid, serial, "plugged");
}

size_t FormatPresentLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial) {
  return PlainLine(out, size, timeMs, iid, serial, "present");
}

size_t FormatAliveLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial) {
  return PlainLine(out, size, timeMs, iid, serial, "alive");
}

size_t FormatLostLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                      uint64_t count) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, iid, serial, "lost");
  Field(w, "count");
  PutDecimal(w, count);
  return Finish(w, size);
}

size_t FormatFormatLine(char* out, size_t size, uint64_t timeMs) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, kNoInstance, nullptr, "format");
  Put(w, " id=zarvo-events version=1");
  return Finish(w, size);
}

size_t FormatPulledLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                        const EventMove* moved, size_t movedCount) {
  Writer w = Begin(out, size);
  PutPrefix(w, timeMs, iid, serial, "pulled");
  Field(w, "moved");
  if (moved == nullptr || movedCount == 0) {
    Put(w, "none");
    return Finish(w, size);
  }
  for (size_t i = 0; i < movedCount && !w.failed; ++i) {
    // Each entry is tried on a scratch line first; it goes in only when the
    // ",..." that may have to follow it still fits after it.
    char entry[kEventSerialMax + 32];
    Writer e = {entry, sizeof entry, 0, false};
    if (i > 0) PutChar(e, ',');
    PutSerial(e, moved[i].serial);
    PutChar(e, ':');
    PutInstance(e, moved[i].from);
    PutChar(e, '>');
    PutInstance(e, moved[i].to);
    size_t reserve = i + 1 < movedCount ? 4 : 0;
    if (e.len + reserve <= Room(w)) {
      PutN(w, entry, e.len);
    } else {
      Put(w, i > 0 ? ",..." : "...");
      break;
    }
  }
  return Finish(w, size);
}

size_t FormatStateLine(char* out, size_t size, const StateEntry& e) {
  Writer w = Begin(out, size);
  PutPrefix(w, e.learnedMs, kNoInstance, nullptr, "state");
  Field(w, "kind");
  switch (e.kind) {
    case kStateFs20:
      Put(w, "fs20");
      PutStateFs20(w, e);
      return Finish(w, size);
    case kStateHms:
      Put(w, "hms");
      Field(w, "id");
      PutHex(w, e.hms.id[0]);
      PutHex(w, e.hms.id[1]);
      Field(w, "sensor");
      Put(w, HmsSensorToken(HmsSensorOfType(e.hms.type)));
      Field(w, "type");
      PutHexDigit(w, e.hms.type);
      Field(w, "battery");
      Put(w, HmsBatteryToken(e.hms.battery));
      PutHmsReadings(w, e.hms.readings);
      break;
    case kStateFht:
      Put(w, "fht");
      PutStateFht(e.fht, w);
      break;
    default:
      Put(w, "weather");
      PutWeatherReadings(w, e.weather);
      break;
  }
  Field(w, "by");
  Put(w, StateSourceToken(e.by));
  PutVia(w, e.via);
  return Finish(w, size);
}

size_t FormatReadyLine(char* out, size_t size, uint64_t timeMs) {
  return PlainLine(out, size, timeMs, kNoInstance, nullptr, "ready");
}

bool ParseEventTime(const char* text, size_t length, uint64_t& timeMs) {
  static const char kForm[] = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (text == nullptr || length != kTimeChars) return false;
  uint32_t numbers[7] = {};
  size_t field = 0;
  for (size_t i = 0; i < kTimeChars; ++i) {
    char c = text[i];
    if (kForm[i] == 'd') {
      if (c < '0' || c > '9') return false;
      numbers[field] = numbers[field] * 10 + static_cast<uint32_t>(c - '0');
    } else {
      if (c != kForm[i]) return false;
      ++field;
    }
  }
  uint32_t year = numbers[0], month = numbers[1], day = numbers[2];
  static const uint8_t kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
      (month == 2 && day == 29 && !leap) || numbers[3] > 23 || numbers[4] > 59 ||
      numbers[5] > 59) {
    return false;
  }
  // Days since 1970-01-01, counting years from March as FormatEventTime does.
  uint64_t y = month <= 2 ? year - 1 : year;
  uint64_t era = y / 400;
  uint64_t yearOfEra = y - era * 400;
  uint64_t monthFromMarch = month > 2 ? month - 3 : month + 9;
  uint64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;
  uint64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  uint64_t days = era * 146097 + dayOfEra - 719468;
  timeMs = days * kMsPerDay + numbers[3] * 3600000ull + numbers[4] * 60000ull +
           numbers[5] * 1000ull + numbers[6];
  return true;
}

const char* HmsSensorToken(HmsSensor sensor) {
  static const char* const kTokens[] = {"temp-hum", "temp", "water", "smoke", "door",
                                        "gas",      "co",   "breaker", "other"};
  return sensor <= kHmsOther ? kTokens[sensor] : "other";
}

const char* HmsBatteryToken(HmsBattery battery) {
  switch (battery) {
    case kHmsBatteryLow: return "low";
    case kHmsBatteryNew: return "new";
    default: return "ok";
  }
}

const char* FhtModeToken(FhtMode mode) {
  switch (mode) {
    case kFhtManual: return "manual";
    case kFhtHoliday: return "holiday";
    case kFhtHolidayShort: return "holiday-short";
    default: return "auto";
  }
}

const char* StateSourceToken(StateSource by) {
  switch (by) {
    case kBySent: return "sent";
    case kByHeard: return "heard";
    case kByAnswer: return "answer";
    case kByTimer: return "timer";
    default: return "restored";
  }
}

uint8_t LevelPercent(uint8_t level) {
  if (level > kLevelFull) level = kLevelFull;
  return static_cast<uint8_t>((level * 100u + kLevelFull / 2) / kLevelFull);
}
