#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/mqtt_packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Encode(const MqttPacket& p) {
  size_t size = 0;
  EXPECT_EQ(MqttEncodePacket(p, nullptr, 0, &size), kMqttNoRoom);
  Bytes out(size);
  EXPECT_EQ(MqttEncodePacket(p, out.data(), out.size(), &size), kMqttOk);
  EXPECT_EQ(size, out.size());
  return out;
}

MqttStatus Parse(const Bytes& bytes, MqttPacket* p) { return MqttParsePacket(bytes.data(), bytes.size(), p); }


// Feeds `stream` cut at `cuts` and returns each whole packet's bytes, and
// the status the stream ended with: kMqttOk when it ended with a whole
// packet, kMqttNeedMore inside one, or the error that stopped it.
MqttStatus DecodeAll(const Bytes& stream, const std::vector<size_t>& cuts, std::vector<Bytes>* packets,
                     size_t limit = kMqttPacketLimitMax) {
  std::unique_ptr<MqttDecoder> d(new MqttDecoder);
  MqttDecoderInit(*d, limit);
  MqttStatus last = kMqttNeedMore;
  size_t from = 0;
  std::vector<size_t> ends(cuts);
  ends.push_back(stream.size());
  for (size_t end : ends) {
    while (from < end) {
      size_t used = 0;
      MqttPacket p;
      last = MqttDecode(*d, stream.data() + from, end - from, &used, &p);
      from += used;
      if (last == kMqttOk) {
        MqttBytes raw = MqttDecodedBytes(*d);
        packets->emplace_back(raw.data, raw.data + raw.size);
      } else if (last != kMqttNeedMore) {
        return last;
      }
    }
  }
  return last;
}

TEST(MqttPacket, ConnectWithWillAndCredentialsIsEncodedByteForByte) {
  MqttPacket p = MqttPacket();
  p.type = kMqttConnect;
  MqttConnectFields& c = p.connect;
  c.clientId = MqttText("zarvo-pc");
  c.cleanSession = true;
  c.keepAliveS = 30;
  c.will = true;
  c.willTopic = MqttText("zarvo/pc/status");
  c.willPayload = MqttText("offline");
  c.willQos = 1;
  c.willRetain = true;
  c.hasUser = c.hasPassword = true;
  c.user = MqttText("u");
  c.password = MqttText("pw");
  // Remaining length 10 + (2+8) + (2+15) + (2+7) + (2+1) + (2+2) = 53;
  // flags: user, password, will retain, will QoS 1, will, clean session.
  const Bytes expected = Cat({{0x10, 53, 0x00, 0x04}, Of("MQTT"), {0x04, 0xEE, 0x00, 30, 0x00, 8}, Of("zarvo-pc"),
                              {0x00, 15}, Of("zarvo/pc/status"), {0x00, 7}, Of("offline"), {0x00, 1}, Of("u"),
                              {0x00, 2}, Of("pw")});
  const Bytes bytes = Encode(p);
  EXPECT_EQ(bytes, expected);

  MqttPacket back;
  ASSERT_EQ(Parse(bytes, &back), kMqttOk);
  EXPECT_EQ(Encode(back), bytes);

  // The standard's own variable header: user, password, will QoS 1, will,
  // clean session, keep-alive 10 s.
  c.willRetain = false;
  c.keepAliveS = 10;
  const Bytes variable = {0x00, 0x04, 'M', 'Q', 'T', 'T', 0x04, 0xCE, 0x00, 0x0A};
  const Bytes standard = Encode(p);
  EXPECT_EQ(Bytes(standard.begin() + 2, standard.begin() + 12), variable);

  // Contradicting flags cannot be encoded, so they can never be sent.
  c.hasUser = false;
  size_t size = 0;
  EXPECT_EQ(MqttEncodePacket(p, nullptr, 0, &size), kMqttBadConnect);
  c.hasUser = true;
  c.will = false;
  EXPECT_EQ(MqttEncodePacket(p, nullptr, 0, &size), kMqttBadConnect);
}

