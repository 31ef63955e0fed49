// The MQTT stream decoder and the client session fed a broker's bytes cut
// anywhere, with the session's own calls (publish, subscribe, the clock, the
// socket taking output, disconnect, reconnect) in between.
//
// Input: byte 0 sets the decoder's limit (0: 64 KiB, else 256 times it) and
// the session's slots in flight (32 - byte 0 mod 32); byte 1 is the length n
// of a script that follows; the rest is the byte stream from the broker. A
// script byte holds an operation in its low 3 bits and an argument a
// (0 .. 31) in the rest; the script is run round and round until the stream
// is used up, for at most 1,024 steps.
//
// Invariants, decoder: cut by the script, whole, or a byte at a time, the
// stream gives the same packets and ends with the same status; no packet is
// over the limit; each re-encodes to exactly its own bytes.
// Session: every byte it hands to the socket decodes as packets a client may
// send (CONNECT first on each connection, nothing after DISCONNECT, no
// packet over its limit); what it holds in flight stays within its bound
// with distinct, non-zero identifiers; each ticket is acknowledged at most
// once; a message it reports has a valid topic and QoS 0 or 1; after a Tick
// it never asks to be called again at once.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "bridge/mqtt_packet.h"
#include "bridge/mqtt_session.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Decoded {
  std::vector<Bytes> packets;
  MqttStatus end;  // kMqttOk on a packet boundary, kMqttNeedMore inside one, or the error
};

// Feeds `stream` in pieces of the given sizes (cycled; 0 for all at once).
Decoded DecodeInPieces(MqttDecoder& d, size_t limit, const Bytes& stream, const Bytes& sizes) {
  MqttDecoderInit(d, limit);
  Decoded out;
  out.end = kMqttOk;
  size_t at = 0, k = 0;
  while (at < stream.size()) {
    size_t piece = sizes.empty() ? stream.size() - at : sizes[k++ % sizes.size()];
    if (piece > stream.size() - at) piece = stream.size() - at;
    // A copy of exactly the piece, so that a read past it is caught.
    Bytes chunk(stream.begin() + at, stream.begin() + at + piece);
    at += piece;
    for (size_t from = 0; from < chunk.size();) {
      size_t used = 0;
      MqttPacket p;
      out.end = MqttDecode(d, chunk.data() + from, chunk.size() - from, &used, &p);
      FUZZ_CHECK(used >= 1 && used <= chunk.size() - from);
      from += used;
      if (out.end == kMqttOk) {
        MqttBytes raw = MqttDecodedBytes(d);
        FUZZ_CHECK(raw.size >= 2 && raw.size <= limit);
        out.packets.emplace_back(raw.data, raw.data + raw.size);
      } else if (out.end != kMqttNeedMore) {
        return out;
      }
    }
  }
  return out;
}

void CheckReencodes(const Bytes& raw) {
  static uint8_t again[kMqttPacketLimitMax];
  MqttPacket p;
  FUZZ_CHECK(MqttParsePacket(raw.data(), raw.size(), &p) == kMqttOk);
  size_t size = 0;
  FUZZ_CHECK(MqttEncodePacket(p, again, sizeof again, &size) == kMqttOk);
  FUZZ_CHECK(size == raw.size() && std::memcmp(again, raw.data(), size) == 0);
}

// The broker's side of the session's output.
struct Wire {
  MqttDecoder decoder;
  bool sawConnect;
  bool sawDisconnect;
};

void Reopen(Wire& w) {
  MqttDecoderInit(w.decoder, kMqttPacketLimitMax);
  w.sawConnect = false;
  w.sawDisconnect = false;
}

void CheckOutput(Wire& w, const uint8_t* bytes, size_t size, size_t limit) {
  for (size_t at = 0; at < size;) {
    size_t used = 0;
    MqttPacket p;
    MqttStatus status = MqttDecode(w.decoder, bytes + at, size - at, &used, &p);
    at += used;
    if (status == kMqttNeedMore) continue;
    FUZZ_CHECK(status == kMqttOk);
    FUZZ_CHECK(!w.sawDisconnect);
    FUZZ_CHECK(w.sawConnect == (p.type != kMqttConnect));
    FUZZ_CHECK(MqttDecodedBytes(w.decoder).size <= (p.type == kMqttConnect ? kMqttConnectBytes : limit));
    switch (p.type) {
      case kMqttConnect:
        w.sawConnect = true;
        FUZZ_CHECK(p.connect.cleanSession);
        break;
      case kMqttPublish:
        FUZZ_CHECK(p.qos <= 1 && !p.dup);
        break;
      case kMqttDisconnect:
        w.sawDisconnect = true;
        break;
      case kMqttPuback:
      case kMqttSubscribe:
      case kMqttUnsubscribe:
      case kMqttPingreq:
        break;
      default:
        FUZZ_CHECK(!"a packet a client never sends");
    }
  }
}

