// The engine as the Windows loop drives it: a greeting and live lines in,
// publications out; set messages in, pipe requests out; devices.ini reloads.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <vector>

#include "bridge/bridge_core.h"

namespace {

using Json = nlohmann::json;

const char kT[] = "2026-12-08T10:15:00.120Z";

struct Harness {
  BridgeCore core;
  BridgeOutput out;

  Harness() {
    BridgeSettings s;
    s.node = "den";
    s.version = "1.2.3";
    std::string reason;
    EXPECT_TRUE(BridgeInit(core, s, reason)) << reason;
  }
  void Line(const std::string& rest) {
    std::string line = std::string(kT) + " " + rest + "\r\n";
    BridgeOnLine(core, line.data(), line.size(), out);
  }
  void Set(const std::string& level, const std::string& payload, bool retained = false, uint64_t now = 1000) {
    BridgeOnMessage(core, "zarvo/den/fs20/" + level + "/set", payload.data(), payload.size(), retained, now, 0,
                    out);
  }
  // The last publication on `topic`, or null.
  const Publication* Last(const std::string& topic) const {
    const Publication* found = nullptr;
    for (const Publication& p : out.publications) {
      if (p.topic == topic) found = &p;
    }
    return found;
  }
  Json LastJson(const std::string& topic) const {
    const Publication* p = Last(topic);
    return p == nullptr ? Json() : Json::parse(p->payload);
  }
  size_t Count(const std::string& topicPart) const {
    size_t n = 0;
    for (const Publication& p : out.publications) n += p.topic.find(topicPart) != std::string::npos;
    return n;
  }
  void Clear() { out = BridgeOutput{}; }
  void Greeting() {
    Line("- - format id=zarvo-events version=1");
    Line("0 EL000777 present");
    Line("1 EL000123 present");
    Line("- - state kind=fs20 hc=12341111 addr=1111 level=8 pct=50 before=0 by=sent via=EL000777 last=8");
    Line("- - state kind=hms id=473A sensor=temp-hum type=0 battery=ok temp=21.2 hum=33.0 by=heard via=EL000123");
    Line("- - ready");
  }
};

const char kLight[] = "homeassistant/light/den_fs20_12341111_1111/config";

TEST(BridgeCore, GreetingAndLiveLinesBecomeRetainedStatesEventsAndDiscovery) {
  Harness h;
  BridgeOnConnected(h.core, h.out);
  BridgeServiceUp(h.core, h.out);
  EXPECT_EQ(h.Last("zarvo/den/service")->payload, "online");
  EXPECT_TRUE(h.Last("zarvo/den/service")->retain);
  h.Greeting();

  // Every line goes out unchanged, without CR LF, not retained.
  EXPECT_EQ(h.Count("zarvo/den/line"), 6u);
  EXPECT_EQ(h.Last("zarvo/den/line")->payload, std::string(kT) + " - - ready");
  EXPECT_FALSE(h.Last("zarvo/den/line")->retain);

  EXPECT_EQ(h.LastJson("zarvo/den/transceiver/EL000123/state"), Json::parse(R"({"present":true,"instance":1})"));
  const Publication* state = h.Last("zarvo/den/fs20/12341111-1111/state");
  ASSERT_NE(state, nullptr);
  EXPECT_TRUE(state->retain);
  EXPECT_EQ(Json::parse(state->payload),
            Json::parse(R"({"state":"ON","brightness":8,"level":8,"pct":50,"before":0,"by":"sent",
                            "via":"EL000777","last":8,"time":"2026-12-08T10:15:00.120Z"})"));
  Json sensor = h.LastJson("zarvo/den/sensor/473A-temp-hum/state");
  EXPECT_DOUBLE_EQ(sensor["temp"].get<double>(), 21.2);
  // Numbers as the service wrote them, not 21.199999999999999.
  const std::string& text = h.Last("zarvo/den/sensor/473A-temp-hum/state")->payload;
  EXPECT_NE(text.find("\"temp\":21.2,\"hum\":33.0,"), std::string::npos) << text;
  EXPECT_EQ(sensor["hum"], 33.0);
  EXPECT_EQ(sensor["battery"], "ok");

  // Discovery: the bridge, both transceivers, the light and its event, the
  // sensor's temperature, humidity and battery.
  ASSERT_NE(h.Last(kLight), nullptr);
  EXPECT_TRUE(h.Last(kLight)->retain);
  EXPECT_NE(h.Last("homeassistant/event/den_fs20_12341111_1111_event/config"), nullptr);
  EXPECT_NE(h.Last("homeassistant/sensor/den_sensor_temphum_id_473A_temperature/config"), nullptr);
  EXPECT_NE(h.Last("homeassistant/binary_sensor/den_transceiver_EL000777/config"), nullptr);
  EXPECT_NE(h.Last("homeassistant/binary_sensor/den_bridge_service/config"), nullptr);

  // Live: a level the service does not know, a heard telegram, a pulled
  // transceiver with another moving down.
  h.Clear();
  h.Line("- - state kind=fs20 hc=12341111 addr=1111 level=unknown before=8 by=heard via=EL000123 last=8");
  Json unknown = h.LastJson("zarvo/den/fs20/12341111-1111/state");
  EXPECT_TRUE(unknown["state"].is_null());
  EXPECT_TRUE(unknown["level"].is_null());
  EXPECT_FALSE(unknown.contains("brightness"));
  EXPECT_EQ(h.Count("homeassistant/"), 0u) << "a known device's configs are not sent again";

  h.Line("1 EL000123 heard kind=fs20 hc=12341111 addr=1111 cmd=3A name=on-last-for-timer ext=4F timer=60 raw=81");
  const Publication* event = h.Last("zarvo/den/fs20/12341111-1111/event");
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(event->retain);
  EXPECT_EQ(Json::parse(event->payload), Json::parse(R"({"event_type":"on-last-for-timer"})"));

  h.Line("0 EL000777 pulled moved=EL000123:1>0");
  EXPECT_EQ(h.LastJson("zarvo/den/transceiver/EL000777/state"), Json::parse(R"({"present":false,"instance":null})"));
  EXPECT_EQ(h.LastJson("zarvo/den/transceiver/EL000123/state"), Json::parse(R"({"present":true,"instance":0})"));

  // A new greeting that no longer names a transceiver marks it gone.
  h.Line("- - format id=zarvo-events version=1");
  h.Line("2 EL000999 present");
  h.Line("- - ready");
  EXPECT_EQ(h.LastJson("zarvo/den/transceiver/EL000123/state")["present"], false);
  EXPECT_EQ(h.LastJson("zarvo/den/transceiver/EL000999/state")["instance"], 2);

  // A serial that would break a topic is encoded; so is a sensor id.
  h.Line("3 EL/0+#1 plugged");
  EXPECT_NE(h.Last("zarvo/den/transceiver/EL%2F0%2B%231/state"), nullptr);

  // The broker restarted: everything retained comes again.
  BridgeOnDisconnected(h.core);
  h.Clear();
  h.Line("- - alive");
  EXPECT_TRUE(h.out.publications.empty()) << "nothing is queued while the broker is away";
  BridgeOnConnected(h.core, h.out);
  EXPECT_NE(h.Last(kLight), nullptr);
  EXPECT_NE(h.Last("zarvo/den/fs20/12341111-1111/state"), nullptr);
  EXPECT_NE(h.Last("zarvo/den/sensor/473A-temp-hum/state"), nullptr);
  EXPECT_EQ(h.Last("zarvo/den/service")->payload, "online");
}

// A byte as 4 digits of FS20 notation.
std::string Fs20Digits(int byte) {
  std::string out;
  for (int shift = 6; shift >= 0; shift -= 2) out += static_cast<char>('1' + ((byte >> shift) & 3));
  return out;
}

// A neighbourhood heard for the first time, one new device after another:
// each state line publishes that device's state and its own configs, and
// takes about as long as the first. Comparing the whole set of configs for
// every new device made the bridge fall seconds behind after a few hundred.
TEST(BridgeCore, ABurstOfNewDevicesCostsEachItsOwnConfigsOnly) {
  Harness h;
  BridgeOnConnected(h.core, h.out);
  BridgeServiceUp(h.core, h.out);
  h.Greeting();
  const int kDevices = 3000;
  auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < kDevices; ++i) {
    h.Clear();
    std::string level = "1213" + Fs20Digits(i >> 8) + "-" + Fs20Digits(i & 255);
    h.Line("- - state kind=fs20 hc=1213" + Fs20Digits(i >> 8) + " addr=" + Fs20Digits(i & 255) +
           " level=16 pct=100 before=unknown by=heard via=EL000123 last=16");
    ASSERT_EQ(h.out.publications.size(), 4u) << level;
    EXPECT_NE(h.Last("zarvo/den/fs20/" + level + "/state"), nullptr);
    EXPECT_EQ(h.Count("homeassistant/light/den_fs20_"), 1u);
    EXPECT_EQ(h.Count("homeassistant/event/den_fs20_"), 1u);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  // Generous for a slow or sanitized build; the whole-set comparison took
  // minutes here.
  EXPECT_LT(seconds, 20.0);

  // The broker back: every device's configs come again, once each.
  BridgeOnDisconnected(h.core);
  h.Clear();
  BridgeOnConnected(h.core, h.out);
  EXPECT_EQ(h.Count("homeassistant/light/den_fs20_"), static_cast<size_t>(kDevices) + 1);
}

TEST(BridgeCore, SetMessagesBecomeRequestsAndRepliesBecomeResults) {
  Harness h;
  BridgeOnConnected(h.core, h.out);
  h.Set("12341111-1111", "ON");
  EXPECT_TRUE(h.out.requests.empty());
  EXPECT_EQ(h.Last("zarvo/den/fs20/12341111-1111/result")->payload,
            "ZARVO Remote is not connected; nothing was sent.");

  BridgeServiceUp(h.core, h.out);
  h.Set("12341111-1111", "ON");
  EXPECT_EQ(h.Last("zarvo/den/fs20/12341111-1111/result")->payload, "No transceiver is present; nothing was sent.");

  h.Greeting();
  h.Clear();
  h.Set("12341111-1111", "{\"state\":\"ON\"}");
  h.Set("12341111-1111", "{\"state\":\"ON\",\"brightness\":8}");
  h.Set("41421132-1114", "on-100-for-timer 60");
  ASSERT_EQ(h.out.requests.size(), 3u);
  const PipeRequest& on = h.out.requests[0].request;
  EXPECT_EQ(on.iid, 0);  // the lowest instance number present
  EXPECT_EQ(on.reserved, 0);
  EXPECT_EQ(on.hc1, 1234);
  EXPECT_EQ(on.hc2, 1111);
  EXPECT_EQ(on.addr, 1111);
  EXPECT_EQ(on.cmd, 0x11);
  EXPECT_EQ(on.data, 0);
  EXPECT_EQ(h.out.requests[1].request.cmd, 0x08);
  const PipeRequest& timed = h.out.requests[2].request;
  EXPECT_EQ(timed.hc1, 4142);
  EXPECT_EQ(timed.hc2, 1132);
  EXPECT_EQ(timed.addr, 1114);
  EXPECT_EQ(timed.cmd, 0x39);
  EXPECT_EQ(timed.data, 0x4F);
  EXPECT_NE(h.out.requests[0].handle, h.out.requests[1].handle);

  // Sending made the new address known: it gets its entities.
  EXPECT_NE(h.Last("homeassistant/light/den_fs20_41421132_1114/config"), nullptr);

  // Replies come back in any order and go to their own address's result.
  BridgeOnReply(h.core, h.out.requests[2].handle, "OK.", h.out);
  EXPECT_EQ(h.Last("zarvo/den/fs20/41421132-1114/result")->payload, "OK.");
  BridgeOnReply(h.core, h.out.requests[2].handle, "OK again.", h.out);
  EXPECT_EQ(h.Last("zarvo/den/fs20/41421132-1114/result")->payload, "OK.") << "one reply per request";

  // Retained: never acted on. Garbage: a result, no request, and a warning
  // at most once a minute.
  h.Clear();
  h.Set("12341111-1111", "TOGGLE", true);
  EXPECT_TRUE(h.out.requests.empty());
  EXPECT_TRUE(h.out.publications.empty());
  h.Set("12341111-1111", "blink", false, 10000);
  h.Set("12341111-1111", std::string(300, '{'), false, 20000);
  h.Set("12345678-1111", "ON", false, 30000);
  EXPECT_TRUE(h.out.requests.empty());
  EXPECT_EQ(h.Count("/result"), 3u);
  EXPECT_NE(h.Last("zarvo/den/fs20/12345678-1111/result"), nullptr);
  EXPECT_EQ(h.core.badSetCount, 3u);
  ASSERT_EQ(h.out.warnings.size(), 1u);
  h.Set("12341111-1111", "blink", false, 70001);
  ASSERT_EQ(h.out.warnings.size(), 2u);
  EXPECT_NE(h.out.warnings[1].find("2 more refused"), std::string::npos) << h.out.warnings[1];

  // The service went away with a command outstanding: its result says so,
  // and a late reply finds nothing.
  h.Clear();
  h.Set("12341111-1111", "OFF");
  ASSERT_EQ(h.out.requests.size(), 1u);
  BridgeServiceDown(h.core, h.out);
  EXPECT_EQ(h.Last("zarvo/den/service")->payload, "offline");
  EXPECT_NE(h.Last("zarvo/den/fs20/12341111-1111/result")->payload.find("ended before it answered"), std::string::npos);
  EXPECT_EQ(h.LastJson("zarvo/den/transceiver/EL000777/state")["present"], false);
  size_t before = h.out.publications.size();
  BridgeOnReply(h.core, h.out.requests[0].handle, "OK.", h.out);
  EXPECT_EQ(h.out.publications.size(), before);
}

TEST(BridgeCore, DevicesIniChoosesTransceiverNamesKindsAndWhatIsCreated) {
  Harness h;
  BridgeOnConnected(h.core, h.out);
  BridgeServiceUp(h.core, h.out);
  h.Greeting();

  DevicesConfig d;
  Fs20Device kitchen;
  kitchen.hc = "12341111";
  kitchen.addr = "1111";
  kitchen.name = "K\xC3\xBC" "che";
  kitchen.kind = kKindSwitch;
  kitchen.transceiver = "EL000123";
  d.fs20.push_back(kitchen);
  h.Clear();
  BridgeSetDevices(h.core, d, h.out);
  // Of another kind: the light's config is cleared, the switch's published.
  ASSERT_NE(h.Last(kLight), nullptr);
  EXPECT_EQ(h.Last(kLight)->payload, "");
  EXPECT_TRUE(h.Last(kLight)->retain);
  Json sw = h.LastJson("homeassistant/switch/den_fs20_12341111_1111/config");
  EXPECT_EQ(sw["device"]["name"], "K\xC3\xBC" "che");

  h.Clear();
  h.Set("12341111-1111", "ON");
  ASSERT_EQ(h.out.requests.size(), 1u);
  EXPECT_EQ(h.out.requests[0].request.iid, 1) << "the transceiver devices.ini names";
  h.Line("1 EL000123 pulled moved=none");
  h.Set("12341111-1111", "ON");
  EXPECT_EQ(h.out.requests.size(), 1u);
  EXPECT_NE(h.Last("zarvo/den/fs20/12341111-1111/result")->payload.find("EL000123"), std::string::npos);

  // Ignored: configs cleared, no more state or event topics.
  d.fs20[0].ignore = true;
  h.Clear();
  BridgeSetDevices(h.core, d, h.out);
  EXPECT_EQ(h.Last("homeassistant/switch/den_fs20_12341111_1111/config")->payload, "");
  EXPECT_EQ(h.Last("homeassistant/event/den_fs20_12341111_1111_event/config")->payload, "");
  h.Clear();
  h.Line("- - state kind=fs20 hc=12341111 addr=1111 level=0 before=8 by=heard via=EL000777 last=8");
  h.Line("0 EL000777 heard kind=fs20 hc=12341111 addr=1111 cmd=00 name=off raw=81");
  EXPECT_EQ(h.Count("fs20/12341111-1111"), 0u);
  EXPECT_EQ(h.Count("zarvo/den/line"), 2u);

  // autocreate none: a new address has state but no entities; named ones do.
  d.autocreate = kAutoCreateNone;
  Fs20Device porch;
  porch.hc = "11111111";
  porch.addr = "4444";
  porch.kind = kKindMotion;
  d.fs20.push_back(porch);
  h.Clear();
  BridgeSetDevices(h.core, d, h.out);
  EXPECT_EQ(h.Last("homeassistant/sensor/den_sensor_temphum_id_473A_temperature/config")->payload, "");
  EXPECT_EQ(h.LastJson("homeassistant/binary_sensor/den_fs20_11111111_4444/config")["device_class"], "motion");
  h.Line("- - state kind=fs20 hc=22222222 addr=1111 level=16 before=0 by=heard via=EL000777 last=16");
  EXPECT_NE(h.Last("zarvo/den/fs20/22222222-1111/state"), nullptr);
  EXPECT_EQ(h.Count("22222222_1111"), 0u);
}

// A sensor's radio id changes with its battery. Named in devices.ini, its
// entities take their unique_id from the name: the administrator writes the
// new id and the same entities follow it.
TEST(BridgeCore, NamedSensorKeepsItsEntitiesWhenItsIdChanges) {
  Harness h;
  BridgeOnConnected(h.core, h.out);
  BridgeServiceUp(h.core, h.out);
  DevicesConfig d;
  SensorDevice hall;
  hall.type = "smoke";
  hall.name = "Hallway";
  hall.id = "B16D";
  d.sensors.push_back(hall);
  BridgeSetDevices(h.core, d, h.out);
  const std::string alarm = "homeassistant/binary_sensor/den_sensor_smoke_name_Hallway_alarm/config";
  Json before = h.LastJson(alarm);
  EXPECT_EQ(before["unique_id"], "zarvo_den_sensor_smoke_name_Hallway_alarm");
  EXPECT_EQ(before["state_topic"], "zarvo/den/sensor/B16D-smoke/state");
  EXPECT_EQ(before["device_class"], "smoke");

  // New batteries: the detector reports under a new id, which first shows
  // as a sensor of its own.
  h.Line("- - state kind=hms id=1A2B sensor=smoke type=93 battery=new alarm=0 by=heard via=EL000777");
  const std::string stray = "homeassistant/binary_sensor/den_sensor_smoke_id_1A2B_alarm/config";
  ASSERT_NE(h.Last(stray), nullptr);
  EXPECT_EQ(h.LastJson("zarvo/den/sensor/1A2B-smoke/state")["alarm"], 0);

  d.sensors[0].id = "1A2B";
  h.Clear();
  BridgeSetDevices(h.core, d, h.out);
  Json after = h.LastJson(alarm);
  EXPECT_EQ(after["unique_id"], before["unique_id"]);
  EXPECT_EQ(after["device"]["identifiers"], before["device"]["identifiers"]);
  EXPECT_EQ(after["state_topic"], "zarvo/den/sensor/1A2B-smoke/state");
  EXPECT_EQ(h.Last(stray)->payload, "") << "the stray entities are cleared";

  // The old id had readings too (the service keeps it and lists it again in
  // its greetings): they are the same detector's, so no entities of their
  // own, and its retained state goes.
  h.Line("- - state kind=hms id=7C7C sensor=smoke type=93 battery=ok alarm=0 by=heard via=EL000777");
  d.sensors[0].id = "7C7C";
  BridgeSetDevices(h.core, d, h.out);
  d.sensors[0].id = "9D9D";
  h.Clear();
  BridgeSetDevices(h.core, d, h.out);
  EXPECT_EQ(h.Last("zarvo/den/sensor/7C7C-smoke/state")->payload, "");
  h.Line("- - state kind=hms id=7C7C sensor=smoke type=93 battery=ok alarm=0 by=restored via=EL000777");
  EXPECT_EQ(h.Count("den_sensor_smoke_id_7C7C"), 0u) << "no ghost of the old id";
  EXPECT_EQ(h.LastJson(alarm)["state_topic"], "zarvo/den/sensor/9D9D-smoke/state");
}

TEST(BridgeCore, HomeAssistantOnlineBringsDiscoveryAfterTheCallersDelay) {
  Harness h;
  BridgeOnConnected(h.core, h.out);
  h.Clear();
  std::vector<std::string> subs = BridgeSubscriptions(h.core);
  EXPECT_EQ(subs, (std::vector<std::string>{"zarvo/den/fs20/+/set", "homeassistant/status"}));
  uint64_t due = 0;
  BridgeOnMessage(h.core, "homeassistant/status", "offline", 7, false, 1000, 3000, h.out);
  EXPECT_FALSE(BridgeNextDue(h.core, due));
  BridgeOnMessage(h.core, "homeassistant/status", "online", 6, false, 1000, 9999, h.out);
  ASSERT_TRUE(BridgeNextDue(h.core, due));
  EXPECT_EQ(due, 6000u) << "at most 5 s";
  BridgeTick(h.core, 5999, h.out);
  EXPECT_TRUE(h.out.publications.empty());
  BridgeTick(h.core, 6000, h.out);
  EXPECT_NE(h.Last("homeassistant/binary_sensor/den_bridge_service/config"), nullptr);
  EXPECT_FALSE(BridgeNextDue(h.core, due));
}

TEST(BridgeCore, ForgetClearsOnlyThisNodesTopics) {
  Harness h;
  std::vector<std::string> found = {
      "zarvo/den/status",
      "zarvo/den/fs20/12341111-1111/state",
      "zarvo/den/fs20/12341111-1111/set",
      "zarvo/denver/status",
      "zarvo/den",
      "homeassistant/light/den_fs20_12341111_1111/config",
      "homeassistant/binary_sensor/den_bridge_service/config",
      "homeassistant/light/den_x_fs20_12341111_1111/config",
      "homeassistant/light/denver_fs20_12341111_1111/config",
      "homeassistant/light/other_fs20_12341111_1111/config",
  };
  std::vector<std::string> expected(found.begin(), found.begin() + 3);
  expected.push_back(found[5]);
  expected.push_back(found[6]);
  EXPECT_EQ(BridgeTopicsToForget(h.core, found), expected);
}

TEST(BridgeCore, SettingsThatWouldBreakTopicsAreRefused) {
  BridgeCore core;
  std::string reason;
  BridgeSettings s;
  s.node = "Den";
  EXPECT_FALSE(BridgeInit(core, s, reason));
  s.node = "den";
  s.prefix = "zarvo/#";
  EXPECT_FALSE(BridgeInit(core, s, reason));
  s.prefix = "home//zarvo";
  EXPECT_FALSE(BridgeInit(core, s, reason));
  s.prefix = "home/zarvo";
  s.discovery = "";
  EXPECT_TRUE(BridgeInit(core, s, reason));
  EXPECT_EQ(BridgeSubscriptions(core), std::vector<std::string>{"home/zarvo/den/fs20/+/set"});
}

}  // namespace
