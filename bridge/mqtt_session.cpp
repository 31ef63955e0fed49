#include "bridge/mqtt_session.h"

#include <cstring>

namespace {

void MustClose(MqttSession& s, MqttEvent* event, MqttCloseReason reason) {
  s.state = kMqttStateClosing;
  event->type = kMqttEventMustClose;
  event->reason = reason;
}

// now >= since + ms, for a clock that never goes back; a `now` before
// `since` (a caller's mistake) is not yet due rather than long overdue.
bool Due(uint64_t now, uint64_t since, uint64_t ms) { return now >= since && now - since >= ms; }

// ----- Output -----

size_t OutputPending(const MqttSession& s) { return s.outTail - s.outHead; }

// Encodes `packet` at the end of the output. Only acknowledgements, PINGREQ
// and DISCONNECT (`control`) may use the last kMqttControlReserve bytes.
MqttStatus Emit(MqttSession& s, const MqttPacket& packet, bool control) {
  size_t need = 0;
  MqttStatus status = MqttEncodePacket(packet, nullptr, 0, &need);
  if (status != kMqttNoRoom) return status;
  size_t room = kMqttOutputBytes - OutputPending(s);
  if (!control) room = room > kMqttControlReserve ? room - kMqttControlReserve : 0;
  if (need > room) return kMqttNoRoom;
  if (kMqttOutputBytes - s.outTail < need) {
    std::memmove(s.out, s.out + s.outHead, OutputPending(s));
    s.outTail -= s.outHead;
    s.outHead = 0;
  }
  size_t size = 0;
  status = MqttEncodePacket(packet, s.out + s.outTail, kMqttOutputBytes - s.outTail, &size);
  if (status == kMqttOk) s.outTail += size;
  return status;
}

// ----- Packet identifiers -----

bool IdInUse(const MqttSession& s, uint16_t id) {
  for (int i = 0; i < s.inFlightCount; ++i) {
    if (s.inFlight[i].packetId == id) return true;
  }
  for (int i = 0; i < s.pendingCount; ++i) {
    if (s.pending[i].packetId == id) return true;
  }
  return false;
}

// At most kMqttMaxInFlight + kMqttMaxPendingRequests identifiers are in use,
// so the search ends after that many steps.
uint16_t NextPacketId(MqttSession& s) {
  for (;;) {
    uint16_t id = static_cast<uint16_t>(s.lastPacketId + 1);
    if (id == 0) id = 1;
    s.lastPacketId = id;
    if (!IdInUse(s, id)) return id;
  }
}

uint32_t NextTicket(MqttSession& s) {
  ++s.lastTicket;
  if (s.lastTicket == 0) s.lastTicket = 1;
  return s.lastTicket;
}

bool RecentlyAcknowledged(const MqttSession& s, uint16_t id) {
  for (int i = 0; i < s.recentCount; ++i) {
    if (s.recentIds[i] == id) return true;
  }
  return false;
}

void RememberAcknowledged(MqttSession& s, uint16_t id) {
  s.recentIds[s.recentNext] = id;
  s.recentNext = (s.recentNext + 1) % kMqttRecentIdCount;
  if (s.recentCount < kMqttRecentIdCount) ++s.recentCount;
}

// ----- The queue of QoS 1 messages waiting for a slot -----

// A record's header, stored byte by byte: the queue has no alignment.
void PutQueueHeader(uint8_t* at, uint32_t ticket, bool retain, uint16_t topicSize, uint32_t payloadSize) {
  std::memcpy(at, &ticket, 4);
  at[4] = retain ? 1 : 0;
  std::memcpy(at + 5, &topicSize, 2);
  std::memcpy(at + 7, &payloadSize, 4);
}
static_assert(kMqttQueueRecordHeader == 4 + 1 + 2 + 4, "ticket, retain, topic size, payload size");

bool QueuePush(MqttSession& s, const MqttMessage& m, uint32_t ticket) {
  const size_t need = kMqttQueueRecordHeader + m.topic.size + m.payload.size;
  if (kMqttQueueBytes - s.queueTail < need && s.queueHead > 0) {
    std::memmove(s.queue, s.queue + s.queueHead, s.queueTail - s.queueHead);
    s.queueTail -= s.queueHead;
    s.queueHead = 0;
  }
  if (kMqttQueueBytes - s.queueTail < need) return false;
  uint8_t* at = s.queue + s.queueTail;
  PutQueueHeader(at, ticket, m.retain, static_cast<uint16_t>(m.topic.size),
                 static_cast<uint32_t>(m.payload.size));
  at += kMqttQueueRecordHeader;
  if (m.topic.size != 0) std::memcpy(at, m.topic.data, m.topic.size);
  if (m.payload.size != 0) std::memcpy(at + m.topic.size, m.payload.data, m.payload.size);
  s.queueTail += need;
  ++s.queueCount;
  return true;
}

// The oldest queued message, its views into the queue; returns its record's size.
size_t QueuePeek(const MqttSession& s, MqttMessage* m, uint32_t* ticket) {
  const uint8_t* at = s.queue + s.queueHead;
  uint16_t topicSize;
  uint32_t payloadSize;
  std::memcpy(ticket, at, 4);
  std::memcpy(&topicSize, at + 5, 2);
  std::memcpy(&payloadSize, at + 7, 4);
  m->qos = 1;
  m->retain = at[4] != 0;
  m->topic = MqttBytes{at + kMqttQueueRecordHeader, topicSize};
  m->payload = MqttBytes{at + kMqttQueueRecordHeader + topicSize, payloadSize};
  return kMqttQueueRecordHeader + topicSize + payloadSize;
}

void QueuePop(MqttSession& s, size_t recordSize) {
  s.queueHead += recordSize;
  --s.queueCount;
  if (s.queueHead == s.queueTail) s.queueHead = s.queueTail = 0;
}

// ----- Sending -----

MqttPacket PublishPacket(const MqttMessage& m, uint16_t packetId) {
  MqttPacket p = MqttPacket();
  p.type = kMqttPublish;
  p.qos = m.qos;
  p.retain = m.retain;
  p.topic = m.topic;
  p.payload = m.payload;
  p.packetId = packetId;
  return p;
}

// A QoS 1 message into the output and in flight; the caller made sure a
// slot is free. kMqttNoRoom when the output has no room for it.
MqttStatus SendInFlight(MqttSession& s, const MqttMessage& m, uint32_t ticket) {
  const uint16_t id = NextPacketId(s);
  MqttStatus status = Emit(s, PublishPacket(m, id), false);
  if (status != kMqttOk) return status;
  s.inFlight[s.inFlightCount].packetId = id;
  s.inFlight[s.inFlightCount].ticket = ticket;
  ++s.inFlightCount;
  return kMqttOk;
}

// Moves queued messages into free slots while the output has room; when
// disconnecting and nothing is left queued, adds the DISCONNECT.
void Flush(MqttSession& s) {
  while (s.queueCount > 0 && s.inFlightCount < s.maxInFlight) {
    MqttMessage m;
    uint32_t ticket = 0;
    size_t recordSize = QueuePeek(s, &m, &ticket);
    // Every queued message was checked as it was published: only room can
    // be missing.
    if (SendInFlight(s, m, ticket) != kMqttOk) break;
    QueuePop(s, recordSize);
  }
  if (s.state == kMqttStateDisconnecting && s.queueCount == 0 && !s.disconnectQueued) {
    MqttPacket p = MqttPacket();
    p.type = kMqttDisconnect;
    if (Emit(s, p, true) == kMqttOk) s.disconnectQueued = true;
  }
}

void ResetConnection(MqttSession& s) {
  s.state = kMqttStateIdle;
  s.upAtMs = s.lastSentMs = s.lastReceivedMs = s.pingSentMs = s.disconnectAtMs = 0;
  s.pingOutstanding = false;
  s.disconnectQueued = false;
  s.inFlightCount = 0;
  s.pendingCount = 0;
  s.recentCount = 0;
  s.recentNext = 0;
  s.queueCount = 0;
  s.queueHead = s.queueTail = 0;
  s.outHead = s.outTail = 0;
  MqttDecoderInit(s.decoder, s.packetLimit);
}

// ----- Receiving -----

void HandlePublish(MqttSession& s, const MqttPacket& p, MqttEvent* event) {
  // We subscribe at QoS 1 at most, and a broker never sends above what was
  // granted.
  if (p.qos > 1) {
    MustClose(s, event, kMqttCloseUnexpected);
    event->packetType = kMqttPublish;
    return;
  }
  if (p.qos == 1) {
    MqttPacket ack = MqttPacket();
    ack.type = kMqttPuback;
    ack.packetId = p.packetId;
    if (Emit(s, ack, true) != kMqttOk) {
      MustClose(s, event, kMqttCloseOutputFull);
      return;
    }
    // A broker resends with DUP only what it has no PUBACK for; one we have
    // acknowledged can still come again when our PUBACK crossed its resend.
    // The same identifier without DUP is a new message reusing it.
    const bool seen = RecentlyAcknowledged(s, p.packetId);
    if (p.dup && seen) {
      event->duplicate = true;
      ++s.counts.duplicates;
    } else if (!seen) {
      RememberAcknowledged(s, p.packetId);
    }
  }
  event->type = kMqttEventMessage;
  event->topic = p.topic;
  event->payload = p.payload;
  event->qos = p.qos;
  event->retain = p.retain;
  event->dup = p.dup;
  event->packetId = p.packetId;
}

void HandlePuback(MqttSession& s, const MqttPacket& p, MqttEvent* event) {
  for (int i = 0; i < s.inFlightCount; ++i) {
    if (s.inFlight[i].packetId != p.packetId) continue;
    event->type = kMqttEventPublished;
    event->packetId = p.packetId;
    event->ticket = s.inFlight[i].ticket;
    for (int k = i + 1; k < s.inFlightCount; ++k) s.inFlight[k - 1] = s.inFlight[k];
    --s.inFlightCount;
    Flush(s);
    return;
  }
  ++s.counts.unknownAcks;
}

void HandleRequestAck(MqttSession& s, const MqttPacket& p, MqttEvent* event) {
  const bool subscribe = p.type == kMqttSuback;
  for (int i = 0; i < s.pendingCount; ++i) {
    const MqttPendingRequest& r = s.pending[i];
    if (r.packetId != p.packetId || r.subscribe != subscribe) continue;
    if (subscribe && p.grants.size != static_cast<size_t>(r.filterCount)) {
      MustClose(s, event, kMqttCloseUnexpected);
      event->packetType = kMqttSuback;
      return;
    }
    event->type = subscribe ? kMqttEventSubscribed : kMqttEventUnsubscribed;
    event->packetId = p.packetId;
    event->grants = p.grants;
    for (size_t g = 0; g < p.grants.size; ++g) {
      if (p.grants.data[g] == kMqttSubackFailure) ++event->failures;
    }
    for (int k = i + 1; k < s.pendingCount; ++k) s.pending[k - 1] = s.pending[k];
    --s.pendingCount;
    return;
  }
  ++s.counts.unknownAcks;
}

MqttSessionStatus SendRequest(MqttSession& s, MqttPacketType type, const MqttBytes* filters, int count,
                              uint16_t* packetId) {
  if (packetId != nullptr) *packetId = 0;
  if (filters == nullptr || count < 1 || count > kMqttMaxFilters) return kMqttSessionBadArgument;
  MqttPacket p = MqttPacket();
  p.type = type;
  p.packetId = 1;  // the real one is taken once the request is sure to go
  p.filterCount = count;
  for (int i = 0; i < count; ++i) {
    if (MqttCheckTopicFilter(filters[i]) != kMqttOk) return kMqttSessionBadTopic;
    p.filters[i] = filters[i];
    p.filterQos[i] = 1;
  }
  size_t need = 0;
  if (MqttEncodePacket(p, nullptr, 0, &need) != kMqttNoRoom || need > s.packetLimit) {
    return kMqttSessionTooLarge;
  }
  if (s.state != kMqttStateConnected) return kMqttSessionNotConnected;
  if (s.pendingCount == kMqttMaxPendingRequests) return kMqttSessionTooManyRequests;
  p.packetId = NextPacketId(s);
  if (Emit(s, p, false) != kMqttOk) {
    ++s.counts.refusedOutputFull;
    return kMqttSessionOutputFull;
  }
  MqttPendingRequest& r = s.pending[s.pendingCount++];
  r.packetId = p.packetId;
  r.subscribe = type == kMqttSubscribe;
  r.filterCount = count;
  if (packetId != nullptr) *packetId = p.packetId;
  return kMqttSessionOk;
}

}  // namespace

