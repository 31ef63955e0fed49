// MQTT 3.1.1 control packets: the bytes of each packet, and a stream decoder
// that cuts whole packets out of whatever the socket delivered. Platform-free
// and without I/O: the session (mqtt_session.h) decides what to send and the
// transport moves the bytes.
//
// Both directions are here, although the bridge only ever receives what a
// broker sends: the session's own output is checked by decoding it (tests and
// the fuzz target), and a packet that decodes re-encodes to the same bytes.
//
// The decoder accepts only the one encoding the protocol produces for a
// packet: the remaining length in as few bytes as it needs, reserved bits
// and flags zero, no field the flags leave out. Anything else is a broken or
// hostile peer, and the connection is closed on it.
//
// Views (MqttBytes) never own: a decoded packet's views point into the
// decoder's buffer and stay valid until the next call on that decoder; the
// views of a packet to encode point at the caller's bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest whole packet, fixed header included, the decoder takes and the
// session sends. A larger one is refused as soon as its remaining length is
// read, before any of it is buffered, so that a broker cannot make us hold
// more than this.
constexpr size_t kMqttPacketLimitMax = 64 * 1024;
// Strings and binary fields carry a 16-bit length.
constexpr size_t kMqttFieldMax = 65535;
// The largest remaining length four bytes of it can say.
constexpr uint32_t kMqttRemainingLengthMax = 268435455;
// Topic filters in one SUBSCRIBE or UNSUBSCRIBE: the bridge asks for a few.
constexpr int kMqttMaxFilters = 16;

// The packet types, numbered as in the fixed header's high nibble. 0 and 15
// are reserved.
enum MqttPacketType : uint8_t {
  kMqttConnect = 1,
  kMqttConnack = 2,
  kMqttPublish = 3,
  kMqttPuback = 4,
  kMqttPubrec = 5,
  kMqttPubrel = 6,
  kMqttPubcomp = 7,
  kMqttSubscribe = 8,
  kMqttSuback = 9,
  kMqttUnsubscribe = 10,
  kMqttUnsuback = 11,
  kMqttPingreq = 12,
  kMqttPingresp = 13,
  kMqttDisconnect = 14,
};

enum MqttStatus : int {
  kMqttOk = 0,
  kMqttNeedMore = 1,            // decoder: no whole packet yet; every byte given was taken
  kMqttTooLarge = 2,            // over the decoder's limit, or a field or remaining length over its maximum
  kMqttBadRemainingLength = 3,  // a fifth length byte, or more length bytes than the value needs
  kMqttBadType = 4,             // packet type 0 or 15
  kMqttBadFlags = 5,            // fixed-header flags the type does not allow (PUBLISH: QoS 3, or DUP at QoS 0)
  kMqttBadLength = 6,           // the fields run past the remaining length, or leave bytes over
  kMqttBadUtf8 = 7,             // a string that is not well-formed UTF-8, or holds U+0000
  kMqttBadTopic = 8,            // an empty topic, a wildcard in a topic name, a misplaced '+' or '#'
  kMqttBadPacketId = 9,         // packet identifier 0
  kMqttBadQos = 10,             // QoS above 2, or reserved bits beside a requested QoS
  kMqttBadConnect = 11,         // not "MQTT" level 4, reserved flag set, will or password flags that contradict
  kMqttBadReturnCode = 12,      // CONNACK code above 5 or session present on a refusal; SUBACK code not 0, 1, 2 or 0x80
  kMqttNoFilters = 13,          // SUBSCRIBE, UNSUBSCRIBE or SUBACK without any
  kMqttTooManyFilters = 14,     // more than kMqttMaxFilters
  kMqttNoRoom = 15,             // encoder: the output buffer is smaller than the packet
};

// A short name for traces and test messages ("kMqttBadTopic").
const char* MqttStatusName(MqttStatus status);
// "CONNECT", "PUBLISH", ...; "reserved" for 0 and 15.
const char* MqttPacketTypeName(int type);

// CONNACK return codes; 6 .. 255 are reserved and refused by the decoder.
enum MqttConnackCode : uint8_t {
  kMqttAccepted = 0,
  kMqttRefusedProtocolVersion = 1,
  kMqttRefusedIdentifier = 2,
  kMqttRefusedServerUnavailable = 3,
  kMqttRefusedBadUserOrPassword = 4,
  kMqttRefusedNotAuthorized = 5,
};
// The code's meaning in words ("bad user name or password"), for the event
// log; "reserved return code" above 5.
const char* MqttConnackCodeName(uint8_t code);

// A SUBACK code for a filter the broker refused.
constexpr uint8_t kMqttSubackFailure = 0x80;

// Bytes that belong to someone else. data may be null when size is 0.
struct MqttBytes {
  const uint8_t* data;
  size_t size;
};

