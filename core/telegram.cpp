#include "core/telegram.h"

#include <cstring>

#include "core/frame.h"

namespace {

constexpr uint8_t kTypeRadio = 0x04;
constexpr uint8_t kTypeAnswer = 0xC9;

// Payload offsets: the payload starts at byte 4 of the frame.
constexpr size_t kPayload = 4;
constexpr size_t kSwitchPayload = 9;    // 01 01 A0 01 H1 H2 AD 00 CM
constexpr size_t kHeatingPayload = 10;  // 09 09 A0 01 C1 C2 RG 00 ST VL
constexpr size_t kSensorPayload = 12;   // P T A0 01 I1 I2 00 00 V1 V2 V3 V4
constexpr size_t kWeatherPayload = 11;  // 40 27 A0 01 + 7 bytes

// Radio telegrams have been reported with other type bytes than 0x04; they
// carry the same payloads.
bool IsRadioType(uint8_t type) {
  return type == kTypeRadio || type == 0x09 || type == 0x0C || type == 0x0D;
}

bool Starts(const uint8_t* payload, size_t n, uint8_t a, uint8_t b) {
  return n >= 4 && payload[0] == a && payload[1] == b && payload[2] == 0xA0 && payload[3] == 0x01;
}

bool PassesCheck(const uint8_t* bytes, size_t length) {
  return length >= 4 && bytes[0] == kFrameStart && bytes[1] == static_cast<uint8_t>(length - 2) &&
         bytes[3] == FrameChecksum(bytes, 4, length);
}

// `cmdAt` is the command byte's offset in the frame; the extension byte
// follows it when present.
void TakeFs20(const uint8_t* bytes, size_t length, size_t hcAt, size_t cmdAt, Fs20Fields& f) {
  f.houseCode[0] = bytes[hcAt];
  f.houseCode[1] = bytes[hcAt + 1];
  f.address = bytes[hcAt + 2];
  f.command = bytes[cmdAt];
  if ((f.command & kFs20ExtensionFlag) && length > cmdAt + 1) {
    f.hasExtension = 1;
    f.extension = bytes[cmdAt + 1];
    f.timerQuarters = Fs20TimerQuarters(f.extension);
  }
}

}  // namespace

HmsSensor HmsSensorOfType(uint8_t type) {
  switch (type & 0x0F) {
    case 0x0: return kHmsTempHum;
    case 0x1: return kHmsTemp;
    case 0x2: return kHmsWater;
    case 0x3: return kHmsSmoke;
    case 0x4:
    case 0x5: return kHmsDoor;
    case 0x6: return kHmsGas;
    case 0x8: return kHmsCarbonMonoxide;
    case 0xE: return kHmsBreaker;
    default: return kHmsOther;
  }
}

