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

HmsSensor SensorOf(uint8_t type) {
  switch (type & 0x0F) {
    case 0x0: return kHmsTempHum;
    case 0x1: return kHmsTemp;
    case 0x2: return kHmsWater;
    case 0x3: return kHmsSmoke;
    case 0x4:
    case 0x5: return kHmsDoor;
    case 0x6: return kHmsGas;
    case 0x8: return kHmsCarbonMonoxide;
    case 0xE: return kHmsFire;
    default: return kHmsOther;
  }
}

// Both flags at once should not happen; a low battery is the one worth
// hearing about, so it wins.
HmsBattery BatteryOf(uint8_t type) {
  if (type & 0x40) return kHmsBatteryLow;
  if (type & 0x80) return kHmsBatteryNew;
  return kHmsBatteryOk;
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
  } else if (Starts(p, n, 0x40, 0x27)) {
    if (n < kWeatherPayload) return;
    t.kind = kTelegramWeather;
  } else if (n >= 4 && (p[0] == 0x02 || p[0] == 0x05) && p[2] == 0xA0 && p[3] == 0x01) {
    if (n < kSensorPayload) return;
    t.kind = kTelegramSensor;
    t.hms.id[0] = p[4];
    t.hms.id[1] = p[5];
    t.hms.typeByte = p[1];
    t.hms.sensor = SensorOf(p[1]);
    t.hms.battery = BatteryOf(p[1]);
    std::memcpy(t.hms.values, p + 8, 4);
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
