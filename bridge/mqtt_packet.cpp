#include "bridge/mqtt_packet.h"

#include <cstring>

namespace {

// The fixed-header flags every type but PUBLISH must carry: 0010 for the
// three packets that are acknowledged as a whole (PUBREL, SUBSCRIBE,
// UNSUBSCRIBE), 0000 for the rest.
uint8_t RequiredFlags(MqttPacketType type) {
  return (type == kMqttPubrel || type == kMqttSubscribe || type == kMqttUnsubscribe) ? 0x02 : 0x00;
}

bool HasPacketIdOnly(MqttPacketType type) {
  return type == kMqttPuback || type == kMqttPubrec || type == kMqttPubrel ||
         type == kMqttPubcomp || type == kMqttUnsuback;
}

bool IsValidGrant(uint8_t code) { return code <= 2 || code == kMqttSubackFailure; }

// The bytes the remaining length takes for `value`.
size_t LengthBytes(size_t value) {
  if (value < 128) return 1;
  if (value < 16384) return 2;
  if (value < 2097152) return 3;
  return 4;
}

// ----- Writing -----

struct Writer {
  uint8_t* at;
};

void PutByte(Writer& w, uint8_t b) { *w.at++ = b; }

void PutU16(Writer& w, uint16_t v) {
  PutByte(w, static_cast<uint8_t>(v >> 8));
  PutByte(w, static_cast<uint8_t>(v & 0xFF));
}

void PutRaw(Writer& w, MqttBytes b) {
  if (b.size != 0) std::memcpy(w.at, b.data, b.size);
  w.at += b.size;
}

// A string or binary field: its 16-bit length, then its bytes.
void PutField(Writer& w, MqttBytes b) {
  PutU16(w, static_cast<uint16_t>(b.size));
  PutRaw(w, b);
}

void PutRemainingLength(Writer& w, size_t value) {
  do {
    uint8_t digit = static_cast<uint8_t>(value % 128);
    value /= 128;
    if (value > 0) digit |= 0x80;
    PutByte(w, digit);
  } while (value > 0);
}

// ----- Checking what is encoded (the parser checks the same things as it reads) -----

MqttStatus CheckField(MqttBytes b) { return b.size > kMqttFieldMax ? kMqttTooLarge : kMqttOk; }

MqttStatus CheckConnect(const MqttConnectFields& c) {
  if (!c.will && (c.willQos != 0 || c.willRetain)) return kMqttBadConnect;
  if (c.willQos > 2) return kMqttBadQos;
  if (c.hasPassword && !c.hasUser) return kMqttBadConnect;
  MqttStatus s = MqttCheckUtf8(c.clientId);
  if (s == kMqttOk && c.will) s = MqttCheckTopicName(c.willTopic);
  if (s == kMqttOk && c.will) s = CheckField(c.willPayload);
  if (s == kMqttOk && c.hasUser) s = MqttCheckUtf8(c.user);
  if (s == kMqttOk && c.hasPassword) s = CheckField(c.password);
  return s;
}

MqttStatus CheckFilters(const MqttPacket& p, bool withQos) {
  if (p.filterCount < 1) return kMqttNoFilters;
  if (p.filterCount > kMqttMaxFilters) return kMqttTooManyFilters;
  for (int i = 0; i < p.filterCount; ++i) {
    MqttStatus s = MqttCheckTopicFilter(p.filters[i]);
    if (s != kMqttOk) return s;
    if (withQos && p.filterQos[i] > 2) return kMqttBadQos;
  }
  return kMqttOk;
}

// Checks the packet and works out its remaining length.
MqttStatus Measure(const MqttPacket& p, size_t* remaining) {
  size_t n = 0;
  MqttStatus s = kMqttOk;
  switch (p.type) {
    case kMqttConnect: {
      const MqttConnectFields& c = p.connect;
      s = CheckConnect(c);
      n = 10 + 2 + c.clientId.size;  // "MQTT", level, flags, keep-alive; client id
      if (c.will) n += 2 + c.willTopic.size + 2 + c.willPayload.size;
      if (c.hasUser) n += 2 + c.user.size;
      if (c.hasPassword) n += 2 + c.password.size;
      break;
    }
    case kMqttConnack:
      if (p.returnCode > kMqttRefusedNotAuthorized) s = kMqttBadReturnCode;
      if (p.sessionPresent && p.returnCode != kMqttAccepted) s = kMqttBadReturnCode;
      n = 2;
      break;
    case kMqttPublish:
      if (p.qos > 2) return kMqttBadFlags;
      if (p.dup && p.qos == 0) return kMqttBadFlags;
      if (p.qos > 0 && p.packetId == 0) return kMqttBadPacketId;
      s = MqttCheckTopicName(p.topic);
      if (p.payload.size > kMqttRemainingLengthMax) return kMqttTooLarge;
      n = 2 + p.topic.size + (p.qos > 0 ? 2 : 0) + p.payload.size;
      break;
    case kMqttPuback:
    case kMqttPubrec:
    case kMqttPubrel:
    case kMqttPubcomp:
    case kMqttUnsuback:
      if (p.packetId == 0) return kMqttBadPacketId;
      n = 2;
      break;
    case kMqttSubscribe:
    case kMqttUnsubscribe: {
      if (p.packetId == 0) return kMqttBadPacketId;
      const bool withQos = p.type == kMqttSubscribe;
      s = CheckFilters(p, withQos);
      if (s != kMqttOk) return s;
      n = 2;
      for (int i = 0; i < p.filterCount; ++i) n += 2 + p.filters[i].size + (withQos ? 1 : 0);
      break;
    }
    case kMqttSuback:
      if (p.packetId == 0) return kMqttBadPacketId;
      if (p.grants.size == 0) return kMqttNoFilters;
      if (p.grants.size > kMqttRemainingLengthMax) return kMqttTooLarge;
      for (size_t i = 0; i < p.grants.size; ++i) {
        if (!IsValidGrant(p.grants.data[i])) return kMqttBadReturnCode;
      }
      n = 2 + p.grants.size;
      break;
    case kMqttPingreq:
    case kMqttPingresp:
    case kMqttDisconnect:
      n = 0;
      break;
    default:
      return kMqttBadType;
  }
  if (s != kMqttOk) return s;
  if (n > kMqttRemainingLengthMax) return kMqttTooLarge;
  *remaining = n;
  return kMqttOk;
}

// ----- Reading -----

// A cursor over the variable header and payload. A read past the end leaves
// `ok` false and returns zeros, so a parser can read a run of fields and
// check once.
struct Reader {
  const uint8_t* at;
  size_t left;
  bool ok;
};

uint8_t TakeByte(Reader& r) {
  if (r.left < 1) {
    r.ok = false;
    return 0;
  }
  --r.left;
  return *r.at++;
}

uint16_t TakeU16(Reader& r) {
  uint16_t high = TakeByte(r);
  uint16_t low = TakeByte(r);
  return static_cast<uint16_t>(high << 8 | low);
}

MqttBytes TakeRaw(Reader& r, size_t n) {
  if (!r.ok || r.left < n) {
    r.ok = false;
    return MqttBytes{nullptr, 0};
  }
  MqttBytes b{r.at, n};
  r.at += n;
  r.left -= n;
  return b;
}

MqttBytes TakeField(Reader& r) { return TakeRaw(r, TakeU16(r)); }

MqttStatus ParseConnect(Reader& r, MqttConnectFields& c) {
  MqttBytes name = TakeField(r);
  uint8_t level = TakeByte(r);
  uint8_t flags = TakeByte(r);
  c.keepAliveS = TakeU16(r);
  if (!r.ok) return kMqttBadLength;
  if (name.size != 4 || std::memcmp(name.data, "MQTT", 4) != 0 || level != 4) return kMqttBadConnect;
  if (flags & 0x01) return kMqttBadConnect;  // reserved
  c.cleanSession = (flags & 0x02) != 0;
  c.will = (flags & 0x04) != 0;
  c.willQos = static_cast<uint8_t>((flags >> 3) & 0x03);
  c.willRetain = (flags & 0x20) != 0;
  c.hasPassword = (flags & 0x40) != 0;
  c.hasUser = (flags & 0x80) != 0;
  c.clientId = TakeField(r);
  if (c.will) {
    c.willTopic = TakeField(r);
    c.willPayload = TakeField(r);
  }
  if (c.hasUser) c.user = TakeField(r);
  if (c.hasPassword) c.password = TakeField(r);
  if (!r.ok) return kMqttBadLength;
  return CheckConnect(c);
}

MqttStatus ParseFilters(Reader& r, MqttPacket& p, bool withQos) {
  while (r.left > 0) {
    if (p.filterCount == kMqttMaxFilters) return kMqttTooManyFilters;
    MqttBytes filter = TakeField(r);
    uint8_t qos = withQos ? TakeByte(r) : 0;
    if (!r.ok) return kMqttBadLength;
    if (qos > 2) return kMqttBadQos;  // also the six reserved bits above it
    p.filters[p.filterCount] = filter;
    p.filterQos[p.filterCount] = qos;
    ++p.filterCount;
  }
  return CheckFilters(p, withQos);
}

// The variable header and payload of a packet whose fixed header (type,
// flags) was read; `r` holds exactly its remaining length.
MqttStatus ParseBody(Reader& r, uint8_t flags, MqttPacket& p) {
  MqttStatus s = kMqttOk;
  switch (p.type) {
    case kMqttConnect:
      s = ParseConnect(r, p.connect);
      break;
    case kMqttConnack: {
      uint8_t ackFlags = TakeByte(r);
      p.returnCode = TakeByte(r);
      if (!r.ok) return kMqttBadLength;
      if (ackFlags & 0xFE) return kMqttBadReturnCode;  // reserved bits
      p.sessionPresent = (ackFlags & 0x01) != 0;
      if (p.returnCode > kMqttRefusedNotAuthorized) return kMqttBadReturnCode;
      if (p.sessionPresent && p.returnCode != kMqttAccepted) return kMqttBadReturnCode;
      break;
    }
    case kMqttPublish:
      p.dup = (flags & 0x08) != 0;
      p.qos = static_cast<uint8_t>((flags >> 1) & 0x03);
      p.retain = (flags & 0x01) != 0;
      if (p.qos == 3 || (p.dup && p.qos == 0)) return kMqttBadFlags;
      p.topic = TakeField(r);
      if (p.qos > 0) p.packetId = TakeU16(r);
      if (!r.ok) return kMqttBadLength;
      if (p.qos > 0 && p.packetId == 0) return kMqttBadPacketId;
      s = MqttCheckTopicName(p.topic);
      p.payload = TakeRaw(r, r.left);
      break;
    case kMqttSubscribe:
    case kMqttUnsubscribe:
      p.packetId = TakeU16(r);
      if (!r.ok) return kMqttBadLength;
      if (p.packetId == 0) return kMqttBadPacketId;
      s = ParseFilters(r, p, p.type == kMqttSubscribe);
      break;
    case kMqttSuback:
      p.packetId = TakeU16(r);
      if (!r.ok) return kMqttBadLength;
      if (p.packetId == 0) return kMqttBadPacketId;
      p.grants = TakeRaw(r, r.left);
      if (p.grants.size == 0) return kMqttNoFilters;
      for (size_t i = 0; i < p.grants.size; ++i) {
        if (!IsValidGrant(p.grants.data[i])) return kMqttBadReturnCode;
      }
      break;
    case kMqttPingreq:
    case kMqttPingresp:
    case kMqttDisconnect:
      break;
    default:
      if (!HasPacketIdOnly(p.type)) return kMqttBadType;
      p.packetId = TakeU16(r);
      if (!r.ok) return kMqttBadLength;
      if (p.packetId == 0) return kMqttBadPacketId;
      break;
  }
  if (s != kMqttOk) return s;
  if (r.left != 0) return kMqttBadLength;
  return kMqttOk;
}

// Reads the fixed header from `size` bytes. Returns kMqttNeedMore when they
// end inside it; otherwise sets *headerSize and *remaining.
MqttStatus ReadFixedHeader(const uint8_t* bytes, size_t size, size_t* headerSize, size_t* remaining) {
  if (size < 1) return kMqttNeedMore;
  const int type = bytes[0] >> 4;
  if (type == 0 || type == 15) return kMqttBadType;
  size_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (size < 2 + i) return kMqttNeedMore;
    const uint8_t digit = bytes[1 + i];
    value |= static_cast<size_t>(digit & 0x7F) << (7 * i);
    if ((digit & 0x80) == 0) {
      // A last digit of 0 after others is a longer form than the value needs.
      if (i > 0 && digit == 0) return kMqttBadRemainingLength;
      *headerSize = 2 + i;
      *remaining = value;
      return kMqttOk;
    }
  }
  return kMqttBadRemainingLength;
}

