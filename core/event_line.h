// The text lines the service writes to listeners, one per happening:
//
//   LINE = TIME SP IID SP SERIAL SP WORD *(SP NAME "=" VALUE) CRLF
//
//   TIME    YYYY-MM-DDThh:mm:ss.mmmZ, UTC
//   IID     the transceiver's instance number in decimal, or "-"
//   SERIAL  its serial number, every byte outside 0x21..0x7E written as "?",
//           or "-" when there is none; at most kEventSerialMax characters
//   WORD    heard sent plugged pulled present lost alive format state ready
//
// ASCII only, at most kEventLineMax characters including the CR LF, no CR,
// LF or NUL inside. Scripts parse these lines, so the grammar only grows by
// new words and new fields appended before raw=.
//
// Each Format...Line function writes one complete line, CR LF and a NUL into
// `out` and returns its length without the NUL. A buffer of
// kEventLineBufferSize bytes always holds the line. A smaller buffer holds it
// when it is long enough; otherwise the function returns 0 and leaves an
// empty string (when size > 0). Plain functions: safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/device_state.h"
#include "core/frame.h"
#include "core/telegram.h"

constexpr size_t kEventLineMax = 1024;
constexpr size_t kEventLineBufferSize = kEventLineMax + 1;
// The table's serial numbers are at most 31 characters; a longer one is
// written as its first kEventSerialMax characters.
constexpr size_t kEventSerialMax = 64;
// The longest state line, CR LF included (event_line.cpp shows that every
// kind's longest fits), and the longest present line: a listener's greeting
// and the state file are sized by them.
constexpr size_t kStateLineMax = 256;
constexpr size_t kPresentLineMax = 24 + 1 + 10 + 1 + kEventSerialMax + sizeof " present\r\n" - 1;
// IID for lines that belong to no transceiver.
constexpr int32_t kNoInstance = -1;

// Readings, on heard and state lines alike, with the same names and units.
// Numbers are plain decimal; a value the source gives in tenths has one
// decimal after a "." (21.2, -5.5, 33.0), the others are whole. A reading
// that is not known is left out.
//
//   temp=           degC, tenths (hms types 0 and 1, weather)
//   hum=            %: tenths for hms type 0, whole for weather
//   alarm=          0 or 1: alarm, contact or tripped (hms types 2 .. E)
//   valve=          % open, whole (fht registers 0x00 .. 0x08)
//   mode=           auto, manual, holiday or holiday-short (fht 0x3E)
//   desired=        degC, tenths (fht 0x41)
//   measured=       degC, tenths (fht 0x42 and 0x43 together: state lines only)
//   window=         open or closed        } fht 0x44, all four together
//   battery=        ok or low              }
//   cold=           0 or 1, too cold       }
//   window-sensor=  ok or fault            }
//   wind=           km/h, tenths (weather)
//   rain=           l/m2, tenths, from the counter (weather)
//   raining=        0 or 1 (weather)
//   rain-count=     the station's rain counter, 0 .. 4095, 0.255 l/m2 each
//
// heard: a frame a transceiver received, as DecodeTelegram took it apart.
//   kind=fs20|fht|hms|weather|answer|unknown|badcheck, the kind's fields, and
//   last raw= the frame's bytes in upper-case hex. The kinds' fields:
//     fs20     hc= addr= cmd= name= [ext= [timer=]]
//     fht      code= reg= status= value= (hex), then what the register reads:
//              valve=, mode=, desired=, or window= battery= cold= window-sensor=
//     hms      id= sensor= type= battery= value= (hex), then temp= [hum=] or alarm=
//     weather  temp= hum= wind= rain= raining= rain-count=
//     answer   [code=]
// The raw bytes always fit a full buffer (the longest heard line is well
// below kEventLineMax, checked in event_line.cpp). Only a smaller buffer can
// cut them: then raw= keeps as many whole bytes as fit and ends with "...",
// so a reader can tell a cut frame from a whole one.
size_t FormatHeardLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                       const Telegram& telegram);

// sent: the FS20 command frame we sent (BuildSendFrame's layout): hc= addr=
// cmd= name= [ext= [timer=]] raw=. A frame without that layout is written
// with raw= only, so that what went out is still on record.
size_t FormatSentLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                      const Frame& frame);