const char* MqttSessionStatusName(MqttSessionStatus status) {
  switch (status) {
    case kMqttSessionOk: return "kMqttSessionOk";
    case kMqttSessionNotConnected: return "kMqttSessionNotConnected";
    case kMqttSessionBadTopic: return "kMqttSessionBadTopic";
    case kMqttSessionBadArgument: return "kMqttSessionBadArgument";
    case kMqttSessionTooLarge: return "kMqttSessionTooLarge";
    case kMqttSessionQueueFull: return "kMqttSessionQueueFull";
    case kMqttSessionOutputFull: return "kMqttSessionOutputFull";
    case kMqttSessionTooManyRequests: return "kMqttSessionTooManyRequests";
    case kMqttSessionBadSettings: return "kMqttSessionBadSettings";
    case kMqttSessionNotIdle: return "kMqttSessionNotIdle";
  }
  return "unknown MqttSessionStatus";
}

const char* MqttCloseReasonName(MqttCloseReason reason) {
  switch (reason) {
    case kMqttCloseNone: return "none";
    case kMqttCloseMalformed: return "malformed packet from the broker";
    case kMqttCloseUnexpected: return "unexpected packet from the broker";
    case kMqttCloseNoConnack: return "no CONNACK";
    case kMqttClosePingTimeout: return "no answer to PINGREQ";
    case kMqttCloseOutputFull: return "the connection takes no more bytes";
    case kMqttCloseDisconnectTimeout: return "the disconnect did not finish in time";
  }
  return "unknown reason";
}

