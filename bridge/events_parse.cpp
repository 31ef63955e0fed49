#include "bridge/events_parse.h"

#include <cstring>

namespace {

// Splits at single or repeated spaces; `at` moves past the token.
bool NextToken(const char* text, size_t length, size_t& at, std::string& token) {
  while (at < length && text[at] == ' ') ++at;
  if (at >= length) return false;
  size_t start = at;
  while (at < length && text[at] != ' ') ++at;
  token.assign(text + start, at - start);
  return true;
}

int32_t ParseIid(const std::string& text) {
  if (text.empty() || text.size() > 9) return -1;
  int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

bool ParseEventLine(const char* text, size_t length, EventLine& out) {
  out = EventLine{};
  out.iid = -1;
  if (text == nullptr) return false;
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  if (length > kEventsLineLimit) return false;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return false;
  }
  size_t at = 0;
  std::string iid, serial;
  if (!NextToken(text, length, at, out.time) || !NextToken(text, length, at, iid) ||
      !NextToken(text, length, at, serial) || !NextToken(text, length, at, out.word)) {
    out = EventLine{};
    out.iid = -1;
    return false;
  }
  out.iid = ParseIid(iid);
  if (serial != "-") out.serial = serial;
  std::string token;
  while (out.fields.size() < kEventsFieldLimit && NextToken(text, length, at, token)) {
    size_t eq = token.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    out.fields.push_back(EventField{token.substr(0, eq), token.substr(eq + 1)});
  }
  return true;
}

const std::string* FindEventField(const EventLine& line, const char* name) {
  for (const EventField& f : line.fields) {
    if (f.name == name) return &f.value;
  }
  return nullptr;
}
