// The bridge's settings: the broker's forms, the defaults, and what -config
// and the bridge refuse.
#include "bridge/bridge_settings.h"

#include <gtest/gtest.h>

namespace {

BrokerAddress Broker(const std::string& text) {
  BrokerAddress a;
  std::string reason;
  EXPECT_TRUE(ParseBrokerAddress(text, a, reason)) << text << ": " << reason;
  return a;
}

bool Refused(const std::string& text) {
  BrokerAddress a;
  std::string reason;
  bool ok = ParseBrokerAddress(text, a, reason);
  EXPECT_TRUE(ok || !reason.empty()) << text;
  return !ok;
}

StoredSettings Store(std::initializer_list<std::pair<BridgeSettingKey, const char*>> values) {
  StoredSettings s;
  for (const auto& v : values) {
    s.has[v.first] = true;
    s.value[v.first] = v.second;
  }
  return s;
}

TEST(BridgeSettings, BrokerByNameIpv4AndIpv6WithAndWithoutPort) {
  EXPECT_EQ(Broker("mqtt.lan").host, "mqtt.lan");
  EXPECT_EQ(Broker("mqtt.lan").port, 1883);
  EXPECT_EQ(Broker("192.168.1.10:8883").host, "192.168.1.10");
  EXPECT_EQ(Broker("192.168.1.10:8883").port, 8883);
  EXPECT_EQ(Broker("::1").host, "::1");
  EXPECT_EQ(Broker("::1").port, 1883);
  EXPECT_EQ(Broker("fe80::1:2:3").host, "fe80::1:2:3");
  EXPECT_EQ(Broker("[::1]").host, "::1");
  EXPECT_EQ(Broker("[2001:db8::5]:1884").host, "2001:db8::5");
  EXPECT_EQ(Broker("[2001:db8::5]:1884").port, 1884);
  EXPECT_EQ(Broker("h:65535").port, 65535);

  for (const char* bad : {"", "host:", "host:0", "host:65536", "host:12a", "host:+1", "[::1", "[::1]x",
                          "[::1]:", "[]:1883", ":1883", "two words", "tab\there", "a/b"}) {
    EXPECT_TRUE(Refused(bad)) << bad;
  }
  EXPECT_TRUE(Refused(std::string(261, 'a')));
}

TEST(BridgeSettings, DefaultsFillWhatIsNotStored) {
  EffectiveSettings e;
  std::string setting, reason;
  ASSERT_TRUE(ResolveSettings(Store({{kSettingBroker, "127.0.0.1:1884"}}), "KITCHEN-PC.2", e, setting,
                              reason))
      << setting << ": " << reason;
  EXPECT_EQ(e.broker.port, 1884);
  EXPECT_FALSE(e.hasUser);
  EXPECT_FALSE(e.hasPassword);
  EXPECT_EQ(e.bridge.prefix, "zarvo");
  EXPECT_EQ(e.bridge.node, "kitchen-pc-2");
  EXPECT_EQ(e.clientId, "zarvo-kitchen-pc-2");
  EXPECT_EQ(e.bridge.discovery, "homeassistant");
  EXPECT_EQ(e.bridge.birth, "homeassistant/status");

  // Stored empty: prefix and node fall back to their defaults; discovery
  // and birth are off.
  ASSERT_TRUE(ResolveSettings(Store({{kSettingBroker, "b"},
                                     {kSettingUser, "u"},
                                     {kSettingPassword, "p w=d"},
                                     {kSettingPrefix, ""},
                                     {kSettingNode, ""},
                                     {kSettingDiscovery, ""},
                                     {kSettingBirth, ""}}),
                              "", e, setting, reason));
  EXPECT_EQ(e.bridge.prefix, "zarvo");
  EXPECT_EQ(e.bridge.node, "zarvo");
  EXPECT_EQ(e.bridge.discovery, "");
  EXPECT_EQ(e.bridge.birth, "");
  EXPECT_TRUE(e.hasPassword);
  EXPECT_EQ(e.password, "p w=d");
}

TEST(BridgeSettings, UnusableSettingsAreNamedWithWhy) {
  struct Case {
    StoredSettings stored;
    const char* setting;
  } cases[] = {
      {Store({}), "broker"},
      {Store({{kSettingBroker, "host:99999"}}), "broker"},
      {Store({{kSettingBroker, "b"}, {kSettingPassword, "secret"}}), "password"},
      {Store({{kSettingBroker, "b"}, {kSettingNode, "Kitchen"}}), "node"},
      {Store({{kSettingBroker, "b"}, {kSettingPrefix, "zarvo/#"}}), "prefix"},
      {Store({{kSettingBroker, "b"}, {kSettingPrefix, "/zarvo"}}), "prefix"},
      {Store({{kSettingBroker, "b"}, {kSettingDiscovery, "ha/+"}}), "discovery"},
      {Store({{kSettingBroker, "b"}, {kSettingBirth, "a//b"}}), "birth"},
      {Store({{kSettingBroker, "b"}, {kSettingUser, "a\nb"}}), "user"},
  };
  for (const Case& c : cases) {
    EffectiveSettings e;
    std::string setting, reason;
    EXPECT_FALSE(ResolveSettings(c.stored, "pc", e, setting, reason)) << c.setting;
    EXPECT_EQ(setting, c.setting);
    EXPECT_FALSE(reason.empty()) << c.setting;
  }
}

TEST(BridgeSettings, ConfigArgumentsAndWhatAnEmptyValueMeans) {
  BridgeSettingKey key;
  std::string value, reason;
  ASSERT_TRUE(ParseConfigArgument("Password=a=b", key, value, reason));
  EXPECT_EQ(key, kSettingPassword);
  EXPECT_EQ(value, "a=b");
  ASSERT_TRUE(ParseConfigArgument("broker=", key, value, reason));
  EXPECT_EQ(value, "");
  EXPECT_FALSE(ParseConfigArgument("broker", key, value, reason));
  EXPECT_FALSE(ParseConfigArgument("port=1883", key, value, reason));
  EXPECT_NE(reason.find("no setting"), std::string::npos);

  bool remove = false;
  EXPECT_TRUE(CheckSettingValue(kSettingBroker, "", remove, reason));
  EXPECT_TRUE(remove);
  EXPECT_TRUE(CheckSettingValue(kSettingDiscovery, "", remove, reason));
  EXPECT_FALSE(remove) << "empty discovery is stored: it turns discovery off";
  EXPECT_FALSE(CheckSettingValue(kSettingPassword, std::string(257, 'x'), remove, reason));
  EXPECT_FALSE(CheckSettingValue(kSettingNode, "my node", remove, reason));
  EXPECT_TRUE(CheckSettingValue(kSettingNode, "my-node_2", remove, reason));
}

TEST(BridgeSettings, WhatAChangeAsksFor) {
  EffectiveSettings a, b;
  std::string setting, reason;
  ASSERT_TRUE(ResolveSettings(Store({{kSettingBroker, "b"}}), "pc", a, setting, reason));
  b = a;
  EXPECT_FALSE(BrokerSettingsDiffer(a, b));
  EXPECT_FALSE(TopicSettingsDiffer(a, b));
  b.password = "new";
  b.hasPassword = true;
  EXPECT_TRUE(BrokerSettingsDiffer(a, b));
  EXPECT_FALSE(TopicSettingsDiffer(a, b));
  b = a;
  b.bridge.prefix = "home";
  EXPECT_FALSE(BrokerSettingsDiffer(a, b));
  EXPECT_TRUE(TopicSettingsDiffer(a, b));
}

}  // namespace
