// The events pipe's lines taken apart for the bridge:
//
//   LINE = TIME SP IID SP SERIAL SP WORD *(SP NAME "=" VALUE) [CR LF]
//
// The grammar grows by new words and new fields, so the parser keeps every
// NAME=VALUE it finds, whatever the name, and a token without "=" after the
// word is skipped rather than refused: a reader that knows fewer fields than
// the writer still gets the ones it knows. Plain functions on caller-owned
// records: no state, safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A line longer than the service ever writes (core/event_line.h) is refused,
// and so are fields past this count: nothing the service writes comes close.
constexpr size_t kEventsLineLimit = 1024;
constexpr size_t kEventsFieldLimit = 64;

struct EventField {
  std::string name;
  std::string value;
};

struct EventLine {
  std::string time;    // TIME as written
  int32_t iid;         // IID, or -1 for "-" (and for anything not a number)
  std::string serial;  // SERIAL, empty for "-"
  std::string word;    // format present heard sent plugged pulled state ready ...
  std::vector<EventField> fields;
};

// Fills `out` from one line (with or without its CR LF). Returns false, with
// `out` cleared, when the line is longer than kEventsLineLimit, holds a
// control character, or has fewer than the four leading tokens.
bool ParseEventLine(const char* text, size_t length, EventLine& out);

// The value of the first field called `name`, or null when there is none.
const std::string* FindEventField(const EventLine& line, const char* name);