MqttSessionSettings MqttDefaultSessionSettings() {
  MqttSessionSettings settings = MqttSessionSettings();
  settings.connect.cleanSession = true;
  settings.connect.keepAliveS = 30;
  settings.connackTimeoutMs = 15000;
  settings.pingTimeoutMs = 15000;
  settings.disconnectWaitMs = 3000;
  settings.maxInFlight = kMqttMaxInFlight;
  settings.packetLimit = kMqttPacketLimitMax;
  return settings;
}

void MqttSessionInit(MqttSession& s) {
  // Field by field: assigning a fresh MqttSession would build half a
  // megabyte on the stack. The buffers need no clearing; their counts and
  // offsets say what in them is valid.
  s.configured = false;
  s.connectSize = 0;
  s.keepAliveMs = 0;
  s.connackTimeoutMs = s.pingTimeoutMs = s.disconnectWaitMs = 0;
  s.maxInFlight = 1;
  s.packetLimit = kMqttPacketLimitMax;
  s.lastPacketId = 0;
  s.lastTicket = 0;
  s.counts = MqttSessionCounts();
  ResetConnection(s);
}

MqttSessionStatus MqttSessionConfigure(MqttSession& s, const MqttSessionSettings& settings) {
  if (s.state != kMqttStateIdle) return kMqttSessionNotIdle;
  if (settings.maxInFlight < 1 || settings.maxInFlight > kMqttMaxInFlight) return kMqttSessionBadSettings;
  if (settings.packetLimit < 2 || settings.packetLimit > kMqttPacketLimitMax) return kMqttSessionBadSettings;
  MqttPacket p = MqttPacket();
  p.type = kMqttConnect;
  p.connect = settings.connect;
  p.connect.cleanSession = true;
  size_t size = 0;
  if (MqttEncodePacket(p, s.connectPacket, sizeof s.connectPacket, &size) != kMqttOk) {
    s.configured = false;
    return kMqttSessionBadSettings;
  }
  s.connectSize = size;
  s.keepAliveMs = settings.connect.keepAliveS * uint64_t{1000};
  s.connackTimeoutMs = settings.connackTimeoutMs;
  s.pingTimeoutMs = settings.pingTimeoutMs;
  s.disconnectWaitMs = settings.disconnectWaitMs;
  s.maxInFlight = settings.maxInFlight;
  s.packetLimit = settings.packetLimit;
  MqttDecoderInit(s.decoder, s.packetLimit);
  s.configured = true;
  return kMqttSessionOk;
}