TEST(MqttPacket, PublishRemainingLengthTakesOneToThreeBytesAtTheBoundaries) {
  struct Case {
    size_t remaining;
    Bytes length;
  } cases[] = {{127, {0x7F}}, {128, {0x80, 0x01}}, {16383, {0xFF, 0x7F}}, {16384, {0x80, 0x80, 0x01}}};
  for (const Case& k : cases) {
    // The standard's example variable header: topic "a/b", packet id 10.
    const Bytes payload(k.remaining - 7, 'x');
    MqttPacket p = MqttPacket();
    p.type = kMqttPublish;
    p.qos = 1;
    p.retain = true;
    p.topic = MqttText("a/b");
    p.packetId = 10;
    p.payload = MqttBytes{payload.data(), payload.size()};
    const Bytes bytes = Encode(p);
    const Bytes head = Cat({{0x33}, k.length, {0x00, 0x03, 'a', '/', 'b', 0x00, 0x0A}});
    ASSERT_EQ(bytes.size(), 1 + k.length.size() + k.remaining);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + head.size()), head) << k.remaining;

    MqttPacket back;
    ASSERT_EQ(Parse(bytes, &back), kMqttOk);
    EXPECT_TRUE(back.retain && !back.dup);
    EXPECT_EQ(back.packetId, 10);
    EXPECT_EQ(back.payload.size, payload.size());
  }
}

TEST(MqttPacket, SubscribeUnsubscribeAndTheSmallPacketsAreEncodedByteForByte) {
  MqttPacket sub = MqttPacket();
  sub.type = kMqttSubscribe;
  sub.packetId = 1;
  sub.filterCount = 2;
  sub.filters[0] = MqttText("zarvo/pc/+/set");
  sub.filters[1] = MqttText("homeassistant/status");
  sub.filterQos[0] = sub.filterQos[1] = 1;
  // 2 + (2+14+1) + (2+20+1) = 42
  EXPECT_EQ(Encode(sub), Cat({{0x82, 42, 0x00, 0x01, 0x00, 14}, Of("zarvo/pc/+/set"), {0x01, 0x00, 20},
                              Of("homeassistant/status"), {0x01}}));
  MqttPacket unsub = sub;
  unsub.type = kMqttUnsubscribe;
  unsub.filterCount = 1;
  EXPECT_EQ(Encode(unsub), Cat({{0xA2, 18, 0x00, 0x01, 0x00, 14}, Of("zarvo/pc/+/set")}));

  MqttPacket p = MqttPacket();
  p.type = kMqttPuback;
  p.packetId = 0x1234;
  EXPECT_EQ(Encode(p), (Bytes{0x40, 0x02, 0x12, 0x34}));

  MqttPacket back;
  const Bytes suback = {0x90, 0x04, 0x00, 0x01, 0x01, 0x80};
  ASSERT_EQ(Parse(suback, &back), kMqttOk);
  EXPECT_EQ(back.packetId, 1);
  EXPECT_EQ(back.grants.size, 2u);
  EXPECT_EQ(back.grants.data[1], kMqttSubackFailure);
  ASSERT_EQ(Parse({0x20, 0x02, 0x00, 0x04}, &back), kMqttOk);
  EXPECT_STREQ(MqttConnackCodeName(back.returnCode), "bad user name or password");
}

TEST(MqttPacket, TopicRulesHoldWhenEncodingToo) {
  struct Case {
    std::string filter;
    MqttStatus asFilter;
    MqttStatus asName;
  } cases[] = {
      {"zarvo/pc/fs20/12341111-1111/set", kMqttOk, kMqttOk},
      {"#", kMqttOk, kMqttBadTopic},
      {"zarvo/#", kMqttOk, kMqttBadTopic},
      {"+/pc/+", kMqttOk, kMqttBadTopic},
      {"zarvo#", kMqttBadTopic, kMqttBadTopic},
      {"zarvo/#/set", kMqttBadTopic, kMqttBadTopic},
      {"zarvo+/set", kMqttBadTopic, kMqttBadTopic},
      {"", kMqttBadTopic, kMqttBadTopic},
      {std::string("a\0b", 3), kMqttBadUtf8, kMqttBadUtf8},
      {"K\xC3\xBC" "che", kMqttOk, kMqttOk},
      {"\xC0\xAF", kMqttBadUtf8, kMqttBadUtf8},      // overlong '/'
      {"\xED\xA0\x80", kMqttBadUtf8, kMqttBadUtf8},  // a surrogate
      {"\xF4\x90\x80\x80", kMqttBadUtf8, kMqttBadUtf8},  // above U+10FFFF
      {std::string(65536, 'a'), kMqttTooLarge, kMqttTooLarge},
  };
  for (const Case& k : cases) {
    const MqttBytes b{reinterpret_cast<const uint8_t*>(k.filter.data()), k.filter.size()};
    EXPECT_EQ(MqttCheckTopicFilter(b), k.asFilter) << k.filter.substr(0, 40);
    MqttPacket p = MqttPacket();
    p.type = kMqttPublish;
    p.topic = b;
    size_t size = 0;
    EXPECT_EQ(MqttEncodePacket(p, nullptr, 0, &size), k.asName == kMqttOk ? kMqttNoRoom : k.asName)
        << k.filter.substr(0, 40);
  }
  EXPECT_EQ(MqttCheckTopicName(MqttText(std::string(65535, 'a').c_str())), kMqttOk);
}