namespace {

// Both flags at once should not happen; a low battery is the one worth
// hearing about, so it wins.
HmsBattery BatteryOf(uint8_t flags, uint8_t low, uint8_t fresh) {
  if (flags & low) return kHmsBatteryLow;
  if (flags & fresh) return kHmsBatteryNew;
  return kHmsBatteryOk;
}

uint8_t High(uint8_t b) { return static_cast<uint8_t>(b >> 4); }
uint8_t Low(uint8_t b) { return static_cast<uint8_t>(b & 0x0F); }

// Three decimal digits, most significant first, as one number; false when
// one of them is no decimal digit.
bool Decimal(uint8_t d2, uint8_t d1, uint8_t d0, int& out) {
  if (d2 > 9 || d1 > 9 || d0 > 9) return false;
  out = 100 * d2 + 10 * d1 + d0;
  return true;
}

// Types 0 and 1 send decimal digits: V2 and V3 hold the temperature, V3 and
// V4 the humidity; V1 has the sign and the battery flags (its low nibble
// repeats the type). The other types send a state in V1's low nibble and
// their battery flags in T.
void ReadSensor(HmsFields& h) {
  const uint8_t* v = h.values;
  uint8_t type = Low(h.typeByte);
  HmsReadings& r = h.readings;
  int n = 0;
  if (type <= 1) {
    h.battery = BatteryOf(v[0], 0x20, 0x40);
    if (Decimal(Low(v[2]), High(v[1]), Low(v[1]), n)) {
      r.hasTemperature = 1;
      r.temperatureTenths = static_cast<int16_t>((v[0] & 0x80) ? -n : n);
    }
    if (type == 0 && Decimal(High(v[3]), Low(v[3]), High(v[2]), n)) {
      r.hasHumidity = 1;
      r.humidityTenths = static_cast<uint16_t>(n);
    }
    return;
  }
  h.battery = BatteryOf(h.typeByte, 0x40, 0x80);
  if (type <= 0xE) {
    r.hasAlarm = 1;
    r.alarm = Low(v[0]) != 0 ? 1 : 0;
  }
}

void ReadHeating(FhtFields& f) {
  if (f.reg <= 0x08) {
    // For valve registers the status is the command given to the valve;
    // only some of them say where it is.
    switch (Low(f.status)) {
      case 0x6:
      case 0x0: f.valvePercent = static_cast<uint8_t>((f.value * 100u + 127u) / 255u); break;
      case 0x1: f.valvePercent = 100; break;
      case 0x2: f.valvePercent = 0; break;
      default: return;
    }
    f.reading = kFhtValve;
    return;
  }
  switch (f.reg) {
    case 0x3E:
      if (f.value <= kFhtHolidayShort) {
        f.reading = kFhtMode;
        f.mode = static_cast<FhtMode>(f.value);
      }
      break;
    case 0x41:
      f.reading = kFhtDesired;
      f.desiredTenths = static_cast<uint16_t>(f.value * 5u);
      break;
    case 0x42: f.reading = kFhtMeasuredLow; break;
    case 0x43: f.reading = kFhtMeasuredHigh; break;
    case 0x44:
      f.reading = kFhtWarnings;
      f.warnings = f.value;
      break;
    default: break;
  }
}

// Decimal digits in nibbles, except the rain counter; flags in B1's low
// nibble. The station's bytes are named B1 .. B7.
void ReadWeather(WeatherFields& f) {
  const uint8_t* v = f.values;
  uint8_t b1 = v[0], b2 = v[1], b3 = v[2], b4 = v[3], b5 = v[4], b6 = v[5], b7 = v[6];
  WeatherReadings& r = f.readings;
  uint8_t flags = Low(b1);
  int n = 0;
  if (Decimal(High(b3), Low(b2), High(b2), n)) {
    r.hasTemperature = 1;
    r.temperatureTenths = static_cast<int16_t>((flags & 0x8) ? -n : n);
  }
  if (Decimal(0, High(b4), Low(b3), n)) {
    r.hasHumidity = 1;
    r.humidity = static_cast<uint8_t>(n);
  }
  if (Decimal(Low(b5), High(b5), Low(b4), n)) {
    r.hasWind = 1;
    r.windTenths = static_cast<uint16_t>((flags & 0x4) ? n + 1000 : n);
  }
  r.raining = (flags & 0x2) ? 1 : 0;
  r.rainCount = static_cast<uint16_t>(High(b7) * 256 + Low(b6) * 16 + High(b6));
}

void DecodeRadio(const uint8_t* bytes, size_t length, Telegram& t) {
  const uint8_t* p = bytes + kPayload;
  size_t n = length - kPayload;
  if (Starts(p, n, 0x01, 0x01)) {
    if (n < kSwitchPayload) return;
    t.kind = kTelegramSwitch;
    TakeFs20(bytes, length, kPayload + 4, kPayload + 8, t.fs20);
  } else if (Starts(p, n, 0x09, 0x09)) {
    if (n < kHeatingPayload) return;
    t.kind = kTelegramHeating;
    t.fht.code[0] = p[4];
    t.fht.code[1] = p[5];
    t.fht.reg = p[6];
    t.fht.status = p[8];
    t.fht.value = p[9];
    ReadHeating(t.fht);
  } else if (Starts(p, n, 0x40, 0x27)) {
    if (n < kWeatherPayload) return;
    t.kind = kTelegramWeather;
    std::memcpy(t.weather.values, p + 4, 7);
    ReadWeather(t.weather);
  } else if (n >= 4 && (p[0] == 0x02 || p[0] == 0x05) && p[2] == 0xA0 && p[3] == 0x01) {
    if (n < kSensorPayload) return;
    t.kind = kTelegramSensor;
    t.hms.id[0] = p[4];
    t.hms.id[1] = p[5];
    t.hms.typeByte = p[1];
    t.hms.sensor = HmsSensorOfType(p[1]);
    std::memcpy(t.hms.values, p + 8, 4);
    ReadSensor(t.hms);
  }
}

}  // namespace

