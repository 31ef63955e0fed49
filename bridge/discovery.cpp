#include "bridge/discovery.h"

#include <nlohmann/json.hpp>

#include "bridge/topic_level.h"
#include "core/telegram.h"

namespace {

using Json = nlohmann::ordered_json;

const char kOrigin[] = "ZARVO Remote MQTT bridge";

std::string Dump(const Json& j) {
  // Names come from devices.ini as checked UTF-8, everything else is ASCII;
  // replacing bad bytes rather than throwing is the last line of defence.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string BridgeIdentifier(const DiscoveryContext& ctx) { return "zarvo_" + ctx.node + "_bridge"; }

Json Availability(const DiscoveryContext& ctx, bool withService) {
  Json list = Json::array();
  list.push_back(Json{{"topic", ctx.base + "/status"}});
  if (withService) list.push_back(Json{{"topic", ctx.base + "/service"}});
  return list;
}

Json Origin(const DiscoveryContext& ctx) {
  return Json{{"name", kOrigin}, {"sw_version", ctx.version}};
}

Json BridgeDevice(const DiscoveryContext& ctx) {
  return Json{{"identifiers", Json::array({BridgeIdentifier(ctx)})},
              {"name", "ZARVO Remote " + ctx.node},
              {"manufacturer", "ZARVO"},
              {"model", kOrigin},
              {"sw_version", ctx.version}};
}

Json Device(const DiscoveryContext& ctx, const std::string& deviceObject, const std::string& name,
            const std::string& model) {
  return Json{{"identifiers", Json::array({"zarvo_" + ctx.node + "_" + deviceObject})},
              {"name", name},
              {"model", model},
              {"via_device", BridgeIdentifier(ctx)}};
}

// One entity: its fields first, then what every entity carries.
void Emit(const DiscoveryContext& ctx, const char* component, const std::string& object,
          Json entity, const Json& device, bool withService, std::vector<ConfigMessage>& out) {
  std::string objectId = ctx.node + "_" + object;
  Json config = Json::object();
  config["name"] = entity.contains("name") ? entity["name"] : Json(nullptr);
  config["unique_id"] = "zarvo_" + objectId;
  for (auto it = entity.begin(); it != entity.end(); ++it) {
    if (it.key() != "name") config[it.key()] = it.value();
  }
  config["availability"] = Availability(ctx, withService);
  config["availability_mode"] = "all";
  config["device"] = device;
  config["origin"] = Origin(ctx);
  out.push_back(ConfigMessage{ctx.discovery + "/" + component + "/" + objectId + "/config", Dump(config)});
}

Json Measurement(const char* name, const std::string& stateTopic, const char* field,
                 const char* deviceClass, const char* unit) {
  Json e{{"name", name}, {"state_topic", stateTopic}};
  if (deviceClass != nullptr) e["device_class"] = deviceClass;
  e["state_class"] = "measurement";
  e["unit_of_measurement"] = unit;
  e["value_template"] = std::string("{{ value_json.") + field + " }}";
  return e;
}

Json Battery(const std::string& stateTopic) {
  return Json{{"name", "Battery"},
              {"state_topic", stateTopic},
              {"device_class", "battery"},
              {"entity_category", "diagnostic"},
              {"value_template", "{{ 'ON' if value_json.battery == 'low' else 'OFF' }}"}};
}

// The alarm of a sensor type, as a binary sensor's device class; null for
// the types that measure instead, "" for an alarm without a class.
const char* AlarmClass(const std::string& type, Fs20Kind kind) {
  if (type == "water") return "moisture";
  if (type == "smoke") return "smoke";
  if (type == "door") return kind == kKindWindow ? "window" : kind == kKindOpening ? "opening" : "door";
  if (type == "gas") return "gas";
  if (type == "co") return "carbon_monoxide";
  if (type == "breaker") return "problem";
  if (type == "other") return "";
  return nullptr;
}

const char* SensorModel(const std::string& type) {
  if (type == "temp-hum") return "HMS temperature and humidity sensor";
  if (type == "temp") return "HMS temperature sensor";
  if (type == "water") return "HMS water sensor";
  if (type == "smoke") return "HMS smoke detector";
  if (type == "door") return "HMS door and window contact";
  if (type == "gas") return "HMS gas detector";
  if (type == "co") return "HMS carbon monoxide detector";
  if (type == "breaker") return "HMS residual-current breaker monitor";
  return "HMS sensor";
}

std::string TypeWord(const std::string& type) {
  std::string out;
  for (char c : type) {
    if (c != '-') out.push_back(c);
  }
  return out;
}

const char* const kObjectKinds[] = {"fs20_", "sensor_", "heating_", "weather_", "transceiver_", "bridge_"};

}  // namespace

std::vector<std::string> Fs20EventTypes() {
  std::vector<std::string> names;
  for (uint8_t c = 0; c <= kFs20CommandMask; ++c) names.push_back(Fs20CommandName(c));
  return names;
}

std::string Fs20Level(const std::string& hc, const std::string& addr) { return hc + "-" + addr; }

void BridgeConfigs(const DiscoveryContext& ctx, std::vector<ConfigMessage>& out) {
  Json e{{"name", "ZARVO Remote connection"},
         {"state_topic", ctx.base + "/service"},
         {"device_class", "connectivity"},
         {"entity_category", "diagnostic"},
         {"payload_on", "online"},
         {"payload_off", "offline"}};
  Emit(ctx, "binary_sensor", "bridge_service", e, BridgeDevice(ctx), false, out);
}

void TransceiverConfigs(const DiscoveryContext& ctx, const std::string& serial,
                        std::vector<ConfigMessage>& out) {
  Json e{{"name", "Transceiver " + serial},
         {"state_topic", ctx.base + "/transceiver/" + EncodeTopicLevel(serial) + "/state"},
         {"device_class", "connectivity"},
         {"entity_category", "diagnostic"},
         {"value_template", "{{ 'ON' if value_json.present else 'OFF' }}"}};
  Emit(ctx, "binary_sensor", "transceiver_" + IdSlug(serial), e, BridgeDevice(ctx), true, out);
}

void Fs20Configs(const DiscoveryContext& ctx, const std::string& hc, const std::string& addr,
                 const std::string& name, Fs20Kind kind, std::vector<ConfigMessage>& out) {
  std::string level = Fs20Level(hc, addr);
  std::string object = "fs20_" + hc + "_" + addr;
  std::string topic = ctx.base + "/fs20/" + level;
  std::string deviceName = name.empty() ? "FS20 " + level : name;
  Json device = Device(ctx, object, deviceName, std::string("FS20 ") + Fs20KindName(kind));

  Json e{{"name", nullptr}};
  const char* component = "light";
  switch (kind) {
    case kKindLight:
      e["schema"] = "json";
      e["command_topic"] = topic + "/set";
      e["state_topic"] = topic + "/state";
      e["supported_color_modes"] = Json::array({"brightness"});
      e["brightness_scale"] = 16;
      e["qos"] = 1;
      break;
    case kKindSwitch:
      component = "switch";
      e["command_topic"] = topic + "/set";
      e["state_topic"] = topic + "/state";
      e["value_template"] = "{{ value_json.state }}";
      e["qos"] = 1;
      break;
    case kKindButton:
      component = "button";
      e["command_topic"] = topic + "/set";
      e["payload_press"] = "ON";
      e["qos"] = 1;
      break;
    default:
      component = "binary_sensor";
      e["state_topic"] = topic + "/state";
      e["device_class"] = Fs20KindName(kind);
      e["value_template"] = "{{ value_json.state }}";
      break;
  }
  Emit(ctx, component, object, e, device, true, out);

  Json event{{"name", "Telegrams"}, {"state_topic", topic + "/event"}, {"event_types", Fs20EventTypes()}};
  Emit(ctx, "event", object + "_event", event, device, true, out);
}

void SensorConfigs(const DiscoveryContext& ctx, const std::string& type, const std::string& id,
                   const std::string& name, Fs20Kind kind, std::vector<ConfigMessage>& out) {
  std::string object = "sensor_" + TypeWord(type) + (name.empty() ? "_id_" + IdSlug(id) : "_name_" + IdSlug(name));
  std::string topic = ctx.base + "/sensor/" + EncodeTopicLevel(id + "-" + type) + "/state";
  std::string deviceName = name.empty() ? "Sensor " + id + " (" + type + ")" : name;
  Json device = Device(ctx, object, deviceName, SensorModel(type));

  if (type == "temp-hum" || type == "temp") {
    Emit(ctx, "sensor", object + "_temperature",
         Measurement("Temperature", topic, "temp", "temperature", "\xC2\xB0" "C"), device, true, out);
    if (type == "temp-hum") {
      Emit(ctx, "sensor", object + "_humidity",
           Measurement("Humidity", topic, "hum", "humidity", "%"), device, true, out);
    }
  } else {
    const char* cls = AlarmClass(type, kind);
    Json e{{"name", *cls ? Json(nullptr) : Json("Alarm")}, {"state_topic", topic}};
    if (*cls) e["device_class"] = cls;
    e["value_template"] = "{{ value_json.alarm }}";
    e["payload_on"] = "1";
    e["payload_off"] = "0";
    Emit(ctx, "binary_sensor", object + "_alarm", e, device, true, out);
  }
  Emit(ctx, "binary_sensor", object + "_battery", Battery(topic), device, true, out);
}

void HeatingConfigs(const DiscoveryContext& ctx, const std::string& code, const std::string& name,
                    std::vector<ConfigMessage>& out) {
  std::string object = "heating_" + IdSlug(code);
  std::string topic = ctx.base + "/heating/" + EncodeTopicLevel(code) + "/state";
  Json device = Device(ctx, object, name.empty() ? "Thermostat " + code : name, "FHT thermostat");
  const char* celsius = "\xC2\xB0" "C";
  Emit(ctx, "sensor", object + "_measured",
       Measurement("Measured temperature", topic, "measured", "temperature", celsius), device, true, out);
  Emit(ctx, "sensor", object + "_desired",
       Measurement("Desired temperature", topic, "desired", "temperature", celsius), device, true, out);
  Emit(ctx, "sensor", object + "_valve", Measurement("Valve position", topic, "valve", nullptr, "%"),
       device, true, out);
  Json window{{"name", "Window"},
              {"state_topic", topic},
              {"device_class", "window"},
              {"value_template",
               "{{ {'open': 'ON', 'closed': 'OFF'}.get(value_json.window, 'None') }}"}};
  Emit(ctx, "binary_sensor", object + "_window", window, device, true, out);
  Emit(ctx, "binary_sensor", object + "_battery", Battery(topic), device, true, out);
}

void WeatherConfigs(const DiscoveryContext& ctx, const std::string& serial,
                    const std::string& name, std::vector<ConfigMessage>& out) {
  std::string object = "weather_" + IdSlug(serial);
  std::string topic = ctx.base + "/weather/" + EncodeTopicLevel(serial) + "/state";
  Json device = Device(ctx, object, name.empty() ? "Weather station " + serial : name, "Weather station");
  Emit(ctx, "sensor", object + "_temperature",
       Measurement("Temperature", topic, "temp", "temperature", "\xC2\xB0" "C"), device, true, out);
  Emit(ctx, "sensor", object + "_humidity", Measurement("Humidity", topic, "hum", "humidity", "%"),
       device, true, out);
  Emit(ctx, "sensor", object + "_wind", Measurement("Wind speed", topic, "wind", "wind_speed", "km/h"),
       device, true, out);
  Json rain = Measurement("Rain", topic, "rain", "precipitation", "mm");
  rain["state_class"] = "total_increasing";
  Emit(ctx, "sensor", object + "_rain", rain, device, true, out);
  Json raining{{"name", "Raining"},
               {"state_topic", topic},
               {"device_class", "moisture"},
               {"value_template", "{{ value_json.raining }}"},
               {"payload_on", "1"},
               {"payload_off", "0"}};
  Emit(ctx, "binary_sensor", object + "_raining", raining, device, true, out);
}

bool IsOurConfigTopic(const DiscoveryContext& ctx, const std::string& topic) {
  if (ctx.discovery.empty()) return false;
  std::string head = ctx.discovery + "/";
  if (topic.compare(0, head.size(), head) != 0) return false;
  std::string rest = topic.substr(head.size());
  size_t slash = rest.find('/');
  if (slash == std::string::npos || slash == 0) return false;
  std::string object = rest.substr(slash + 1);
  const std::string tail = "/config";
  if (object.size() <= tail.size() || object.compare(object.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  object.resize(object.size() - tail.size());
  if (object.find('/') != std::string::npos) return false;
  std::string mine = ctx.node + "_";
  if (object.compare(0, mine.size(), mine) != 0) return false;
  for (const char* kind : kObjectKinds) {
    if (object.compare(mine.size(), std::string(kind).size(), kind) == 0) return true;
  }
  return false;
}
