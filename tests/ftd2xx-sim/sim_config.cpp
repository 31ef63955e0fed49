#include "tests/ftd2xx-sim/sim_config.h"

#include <cstring>

namespace {

constexpr size_t kMaxLine = 4096;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoreCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (AsciiLower(*a) != AsciiLower(*b)) return false;
  }
  return *a == *b;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = AsciiLower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHex(const char* s, uint32_t& out) {
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
  if (*s == '\0') return false;
  uint64_t v = 0;
  for (; *s; ++s) {
    int d = HexDigit(*s);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

// Decimal, or hexadecimal with a 0x prefix.
bool ParseNumber(const char* s, uint32_t& out) {
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) return ParseHex(s, out);
  if (*s == '\0') return false;
  uint64_t v = 0;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
    v = v * 10 + static_cast<uint64_t>(*s - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

// Hex digit pairs; ':' ',' '-' and '.' between bytes are allowed, since a
// value cannot hold blanks.
bool ParseBytes(const char* s, uint8_t* out, uint32_t& length) {
  length = 0;
  while (*s) {
    if (*s == ':' || *s == ',' || *s == '-' || *s == '.') {
      ++s;
      continue;
    }
    int hi = HexDigit(s[0]);
    int lo = hi < 0 ? -1 : HexDigit(s[1]);
    if (lo < 0 || length >= kSimMaxAnswer) return false;
    out[length++] = static_cast<uint8_t>(hi * 16 + lo);
    s += 2;
  }
  return true;
}

bool CopyText(const char* value, char* out, size_t size) {
  size_t n = std::strlen(value);
  if (n == 0 || n >= size) return false;
  std::memcpy(out, value, n + 1);
  return true;
}

void SetDefaults(SimDevice& d) {
  std::memset(&d, 0, sizeof d);
  d.vid = 0x0403;
  d.pid = 0xF06F;
  std::strcpy(d.manufacturer, "Simulated");
  std::strcpy(d.description, "USB-Transceiver");
  d.modem = 0x30;
}

bool ApplyKey(SimDevice& d, const char* key, const char* value) {
  uint32_t n = 0;
  if (!std::strcmp(key, "serial")) return CopyText(value, d.serial, sizeof d.serial);
  if (!std::strcmp(key, "manufacturer")) {
    return CopyText(value, d.manufacturer, sizeof d.manufacturer);
  }
  if (!std::strcmp(key, "description")) {
    return CopyText(value, d.description, sizeof d.description);
  }
  if (!std::strcmp(key, "answer")) return ParseBytes(value, d.answer, d.answerLength);
  if (!std::strcmp(key, "hear") || !std::strcmp(key, "hearseq")) d.listens = true;
  if (!std::strcmp(key, "hear")) return ParseBytes(value, d.hear, d.hearLength);
  if (!std::strcmp(key, "vid") || !std::strcmp(key, "pid")) {
    if (!ParseHex(value, n) || n > 0xFFFF) return false;
    (key[0] == 'v' ? d.vid : d.pid) = static_cast<uint16_t>(n);
    return true;
  }
  if (!ParseNumber(value, n)) return false;
  if (!std::strcmp(key, "open")) d.openStatus = n;
  else if (!std::strcmp(key, "modem")) d.modem = n;
  else if (!std::strcmp(key, "busy")) d.busy = n;
  else if (!std::strcmp(key, "chunk")) d.chunk = n;
  else if (!std::strcmp(key, "write")) d.writeStatus = n;
  else if (!std::strcmp(key, "hang")) d.hang = n;
  else if (!std::strcmp(key, "hangread")) d.hangRead = n;
  else if (!std::strcmp(key, "hangpulled")) d.hangPulled = n;
  else if (!std::strcmp(key, "hangopen")) d.hangOpen = n;
  else if (!std::strcmp(key, "hearseq")) d.hearSeq = n;
  else return false;
  return true;
}

// Splits one line (comment already cut off, NUL-terminated, modifiable) into
// words and fills `d`. Returns false for a blank line or a malformed one.
bool ParseLine(char* line, SimDevice& d) {
  char* words[64];
  int count = 0;
  for (char* p = line; *p;) {
    while (IsBlank(*p)) *p++ = '\0';
    if (!*p) break;
    if (count == 64) return false;
    words[count++] = p;
    while (*p && !IsBlank(*p)) ++p;
  }
  if (count == 0 || std::strcmp(words[0], "device") != 0) return false;
  SetDefaults(d);
  for (int i = 1; i < count; ++i) {
    char* eq = std::strchr(words[i], '=');
    if (!eq) return false;
    *eq = '\0';
    if (!ApplyKey(d, words[i], eq + 1)) return false;
  }
  return d.serial[0] != '\0';
}

}  // namespace

void ParseSimConfig(const char* text, size_t size, SimConfig& out) {
  out.count = 0;
  char line[kMaxLine];
  size_t pos = 0;
  while (pos < size) {
    size_t end = pos;
    while (end < size && text[end] != '\n') ++end;
    size_t len = end - pos;
    const char* hash = static_cast<const char*>(std::memchr(text + pos, '#', len));
    if (hash) len = static_cast<size_t>(hash - (text + pos));
    if (len < sizeof line && out.count < kSimMaxDevices) {
      std::memcpy(line, text + pos, len);
      line[len] = '\0';
      SimDevice& d = out.devices[out.count];
      if (ParseLine(line, d) && !FindSimDevice(out, d.serial)) ++out.count;
    }
    pos = end + 1;
  }
}

const SimDevice* FindSimDevice(const SimConfig& config, const char* serial) {
  for (int i = 0; i < config.count; ++i) {
    if (EqualsIgnoreCase(config.devices[i].serial, serial)) return &config.devices[i];
  }
  return nullptr;
}
