#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/mqtt_backoff.h"
#include "bridge/mqtt_session.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An event with its views copied, since they last only until the next call.
std::string Str(MqttBytes b) { return std::string(reinterpret_cast<const char*>(b.data), b.size); }

struct Seen {
  MqttEvent event;  // its views cleared
  std::string topic, payload;
};

Seen Copy(MqttEvent e) {
  Seen seen{e, Str(e.topic), Str(e.payload)};
  seen.event.topic = seen.event.payload = seen.event.grants = MqttBytes{nullptr, 0};
  return seen;
}

MqttPacket Parsed(const Bytes& bytes) {
  MqttPacket p;
  EXPECT_EQ(MqttParsePacket(bytes.data(), bytes.size(), &p), kMqttOk);
  return p;
}

MqttPacket Ack(MqttPacketType type, uint16_t id) {
  MqttPacket p = MqttPacket();
  p.type = type;
  p.packetId = id;
  return p;
}

MqttPacket Publish(const char* topic, const char* payload, uint8_t qos, uint16_t id, bool dup, bool retain) {
  MqttPacket p = Ack(kMqttPublish, id);
  p.topic = MqttText(topic);
  p.payload = MqttText(payload);
  p.qos = qos;
  p.dup = dup;
  p.retain = retain;
  return p;
}

// The session between a fake clock and a fake broker that decodes
// everything the session writes: a byte the codec refuses fails the test.
class MqttSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s.reset(new MqttSession);
    MqttSessionInit(*s);
    wire.reset(new MqttDecoder);
  }

  void Configure(int maxInFlight = kMqttMaxInFlight) {
    MqttSessionSettings settings = MqttDefaultSessionSettings();
    settings.connect.clientId = MqttText("zarvo-pc");
    settings.connect.will = true;
    settings.connect.willTopic = MqttText("zarvo/pc/status");
    settings.connect.willPayload = MqttText("offline");
    settings.connect.willQos = 1;
    settings.connect.willRetain = true;
    settings.maxInFlight = maxInFlight;
    ASSERT_EQ(MqttSessionConfigure(*s, settings), kMqttSessionOk);
  }

  void Up(uint64_t now) {
    ASSERT_EQ(MqttSessionTransportUp(*s, now), kMqttSessionOk);
    MqttDecoderInit(*wire, kMqttPacketLimitMax);
  }

  // Connects and answers the CONNECT.
  void Connect(uint64_t now) {
    Up(now);
    std::vector<Bytes> out = Take(now);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(Parsed(out[0]).type, kMqttConnect);
    MqttPacket connack = MqttPacket();
    connack.type = kMqttConnack;
    std::vector<Seen> events = Send(connack, now);
    ASSERT_EQ(events.size(), 1u);
    ASSERT_EQ(events[0].event.type, kMqttEventConnected);
  }

  // Everything the session has for the socket, handed over at `now`, cut
  // into packets. What the hand-over said lands in `written`.
  std::vector<Bytes> Take(uint64_t now) {
    std::vector<Bytes> packets;
    for (MqttBytes out = MqttSessionOutput(*s); out.size > 0; out = MqttSessionOutput(*s)) {
      const Bytes bytes(out.data, out.data + out.size);
      MqttEvent event;
      EXPECT_EQ(MqttSessionOutputSent(*s, out.size, now, &event), kMqttSessionOk);
      if (event.type != kMqttEventNone) written.push_back(Copy(event));
      for (size_t at = 0; at < bytes.size();) {
        size_t used = 0;
        MqttPacket p;
        MqttStatus status = MqttDecode(*wire, bytes.data() + at, bytes.size() - at, &used, &p);
        at += used;
        if (status == kMqttOk) {
          MqttBytes raw = MqttDecodedBytes(*wire);
          packets.emplace_back(raw.data, raw.data + raw.size);
        } else {
          EXPECT_EQ(status, kMqttNeedMore) << MqttStatusName(status);
        }
      }
    }
    return packets;
  }

  // The broker sends `p`; the events it caused.
  std::vector<Seen> Send(const MqttPacket& p, uint64_t now) {
    size_t size = 0;
    MqttEncodePacket(p, nullptr, 0, &size);
    Bytes bytes(size);
    EXPECT_EQ(MqttEncodePacket(p, bytes.data(), bytes.size(), &size), kMqttOk);
    return Receive(bytes, now);
  }

  std::vector<Seen> Receive(const Bytes& bytes, uint64_t now) {
    std::vector<Seen> events;
    for (size_t at = 0; at < bytes.size();) {
      size_t used = 0;
      MqttEvent event;
      MqttSessionReceive(*s, bytes.data() + at, bytes.size() - at, now, &used, &event);
      at += used;
      if (event.type != kMqttEventNone) events.push_back(Copy(event));
    }
    return events;
  }

  MqttEventType Tick(uint64_t now, MqttCloseReason* reason = nullptr) {
    MqttEvent event;
    MqttSessionTick(*s, now, &event);
    if (reason != nullptr) *reason = event.reason;
    return event.type;
  }

  MqttSessionStatus Pub(const std::string& topic, const std::string& payload, uint8_t qos, bool retain = false,
                        uint32_t* ticket = nullptr) {
    MqttMessage m{MqttBytes{reinterpret_cast<const uint8_t*>(topic.data()), topic.size()},
                  MqttBytes{reinterpret_cast<const uint8_t*>(payload.data()), payload.size()}, qos, retain};
    return MqttSessionPublish(*s, m, ticket);
  }

  std::unique_ptr<MqttSession> s;
  std::unique_ptr<MqttDecoder> wire;
  std::vector<Seen> written;
};

