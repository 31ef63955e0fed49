#include "bridge/bridge_settings.h"

#include <memory>

#include "bridge/topic_level.h"

namespace {

const char* const kNames[kSettingCount] = {"broker", "user",      "password", "prefix",
                                           "node",   "discovery", "birth"};

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool HasControlOrBlank(const std::string& text) {
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F) return true;
  }
  return false;
}

bool HasControl(const std::string& text) {
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// 1 .. 65535 in decimal digits only.
bool ParsePort(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// The topic settings go through the engine's own checks, so that -config
// refuses exactly what the bridge could not start with.
// Its reasons are sentences; here they are phrases, as the others.
bool CheckTopics(const BridgeSettings& settings, std::string& reason) {
  std::unique_ptr<BridgeCore> core(new BridgeCore());
  if (BridgeInit(*core, settings, reason)) return true;
  if (!reason.empty() && reason.back() == '.') reason.pop_back();
  return false;
}

const std::string& Stored(const StoredSettings& stored, BridgeSettingKey key,
                          const std::string& fallback) {
  return stored.has[key] ? stored.value[key] : fallback;
}

}  // namespace

const char* BridgeSettingName(BridgeSettingKey key) {
  return key < kSettingCount ? kNames[key] : "";
}

bool FindBridgeSetting(const std::string& name, BridgeSettingKey& key) {
  for (int k = 0; k < kSettingCount; ++k) {
    const char* candidate = kNames[k];
    size_t i = 0;
    while (i < name.size() && candidate[i] != '\0' && AsciiLower(name[i]) == candidate[i]) ++i;
    if (i == name.size() && candidate[i] == '\0') {
      key = static_cast<BridgeSettingKey>(k);
      return true;
    }
  }
  return false;
}

bool ParseBrokerAddress(const std::string& text, BrokerAddress& out, std::string& reason) {
  out = BrokerAddress{};
  if (text.empty()) {
    reason = "no broker is set";
    return false;
  }
  if (text.size() > kBrokerTextMax) {
    reason = "the broker's name is longer than 260 characters";
    return false;
  }
  if (HasControlOrBlank(text)) {
    reason = "the broker's name holds a blank or a control character";
    return false;
  }
  std::string host;
  std::string port;
  bool hasPort = false;
  if (text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) {
      reason = "the IPv6 address has no closing ]";
      return false;
    }
    host = text.substr(1, close - 1);
    std::string rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') {
        reason = "only :port may follow the ] of an IPv6 address";
        return false;
      }
      port = rest.substr(1);
      hasPort = true;
    }
  } else {
    size_t first = text.find(':');
    if (first != std::string::npos && text.find(':', first + 1) == std::string::npos) {
      host = text.substr(0, first);
      port = text.substr(first + 1);
      hasPort = true;
    } else {
      // No colon, or several: an IPv6 address without a port.
      host = text;
    }
  }
  if (host.empty() || host.find_first_of("[]/") != std::string::npos) {
    reason = "the broker must be host or host:port ([address]:port for IPv6)";
    return false;
  }
  out.host = host;
  if (hasPort && !ParsePort(port, out.port)) {
    reason = "the broker's port must be a number from 1 to 65535";
    return false;
  }
  return true;
}

bool ResolveSettings(const StoredSettings& stored, const std::string& computerName,
                     EffectiveSettings& out, std::string& setting, std::string& reason) {
  EffectiveSettings e;
  static const std::string kEmpty;
  BridgeSettings defaults;
  for (int k = 0; k < kSettingCount; ++k) {
    bool remove = false;
    BridgeSettingKey key = static_cast<BridgeSettingKey>(k);
    if (stored.has[k] && !CheckSettingValue(key, stored.value[k], remove, reason)) {
      setting = kNames[k];
      return false;
    }
  }
  setting = kNames[kSettingBroker];
  if (!ParseBrokerAddress(Stored(stored, kSettingBroker, kEmpty), e.broker, reason)) return false;
  e.user = Stored(stored, kSettingUser, kEmpty);
  e.hasUser = !e.user.empty();
  e.password = Stored(stored, kSettingPassword, kEmpty);
  e.hasPassword = !e.password.empty();
  if (e.hasPassword && !e.hasUser) {
    setting = kNames[kSettingPassword];
    reason = "a password needs a user name (MQTT sends no password alone)";
    return false;
  }
  BridgeSettings& b = e.bridge;
  b.prefix = stored.has[kSettingPrefix] && !stored.value[kSettingPrefix].empty()
                 ? stored.value[kSettingPrefix]
                 : defaults.prefix;
  b.node = stored.has[kSettingNode] && !stored.value[kSettingNode].empty()
               ? stored.value[kSettingNode]
               : MakeNodeName(computerName);
  b.discovery = Stored(stored, kSettingDiscovery, defaults.discovery);
  b.birth = Stored(stored, kSettingBirth, defaults.birth);
  setting = "prefix, node, discovery or birth";
  if (!CheckTopics(b, reason)) return false;
  e.clientId = "zarvo-" + b.node;
  setting.clear();
  out = std::move(e);
  return true;
}

bool CheckSettingValue(BridgeSettingKey key, const std::string& value, bool& remove,
                       std::string& reason) {
  remove = value.empty() && key != kSettingDiscovery && key != kSettingBirth;
  if (remove) return true;
  switch (key) {
    case kSettingBroker: {
      BrokerAddress address;
      return ParseBrokerAddress(value, address, reason);
    }
    case kSettingUser:
    case kSettingPassword:
      if (value.size() > kCredentialMax) {
        reason = "longer than 256 bytes";
        return false;
      }
      if (key == kSettingUser && HasControl(value)) {
        reason = "the user name holds a control character";
        return false;
      }
      return true;
    case kSettingPrefix:
    case kSettingNode:
    case kSettingDiscovery:
    case kSettingBirth: {
      if (value.size() > kTopicSettingMax) {
        reason = "longer than 200 characters";
        return false;
      }
      BridgeSettings check;
      check.node = "zarvo";
      if (key == kSettingPrefix) check.prefix = value;
      if (key == kSettingNode) check.node = value;
      if (key == kSettingDiscovery) check.discovery = value;
      if (key == kSettingBirth) check.birth = value;
      return CheckTopics(check, reason);
    }
    default:
      reason = "unknown setting";
      return false;
  }
}

bool ParseConfigArgument(const std::string& argument, BridgeSettingKey& key, std::string& value,
                         std::string& reason) {
  size_t equals = argument.find('=');
  if (equals == std::string::npos) {
    reason = "\"" + argument + "\" is not key=value";
    return false;
  }
  std::string name = argument.substr(0, equals);
  if (!FindBridgeSetting(name, key)) {
    reason = "\"" + name + "\" is no setting (broker, user, password, prefix, node, discovery, birth)";
    return false;
  }
  value = argument.substr(equals + 1);
  return true;
}

bool BrokerSettingsDiffer(const EffectiveSettings& a, const EffectiveSettings& b) {
  return a.broker.host != b.broker.host || a.broker.port != b.broker.port ||
         a.hasUser != b.hasUser || a.user != b.user || a.hasPassword != b.hasPassword ||
         a.password != b.password || a.clientId != b.clientId;
}

bool TopicSettingsDiffer(const EffectiveSettings& a, const EffectiveSettings& b) {
  return a.bridge.prefix != b.bridge.prefix || a.bridge.node != b.bridge.node ||
         a.bridge.discovery != b.bridge.discovery || a.bridge.birth != b.bridge.birth;
}