// plugged / present: a transceiver came, or is there when a listener joins.
size_t FormatPluggedLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial);
size_t FormatPresentLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial);

// One transceiver that moved down a slot when another was pulled out. A
// negative slot is written as "-".
struct EventMove {
  const char* serial;
  int32_t from;
  int32_t to;
};

// pulled: moved=SERIAL:FROM>TO,... or moved=none. When the list would not fit
// the line, it keeps as many whole entries as fit and ends with ",...".
size_t FormatPulledLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                        const EventMove* moved, size_t movedCount);

// lost: count= lines a listener lost because it did not read in time.
size_t FormatLostLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial,
                      uint64_t count);

// alive: nothing happened for a while, the service is still there.
size_t FormatAliveLine(char* out, size_t size, uint64_t timeMs, int32_t iid, const char* serial);

// state: what the service now assumes about one device, on each change and
// once per entry in a listener's greeting and in the state file. The prefix
// is "TIME - - state" with TIME the moment the state was learned (for a
// timer, the moment it ran out). Fields, in this order:
//
//   kind=fs20     hc=     house code, 8 digits of FS20 notation
//                 addr=   address, 4 digits of FS20 notation
//                 level=  0 .. 16 (off, 6.25 % steps .. 100 %) or unknown
//                 [pct=]  the level in %, rounded, 0 .. 100; left out when unknown
//                 before= the level before this change: 0 .. 16 or unknown
//                 by=     sent, heard, answer, timer or restored
//                 via=    the transceiver's serial number, or - when none
//                 [until= then=]  while a timer is pending: when it runs out
//                         (TIME's format) and the level it sets then (0 .. 16 or
//                         unknown)
//                 last=   the last level other than off, 1 .. 16: what `on`
//                         restores
//   kind=hms      id= (4 hex digits) sensor= type= (1 hex digit)
//                 battery= (ok, low or new) [temp=] [hum=] [alarm=] by= via=
//   kind=fht      code= (4 hex digits) [measured=] [desired=] [valve=] [mode=]
//                 [window= battery= cold= window-sensor=] by= via=
//   kind=weather  [temp=] [hum=] [wind=] rain= raining= rain-count= by= via=
//                 (a weather station is known by the transceiver that heard it)
//
// sensor= is one of temp-hum, temp, water, smoke, door, gas, co, breaker
// (type E, a residual-current breaker monitor) or other. Example:
//   2026-12-08T10:15:06.544Z - - state kind=fs20 hc=12341111 addr=1111 level=16 pct=100 before=0 by=sent via=EL000123 last=16
size_t FormatStateLine(char* out, size_t size, const StateEntry& entry);

// ready: "<TIME> - - ready", the end of a listener's greeting: the lines
// after it happen as they come.
size_t FormatReadyLine(char* out, size_t size, uint64_t timeMs);

// format: the first line a listener gets: "<TIME> - - format id=zarvo-events
// version=1".
size_t FormatFormatLine(char* out, size_t size, uint64_t timeMs);

// TIME alone: 24 characters and a NUL into `out`. Times after
// 9999-12-31T23:59:59.999Z are written as that moment, so that the year
// keeps its four digits.
void FormatEventTime(uint64_t timeMs, char out[25]);

// Reads TIME back: exactly 24 characters of FormatEventTime's form, a real
// date from 1970 to 9999. Returns false, and leaves `timeMs` alone, for
// anything else.
bool ParseEventTime(const char* text, size_t length, uint64_t& timeMs);

// The words of the lines, for the readers of state lines. Never null.
const char* HmsSensorToken(HmsSensor sensor);  // "temp-hum" .. "breaker", "other"
const char* HmsBatteryToken(HmsBattery battery);  // "ok", "low", "new"
const char* FhtModeToken(FhtMode mode);  // "auto", "manual", "holiday", "holiday-short"
const char* StateSourceToken(StateSource by);  // "sent" .. "restored"

// The level in % as state lines write it: 16 steps of 6.25 %, rounded.
uint8_t LevelPercent(uint8_t level);