TEST_F(MqttSessionTest, ConnectSubscribePublishPastTheInFlightBoundThenKeepAliveFindsTheBrokerGone) {
  Configure();
  Up(0);
  std::vector<Bytes> out = Take(0);
  ASSERT_EQ(out.size(), 1u);
  const MqttConnectFields c = Parsed(out[0]).connect;
  EXPECT_EQ(Str(c.clientId), "zarvo-pc");
  EXPECT_TRUE(c.cleanSession && c.will && c.willRetain && !c.hasUser);
  EXPECT_EQ(c.willQos, 1);
  EXPECT_EQ(c.keepAliveS, 30);
  EXPECT_EQ(Str(c.willTopic), "zarvo/pc/status");
  EXPECT_EQ(MqttSessionWaitMs(*s, 0), 15000u);
  EXPECT_EQ(Pub("zarvo/pc/line", "early", 0), kMqttSessionNotConnected);

  MqttPacket connack = MqttPacket();
  connack.type = kMqttConnack;
  std::vector<Seen> events = Send(connack, 100);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event.type, kMqttEventConnected);

  const MqttBytes filters[] = {MqttText("zarvo/pc/fs20/+/set"), MqttText("homeassistant/status")};
  uint16_t subId = 0;
  ASSERT_EQ(MqttSessionSubscribe(*s, filters, 2, &subId), kMqttSessionOk);
  out = Take(100);
  ASSERT_EQ(out.size(), 1u);
  MqttPacket sub = Parsed(out[0]);
  EXPECT_EQ(sub.type, kMqttSubscribe);
  EXPECT_EQ(sub.packetId, subId);
  EXPECT_EQ(sub.filterCount, 2);
  EXPECT_EQ(sub.filterQos[0] + sub.filterQos[1], 2);
  MqttPacket suback = Ack(kMqttSuback, subId);
  const uint8_t grants[] = {1, kMqttSubackFailure};
  suback.grants = MqttBytes{grants, 2};
  events = Send(suback, 150);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event.type, kMqttEventSubscribed);
  EXPECT_EQ(events[0].event.failures, 1);

  // 40 QoS 1 messages: 32 go out, 8 wait, and each PUBACK lets the next go,
  // in the order they were published.
  std::vector<uint32_t> tickets(40);
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(Pub("zarvo/pc/fs20/12341111-1111/state", "m" + std::to_string(i), 1, true, &tickets[i]),
              kMqttSessionOk);
  }
  out = Take(200);
  ASSERT_EQ(out.size(), 32u);
  std::vector<uint16_t> ids;
  for (int i = 0; i < 32; ++i) {
    MqttPacket p = Parsed(out[i]);
    EXPECT_EQ(Str(p.payload), "m" + std::to_string(i));
    EXPECT_TRUE(p.qos == 1 && p.retain && p.packetId != 0);
    for (uint16_t id : ids) EXPECT_NE(id, p.packetId);
    ids.push_back(p.packetId);
  }
  for (int i = 0; i < 40; ++i) {
    events = Send(Ack(kMqttPuback, ids[i]), 300);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event.type, kMqttEventPublished);
    EXPECT_EQ(events[0].event.ticket, tickets[i]);
    out = Take(300);
    if (i < 8) {
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(Str(Parsed(out[0]).payload), "m" + std::to_string(32 + i));
      ids.push_back(Parsed(out[0]).packetId);
    } else {
      EXPECT_TRUE(out.empty());
    }
  }

  // Quiet since 300 ms: a PINGREQ at 30.3 s. Its answer arrives later than
  // it went, so the next falls due 30 s after the PINGREQ was sent.
  EXPECT_EQ(MqttSessionWaitMs(*s, 300), 30000u);
  EXPECT_EQ(Tick(30299), kMqttEventNone);
  EXPECT_TRUE(Take(30299).empty());
  EXPECT_EQ(Tick(30300), kMqttEventNone);
  out = Take(30300);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Parsed(out[0]).type, kMqttPingreq);
  EXPECT_EQ(MqttSessionWaitMs(*s, 30300), 15000u);
  MqttPacket pingresp = MqttPacket();
  pingresp.type = kMqttPingresp;
  EXPECT_TRUE(Send(pingresp, 31000).empty());
  EXPECT_EQ(MqttSessionWaitMs(*s, 31000), 29300u);
  EXPECT_EQ(Tick(60300), kMqttEventNone);
  ASSERT_EQ(Take(60300).size(), 1u);
  // This one gets no answer.
  MqttCloseReason reason = kMqttCloseNone;
  EXPECT_EQ(Tick(75299), kMqttEventNone);
  EXPECT_EQ(Tick(75300, &reason), kMqttEventMustClose);
  EXPECT_EQ(reason, kMqttClosePingTimeout);
  EXPECT_EQ(MqttSessionWaitMs(*s, 75300), kMqttWaitForever);
  EXPECT_TRUE(Send(pingresp, 75400).empty());  // too late: ignored
  MqttSessionTransportDown(*s);
  EXPECT_EQ(s->counts.droppedAtClose, 0u);
}

