// What a received frame says: a radio telegram a transceiver heard, or the
// transceiver's own answer, taken apart into a plain record.
//
// Received frames have the layout of the frames we send (core/frame.h):
//   81 LL TT CS payload...
// TT is 0x04 for radio telegrams (0x09, 0x0C and 0x0D have been seen too) and
// 0xC9 for the transceiver's answers. The first payload bytes of a radio
// telegram tell its kind:
//   switch (FS20)   01 01 A0 01 H1 H2 AD 00 CM [EX]
//   heating (FHT)   09 09 A0 01 C1 C2 RG 00 ST VL
//   sensor (HMS)    P  T  A0 01 I1 I2 00 00 V1 V2 V3 V4   (P is 02 or 05)
//   weather         40 27 A0 01 B1 .. B7
// Some of these layouts come from samples rather than a full description, so
// the decoder never drops a frame: whatever it cannot place is kind unknown,
// and every record keeps the frame's bytes. Readings are decoded where the
// value layout is known; a value that does not follow it (a nibble above 9
// where decimal digits belong, an unknown mode) is left out and stays in the
// raw bytes.
//
// Plain functions on caller-owned records: no state, no allocation, safe on
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>

enum TelegramKind : uint8_t {
  kTelegramSwitch = 0,    // FS20
  kTelegramHeating = 1,   // FHT
  kTelegramSensor = 2,    // HMS
  kTelegramWeather = 3,
  kTelegramAnswer = 4,    // frame type 0xC9, from the transceiver itself
  kTelegramUnknown = 5,   // passed the check, layout not known or too short
  kTelegramBadCheck = 6,  // failed the start, length or checksum check
};

constexpr size_t kTelegramMaxBytes = 255;

// Bits of the FS20 command byte besides the command itself (cmd & 0x1F).
constexpr uint8_t kFs20CommandMask = 0x1F;
constexpr uint8_t kFs20ExtensionFlag = 0x20;  // an extension byte follows
constexpr uint8_t kFs20Bidirectional = 0x40;
constexpr uint8_t kFs20ReceiverAnswer = 0x80;

struct Fs20Fields {
  uint8_t houseCode[2];
  uint8_t address;
  uint8_t command;       // as heard, flags included
  uint8_t hasExtension;  // 1 when the command has 0x20 and the byte was there
  uint8_t extension;
  uint32_t timerQuarters;  // timer in 0.25 s units from the extension; 0 none
};

// What a heating telegram's register and status make of its value byte.
enum FhtReading : uint8_t {
  kFhtNoReading = 0,  // a register not read here, or a valve status that is no position
  kFhtValve,          // registers 0x00 (all valves) .. 0x08: valvePercent
  kFhtMode,           // 0x3E: mode
  kFhtDesired,        // 0x41: desiredTenths
  kFhtMeasuredLow,    // 0x42: value is the low byte of the measured temperature
  kFhtMeasuredHigh,   // 0x43: value is its high byte; only both make a reading
  kFhtWarnings,       // 0x44: warnings
};

enum FhtMode : uint8_t { kFhtAuto = 0, kFhtManual = 1, kFhtHoliday = 2, kFhtHolidayShort = 3 };

// Bits of register 0x44.
constexpr uint8_t kFhtBatteryLow = 0x01;
constexpr uint8_t kFhtTooCold = 0x02;
constexpr uint8_t kFhtWindowSensorFault = 0x10;
constexpr uint8_t kFhtWindowOpen = 0x20;

struct FhtFields {
  uint8_t code[2];
  uint8_t reg;
  uint8_t status;
  uint8_t value;
  FhtReading reading;
  uint8_t valvePercent;     // 0 .. 100
  FhtMode mode;
  uint16_t desiredTenths;   // 0.1 degC
  uint8_t warnings;         // the register's byte as heard
};

enum HmsSensor : uint8_t {
  kHmsTempHum = 0,
  kHmsTemp,
  kHmsWater,
  kHmsSmoke,
  kHmsDoor,
  kHmsGas,
  kHmsCarbonMonoxide,
  kHmsBreaker,  // type E: a residual-current breaker monitor, tripped or not
  kHmsOther,
};