TEST(MqttPacket, StreamDecoderYieldsTheSamePacketsHoweverTheBytesAreCut) {
  const Bytes publish = Cat({{0x3B, 15, 0x00, 0x09}, Of("zarvo/x/y"), {0x00, 0x07}, Of("ON")});
  const Bytes bigPublish = Cat({{0x30, 0x83, 0x01, 0x00, 0x01, 'a'}, Bytes(128, 'p')});  // remaining 131
  const std::vector<Bytes> expected = {
      {0x20, 0x02, 0x00, 0x00}, {0x90, 0x03, 0x00, 0x01, 0x01}, publish, {0xD0, 0x00}, bigPublish,
      {0xB0, 0x02, 0x00, 0x02}};
  Bytes stream;
  for (const Bytes& p : expected) stream.insert(stream.end(), p.begin(), p.end());

  // Every way of cutting the stream in three.
  for (size_t i = 0; i <= stream.size(); ++i) {
    for (size_t j = i; j <= stream.size(); ++j) {
      std::vector<Bytes> packets;
      ASSERT_EQ(DecodeAll(stream, {i, j}, &packets), kMqttOk) << i << " " << j;
      ASSERT_EQ(packets, expected) << i << " " << j;
    }
  }
  // One byte at a time.
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < stream.size(); ++i) everyByte.push_back(i);
  std::vector<Bytes> packets;
  EXPECT_EQ(DecodeAll(stream, everyByte, &packets), kMqttOk);
  EXPECT_EQ(packets, expected);
}

TEST(MqttPacket, PacketOverTheLimitIsRefusedFromItsLengthBeforeAnyOfItIsBuffered) {
  // 1 + 3 + 65532 = 65536 bytes: exactly the limit, taken.
  const Bytes atLimit = Cat({{0x30, 0xFC, 0xFF, 0x03, 0x00, 0x01, 'a'}, Bytes(65532 - 3, 'p')});
  std::vector<Bytes> packets;
  EXPECT_EQ(DecodeAll(atLimit, {}, &packets), kMqttOk);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].size(), kMqttPacketLimitMax);

  // One byte more is refused with its fourth byte, and the stream stays dead.
  std::unique_ptr<MqttDecoder> d(new MqttDecoder);
  MqttDecoderInit(*d, kMqttPacketLimitMax);
  const Bytes header = {0x30, 0xFD, 0xFF, 0x03};
  MqttPacket p;
  size_t used = 0;
  EXPECT_EQ(MqttDecode(*d, header.data(), 3, &used, &p), kMqttNeedMore);
  EXPECT_EQ(MqttDecode(*d, header.data() + 3, 1, &used, &p), kMqttTooLarge);
  EXPECT_EQ(d->have, 4u);
  const Bytes ping = {0xD0, 0x00};
  EXPECT_EQ(MqttDecode(*d, ping.data(), ping.size(), &used, &p), kMqttTooLarge);
  EXPECT_EQ(used, ping.size());

  // A smaller limit, and the largest length four bytes can say.
  packets.clear();
  EXPECT_EQ(DecodeAll({0x30, 0x7F}, {}, &packets, 129), kMqttNeedMore);
  EXPECT_EQ(DecodeAll({0x30, 0x80, 0x01}, {}, &packets, 129), kMqttTooLarge);
  EXPECT_EQ(DecodeAll({0x30, 0xFF, 0xFF, 0xFF, 0x7F}, {}, &packets), kMqttTooLarge);
  EXPECT_EQ(DecodeAll({0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, {}, &packets), kMqttBadRemainingLength);
}