// Decodes one UTF-8 character at text[i], returning its length, or 0 when it
// is malformed, overlong, a surrogate, above U+10FFFF or U+0000.
size_t Utf8CharLength(const uint8_t* text, size_t size, size_t i) {
  const uint8_t b = text[i];
  if (b == 0) return 0;
  if (b < 0x80) return 1;
  size_t length;
  uint32_t cp;
  uint32_t smallest;
  if ((b & 0xE0) == 0xC0) {
    length = 2, cp = b & 0x1F, smallest = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    length = 3, cp = b & 0x0F, smallest = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    length = 4, cp = b & 0x07, smallest = 0x10000;
  } else {
    return 0;
  }
  if (size - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const uint8_t c = text[i + k];
    if ((c & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (c & 0x3F);
  }
  if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

const char* MqttStatusName(MqttStatus status) {
  switch (status) {
    case kMqttOk: return "kMqttOk";
    case kMqttNeedMore: return "kMqttNeedMore";
    case kMqttTooLarge: return "kMqttTooLarge";
    case kMqttBadRemainingLength: return "kMqttBadRemainingLength";
    case kMqttBadType: return "kMqttBadType";
    case kMqttBadFlags: return "kMqttBadFlags";
    case kMqttBadLength: return "kMqttBadLength";
    case kMqttBadUtf8: return "kMqttBadUtf8";
    case kMqttBadTopic: return "kMqttBadTopic";
    case kMqttBadPacketId: return "kMqttBadPacketId";
    case kMqttBadQos: return "kMqttBadQos";
    case kMqttBadConnect: return "kMqttBadConnect";
    case kMqttBadReturnCode: return "kMqttBadReturnCode";
    case kMqttNoFilters: return "kMqttNoFilters";
    case kMqttTooManyFilters: return "kMqttTooManyFilters";
    case kMqttNoRoom: return "kMqttNoRoom";
  }
  return "unknown MqttStatus";
}

const char* MqttPacketTypeName(int type) {
  static const char* const kNames[] = {
      "reserved", "CONNECT", "CONNACK", "PUBLISH", "PUBACK", "PUBREC", "PUBREL", "PUBCOMP",
      "SUBSCRIBE", "SUBACK", "UNSUBSCRIBE", "UNSUBACK", "PINGREQ", "PINGRESP", "DISCONNECT", "reserved"};
  return type >= 0 && type <= 15 ? kNames[type] : "reserved";
}

const char* MqttConnackCodeName(uint8_t code) {
  switch (code) {
    case kMqttAccepted: return "accepted";
    case kMqttRefusedProtocolVersion: return "unacceptable protocol version";
    case kMqttRefusedIdentifier: return "identifier rejected";
    case kMqttRefusedServerUnavailable: return "server unavailable";
    case kMqttRefusedBadUserOrPassword: return "bad user name or password";
    case kMqttRefusedNotAuthorized: return "not authorized";
  }
  return "reserved return code";
}

MqttBytes MqttText(const char* text) {
  if (text == nullptr) return MqttBytes{nullptr, 0};
  return MqttBytes{reinterpret_cast<const uint8_t*>(text), std::strlen(text)};
}

bool MqttBytesEqual(MqttBytes a, MqttBytes b) {
  return a.size == b.size && (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

MqttStatus MqttCheckUtf8(MqttBytes text) {
  if (text.size > kMqttFieldMax) return kMqttTooLarge;
  for (size_t i = 0; i < text.size;) {
    size_t n = Utf8CharLength(text.data, text.size, i);
    if (n == 0) return kMqttBadUtf8;
    i += n;
  }
  return kMqttOk;
}

MqttStatus MqttCheckTopicName(MqttBytes topic) {
  MqttStatus s = MqttCheckUtf8(topic);
  if (s != kMqttOk) return s;
  if (topic.size == 0) return kMqttBadTopic;
  for (size_t i = 0; i < topic.size; ++i) {
    if (topic.data[i] == '+' || topic.data[i] == '#') return kMqttBadTopic;
  }
  return kMqttOk;
}

MqttStatus MqttCheckTopicFilter(MqttBytes filter) {
  MqttStatus s = MqttCheckUtf8(filter);
  if (s != kMqttOk) return s;
  if (filter.size == 0) return kMqttBadTopic;
  const uint8_t* f = filter.data;
  const size_t n = filter.size;
  for (size_t i = 0; i < n; ++i) {
    const bool levelStart = i == 0 || f[i - 1] == '/';
    if (f[i] == '#' && (i != n - 1 || !levelStart)) return kMqttBadTopic;
    if (f[i] == '+' && (!levelStart || (i + 1 < n && f[i + 1] != '/'))) return kMqttBadTopic;
  }
  return kMqttOk;
}

MqttStatus MqttEncodePacket(const MqttPacket& p, uint8_t* out, size_t room, size_t* size) {
  size_t remaining = 0;
  MqttStatus s = Measure(p, &remaining);
  if (s != kMqttOk) return s;
  const size_t total = 1 + LengthBytes(remaining) + remaining;
  *size = total;
  if (out == nullptr || room < total) return kMqttNoRoom;

  Writer w{out};
  uint8_t flags = RequiredFlags(p.type);
  if (p.type == kMqttPublish) {
    flags = static_cast<uint8_t>((p.dup ? 0x08 : 0) | p.qos << 1 | (p.retain ? 0x01 : 0));
  }
  PutByte(w, static_cast<uint8_t>(p.type << 4 | flags));
  PutRemainingLength(w, remaining);
  switch (p.type) {
    case kMqttConnect: {
      const MqttConnectFields& c = p.connect;
      PutField(w, MqttText("MQTT"));
      PutByte(w, 4);
      PutByte(w, static_cast<uint8_t>((c.hasUser ? 0x80 : 0) | (c.hasPassword ? 0x40 : 0) |
                                      (c.willRetain ? 0x20 : 0) | c.willQos << 3 |
                                      (c.will ? 0x04 : 0) | (c.cleanSession ? 0x02 : 0)));
      PutU16(w, c.keepAliveS);
      PutField(w, c.clientId);
      if (c.will) {
        PutField(w, c.willTopic);
        PutField(w, c.willPayload);
      }
      if (c.hasUser) PutField(w, c.user);
      if (c.hasPassword) PutField(w, c.password);
      break;
    }
    case kMqttConnack:
      PutByte(w, p.sessionPresent ? 0x01 : 0x00);
      PutByte(w, p.returnCode);
      break;
    case kMqttPublish:
      PutField(w, p.topic);
      if (p.qos > 0) PutU16(w, p.packetId);
      PutRaw(w, p.payload);
      break;
    case kMqttSubscribe:
    case kMqttUnsubscribe:
      PutU16(w, p.packetId);
      for (int i = 0; i < p.filterCount; ++i) {
        PutField(w, p.filters[i]);
        if (p.type == kMqttSubscribe) PutByte(w, p.filterQos[i]);
      }
      break;
    case kMqttSuback:
      PutU16(w, p.packetId);
      PutRaw(w, p.grants);
      break;
    case kMqttPingreq:
    case kMqttPingresp:
    case kMqttDisconnect:
      break;
    default:  // the packets that are only a packet identifier
      PutU16(w, p.packetId);
      break;
  }
  return kMqttOk;
}

MqttStatus MqttParsePacket(const uint8_t* bytes, size_t size, MqttPacket* packet) {
  *packet = MqttPacket();
  size_t headerSize = 0, remaining = 0;
  MqttStatus s = ReadFixedHeader(bytes, size, &headerSize, &remaining);
  if (s == kMqttNeedMore) return kMqttBadLength;
  if (s != kMqttOk) return s;
  if (size - headerSize != remaining) return kMqttBadLength;
  packet->type = static_cast<MqttPacketType>(bytes[0] >> 4);
  const uint8_t flags = bytes[0] & 0x0F;
  if (packet->type != kMqttPublish && flags != RequiredFlags(packet->type)) return kMqttBadFlags;
  Reader r{bytes + headerSize, remaining, true};
  return ParseBody(r, flags, *packet);
}

void MqttDecoderInit(MqttDecoder& d, size_t limit) {
  if (limit < 2) limit = 2;
  if (limit > kMqttPacketLimitMax) limit = kMqttPacketLimitMax;
  d.limit = limit;
  d.have = 0;
  d.total = 0;
  d.complete = false;
  d.failure = kMqttOk;
}

MqttStatus MqttDecode(MqttDecoder& d, const uint8_t* data, size_t size, size_t* used, MqttPacket* packet) {
  *used = 0;
  if (d.failure != kMqttOk) {
    *used = size;
    return d.failure;
  }
  if (d.complete) {
    d.complete = false;
    d.have = 0;
    d.total = 0;
  }
  // The fixed header, a byte at a time: it is at most five bytes, and its
  // length says how much of the packet may be buffered at all.
  while (d.total == 0) {
    if (*used == size) return kMqttNeedMore;
    d.buf[d.have++] = data[(*used)++];
    size_t headerSize = 0, remaining = 0;
    MqttStatus s = ReadFixedHeader(d.buf, d.have, &headerSize, &remaining);
    if (s == kMqttNeedMore) continue;
    if (s == kMqttOk && headerSize + remaining > d.limit) s = kMqttTooLarge;
    if (s != kMqttOk) {
      d.failure = s;
      *used = size;
      return s;
    }
    d.total = headerSize + remaining;
  }
  size_t take = d.total - d.have;
  if (take > size - *used) take = size - *used;
  if (take != 0) std::memcpy(d.buf + d.have, data + *used, take);
  d.have += take;
  *used += take;
  if (d.have < d.total) return kMqttNeedMore;

  MqttStatus s = MqttParsePacket(d.buf, d.total, packet);
  if (s != kMqttOk) {
    d.failure = s;
    *used = size;
    return s;
  }
  d.complete = true;
  return kMqttOk;
}

MqttBytes MqttDecodedBytes(const MqttDecoder& d) {
  if (!d.complete) return MqttBytes{nullptr, 0};
  return MqttBytes{d.buf, d.total};
}
