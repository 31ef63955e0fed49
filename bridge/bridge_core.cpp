#include "bridge/bridge_core.h"

#include <nlohmann/json.hpp>

#include "bridge/set_payload.h"
#include "bridge/topic_level.h"
#include "core/telegram.h"

// State payloads: the state line's fields in their order, under the same
// names with "-" written "_" (window-sensor -> window_sensor), so that a
// template reads value_json.window_sensor. Readings and levels are JSON
// numbers and "unknown" is null; words (by, via, battery, mode, window,
// sensor, ...) stay strings. The fields a kind's entities read are always
// there, null until the service knows them, so that no template meets a
// missing key. Plus "time", the line's time.
//   fs20:    state, brightness (when on), level, then pct before until then
//            last by via, as the line has them
//   sensor:  id, sensor, type, battery, temp, hum (temperature types) or
//            alarm (the others), by, via
//   heating: code, measured, desired, valve, mode, window, battery, cold,
//            window_sensor, by, via
//   weather: temp, hum, wind (km/h), rain (l/m2 = mm), raining, by, via

namespace {

using Json = nlohmann::ordered_json;

constexpr uint8_t kQosAtMostOnce = 0;
constexpr uint8_t kQosAtLeastOnce = 1;
constexpr uint32_t kLongestDiscoveryDelayMs = 5000;

std::string Dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

bool IsNumericField(const std::string& name) {
  static const char* const kNumeric[] = {"level", "pct",     "before",  "then",  "last",
                                         "temp",  "hum",     "alarm",   "measured", "desired",
                                         "valve", "cold",    "wind",    "rain",  "raining"};
  for (const char* n : kNumeric) {
    if (name == n) return true;
  }
  return false;
}

// A decimal number as the service writes it: optional "-", 1 to 12 digits,
// optionally "." and 1 to 6 digits.
bool IsDecimal(const std::string& s) {
  size_t i = 0;
  if (i < s.size() && s[i] == '-') ++i;
  size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (digits == 0 || digits > 12) return false;
  if (i == s.size()) return true;
  if (s[i] != '.') return false;
  ++i;
  size_t decimals = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++decimals;
  return decimals >= 1 && decimals <= 6 && i == s.size();
}

// The library's own number parser, which does not depend on the locale.
Json NumberOrNull(const std::string& value) {
  if (!IsDecimal(value)) return Json(nullptr);
  Json n = Json::parse(value, nullptr, false);
  return n.is_number() ? n : Json(nullptr);
}

std::string JsonKey(const std::string& name) {
  std::string out(name);
  for (char& c : out) {
    if (c == '-') c = '_';
  }
  return out;
}

std::string SubjectKey(SubjectKind kind, const std::string& key) {
  static const char* const kPrefix[] = {"fs20:", "sensor:", "heating:", "weather:"};
  return kPrefix[kind] + key;
}

bool ValidTopicText(const std::string& t, bool allowEmpty) {
  if (t.empty()) return allowEmpty;
  if (t.front() == '/' || t.back() == '/' || t.find("//") != std::string::npos) return false;
  for (char c : t) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '+' || c == '#' || u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

void Publish(BridgeCore& core, BridgeOutput& out, const std::string& topic, const std::string& payload,
             bool retain, uint8_t qos = kQosAtLeastOnce) {
  if (!core.connected) return;
  out.publications.push_back(Publication{topic, payload, retain, qos});
}

// Null when the table is full.
Subject* FindOrAddSubject(BridgeCore& core, SubjectKind kind, const std::string& key) {
  std::string k = SubjectKey(kind, key);
  auto it = core.subjects.find(k);
  if (it != core.subjects.end()) return &it->second;
  if (core.subjects.size() >= kSubjectLimit) return nullptr;
  Subject& s = core.subjects[k];
  s.kind = kind;
  return &s;
}

// devices.ini says ignore: no entities, no state or event topics.
bool Ignored(const BridgeCore& core, const Subject& s) {
  switch (s.kind) {
    case kSubjectFs20: {
      const Fs20Device* d = FindFs20Device(core.devices, s.hc, s.addr);
      return d != nullptr && d->ignore;
    }
    case kSubjectSensor: {
      const SensorDevice* d = FindSensorById(core.devices, s.type, s.id);
      return d != nullptr && d->ignore;
    }
    case kSubjectHeating: {
      const NamedDevice* d = FindNamed(core.devices.heating, s.key);
      return d != nullptr && d->ignore;
    }
    default: {
      const NamedDevice* d = FindNamed(core.devices.weather, s.key);
      return d != nullptr && d->ignore;
    }
  }
}

// The configs a device the lines or commands made known gets of its own:
// none when devices.ini names it (its section's configs stand for it) or
// autocreate leaves it out.
void SubjectConfigs(const BridgeCore& core, const Subject& s, std::vector<ConfigMessage>& list) {
  const DiscoveryContext& ctx = core.ctx;
  AutoCreate mode = core.devices.autocreate;
  switch (s.kind) {
    case kSubjectFs20:
      if (FindFs20Device(core.devices, s.hc, s.addr) == nullptr &&
          ((mode == kAutoCreateAll && (s.hasState || s.sentTo)) || (mode == kAutoCreateSent && s.sentTo))) {
        Fs20Configs(ctx, s.hc, s.addr, "", kKindLight, list);
      }
      break;
    case kSubjectSensor:
      if (mode == kAutoCreateAll && FindSensorById(core.devices, s.type, s.id) == nullptr) {
        SensorConfigs(ctx, s.type, s.id, "", kKindDoor, list);
      }
      break;
    case kSubjectHeating:
      if (mode == kAutoCreateAll && FindNamed(core.devices.heating, s.key) == nullptr) {
        HeatingConfigs(ctx, s.key, "", list);
      }
      break;
    case kSubjectWeather:
      if (mode == kAutoCreateAll && FindNamed(core.devices.weather, s.key) == nullptr) {
        WeatherConfigs(ctx, s.key, "", list);
      }
      break;
  }
}

// Every config this node wants on the broker now, by topic.
std::map<std::string, std::string> WantedConfigs(const BridgeCore& core) {
  std::vector<ConfigMessage> list;
  const DiscoveryContext& ctx = core.ctx;
  if (ctx.discovery.empty()) return {};
  BridgeConfigs(ctx, list);
  for (const TransceiverEntry& t : core.transceivers.entries) TransceiverConfigs(ctx, t.serial, list);
  for (const Fs20Device& d : core.devices.fs20) {
    if (!d.ignore) Fs20Configs(ctx, d.hc, d.addr, d.name, d.kind, list);
  }
  for (const SensorDevice& d : core.devices.sensors) {
    if (!d.ignore && !d.id.empty()) SensorConfigs(ctx, d.type, d.id, d.name, d.kind, list);
  }
  for (const NamedDevice& d : core.devices.heating) {
    if (!d.ignore) HeatingConfigs(ctx, d.key, d.name, list);
  }
  for (const NamedDevice& d : core.devices.weather) {
    if (!d.ignore) WeatherConfigs(ctx, d.key, d.name, list);
  }
  for (const auto& entry : core.subjects) SubjectConfigs(core, entry.second, list);
  std::map<std::string, std::string> wanted;
  for (ConfigMessage& m : list) wanted[m.topic] = std::move(m.payload);
  return wanted;
}

// Brings the broker's configs in line with what is wanted: clears those no
// longer wanted, publishes new and changed ones (all of them when `all`).
// Offline, nothing is recorded, so the next connect compares with what the
// broker really holds from this run.
void SyncDiscovery(BridgeCore& core, BridgeOutput& out, bool all) {
  if (!core.connected) return;
  std::map<std::string, std::string> wanted = WantedConfigs(core);
  for (const auto& old : core.configs) {
    if (wanted.find(old.first) == wanted.end()) Publish(core, out, old.first, "", true);
  }
  for (const auto& w : wanted) {
    auto it = core.configs.find(w.first);
    if (all || it == core.configs.end() || it->second != w.second) Publish(core, out, w.first, w.second, true);
  }
  core.configs = std::move(wanted);
}

// One device newly made known: its own configs, where new or changed. It
// can make no other config unwanted, so the rest is left alone: comparing
// the whole set for each new device costs time in proportion to all the
// devices known, and a burst of new ones (a neighbourhood heard for the
// first time) would fall ever further behind.
void SyncSubjectDiscovery(BridgeCore& core, const Subject& s, BridgeOutput& out) {
  if (!core.connected || core.ctx.discovery.empty()) return;
  std::vector<ConfigMessage> list;
  SubjectConfigs(core, s, list);
  for (ConfigMessage& m : list) {
    auto it = core.configs.find(m.topic);
    if (it != core.configs.end() && it->second == m.payload) continue;
    Publish(core, out, m.topic, m.payload, true);
    core.configs[m.topic] = std::move(m.payload);
  }
}

void PublishTransceiver(BridgeCore& core, BridgeOutput& out, const std::string& serial) {
  const TransceiverEntry* t = TransceiverFind(core.transceivers, serial);
  if (t == nullptr) return;
  Json j{{"present", t->present}, {"instance", t->present ? Json(t->iid) : Json(nullptr)}};
  Publish(core, out, core.ctx.base + "/transceiver/" + EncodeTopicLevel(serial) + "/state", Dump(j), true);
}

void PublishState(BridgeCore& core, BridgeOutput& out, const Subject& s) {
  if (!s.hasState || Ignored(core, s)) return;
  Publish(core, out, s.stateTopic, s.statePayload, true);
}

// The state line's fields as JSON, with `always` present (null) when the
// line lacks them. `skip` names fields written elsewhere or not at all.
void AddFields(Json& j, const EventLine& line, const std::vector<const char*>& always,
               const std::vector<const char*>& skip) {
  for (const char* name : always) j[name] = nullptr;
  for (const EventField& f : line.fields) {
    bool skipped = false;
    for (const char* s : skip) skipped = skipped || f.name == s;
    if (skipped) continue;
    j[JsonKey(f.name)] = IsNumericField(f.name) ? NumberOrNull(f.value) : Json(f.value);
  }
}

void OnStateLine(BridgeCore& core, const EventLine& line, BridgeOutput& out) {
  const std::string* kind = FindEventField(line, "kind");
  if (kind == nullptr) return;
  Json j = Json::object();
  Subject* s = nullptr;
  std::string topic;
  if (*kind == "fs20") {
    const std::string* hc = FindEventField(line, "hc");
    const std::string* addr = FindEventField(line, "addr");
    const std::string* level = FindEventField(line, "level");
    if (hc == nullptr || addr == nullptr || level == nullptr || !IsFs20Notation(*hc, 8) ||
        !IsFs20Notation(*addr, 4)) {
      return;
    }
    std::string key = Fs20Level(*hc, *addr);
    s = FindOrAddSubject(core, kSubjectFs20, key);
    if (s == nullptr) return;
    s->hc = *hc;
    s->addr = *addr;
    topic = core.ctx.base + "/fs20/" + key + "/state";
    Json lv = NumberOrNull(*level);
    int64_t value = lv.is_number_integer() ? lv.get<int64_t>() : -1;
    if (value < 0 || value > 16) {
      j["state"] = nullptr;
      lv = nullptr;
    } else if (value == 0) {
      j["state"] = "OFF";
    } else {
      j["state"] = "ON";
      j["brightness"] = value;
    }
    j["level"] = lv;
    AddFields(j, line, {}, {"kind", "hc", "addr", "level"});
  } else if (*kind == "hms") {
    const std::string* id = FindEventField(line, "id");
    const std::string* sensor = FindEventField(line, "sensor");
    if (id == nullptr || sensor == nullptr || id->empty() || !IsSensorType(*sensor)) return;
    std::string key = *id + "-" + *sensor;
    if (core.retiredSensors.count(key) != 0 && FindSensorById(core.devices, *sensor, *id) == nullptr) return;
    s = FindOrAddSubject(core, kSubjectSensor, key);
    if (s == nullptr) return;
    s->id = *id;
    s->type = *sensor;
    topic = core.ctx.base + "/sensor/" + EncodeTopicLevel(key) + "/state";
    j["id"] = *id;
    j["sensor"] = *sensor;
    bool measures = *sensor == "temp-hum" || *sensor == "temp";
    std::vector<const char*> always;
    if (measures) {
      always = {"temp"};
      if (*sensor == "temp-hum") always.push_back("hum");
    } else {
      always = {"alarm"};
    }
    always.push_back("battery");
    AddFields(j, line, always, {"kind", "id", "sensor"});
  } else if (*kind == "fht") {
    const std::string* code = FindEventField(line, "code");
    if (code == nullptr || code->empty()) return;
    s = FindOrAddSubject(core, kSubjectHeating, *code);
    if (s == nullptr) return;
    s->key = *code;
    topic = core.ctx.base + "/heating/" + EncodeTopicLevel(*code) + "/state";
    j["code"] = *code;
    AddFields(j, line, {"measured", "desired", "valve", "mode", "window", "battery"}, {"kind", "code"});
  } else if (*kind == "weather") {
    const std::string* via = FindEventField(line, "via");
    if (via == nullptr || via->empty()) return;
    s = FindOrAddSubject(core, kSubjectWeather, *via);
    if (s == nullptr) return;
    s->key = *via;
    topic = core.ctx.base + "/weather/" + EncodeTopicLevel(*via) + "/state";
    AddFields(j, line, {"temp", "hum", "wind", "rain", "raining"}, {"kind"});
  } else {
    return;
  }
  j["time"] = line.time;
  bool isNew = !s->hasState;
  s->hasState = true;
  s->stateTopic = topic;
  s->statePayload = Dump(j);
  PublishState(core, out, *s);
  // A greeting brings every known device at once: its configs go out
  // together at its ready line.
  if (isNew && !core.transceivers.inGreeting) SyncSubjectDiscovery(core, *s, out);
}

void OnHeardLine(BridgeCore& core, const EventLine& line, BridgeOutput& out) {
  const std::string* kind = FindEventField(line, "kind");
  if (kind == nullptr || *kind != "fs20") return;
  const std::string* hc = FindEventField(line, "hc");
  const std::string* addr = FindEventField(line, "addr");
  const std::string* name = FindEventField(line, "name");
  if (hc == nullptr || addr == nullptr || name == nullptr || !IsFs20Notation(*hc, 8) ||
      !IsFs20Notation(*addr, 4)) {
    return;
  }
  const Fs20Device* d = FindFs20Device(core.devices, *hc, *addr);
  if (d != nullptr && d->ignore) return;
  Json j{{"event_type", *name}};
  Publish(core, out, core.ctx.base + "/fs20/" + Fs20Level(*hc, *addr) + "/event", Dump(j), false);
}

void Result(BridgeCore& core, BridgeOutput& out, const std::string& resultTopic, const std::string& text) {
  Publish(core, out, resultTopic, text, false);
}

void OnSet(BridgeCore& core, const std::string& level, const char* payload, size_t length,
           uint64_t nowMs, BridgeOutput& out) {
  const std::string resultTopic = core.ctx.base + "/fs20/" + level + "/result";
  std::string reason;
  SetCommand command{0, 0};
  size_t dash = level.find('-');
  std::string hc = dash == std::string::npos ? "" : level.substr(0, dash);
  std::string addr = dash == std::string::npos ? "" : level.substr(dash + 1);
  bool ok = true;
  if (!IsFs20Notation(hc, 8) || !IsFs20Notation(addr, 4)) {
    reason = "The topic must name <house code, 8 digits 1-4>-<address, 4 digits 1-4>; nothing was sent.";
    ok = false;
  } else if (!ParseSetPayload(payload, length, command, reason)) {
    reason += " Nothing was sent.";
    ok = false;
  }
  if (!ok) {
    ++core.badSetCount;
    Result(core, out, resultTopic, reason);
    uint32_t leftOut = 0;
    if (FaultLimiterAdmit(core.badSetLimiter, nowMs, &leftOut)) {
      std::string warning = "A command on " + core.ctx.base + "/fs20/" + level +
                            "/set was refused: " + reason;
      if (leftOut > 0) warning += " (" + std::to_string(leftOut) + " more refused before this one)";
      out.warnings.push_back(warning);
    }
    return;
  }
  if (!core.serviceUp) {
    Result(core, out, resultTopic, "ZARVO Remote is not connected; nothing was sent.");
    return;
  }
  const Fs20Device* d = FindFs20Device(core.devices, hc, addr);
  const TransceiverEntry* t = nullptr;
  if (d != nullptr && !d->transceiver.empty()) {
    t = TransceiverFind(core.transceivers, d->transceiver);
    if (t == nullptr || !t->present) {
      Result(core, out, resultTopic, "The transceiver " + d->transceiver +
                                         " named in devices.ini is not present; nothing was sent.");
      return;
    }
  } else {
    t = TransceiverLowestPresent(core.transceivers);
    if (t == nullptr) {
      Result(core, out, resultTopic, "No transceiver is present; nothing was sent.");
      return;
    }
  }
  if (core.pending.size() >= kPendingLimit) {
    Result(core, out, resultTopic, "Too many commands are waiting for ZARVO Remote; nothing was sent.");
    return;
  }
  CommandRequest r{};
  r.handle = core.nextHandle++;
  r.request.iid = static_cast<uint8_t>(t->iid);
  r.request.reserved = 0;
  r.request.hc1 = static_cast<uint16_t>(std::stoi(hc.substr(0, 4)));
  r.request.hc2 = static_cast<uint16_t>(std::stoi(hc.substr(4, 4)));
  r.request.addr = static_cast<uint16_t>(std::stoi(addr));
  r.request.cmd = command.cmd;
  r.request.data = command.extension;
  out.requests.push_back(r);
  core.pending[r.handle] = resultTopic;

  Subject* s = FindOrAddSubject(core, kSubjectFs20, level);
  if (s != nullptr && !s->sentTo) {
    s->hc = hc;
    s->addr = addr;
    s->sentTo = true;
    SyncSubjectDiscovery(core, *s, out);
  }
}

}  // namespace

bool BridgeInit(BridgeCore& core, const BridgeSettings& settings, std::string& reason) {
  if (!ValidTopicText(settings.prefix, false)) {
    reason = "prefix must be a topic without + or #, empty levels or a leading or trailing /.";
    return false;
  }
  if (!IsValidNodeName(settings.node)) {
    reason = "node must be 1 to 64 characters of a-z, 0-9, _ and -.";
    return false;
  }
  if (!ValidTopicText(settings.discovery, true)) {
    reason = "discovery must be empty or a topic without + or #, empty levels or a leading or trailing /.";
    return false;
  }
  if (!ValidTopicText(settings.birth, true)) {
    reason = "birth must be empty or a topic without + or #, empty levels or a leading or trailing /.";
    return false;
  }
  core = BridgeCore{};
  core.settings = settings;
  core.ctx.discovery = settings.discovery;
  core.ctx.base = settings.prefix + "/" + settings.node;
  core.ctx.node = settings.node;
  core.ctx.version = settings.version;
  return true;
}

std::vector<std::string> BridgeSubscriptions(const BridgeCore& core) {
  std::vector<std::string> topics{core.ctx.base + "/fs20/+/set"};
  if (!core.ctx.discovery.empty() && !core.settings.birth.empty()) topics.push_back(core.settings.birth);
  return topics;
}

void BridgeOnConnected(BridgeCore& core, BridgeOutput& out) {
  try {
    core.connected = true;
    Publish(core, out, core.ctx.base + "/service", core.serviceUp ? "online" : "offline", true);
    SyncDiscovery(core, out, true);
    for (const TransceiverEntry& t : core.transceivers.entries) PublishTransceiver(core, out, t.serial);
    for (const auto& s : core.subjects) PublishState(core, out, s.second);
  } catch (...) {
  }
}

void BridgeOnDisconnected(BridgeCore& core) {
  core.connected = false;
  core.discoveryDue = false;
}

void BridgeServiceUp(BridgeCore& core, BridgeOutput& out) {
  try {
    core.serviceUp = true;
    Publish(core, out, core.ctx.base + "/service", "online", true);
  } catch (...) {
  }
}

void BridgeServiceDown(BridgeCore& core, BridgeOutput& out) {
  try {
    core.serviceUp = false;
    Publish(core, out, core.ctx.base + "/service", "offline", true);
    for (const auto& p : core.pending) {
      Result(core, out, p.second,
             "The connection to ZARVO Remote ended before it answered; the command may not have been sent.");
    }
    core.pending.clear();
    std::vector<std::string> changed;
    TransceiverMapReset(core.transceivers, changed);
    for (const std::string& serial : changed) PublishTransceiver(core, out, serial);
  } catch (...) {
  }
}

void BridgeOnLine(BridgeCore& core, const char* line, size_t length, BridgeOutput& out) {
  try {
    if (line == nullptr) return;
    size_t bare = length;
    while (bare > 0 && (line[bare - 1] == '\n' || line[bare - 1] == '\r')) --bare;
    Publish(core, out, core.ctx.base + "/line", std::string(line, bare), false, kQosAtMostOnce);
    EventLine parsed;
    if (!ParseEventLine(line, bare, parsed)) return;
    std::vector<std::string> changed;
    size_t known = core.transceivers.entries.size();
    if (TransceiverMapApply(core.transceivers, parsed, changed)) {
      for (const std::string& serial : changed) PublishTransceiver(core, out, serial);
      if (parsed.word == "ready" ||
          (core.transceivers.entries.size() != known && !core.transceivers.inGreeting)) {
        SyncDiscovery(core, out, false);
      }
    } else if (parsed.word == "state") {
      OnStateLine(core, parsed, out);
    } else if (parsed.word == "heard") {
      OnHeardLine(core, parsed, out);
    }
  } catch (...) {
  }
}

void BridgeOnMessage(BridgeCore& core, const std::string& topic, const char* payload,
                     size_t length, bool retained, uint64_t nowMs, uint32_t randomDelayMs,
                     BridgeOutput& out) {
  try {
    if (!core.ctx.discovery.empty() && !core.settings.birth.empty() && topic == core.settings.birth) {
      if (payload != nullptr && std::string(payload, length) == "online") {
        core.discoveryDue = true;
        core.discoveryDueMs = nowMs + (randomDelayMs > kLongestDiscoveryDelayMs ? kLongestDiscoveryDelayMs
                                                                                : randomDelayMs);
      }
      return;
    }
    const std::string head = core.ctx.base + "/fs20/";
    const std::string tail = "/set";
    if (topic.size() <= head.size() + tail.size() || topic.compare(0, head.size(), head) != 0 ||
        topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0) {
      return;
    }
    std::string level = topic.substr(head.size(), topic.size() - head.size() - tail.size());
    if (level.find('/') != std::string::npos) return;
    // A stored command replayed at subscription switches a device nobody
    // asked to switch now.
    if (retained) return;
    OnSet(core, level, payload, payload == nullptr ? 0 : length, nowMs, out);
  } catch (...) {
  }
}

void BridgeOnReply(BridgeCore& core, uint64_t handle, const std::string& replyText, BridgeOutput& out) {
  try {
    auto it = core.pending.find(handle);
    if (it == core.pending.end()) return;
    Result(core, out, it->second, replyText);
    core.pending.erase(it);
  } catch (...) {
  }
}

void BridgeTick(BridgeCore& core, uint64_t nowMs, BridgeOutput& out) {
  try {
    if (core.discoveryDue && nowMs >= core.discoveryDueMs) {
      core.discoveryDue = false;
      SyncDiscovery(core, out, true);
    }
  } catch (...) {
  }
}

bool BridgeNextDue(const BridgeCore& core, uint64_t& dueMs) {
  dueMs = core.discoveryDue ? core.discoveryDueMs : 0;
  return core.discoveryDue;
}

void BridgeSetDevices(BridgeCore& core, const DevicesConfig& devices, BridgeOutput& out) {
  try {
    std::map<std::string, bool> wasHidden;
    for (const auto& s : core.subjects) wasHidden[s.first] = Ignored(core, s.second);
    // A named sensor with a new id: the old id's readings are the same
    // sensor's, from before its battery change.
    for (const SensorDevice& old : core.devices.sensors) {
      if (old.id.empty()) continue;
      for (const SensorDevice& now : devices.sensors) {
        if (now.type != old.type || now.name != old.name || now.id == old.id) continue;
        std::string key = old.id + "-" + old.type;
        core.retiredSensors.insert(key);
        auto it = core.subjects.find(SubjectKey(kSubjectSensor, key));
        if (it != core.subjects.end()) {
          if (it->second.hasState) Publish(core, out, it->second.stateTopic, "", true);
          core.subjects.erase(it);
        }
      }
    }
    for (const SensorDevice& now : devices.sensors) core.retiredSensors.erase(now.id + "-" + now.type);
    core.devices = devices;
    SyncDiscovery(core, out, false);
    // A device no longer ignored gets its state back at once.
    for (const auto& s : core.subjects) {
      if (wasHidden[s.first] && !Ignored(core, s.second)) PublishState(core, out, s.second);
    }
  } catch (...) {
  }
}

std::vector<std::string> BridgeTopicsToForget(const BridgeCore& core,
                                              const std::vector<std::string>& retainedTopics) {
  std::vector<std::string> clear;
  try {
    const std::string mine = core.ctx.base + "/";
    for (const std::string& t : retainedTopics) {
      if (t.compare(0, mine.size(), mine) == 0 || IsOurConfigTopic(core.ctx, t)) clear.push_back(t);
    }
  } catch (...) {
  }
  return clear;
}
