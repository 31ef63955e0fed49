// Discovery configs against the expected files in discovery/, which were
// written and read against Home Assistant's MQTT documentation (light with
// the json schema, event, switch, button, binary_sensor and sensor device
// classes, availability_mode, the device and origin blocks), and against a
// list of deprecated keys that must appear nowhere.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/discovery.h"

namespace {

using Json = nlohmann::json;

Json Expected(const std::string& name) {
  std::ifstream in(std::string(ZARVO_DISCOVERY_EXPECTED) + "/" + name + ".json");
  std::stringstream s;
  s << in.rdbuf();
  Json j = Json::parse(s.str(), nullptr, false);
  EXPECT_TRUE(j.is_object()) << name << ".json is missing or not JSON";
  return j;
}

Json AsMap(const std::vector<ConfigMessage>& messages) {
  Json m = Json::object();
  for (const ConfigMessage& c : messages) m[c.topic] = Json::parse(c.payload);
  return m;
}

const DiscoveryContext kCtx{"homeassistant", "zarvo/den", "den", "1.2.3"};

struct Case {
  const char* file;
  std::function<void(std::vector<ConfigMessage>&)> make;
};

std::vector<Case> Cases() {
  return {
      {"bridge", [](std::vector<ConfigMessage>& o) { BridgeConfigs(kCtx, o); }},
      {"transceiver", [](std::vector<ConfigMessage>& o) { TransceiverConfigs(kCtx, "EL000777", o); }},
      {"fs20_light",
       [](std::vector<ConfigMessage>& o) { Fs20Configs(kCtx, "12341111", "1111", "K\xC3\xBC" "che", kKindLight, o); }},
      {"fs20_switch", [](std::vector<ConfigMessage>& o) { Fs20Configs(kCtx, "12341111", "1112", "", kKindSwitch, o); }},
      {"fs20_motion", [](std::vector<ConfigMessage>& o) { Fs20Configs(kCtx, "12341111", "1113", "", kKindMotion, o); }},
      {"fs20_button",
       [](std::vector<ConfigMessage>& o) { Fs20Configs(kCtx, "12341111", "1114", "Gong", kKindButton, o); }},
      {"sensor_temp_hum", [](std::vector<ConfigMessage>& o) { SensorConfigs(kCtx, "temp-hum", "473A", "", kKindDoor, o); }},
      {"sensor_smoke_named",
       [](std::vector<ConfigMessage>& o) { SensorConfigs(kCtx, "smoke", "B16D", "Hallway", kKindDoor, o); }},
      {"sensor_door_as_window",
       [](std::vector<ConfigMessage>& o) { SensorConfigs(kCtx, "door", "0C0C", "Terrace", kKindWindow, o); }},
      {"sensor_co", [](std::vector<ConfigMessage>& o) { SensorConfigs(kCtx, "co", "0D0D", "", kKindDoor, o); }},
      {"sensor_breaker", [](std::vector<ConfigMessage>& o) { SensorConfigs(kCtx, "breaker", "0E0E", "", kKindDoor, o); }},
      {"heating", [](std::vector<ConfigMessage>& o) { HeatingConfigs(kCtx, "1234", "Living room", o); }},
      {"weather", [](std::vector<ConfigMessage>& o) { WeatherConfigs(kCtx, "EL000777", "", o); }},
  };
}

void FindKeys(const Json& j, const std::string& key, const std::string& path, std::vector<std::string>& found) {
  if (j.is_object()) {
    for (auto it = j.begin(); it != j.end(); ++it) {
      if (it.key() == key) found.push_back(path + "/" + it.key());
      FindKeys(it.value(), key, path + "/" + it.key(), found);
    }
  } else if (j.is_array()) {
    for (const Json& e : j) FindKeys(e, key, path + "[]", found);
  }
}

TEST(Discovery, EachKindMatchesItsCheckedFile) {
  for (const Case& c : Cases()) {
    std::vector<ConfigMessage> messages;
    c.make(messages);
    Json got = AsMap(messages);
    Json want = Expected(c.file);
    EXPECT_EQ(got, want) << c.file << ": generated\n" << got.dump(2);
  }
}

TEST(Discovery, EveryEntityCarriesIdsDeviceAvailabilityAndOriginAndNoDeprecatedKey) {
  Json forbidden = Expected("forbidden_keys")["keys"];
  ASSERT_TRUE(forbidden.is_array());
  std::vector<std::string> uniqueIds;
  for (const Case& c : Cases()) {
    std::vector<ConfigMessage> messages;
    c.make(messages);
    for (const ConfigMessage& m : messages) {
      Json j = Json::parse(m.payload);
      for (const Json& key : forbidden) {
        std::vector<std::string> found;
        FindKeys(j, key.get<std::string>(), "", found);
        EXPECT_TRUE(found.empty()) << m.topic << " has " << found[0];
      }
      // homeassistant/<component>/<object id>/config, the object id being
      // the unique id without "zarvo_".
      ASSERT_TRUE(j["unique_id"].is_string()) << m.topic;
      std::string uid = j["unique_id"];
      EXPECT_EQ(m.topic.substr(m.topic.find('/', 14) + 1), uid.substr(6) + "/config");
      uniqueIds.push_back(uid);
      ASSERT_TRUE(j["device"]["identifiers"].is_array()) << m.topic;
      bool bridge = j["device"]["identifiers"][0] == "zarvo_den_bridge";
      if (!bridge) {
        EXPECT_EQ(j["device"]["via_device"], "zarvo_den_bridge") << m.topic;
      }
      EXPECT_EQ(j["availability_mode"], "all") << m.topic;
      EXPECT_EQ(j["availability"][0]["topic"], "zarvo/den/status") << m.topic;
      if (uid != "zarvo_den_bridge_service") {
        EXPECT_EQ(j["availability"][1]["topic"], "zarvo/den/service") << m.topic;
      }
      EXPECT_EQ(j["origin"]["name"], "ZARVO Remote MQTT bridge") << m.topic;
      EXPECT_TRUE(IsOurConfigTopic(kCtx, m.topic)) << m.topic;
    }
  }
  std::sort(uniqueIds.begin(), uniqueIds.end());
  EXPECT_EQ(std::adjacent_find(uniqueIds.begin(), uniqueIds.end()), uniqueIds.end()) << "unique ids repeat";
}

}  // namespace