bool DecodeTelegram(const uint8_t* bytes, size_t length, Telegram& out) {
  std::memset(&out, 0, sizeof out);
  out.kind = kTelegramUnknown;
  if (bytes == nullptr || length == 0 || length > kTelegramMaxBytes) return false;
  std::memcpy(out.raw, bytes, length);
  out.rawLength = static_cast<uint8_t>(length);
  if (length > 2) out.frameType = bytes[2];
  if (!PassesCheck(bytes, length)) {
    out.kind = kTelegramBadCheck;
    return true;
  }
  if (IsRadioType(bytes[2])) {
    DecodeRadio(bytes, length, out);
  } else if (bytes[2] == kTypeAnswer) {
    out.kind = kTelegramAnswer;
    if (length >= kPayload + 3 && bytes[4] == 0x01 && bytes[5] == 0x02) {
      out.answer.hasCode = 1;
      out.answer.code = bytes[6];
    }
  }
  return true;
}

const char* Fs20CommandName(uint8_t cmd) {
  static const char* const kNames[32] = {
      "off",           "dim-1",
      "dim-2",         "dim-3",
      "dim-4",         "dim-5",
      "dim-6",         "dim-7",
      "dim-8",         "dim-9",
      "dim-10",        "dim-11",
      "dim-12",        "dim-13",
      "dim-14",        "dim-15",
      "dim-16",        "on",
      "toggle",        "dim-up",
      "dim-down",      "dim-up-down",
      "timer-program", "send-status",
      "off-for-timer", "on-100-for-timer",
      "on-last-for-timer", "reset",
      "ramp-on-time",  "ramp-off-time",
      "on-last-for-timer-then-previous", "on-100-for-timer-then-previous",
  };
  return kNames[cmd & kFs20CommandMask];
}

uint32_t Fs20TimerQuarters(uint8_t extension) {
  unsigned exponent = extension >> 4;
  if (exponent > 12) exponent = 12;
  return (1u << exponent) * (extension & 0x0Fu);
}

uint32_t WeatherRainTenths(uint16_t rainCount) { return (rainCount * 255u + 50u) / 100u; }

uint16_t ByteToNotation(uint8_t value) {
  uint16_t digits = 0;
  for (int shift = 6; shift >= 0; shift -= 2) {
    digits = static_cast<uint16_t>(digits * 10 + ((value >> shift) & 0x3) + 1);
  }
  return digits;
}

bool DecodeSendFrame(const uint8_t* bytes, size_t length, Fs20Fields& out) {
  std::memset(&out, 0, sizeof out);
  // 81 LL 04 CS 02 01 01 H1 H2 AD CM [EX]
  if (bytes == nullptr || (length != 11 && length != 12) || !PassesCheck(bytes, length) ||
      bytes[2] != kTypeRadio || bytes[4] != 0x02 || bytes[5] != 0x01 || bytes[6] != 0x01) {
    return false;
  }
  TakeFs20(bytes, length, 7, 10, out);
  return true;
}