void CheckSession(const MqttSession& s) {
  FUZZ_CHECK(s.inFlightCount >= 0 && s.inFlightCount <= s.maxInFlight);
  FUZZ_CHECK(s.pendingCount >= 0 && s.pendingCount <= kMqttMaxPendingRequests);
  for (int i = 0; i < s.inFlightCount; ++i) {
    FUZZ_CHECK(s.inFlight[i].packetId != 0);
    for (int k = 0; k < i; ++k) FUZZ_CHECK(s.inFlight[k].packetId != s.inFlight[i].packetId);
  }
  FUZZ_CHECK(s.outHead <= s.outTail && s.outTail <= kMqttOutputBytes);
  FUZZ_CHECK(s.queueHead <= s.queueTail && s.queueTail <= kMqttQueueBytes);
}

const char* const kTopics[] = {"zarvo/pc/status", "zarvo/pc/fs20/12341111-1111/state", "a/#", "zarvo/pc/line"};
const char* const kFilters[] = {"zarvo/pc/fs20/+/set", "homeassistant/status", "zarvo/#/x", "#"};

struct Run {
  MqttSession* s;
  Wire* wire;
  uint64_t now;
  std::set<uint32_t> tickets;  // QoS 1 messages not yet acknowledged
};

// Closes and reconnects on whatever ended the connection; checks the rest.
void OnEvent(Run& r, const MqttEvent& e) {
  switch (e.type) {
    case kMqttEventMessage:
      FUZZ_CHECK(MqttCheckTopicName(e.topic) == kMqttOk);
      FUZZ_CHECK(e.qos <= 1);
      break;
    case kMqttEventPublished:
      FUZZ_CHECK(r.tickets.erase(e.ticket) == 1);
      break;
    case kMqttEventMustClose:
    case kMqttEventRefused:
    case kMqttEventDisconnected:
      FUZZ_CHECK(MqttSessionWaitMs(*r.s, r.now) == kMqttWaitForever);
      MqttSessionTransportDown(*r.s);
      r.tickets.clear();
      FUZZ_CHECK(MqttSessionTransportUp(*r.s, r.now) == kMqttSessionOk);
      Reopen(*r.wire);
      break;
    default:
      break;
  }
}

void Tick(Run& r) {
  MqttEvent e;
  MqttSessionTick(*r.s, r.now, &e);
  OnEvent(r, e);
  if (e.type == kMqttEventNone) FUZZ_CHECK(MqttSessionWaitMs(*r.s, r.now) > 0);
}

