#include "bridge/topic_level.h"

namespace {

bool KeptInLevel(unsigned char c) {
  return c >= 0x21 && c <= 0x7E && c != '/' && c != '+' && c != '#' && c != '%';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsAsciiAlnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

std::string EncodeTopicLevel(const std::string& raw) {
  static const char kHex[] = "0123456789ABCDEF";
  if (raw.empty()) return "%";
  std::string out;
  out.reserve(raw.size());
  for (char ch : raw) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (KeptInLevel(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

bool DecodeTopicLevel(const std::string& level, std::string& raw) {
  raw.clear();
  if (level == "%") return true;
  if (level.empty()) return false;
  for (size_t i = 0; i < level.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(level[i]);
    if (c == '%') {
      if (i + 2 >= level.size()) return false;
      char h = level[i + 1], l = level[i + 2];
      // Only the upper-case form that EncodeTopicLevel writes, and only for
      // bytes it escapes: one byte string has one encoding.
      if (h >= 'a' || l >= 'a') return false;
      int hi = HexValue(h);
      int lo = HexValue(l);
      if (hi < 0 || lo < 0) return false;
      unsigned char decoded = static_cast<unsigned char>(hi * 16 + lo);
      if (KeptInLevel(decoded)) return false;
      raw.push_back(static_cast<char>(decoded));
      i += 2;
    } else if (KeptInLevel(c)) {
      raw.push_back(static_cast<char>(c));
    } else {
      return false;
    }
  }
  return true;
}

bool IsValidNodeName(const std::string& node) {
  if (node.empty() || node.size() > kNodeNameMax) return false;
  for (char c : node) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return false;
  }
  return true;
}

std::string MakeNodeName(const std::string& computerName) {
  std::string out;
  for (char ch : computerName) {
    if (out.size() == kNodeNameMax) break;
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c - 'A' + 'a'));
    } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('-');
    }
  }
  return out.empty() ? "zarvo" : out;
}

std::string IdSlug(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (IsAsciiAlnum(c)) {
      out.push_back(ch);
    } else {
      out.push_back('_');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}
