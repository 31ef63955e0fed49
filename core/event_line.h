// The text lines the service writes to listeners, one per happening:
//
//   LINE = TIME SP IID SP SERIAL SP WORD *(SP NAME "=" VALUE) CRLF
//
//   TIME    YYYY-MM-DDThh:mm:ss.mmmZ, UTC
//   IID     the transceiver's instance number in decimal, or "-"
//   SERIAL  its serial number, every byte outside 0x21..0x7E written as "?",
//           or "-" when there is none; at most kEventSerialMax characters
//   WORD    heard sent plugged pulled present lost alive format
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

#include "core/frame.h"
#include "core/telegram.h"

constexpr size_t kEventLineMax = 1024;
constexpr size_t kEventLineBufferSize = kEventLineMax + 1;
// The table's serial numbers are at most 31 characters; a longer one is
// written as its first kEventSerialMax characters.
constexpr size_t kEventSerialMax = 64;
// IID for lines that belong to no transceiver.
constexpr int32_t kNoInstance = -1;

// heard: a frame a transceiver received, as DecodeTelegram took it apart.
//   kind=fs20|fht|hms|weather|answer|unknown|badcheck, the kind's fields, and
//   last raw= the frame's bytes in upper-case hex.
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

// format: the first line a listener gets: "<TIME> - - format id=zarvo-events
// version=1".
size_t FormatFormatLine(char* out, size_t size, uint64_t timeMs);

// TIME alone: 24 characters and a NUL into `out`. Times after
// 9999-12-31T23:59:59.999Z are written as that moment, so that the year
// keeps its four digits.
void FormatEventTime(uint64_t timeMs, char out[25]);