void RunSession(const Bytes& script, const Bytes& stream, size_t limit, int maxInFlight) {
  static MqttSession session;
  static Wire wire;
  MqttSession& s = session;
  MqttSessionInit(s);
  MqttSessionSettings settings = MqttDefaultSessionSettings();
  settings.connect.clientId = MqttText("zarvo-pc");
  settings.connect.will = true;
  settings.connect.willTopic = MqttText("zarvo/pc/status");
  settings.connect.willPayload = MqttText("offline");
  settings.connect.willQos = 1;
  settings.connect.willRetain = true;
  settings.connect.hasUser = settings.connect.hasPassword = true;
  settings.connect.user = MqttText("bridge");
  settings.connect.password = MqttText("secret");
  settings.maxInFlight = maxInFlight;
  settings.packetLimit = limit;
  FUZZ_CHECK(MqttSessionConfigure(s, settings) == kMqttSessionOk);
  Run r{&s, &wire, 1000, {}};
  FUZZ_CHECK(MqttSessionTransportUp(s, r.now) == kMqttSessionOk);
  Reopen(wire);

  static const Bytes big(20000, 'p');
  size_t at = 0;
  for (size_t k = 0; k < 1024 && (at < stream.size() || k < script.size()); ++k) {
    const uint8_t op = script.empty() ? 0 : script[k % script.size()] & 7;
    const uint8_t a = script.empty() ? 31 : script[k % script.size()] >> 3;
    MqttEvent e;
    switch (op) {
      case 0:
      case 1: {  // the broker's next bytes
        size_t n = op == 0 ? a + 1u : (a + 1u) * 64;
        if (n > stream.size() - at) n = stream.size() - at;
        Bytes chunk(stream.begin() + at, stream.begin() + at + n);
        at += n;
        for (size_t from = 0; from < chunk.size();) {
          size_t used = 0;
          MqttSessionReceive(s, chunk.data() + from, chunk.size() - from, r.now, &used, &e);
          FUZZ_CHECK(used >= 1 && used <= chunk.size() - from);
          from += used;
          OnEvent(r, e);
        }
        break;
      }
      case 2:  // the clock, by whole seconds
        r.now += a * 1000u;
        Tick(r);
        break;
      case 7:  // the clock, by a little
        r.now += a * 7u + 1;
        Tick(r);
        break;
      case 3: {  // the socket takes some of the output
        MqttBytes out = MqttSessionOutput(s);
        if (a == 30) {
          FUZZ_CHECK(MqttSessionOutputSent(s, out.size + 1, r.now, &e) == kMqttSessionBadArgument);
          break;
        }
        size_t n = a == 31 ? out.size : (a + 1u) * 8;
        if (n > out.size) n = out.size;
        CheckOutput(wire, out.data, n, limit);
        FUZZ_CHECK(MqttSessionOutputSent(s, n, r.now, &e) == kMqttSessionOk);
        OnEvent(r, e);
        break;
      }
      case 4: {  // publish: a holds QoS, retain, topic (2 bits), large payload
        MqttMessage m;
        m.topic = MqttText(kTopics[(a >> 2) & 3]);
        m.payload = (a & 16) ? MqttBytes{big.data(), big.size()} : MqttText("ON");
        m.qos = a & 1;
        m.retain = (a & 2) != 0;
        uint32_t ticket = 0;
        MqttSessionStatus status = MqttSessionPublish(s, m, &ticket);
        if (((a >> 2) & 3) == 2) FUZZ_CHECK(status == kMqttSessionBadTopic);
        if (status == kMqttSessionOk && m.qos == 1) {
          FUZZ_CHECK(ticket != 0 && r.tickets.insert(ticket).second);
        }
        break;
      }
      case 5: {  // subscribe or unsubscribe
        MqttBytes filters[4];
        // a: unsubscribe in bit 0, the count less one in bits 1-2, the
        // first filter in bits 3-4.
        const int count = ((a >> 1) & 3) + 1;
        bool valid = true;
        for (int i = 0; i < count; ++i) {
          const int which = ((a >> 3) + i) & 3;
          filters[i] = MqttText(kFilters[which]);
          valid = valid && which != 2;
        }
        uint16_t id = 0;
        MqttSessionStatus status = (a & 1) ? MqttSessionUnsubscribe(s, filters, count, &id)
                                           : MqttSessionSubscribe(s, filters, count, &id);
        if (!valid) FUZZ_CHECK(status == kMqttSessionBadTopic);
        FUZZ_CHECK((status == kMqttSessionOk) == (id != 0));
        break;
      }
      case 6:
        if (a & 1) {  // the socket broke
          MqttSessionTransportDown(s);
          r.tickets.clear();
          FUZZ_CHECK(MqttSessionTransportUp(s, r.now) == kMqttSessionOk);
          Reopen(wire);
        } else {
          MqttSessionDisconnect(s, r.now);
        }
        break;
    }
    CheckSession(s);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t limit = data[0] == 0 ? kMqttPacketLimitMax : data[0] * size_t{256};
  const int maxInFlight = kMqttMaxInFlight - data[0] % kMqttMaxInFlight;
  size_t n = data[1];
  if (n > size - 2) n = size - 2;
  const Bytes script(data + 2, data + 2 + n);
  const Bytes stream(data + 2 + n, data + size);

  static MqttDecoder decoder;
  Bytes sizes;
  for (uint8_t b : script) sizes.push_back(static_cast<uint8_t>(b % 64 + 1));
  const Decoded cut = DecodeInPieces(decoder, limit, stream, sizes);
  const Decoded whole = DecodeInPieces(decoder, limit, stream, Bytes());
  const Decoded bytewise = DecodeInPieces(decoder, limit, stream, Bytes{1});
  FUZZ_CHECK(cut.end == whole.end && bytewise.end == whole.end);
  FUZZ_CHECK(cut.packets == whole.packets && bytewise.packets == whole.packets);
  for (const Bytes& raw : whole.packets) CheckReencodes(raw);

  RunSession(script, stream, limit, maxInFlight);
  return 0;
}