// The bytes of a NUL-terminated text, NUL excluded; empty for null.
MqttBytes MqttText(const char* text);
bool MqttBytesEqual(MqttBytes a, MqttBytes b);

// The fields of a CONNECT. The will and the user name and password are
// present only with their flags; a password needs a user name.
struct MqttConnectFields {
  MqttBytes clientId;      // UTF-8, may be empty (then cleanSession must be set for the broker to accept it)
  bool cleanSession;
  uint16_t keepAliveS;     // 0 turns the broker's keep-alive check off
  bool will;
  MqttBytes willTopic;     // a topic name: no wildcards
  MqttBytes willPayload;   // any bytes
  uint8_t willQos;         // 0 .. 2; 0 without a will
  bool willRetain;         // false without a will
  bool hasUser;
  MqttBytes user;          // UTF-8
  bool hasPassword;
  MqttBytes password;      // any bytes
};

// One packet of any type. Only the fields of its type are read when encoding
// and written when decoding; the others are left zero by the decoder.
struct MqttPacket {
  MqttPacketType type;
  // PUBLISH
  uint8_t qos;            // 0 .. 2
  bool dup;               // a redelivery; never at QoS 0
  bool retain;
  MqttBytes topic;        // a topic name
  MqttBytes payload;
  // PUBLISH at QoS 1 or 2, PUBACK, PUBREC, PUBREL, PUBCOMP, SUBSCRIBE,
  // SUBACK, UNSUBSCRIBE, UNSUBACK: never 0.
  uint16_t packetId;
  // CONNACK
  bool sessionPresent;    // only with kMqttAccepted
  uint8_t returnCode;     // MqttConnackCode
  // SUBSCRIBE (each filter with its requested QoS) and UNSUBSCRIBE
  int filterCount;        // 1 .. kMqttMaxFilters
  MqttBytes filters[kMqttMaxFilters];
  uint8_t filterQos[kMqttMaxFilters];
  // SUBACK: one code per filter of the SUBSCRIBE, in its order: the QoS
  // granted, or kMqttSubackFailure.
  MqttBytes grants;
  // CONNECT
  MqttConnectFields connect;
};

// ----- Strings and topics -----

// kMqttOk for well-formed UTF-8 without U+0000 (no overlong forms, no
// surrogates, nothing above U+10FFFF) of at most kMqttFieldMax bytes;
// kMqttBadUtf8 or kMqttTooLarge otherwise.
MqttStatus MqttCheckUtf8(MqttBytes text);
// A topic name as PUBLISH carries it: a string as above, not empty, without
// '+' or '#' (kMqttBadTopic).
MqttStatus MqttCheckTopicName(MqttBytes topic);
// A topic filter as SUBSCRIBE carries it: a string as above, not empty;
// '+' fills a whole level, '#' fills the last level (alone or after '/').
MqttStatus MqttCheckTopicFilter(MqttBytes filter);

// ----- Encoding and parsing -----

// Writes `packet` into `out` (`room` bytes) and its size into *size. Checks
// every field as the parser would, so that what it writes always parses back
// to the same packet. With too little room it writes nothing and returns
// kMqttNoRoom with *size set to the room it needs: room 0 measures.
MqttStatus MqttEncodePacket(const MqttPacket& packet, uint8_t* out, size_t room, size_t* size);

// Parses `size` bytes that hold exactly one whole packet, fixed header
// included, into *packet, whose views then point into `bytes`.
MqttStatus MqttParsePacket(const uint8_t* bytes, size_t size, MqttPacket* packet);

// ----- The stream decoder -----

// Collects one packet at a time from a byte stream cut anywhere. Lives as
// long as its connection: reset it with MqttDecoderInit for the next one.
struct MqttDecoder {
  size_t limit;        // the largest whole packet it takes, 2 .. kMqttPacketLimitMax
  size_t have;         // bytes of the current packet in buf
  size_t total;        // the current packet's whole size once its length is read, else 0
  bool complete;       // buf holds the packet the last call returned
  MqttStatus failure;  // kMqttOk, or the error that ended the stream for good
  uint8_t buf[kMqttPacketLimitMax];
};

// Empties the decoder for a new stream; `limit` is clamped to
// 2 .. kMqttPacketLimitMax.
void MqttDecoderInit(MqttDecoder& decoder, size_t limit);

// Takes bytes from `data` up to the end of one packet and says in *used how
// many. Returns kMqttOk with *packet filled when that packet is whole (its
// views valid until the next call), kMqttNeedMore when every byte was taken
// without finishing one, or the error that makes the stream unusable: then
// *used is `size` and every later call returns the same error. Call it again
// with the bytes after *used until they are all taken.
MqttStatus MqttDecode(MqttDecoder& decoder, const uint8_t* data, size_t size, size_t* used,
                      MqttPacket* packet);

// The bytes of the packet the last kMqttOk returned, fixed header included.
MqttBytes MqttDecodedBytes(const MqttDecoder& decoder);
