// The bridge's settings: the values an administrator stores under
// HKLM\SOFTWARE\ZARVO Remote\MQTT (with ZARVOMQTT -config key=value), their
// defaults, and the checks that decide whether they can be used.
//
//   broker     host or host:port (default port 1883): a name, an IPv4
//              address, an IPv6 address alone or in brackets ([::1]:1883)
//   user       the MQTT user name; empty: none
//   password   needs a user
//   prefix     the first topic levels, default "zarvo"
//   node       a-z 0-9 _ -, default the computer name made so
//   discovery  Home Assistant's discovery prefix, default "homeassistant";
//              stored empty: discovery off
//   birth      Home Assistant's status topic, default "homeassistant/status";
//              stored empty: not listened to
//
// The stored values are UTF-8 here (the Windows part converts the
// registry's UTF-16). Every `reason` is a phrase without a final period, for
// "<setting>: <reason>." in messages and events. Plain functions: no state,
// safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/bridge_core.h"

constexpr uint16_t kDefaultBrokerPort = 1883;
// Longest values taken: a DNS name is at most 253 characters; user name and
// password fit the CONNECT the session keeps (kMqttConnectBytes) together
// with the client id and the will.
constexpr size_t kBrokerTextMax = 260;
constexpr size_t kCredentialMax = 256;
constexpr size_t kTopicSettingMax = 200;

enum BridgeSettingKey : uint8_t {
  kSettingBroker = 0,
  kSettingUser,
  kSettingPassword,
  kSettingPrefix,
  kSettingNode,
  kSettingDiscovery,
  kSettingBirth,
  kSettingCount,
};

// The registry value's name: "broker", "user", ...
const char* BridgeSettingName(BridgeSettingKey key);
// The key for a name, letters in either case. False for an unknown name.
bool FindBridgeSetting(const std::string& name, BridgeSettingKey& key);

// What the registry holds: each value present or not.
struct StoredSettings {
  bool has[kSettingCount] = {};
  std::string value[kSettingCount];
};

struct BrokerAddress {
  std::string host;  // a name or an address, without brackets
  uint16_t port = kDefaultBrokerPort;
};

// Takes the broker setting apart. False with `reason` for an empty text, a
// host with blanks or control characters, an unclosed bracket, or a port
// that is not 1 .. 65535.
bool ParseBrokerAddress(const std::string& text, BrokerAddress& out, std::string& reason);

// Everything the bridge runs with, defaults applied.
struct EffectiveSettings {
  BrokerAddress broker;
  bool hasUser = false;
  std::string user;
  bool hasPassword = false;
  std::string password;
  BridgeSettings bridge;  // prefix, node, discovery, birth (version left to the caller)
  std::string clientId;   // "zarvo-<node>"
};

// Applies the defaults (the node from `computerName`) and checks every
// value. False with the first unusable setting's name in `setting` and why
// in `reason` (`out` left as it was); a broker that is not set is unusable
// too.
bool ResolveSettings(const StoredSettings& stored, const std::string& computerName,
                     EffectiveSettings& out, std::string& setting, std::string& reason);

// Checks one value before -config stores it. An empty value removes the
// setting (its default applies) for every key but discovery and birth, where
// empty is stored and turns that off; `remove` says which.
bool CheckSettingValue(BridgeSettingKey key, const std::string& value, bool& remove,
                       std::string& reason);

// One -config argument, "key=value" (the value may be empty or hold "=").
// False with `reason` for a missing "=" or an unknown key.
bool ParseConfigArgument(const std::string& argument, BridgeSettingKey& key, std::string& value,
                         std::string& reason);

// True when connecting again is needed: broker, credentials or client id
// differ.
bool BrokerSettingsDiffer(const EffectiveSettings& a, const EffectiveSettings& b);
// True when the topics differ: prefix, node, discovery or birth.
bool TopicSettingsDiffer(const EffectiveSettings& a, const EffectiveSettings& b);