TEST(MqttPacket, MalformedPacketsAreRefusedWithTheirReason) {
  const Bytes topic = {0x00, 0x03, 'a', '/', 'b'};
  struct Case {
    const char* what;
    Bytes bytes;
    MqttStatus status;
  } cases[] = {
      {"type 0", {0x00, 0x00}, kMqttBadType},
      {"type 15", {0xF0, 0x00}, kMqttBadType},
      {"PUBLISH at QoS 3", Cat({{0x36, 7}, topic, {0x00, 0x01}}), kMqttBadFlags},
      {"DUP at QoS 0", Cat({{0x38, 5}, topic}), kMqttBadFlags},
      {"PUBACK with flags", {0x42, 0x02, 0x00, 0x01}, kMqttBadFlags},
      {"SUBACK with flags", {0x92, 0x03, 0x00, 0x01, 0x00}, kMqttBadFlags},
      {"length in a longer form", {0xD0, 0x80, 0x00}, kMqttBadRemainingLength},
      {"PUBACK length 3", {0x40, 0x03, 0x00, 0x01, 0x00}, kMqttBadLength},
      {"PUBACK length 1", {0x40, 0x01, 0x00}, kMqttBadLength},
      {"PINGRESP with a body", {0xD0, 0x01, 0x00}, kMqttBadLength},
      {"topic runs past the packet", {0x30, 0x05, 0x00, 0x09, 'a', '/', 'b'}, kMqttBadLength},
      {"QoS 1 without room for the id", Cat({{0x32, 6}, topic, {0x00}}), kMqttBadLength},
      {"'#' in a topic name", {0x30, 0x05, 0x00, 0x03, 'a', '/', '#'}, kMqttBadTopic},
      {"'+' in a topic name", {0x30, 0x05, 0x00, 0x03, 'a', '/', '+'}, kMqttBadTopic},
      {"empty topic", {0x30, 0x02, 0x00, 0x00}, kMqttBadTopic},
      {"NUL in a topic", {0x30, 0x05, 0x00, 0x03, 'a', 0x00, 'b'}, kMqttBadUtf8},
      {"overlong UTF-8 in a topic", {0x30, 0x04, 0x00, 0x02, 0xC0, 0xAF}, kMqttBadUtf8},
      {"packet id 0", Cat({{0x32, 7}, topic, {0x00, 0x00}}), kMqttBadPacketId},
      {"PUBACK id 0", {0x40, 0x02, 0x00, 0x00}, kMqttBadPacketId},
      {"CONNACK code 6", {0x20, 0x02, 0x00, 0x06}, kMqttBadReturnCode},
      {"session present on a refusal", {0x20, 0x02, 0x01, 0x05}, kMqttBadReturnCode},
      {"CONNACK reserved flag", {0x20, 0x02, 0x02, 0x00}, kMqttBadReturnCode},
      {"SUBACK code 3", {0x90, 0x03, 0x00, 0x01, 0x03}, kMqttBadReturnCode},
      {"SUBACK without codes", {0x90, 0x02, 0x00, 0x01}, kMqttNoFilters},
      {"SUBSCRIBE without filters", {0x82, 0x02, 0x00, 0x01}, kMqttNoFilters},
      {"SUBSCRIBE reserved QoS bits", Cat({{0x82, 8, 0x00, 0x01}, topic, {0x41}}), kMqttBadQos},
      {"SUBSCRIBE filter a/#/b", {0x82, 0x0A, 0x00, 0x01, 0x00, 0x05, 'a', '/', '#', '/', 'b', 0x01},
       kMqttBadTopic},
      {"CONNECT of MQTT 3.1", Cat({{0x10, 14, 0x00, 0x06}, Of("MQIsdp"), {0x03, 0x02, 0x00, 0x1E, 0x00, 0x00}}),
       kMqttBadConnect},
      {"CONNECT password without user",
       Cat({{0x10, 16, 0x00, 0x04}, Of("MQTT"), {0x04, 0x42, 0x00, 0x1E, 0x00, 0x00, 0x00, 0x02}, Of("pw")}),
       kMqttBadConnect},
      {"CONNECT reserved flag", Cat({{0x10, 12, 0x00, 0x04}, Of("MQTT"), {0x04, 0x03, 0x00, 0x1E, 0x00, 0x00}}),
       kMqttBadConnect},
  };
  for (const Case& k : cases) {
    // Whole, and through the stream decoder a byte at a time.
    MqttPacket p;
    EXPECT_EQ(Parse(k.bytes, &p), k.status) << k.what;
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < k.bytes.size(); ++i) everyByte.push_back(i);
    std::vector<Bytes> packets;
    EXPECT_EQ(DecodeAll(k.bytes, everyByte, &packets), k.status) << k.what;
    EXPECT_TRUE(packets.empty()) << k.what;
  }
}

}  // namespace
