// Names that become parts of MQTT topics and of Home Assistant ids.
//
// A serial number or sensor id comes from a transceiver and may hold any
// byte the service lets through. In a topic level, "/" would add a level,
// "+" and "#" are wildcards that a broker refuses in a published topic (and
// closes the connection for), and control or non-ASCII bytes are at best
// unreadable. Such a level is written with percent escapes:
//
//   every byte outside "!" .. "~", and "/", "+", "#" and "%" itself, becomes
//   "%" and two upper-case hex digits; an empty level is written as "%"
//   alone (never produced otherwise, since an escape always has two digits).
//
// DecodeTopicLevel undoes it exactly. Plain functions, safe on any thread.
#pragma once

#include <string>

std::string EncodeTopicLevel(const std::string& raw);

// False when `level` is not a well-formed encoding (a "%" without two hex
// digits, or a byte that EncodeTopicLevel would have escaped).
bool DecodeTopicLevel(const std::string& level, std::string& raw);

// The node name: 1 to 64 characters of a-z 0-9 _ - (it is a topic level and
// part of every discovery object id, whose allowed characters these are).
constexpr size_t kNodeNameMax = 64;
bool IsValidNodeName(const std::string& node);

// A node name made from a computer name: letters in lower case, digits, "_"
// and "-" kept, anything else "-", cut to kNodeNameMax; "zarvo" when nothing
// is left.
std::string MakeNodeName(const std::string& computerName);

// A text as a Home Assistant object id and unique id part, reversibly:
// ASCII letters and digits kept, every other byte (UTF-8 bytes of "ü"
// included, and "_" itself) written "_" and two lower-case hex digits.
// "Küche" -> "K_c3_bcche".
std::string IdSlug(const std::string& text);