enum HmsBattery : uint8_t { kHmsBatteryOk = 0, kHmsBatteryLow = 1, kHmsBatteryNew = 2 };

// A sensor's readings, each only when its flag is set: temperature for
// types 0 and 1, humidity for type 0, alarm (or contact, or tripped) for
// types 2 .. E.
struct HmsReadings {
  uint8_t hasTemperature;
  uint8_t hasHumidity;
  uint8_t hasAlarm;
  uint8_t alarm;              // 0 or 1
  int16_t temperatureTenths;  // 0.1 degC, -999 .. 999
  uint16_t humidityTenths;    // 0.1 %, 0 .. 999
};

struct HmsFields {
  uint8_t id[2];
  uint8_t typeByte;  // T as heard: low nibble the sensor type
  HmsSensor sensor;
  // Types 0 and 1 carry it in V1's high nibble, the others in T's.
  HmsBattery battery;
  uint8_t values[4];
  HmsReadings readings;
};

// A weather station's readings. The rain counter and the raining flag are
// always there; the others only when their digits are decimal.
struct WeatherReadings {
  uint8_t hasTemperature;
  uint8_t hasHumidity;
  uint8_t hasWind;
  uint8_t raining;            // 0 or 1
  int16_t temperatureTenths;  // 0.1 degC, -999 .. 999
  uint8_t humidity;           // %, 0 .. 99
  uint16_t windTenths;        // 0.1 km/h, 0 .. 1999
  uint16_t rainCount;         // 0 .. 4095, each count 0.255 l/m2
};

struct WeatherFields {
  uint8_t values[7];  // B1 .. B7
  WeatherReadings readings;
};

struct AnswerFields {
  uint8_t hasCode;  // 1 when the payload starts 01 02 and a code byte follows
  uint8_t code;
};

// One received frame. Only the fields of `kind` are meaningful; the others
// are zero.
struct Telegram {
  TelegramKind kind;
  uint8_t frameType;  // byte 2, or 0 when the frame is shorter
  Fs20Fields fs20;
  FhtFields fht;
  HmsFields hms;
  WeatherFields weather;
  AnswerFields answer;
  uint8_t rawLength;
  uint8_t raw[kTelegramMaxBytes];
};

// Fills `out` from a received frame, starting at its 0x81. Returns false, with
// `out` zeroed and kind unknown, only when there is nothing to pass on: length
// 0 or more than 255. Every other frame gives true and a record holding all
// its bytes; a frame that fails the check (start byte 0x81, byte 1 equal to
// length - 2, byte 3 the sum of bytes 4 to the end modulo 256) is kind bad
// check and is not decoded further. Never reads past `length`.
bool DecodeTelegram(const uint8_t* bytes, size_t length, Telegram& out);

// The token for an FS20 command (cmd & 0x1F): "off", "dim-1" .. "dim-16",
// "on", "toggle", ... Never null, never blank.
const char* Fs20CommandName(uint8_t cmd);

// The timer an extension byte gives, in 0.25 s units:
// 2^(high nibble, above 12 counts as 12) x low nibble; 0 means no timer.
uint32_t Fs20TimerQuarters(uint8_t extension);

// The sensor a type (T's low nibble) names.
HmsSensor HmsSensorOfType(uint8_t type);

// Rain in 0.1 l/m2 from the weather station's counter, rounded.
uint32_t WeatherRainTenths(uint16_t rainCount);

// The four FS20 notation digits of a byte (house code half or address), as
// a decimal number: 0xCD -> 4142, 0x00 -> 1111. NotationToByte undoes it.
uint16_t ByteToNotation(uint8_t value);

// Takes apart an FS20 send frame of ours (BuildSendFrame's layout:
// 81 LL 04 CS 02 01 01 H1 H2 AD CM [EX]), with the same extension rule as a
// heard switch telegram. Returns false, `out` zeroed, when the bytes do not
// have that layout or fail the check.
bool DecodeSendFrame(const uint8_t* bytes, size_t length, Fs20Fields& out);