TEST_F(MqttSessionTest, FullQueueRefusesAndCountsAndAReconnectResendsNothing) {
  Configure(1);
  Connect(0);
  const std::string payload(10000, 'x');
  int accepted = 0;
  while (Pub("zarvo/pc/line", payload, 1) == kMqttSessionOk) ++accepted;
  // One in flight; the queue holds what fits in its bytes.
  EXPECT_EQ(accepted, 1 + static_cast<int>(kMqttQueueBytes / (kMqttQueueRecordHeader + 13 + 10000)));
  EXPECT_EQ(s->counts.refusedQueueFull, 1u);

  // A socket that takes nothing: QoS 0 fills the output, yet a PUBACK for
  // the broker still finds room.
  const std::string big(60000, 'y');
  int queued = 0;
  while (Pub("zarvo/pc/line", big, 0) == kMqttSessionOk) ++queued;
  EXPECT_EQ(queued, 2);  // behind the first 10 kB message
  EXPECT_EQ(s->counts.refusedOutputFull, 1u);
  std::vector<Seen> events = Send(Publish("zarvo/pc/fs20/x/set", "ON", 1, 5, false, false), 10);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event.type, kMqttEventMessage);
  std::vector<Bytes> out = Take(20);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(Parsed(out[3]).type, kMqttPuback);

  // The connection ends: nothing of it is resent on the next.
  MqttSessionTransportDown(*s);
  EXPECT_EQ(s->counts.droppedAtClose, static_cast<uint64_t>(accepted));
  Up(1000);
  out = Take(1000);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Parsed(out[0]).type, kMqttConnect);
}