MqttSessionStatus MqttSessionTransportUp(MqttSession& s, uint64_t nowMs) {
  if (!s.configured) return kMqttSessionBadSettings;
  if (s.state != kMqttStateIdle) MqttSessionTransportDown(s);
  s.state = kMqttStateAwaitingConnack;
  s.upAtMs = s.lastSentMs = s.lastReceivedMs = nowMs;
  // The output is empty after a reset, and the CONNECT is far smaller than it.
  std::memcpy(s.out, s.connectPacket, s.connectSize);
  s.outTail = s.connectSize;
  return kMqttSessionOk;
}

void MqttSessionTransportDown(MqttSession& s) {
  s.counts.droppedAtClose += static_cast<uint64_t>(s.inFlightCount) + static_cast<uint64_t>(s.queueCount);
  ResetConnection(s);
}

void MqttSessionReceive(MqttSession& s, const uint8_t* data, size_t size, uint64_t nowMs, size_t* used,
                        MqttEvent* event) {
  *event = MqttEvent();
  *used = size;
  if (s.state == kMqttStateIdle || s.state == kMqttStateClosing || s.disconnectQueued) return;
  MqttPacket p;
  MqttStatus status = MqttDecode(s.decoder, data, size, used, &p);
  if (status == kMqttNeedMore) return;
  if (status != kMqttOk) {
    MustClose(s, event, kMqttCloseMalformed);
    event->decodeStatus = status;
    return;
  }
  // Any packet answers a PINGREQ: the connection is alive.
  s.lastReceivedMs = nowMs;
  s.pingOutstanding = false;

  if (s.state == kMqttStateAwaitingConnack) {
    // A broker's first packet is its CONNACK.
    if (p.type != kMqttConnack) {
      MustClose(s, event, kMqttCloseUnexpected);
      event->packetType = p.type;
      return;
    }
    event->returnCode = p.returnCode;
    event->sessionPresent = p.sessionPresent;
    if (p.returnCode == kMqttAccepted) {
      s.state = kMqttStateConnected;
      event->type = kMqttEventConnected;
    } else {
      s.state = kMqttStateClosing;
      event->type = kMqttEventRefused;
    }
    return;
  }

  switch (p.type) {
    case kMqttPublish:
      HandlePublish(s, p, event);
      break;
    case kMqttPuback:
      HandlePuback(s, p, event);
      break;
    case kMqttSuback:
    case kMqttUnsuback:
      HandleRequestAck(s, p, event);
      break;
    case kMqttPingresp:
      break;
    default:
      // A second CONNACK, QoS 2 flow for a QoS we never use, or a packet
      // only a broker receives.
      MustClose(s, event, kMqttCloseUnexpected);
      event->packetType = p.type;
      break;
  }
}

