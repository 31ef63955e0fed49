#include "bridge/set_payload.h"

#include <nlohmann/json.hpp>

#include "core/telegram.h"

namespace {

constexpr uint8_t kCmdOff = 0x00;
constexpr uint8_t kCmdOn = 0x11;
constexpr uint8_t kCmdToggle = 0x12;
constexpr uint8_t kBrightnessMax = 16;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return i == a.size() && b[i] == '\0';
}

// Commands whose extension byte is a time.
bool TakesSeconds(uint8_t cmd) {
  return cmd == 0x18 || cmd == 0x19 || cmd == 0x1A || cmd == 0x1C || cmd == 0x1D || cmd == 0x1E ||
         cmd == 0x1F;
}

// Seconds as digits with up to three decimals, in quarter seconds rounded
// up. False for anything else, or past the longest timer.
bool ParseSeconds(const std::string& text, uint32_t& quarters) {
  uint64_t thousandths = 0;
  size_t i = 0;
  size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    thousandths = thousandths * 10 + static_cast<uint64_t>(text[i] - '0');
    if (thousandths > 100000000) return false;  // far past 15,360 s, stop early
  }
  if (digits == 0) return false;
  thousandths *= 1000;
  if (i < text.size() && text[i] == '.') {
    ++i;
    uint64_t scale = 100;
    size_t decimals = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++decimals) {
      if (decimals == 3) return false;
      thousandths += static_cast<uint64_t>(text[i] - '0') * scale;
      scale /= 10;
    }
    if (decimals == 0) return false;
  }
  if (i != text.size()) return false;
  uint64_t q = (thousandths + 249) / 250;
  if (q > kLongestTimerQuarters) return false;
  quarters = static_cast<uint32_t>(q);
  return true;
}

bool ParseJsonCommand(const std::string& text, SetCommand& out, std::string& reason) {
  nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded()) {
    reason = "The payload is not valid JSON.";
    return false;
  }
  if (!doc.is_object()) {
    reason = "A JSON command must be an object such as {\"state\":\"ON\"}.";
    return false;
  }
  int state = -1;  // 0 off, 1 on, -1 not given
  auto s = doc.find("state");
  if (s != doc.end()) {
    if (!s->is_string()) {
      reason = "\"state\" must be \"ON\" or \"OFF\".";
      return false;
    }
    const std::string& value = s->get_ref<const std::string&>();
    if (EqualsNoCase(value, "on")) {
      state = 1;
    } else if (EqualsNoCase(value, "off")) {
      state = 0;
    } else {
      reason = "\"state\" must be \"ON\" or \"OFF\".";
      return false;
    }
  }
  int brightness = -1;
  auto b = doc.find("brightness");
  if (b != doc.end() && !b->is_null()) {
    double value = 0;
    if (b->is_number_integer() || b->is_number_unsigned()) {
      value = b->is_number_unsigned() ? static_cast<double>(b->get<uint64_t>())
                                      : static_cast<double>(b->get<int64_t>());
    } else if (b->is_number_float()) {
      value = b->get<double>();
    } else {
      reason = "\"brightness\" must be a number from 1 to 16.";
      return false;
    }
    if (!(value >= 0 && value <= kBrightnessMax) || value != static_cast<int>(value)) {
      reason = "\"brightness\" must be a whole number from 0 to 16.";
      return false;
    }
    brightness = static_cast<int>(value);
  }
  // Scaling a very low brightness down to 16 steps can give 0 with "ON":
  // the lowest step is what was meant. A 0 alone is off.
  if (brightness == 0 && state == 1) brightness = 1;
  if (state == 0 || brightness == 0) {
    out = SetCommand{kCmdOff, 0};
  } else if (brightness > 0) {
    out = SetCommand{static_cast<uint8_t>(brightness), 0};
  } else if (state == 1) {
    out = SetCommand{kCmdOn, 0};
  } else {
    reason = "A JSON command needs \"state\" or \"brightness\".";
    return false;
  }
  return true;
}

bool ParseWordCommand(const std::string& text, SetCommand& out, std::string& reason) {
  size_t space = 0;
  while (space < text.size() && !IsSpace(text[space])) ++space;
  std::string word = text.substr(0, space);
  size_t rest = space;
  while (rest < text.size() && IsSpace(text[rest])) ++rest;
  std::string argument = text.substr(rest);

  int cmd = -1;
  if (EqualsNoCase(word, "on")) {
    cmd = kCmdOn;
  } else if (EqualsNoCase(word, "off")) {
    cmd = kCmdOff;
  } else if (EqualsNoCase(word, "toggle")) {
    cmd = kCmdToggle;
  } else {
    for (int c = 0; c <= kFs20CommandMask; ++c) {
      if (EqualsNoCase(word, Fs20CommandName(static_cast<uint8_t>(c)))) {
        cmd = c;
        break;
      }
    }
  }
  if (cmd < 0) {
    reason = "Unknown command; send ON, OFF, TOGGLE, a JSON light command or a command name "
             "such as dim-8 or on-100-for-timer 60.";
    return false;
  }
  if (argument.empty()) {
    out = SetCommand{static_cast<uint8_t>(cmd), 0};
    return true;
  }
  if (!TakesSeconds(static_cast<uint8_t>(cmd))) {
    reason = std::string("The command ") + Fs20CommandName(static_cast<uint8_t>(cmd)) +
             " takes no seconds.";
    return false;
  }
  uint32_t quarters = 0;
  if (!ParseSeconds(argument, quarters)) {
    reason = "The time must be seconds from 0.25 to 15360, such as 60 or 2.5.";
    return false;
  }
  if (quarters == 0) {
    reason = "The time must be seconds from 0.25 to 15360, such as 60 or 2.5.";
    return false;
  }
  out = SetCommand{static_cast<uint8_t>(cmd | kFs20ExtensionFlag), TimerExtensionFor(quarters)};
  return true;
}

}  // namespace

uint8_t TimerExtensionFor(uint32_t quarters) {
  if (quarters == 0 || quarters > kLongestTimerQuarters) return 0;
  uint32_t bestTime = 0;
  uint8_t best = 0;
  for (uint32_t exponent = 0; exponent <= 12; ++exponent) {
    uint32_t unit = 1u << exponent;
    uint32_t count = (quarters + unit - 1) / unit;
    if (count == 0 || count > 15) continue;
    uint32_t time = unit * count;
    if (best == 0 || time < bestTime) {
      bestTime = time;
      best = static_cast<uint8_t>(exponent << 4 | count);
    }
  }
  return best;
}

bool ParseSetPayload(const char* payload, size_t length, SetCommand& out, std::string& reason) {
  out = SetCommand{0, 0};
  reason.clear();
  if (length > kSetPayloadMax) {
    reason = "The payload is longer than 256 bytes.";
    return false;
  }
  if (payload == nullptr && length > 0) {
    reason = "The payload is empty.";
    return false;
  }
  size_t begin = 0, end = length;
  while (begin < end && IsSpace(payload[begin])) ++begin;
  while (end > begin && IsSpace(payload[end - 1])) --end;
  if (begin == end) {
    reason = "The payload is empty.";
    return false;
  }
  std::string text(payload + begin, end - begin);
  // The JSON parser works on its own copy and allocates; the one thing it
  // may still throw is an allocation failure, which must not end the bridge.
  try {
    if (text[0] == '{' || text[0] == '[' || text[0] == '"') return ParseJsonCommand(text, out, reason);
    return ParseWordCommand(text, out, reason);
  } catch (...) {
    out = SetCommand{0, 0};
    reason = "The payload could not be read.";
    return false;
  }
}