TEST_F(MqttSessionTest, QoS1CommandsAreAcknowledgedAndARedeliveryIsActedOnOnce) {
  Configure();
  Connect(0);
  const char* set = "zarvo/pc/fs20/12341111-1111/set";
  std::vector<Seen> all;
  auto deliver = [&](const MqttPacket& p) {
    std::vector<Seen> events = Send(p, 10);
    EXPECT_EQ(events.size(), 1u);
    all.insert(all.end(), events.begin(), events.end());
    return Take(10);
  };
  std::vector<Bytes> out = deliver(Publish(set, "TOGGLE", 1, 7, false, false));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Parsed(out[0]).type, kMqttPuback);
  EXPECT_EQ(Parsed(out[0]).packetId, 7);
  // Our PUBACK crossed the broker's resend: acknowledged again, not acted on.
  out = deliver(Publish(set, "TOGGLE", 1, 7, true, false));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Parsed(out[0]).packetId, 7);
  // The identifier reused for a new message, a first delivery marked DUP,
  // and a stored command, whose retain flag is passed on.
  deliver(Publish(set, "OFF", 1, 7, false, false));
  deliver(Publish(set, "ON", 1, 9, true, false));
  EXPECT_TRUE(deliver(Publish(set, "ON", 0, 0, false, true)).empty());

  std::vector<std::string> actedOn;
  for (const Seen& e : all) {
    EXPECT_EQ(e.event.type, kMqttEventMessage);
    EXPECT_EQ(e.topic, set);
    if (!e.event.duplicate) actedOn.push_back(e.payload + (e.event.retain ? " retained" : ""));
  }
  EXPECT_EQ(actedOn, (std::vector<std::string>{"TOGGLE", "OFF", "ON", "ON retained"}));
  EXPECT_EQ(s->counts.duplicates, 1u);

  // The window belongs to the connection.
  MqttSessionTransportDown(*s);
  Connect(100);
  std::vector<Seen> events = Send(Publish(set, "TOGGLE", 1, 7, true, false), 110);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].event.duplicate);
}

TEST_F(MqttSessionTest, StoppingSendsWhatIsQueuedThenDisconnectAndSaysWhenItIsHandedOver) {
  Configure(1);
  Connect(0);
  ASSERT_EQ(Pub("zarvo/pc/service", "offline", 1, true), kMqttSessionOk);
  ASSERT_EQ(Pub("zarvo/pc/status", "offline", 1, true), kMqttSessionOk);  // queued behind it
  ASSERT_EQ(MqttSessionDisconnect(*s, 100), kMqttSessionOk);
  EXPECT_EQ(Pub("zarvo/pc/line", "late", 0), kMqttSessionNotConnected);
  std::vector<Bytes> out = Take(100);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(written.empty());

  std::vector<Seen> events = Send(Ack(kMqttPuback, Parsed(out[0]).packetId), 150);
  ASSERT_EQ(events.size(), 1u);
  out = Take(150);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(Str(Parsed(out[0]).topic), "zarvo/pc/status");
  EXPECT_TRUE(Parsed(out[0]).retain);
  EXPECT_EQ(Parsed(out[1]).type, kMqttDisconnect);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].event.type, kMqttEventDisconnected);
  EXPECT_EQ(MqttSessionWaitMs(*s, 150), kMqttWaitForever);

  // A broker that never acknowledges: the disconnect gives up in time.
  MqttSessionTransportDown(*s);
  Connect(1000);
  ASSERT_EQ(Pub("zarvo/pc/service", "offline", 1, true), kMqttSessionOk);
  ASSERT_EQ(Pub("zarvo/pc/status", "offline", 1, true), kMqttSessionOk);
  ASSERT_EQ(MqttSessionDisconnect(*s, 2000), kMqttSessionOk);
  EXPECT_EQ(MqttSessionWaitMs(*s, 2000), 3000u);
  MqttCloseReason reason = kMqttCloseNone;
  EXPECT_EQ(Tick(4999), kMqttEventNone);
  EXPECT_EQ(Tick(5000, &reason), kMqttEventMustClose);
  EXPECT_EQ(reason, kMqttCloseDisconnectTimeout);
  MqttSessionTransportDown(*s);
  EXPECT_EQ(MqttSessionDisconnect(*s, 6000), kMqttSessionNotConnected);
}