void MqttSessionTick(MqttSession& s, uint64_t nowMs, MqttEvent* event) {
  *event = MqttEvent();
  if (s.state == kMqttStateAwaitingConnack) {
    if (Due(nowMs, s.upAtMs, s.connackTimeoutMs)) MustClose(s, event, kMqttCloseNoConnack);
    return;
  }
  if (s.state != kMqttStateConnected && s.state != kMqttStateDisconnecting) return;
  if (s.state == kMqttStateDisconnecting && Due(nowMs, s.disconnectAtMs, s.disconnectWaitMs)) {
    MustClose(s, event, kMqttCloseDisconnectTimeout);
    return;
  }
  if (s.disconnectQueued) return;  // nothing may follow the DISCONNECT
  if (s.pingOutstanding) {
    if (Due(nowMs, s.pingSentMs, s.pingTimeoutMs)) MustClose(s, event, kMqttClosePingTimeout);
    return;
  }
  const uint64_t quietSince = s.lastSentMs < s.lastReceivedMs ? s.lastSentMs : s.lastReceivedMs;
  if (s.keepAliveMs == 0 || !Due(nowMs, quietSince, s.keepAliveMs)) return;
  MqttPacket ping = MqttPacket();
  ping.type = kMqttPingreq;
  if (Emit(s, ping, true) != kMqttOk) {
    MustClose(s, event, kMqttCloseOutputFull);
    return;
  }
  s.pingOutstanding = true;
  s.pingSentMs = nowMs;
}

uint32_t MqttSessionWaitMs(const MqttSession& s, uint64_t nowMs) {
  uint64_t deadline = UINT64_MAX;
  if (s.state == kMqttStateAwaitingConnack) {
    deadline = s.upAtMs + s.connackTimeoutMs;
  } else if (s.state == kMqttStateConnected || s.state == kMqttStateDisconnecting) {
    if (s.state == kMqttStateDisconnecting) deadline = s.disconnectAtMs + s.disconnectWaitMs;
    uint64_t ping = UINT64_MAX;
    if (s.disconnectQueued) {
      // Only the disconnect's own deadline is left.
    } else if (s.pingOutstanding) {
      ping = s.pingSentMs + s.pingTimeoutMs;
    } else if (s.keepAliveMs != 0) {
      ping = (s.lastSentMs < s.lastReceivedMs ? s.lastSentMs : s.lastReceivedMs) + s.keepAliveMs;
    }
    if (ping < deadline) deadline = ping;
  }
  if (deadline == UINT64_MAX) return kMqttWaitForever;
  if (deadline <= nowMs) return 0;
  const uint64_t wait = deadline - nowMs;
  return wait >= kMqttWaitForever ? kMqttWaitForever - 1 : static_cast<uint32_t>(wait);
}

MqttBytes MqttSessionOutput(const MqttSession& s) {
  if (OutputPending(s) == 0) return MqttBytes{nullptr, 0};
  return MqttBytes{s.out + s.outHead, OutputPending(s)};
}

MqttSessionStatus MqttSessionOutputSent(MqttSession& s, size_t count, uint64_t nowMs, MqttEvent* event) {
  *event = MqttEvent();
  if (count > OutputPending(s)) return kMqttSessionBadArgument;
  if (count == 0) return kMqttSessionOk;
  s.outHead += count;
  if (s.outHead == s.outTail) s.outHead = s.outTail = 0;
  s.lastSentMs = nowMs;
  if (s.state != kMqttStateConnected && s.state != kMqttStateDisconnecting) return kMqttSessionOk;
  Flush(s);
  if (s.disconnectQueued && OutputPending(s) == 0) {
    s.state = kMqttStateClosing;
    event->type = kMqttEventDisconnected;
  }
  return kMqttSessionOk;
}

MqttSessionStatus MqttSessionPublish(MqttSession& s, const MqttMessage& m, uint32_t* ticket) {
  if (ticket != nullptr) *ticket = 0;
  if (m.qos > 1) return kMqttSessionBadArgument;
  if (MqttCheckTopicName(m.topic) != kMqttOk) return kMqttSessionBadTopic;
  size_t need = 0;
  if (MqttEncodePacket(PublishPacket(m, 1), nullptr, 0, &need) != kMqttNoRoom || need > s.packetLimit) {
    return kMqttSessionTooLarge;
  }
  if (s.state != kMqttStateConnected) return kMqttSessionNotConnected;

  if (m.qos == 0) {
    if (Emit(s, PublishPacket(m, 0), false) != kMqttOk) {
      ++s.counts.refusedOutputFull;
      return kMqttSessionOutputFull;
    }
    return kMqttSessionOk;
  }
  const uint32_t t = NextTicket(s);
  // Behind anything already queued, so that QoS 1 messages keep their order.
  const bool sent = s.queueCount == 0 && s.inFlightCount < s.maxInFlight && SendInFlight(s, m, t) == kMqttOk;
  if (!sent && !QueuePush(s, m, t)) {
    ++s.counts.refusedQueueFull;
    return kMqttSessionQueueFull;
  }
  if (ticket != nullptr) *ticket = t;
  return kMqttSessionOk;
}

MqttSessionStatus MqttSessionSubscribe(MqttSession& s, const MqttBytes* filters, int count, uint16_t* packetId) {
  return SendRequest(s, kMqttSubscribe, filters, count, packetId);
}

MqttSessionStatus MqttSessionUnsubscribe(MqttSession& s, const MqttBytes* filters, int count,
                                         uint16_t* packetId) {
  return SendRequest(s, kMqttUnsubscribe, filters, count, packetId);
}

MqttSessionStatus MqttSessionDisconnect(MqttSession& s, uint64_t nowMs) {
  if (s.state != kMqttStateConnected) return kMqttSessionNotConnected;
  s.state = kMqttStateDisconnecting;
  s.disconnectAtMs = nowMs;
  Flush(s);
  return kMqttSessionOk;
}