TEST_F(MqttSessionTest, NoCONNACKARefusalOrABrokenBrokerEachEndTheConnection) {
  Configure();
  MqttCloseReason reason = kMqttCloseNone;
  Up(0);
  EXPECT_EQ(Tick(14999), kMqttEventNone);
  EXPECT_EQ(Tick(15000, &reason), kMqttEventMustClose);
  EXPECT_EQ(reason, kMqttCloseNoConnack);

  MqttSessionTransportDown(*s);
  Up(20000);
  // The refusal and a PINGRESP in the same read: what follows is ignored.
  std::vector<Seen> events = Receive({0x20, 0x02, 0x00, kMqttRefusedBadUserOrPassword, 0xD0, 0x00}, 20100);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event.type, kMqttEventRefused);
  EXPECT_EQ(events[0].event.returnCode, kMqttRefusedBadUserOrPassword);
  EXPECT_EQ(MqttSessionWaitMs(*s, 20100), kMqttWaitForever);

  struct Case {
    const char* what;
    bool connected;
    Bytes bytes;
    MqttCloseReason reason;
    MqttStatus decodeStatus;
  } cases[] = {
      {"a PUBLISH before the CONNACK", false, {0x30, 0x05, 0x00, 0x03, 'a', '/', 'b'}, kMqttCloseUnexpected, kMqttOk},
      {"a PUBLISH at QoS 2", true, {0x34, 0x07, 0x00, 0x03, 'a', '/', 'b', 0x00, 0x01}, kMqttCloseUnexpected, kMqttOk},
      {"a wildcard topic", true, {0x30, 0x05, 0x00, 0x03, 'a', '/', '#'}, kMqttCloseMalformed, kMqttBadTopic},
      {"a packet over 64 KiB", true, {0x30, 0xFD, 0xFF, 0x03}, kMqttCloseMalformed, kMqttTooLarge},
  };
  for (const Case& k : cases) {
    MqttSessionTransportDown(*s);
    if (k.connected) {
      Connect(30000);
    } else {
      Up(30000);
      Take(30000);
    }
    events = Receive(k.bytes, 30100);
    ASSERT_EQ(events.size(), 1u) << k.what;
    EXPECT_EQ(events[0].event.type, kMqttEventMustClose) << k.what;
    EXPECT_EQ(events[0].event.reason, k.reason) << k.what;
    EXPECT_EQ(events[0].event.decodeStatus, k.decodeStatus) << k.what;
  }
}

TEST_F(MqttSessionTest, PacketIdsWrapPastZeroAndSkipTheOneStillInFlight) {
  Configure();
  Connect(0);
  ASSERT_EQ(Pub("zarvo/pc/held", "never acknowledged", 1), kMqttSessionOk);
  std::vector<Bytes> out = Take(0);
  ASSERT_EQ(out.size(), 1u);
  const uint16_t held = Parsed(out[0]).packetId;
  uint16_t previous = held;
  int wraps = 0;
  for (int i = 0; i < 70000; ++i) {
    ASSERT_EQ(Pub("zarvo/pc/line", "x", 1), kMqttSessionOk);
    out = Take(0);
    ASSERT_EQ(out.size(), 1u);
    const uint16_t id = Parsed(out[0]).packetId;
    ASSERT_NE(id, 0);
    ASSERT_NE(id, held);
    if (id < previous) ++wraps;
    uint16_t expected = static_cast<uint16_t>(previous == 65535 ? 1 : previous + 1);
    if (expected == held) ++expected;
    EXPECT_EQ(id, expected);
    previous = id;
    ASSERT_EQ(Send(Ack(kMqttPuback, id), 0).size(), 1u);
  }
  EXPECT_EQ(wraps, 1);
}

TEST(MqttBackoff, DoublesToAMinuteWithJitterAndStartsOverOnlyAfterAConnectionThatLasted) {
  MqttBackoff b;
  MqttBackoffInit(b);
  // Random 0 waits half the step; the step doubles and stops at 60 s.
  std::vector<uint32_t> delays;
  for (int i = 0; i < 8; ++i) delays.push_back(MqttBackoffDelayMs(b, 0, false, 0));
  EXPECT_EQ(delays, (std::vector<uint32_t>{500, 1000, 2000, 4000, 8000, 16000, 30000, 30000}));
  for (uint32_t random : {1u, 12345u, 0xFFFFFFFFu}) {
    uint32_t d = MqttBackoffDelayMs(b, 0, false, random);
    EXPECT_TRUE(d >= 30000 && d <= 60000) << d;
  }

  // A connection the broker drops at once does not start over...
  MqttBackoffAccepted(b, 100000);
  EXPECT_EQ(MqttBackoffDelayMs(b, 105000, false, 0), 30000u);
  // ...one that lasted a minute does.
  MqttBackoffAccepted(b, 200000);
  EXPECT_EQ(MqttBackoffDelayMs(b, 260000, false, 250), 750u);
  EXPECT_EQ(MqttBackoffDelayMs(b, 261000, false, 0), 1000u);

  // A refusal waits its own fixed interval, which a test may shorten.
  EXPECT_EQ(MqttBackoffDelayMs(b, 262000, true, 999), 60000u);
  b.refusedMs = 200;
  EXPECT_EQ(MqttBackoffDelayMs(b, 263000, true, 999), 200u);
}

}  // namespace
