// The bridge's MQTT client session: a state machine with no I/O and no clock
// of its own. The caller tells it that the transport connected or closed,
// hands it the bytes that arrived and the time, and writes out the bytes it
// has ready; it answers with events. Platform-free, so that the native build
// tests and fuzzes it; the Winsock transport drives it on Windows.
//
// Threads: none of its own and no lock. One thread, the bridge's network
// loop, makes every call on a session.
//
// What it does on one connection:
//   - CONNECT with the configured client id, will, user name and password,
//     always asking for a clean session; then waits for CONNACK, at most
//     connackTimeoutMs.
//   - A PINGREQ when nothing was received, or nothing handed to the socket,
//     for the keep-alive interval; when nothing at all arrives within
//     pingTimeoutMs of it, the connection is declared dead.
//   - QoS 1 publishes get a packet identifier (never 0, wrapping, skipping
//     those in use) and are counted in flight until their PUBACK. At most
//     maxInFlight are in flight; the next ones wait in the session's queue in
//     the order they were published, and go out as PUBACKs free their slots.
//     A publish that finds the queue full is refused (kMqttSessionQueueFull,
//     counted), never dropped unsaid.
//   - QoS 0 publishes go straight to the output, in order among themselves.
//     They may overtake QoS 1 messages still queued: the bridge gives each
//     topic one QoS, so no topic's messages are reordered.
//   - Received QoS 1 messages are acknowledged at once. One that comes again
//     with DUP set and a packet identifier among the last
//     kMqttRecentIdCount acknowledged on this connection is reported with
//     `duplicate` set, so that a command is acted on once.
//   - The retain flag of a received message is passed on unchanged.
//
// Across connections nothing is kept: the session always asks for a clean
// session, so the broker keeps nothing for us either. What was in flight or
// queued when a connection ended is dropped and counted (droppedAtClose);
// nothing is resent after a reconnect. The bridge republishes its retained
// state after every kMqttEventConnected instead, which also repairs whatever
// those messages would have said.
//
// The network loop, in outline (now: a monotonic clock in ms):
//   once:          MqttSessionInit, then MqttSessionConfigure
//   connected:     MqttSessionTransportUp(s, now)
//   readable:      recv, then hand the bytes over piece by piece:
//                    while bytes are left: MqttSessionReceive(s, rest, n, now, &used, &event);
//                    act on the event; stop at kMqttEventMustClose or kMqttEventRefused
//   writable, or after any call: out = MqttSessionOutput(s); when out.size > 0,
//                    send what the socket takes, then MqttSessionOutputSent(s, sent, now, &event)
//   timeout:       MqttSessionTick(s, now, &event)
//   before waiting: wait at most MqttSessionWaitMs(s, now)
//   stopping:      MqttSessionPublish(the status topic "offline", QoS 1, retained),
//                    MqttSessionDisconnect(s, now); keep writing until
//                    kMqttEventDisconnected (or kMqttEventMustClose), then close
//   must close, refused, disconnected, or the socket failed:
//                  close the socket, MqttSessionTransportDown(s), wait
//                  MqttBackoffDelayMs (mqtt_backoff.h), connect again
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/mqtt_packet.h"

constexpr int kMqttMaxInFlight = 32;
// SUBSCRIBE and UNSUBSCRIBE requests waiting for their acknowledgement.
constexpr int kMqttMaxPendingRequests = 8;
// Received QoS 1 packet identifiers remembered for spotting redeliveries.
constexpr int kMqttRecentIdCount = 16;
// Bytes of QoS 1 messages waiting for a slot in flight. A queued message
// costs its topic, its payload and kMqttQueueRecordHeader bytes.
constexpr size_t kMqttQueueBytes = 256 * 1024;
constexpr size_t kMqttQueueRecordHeader = 11;
// Bytes encoded but not yet handed to the socket: room for two of the
// largest packets, and a reserve only acknowledgements, PINGREQ and
// DISCONNECT may use, so that a burst of publishes cannot keep a PUBACK out.
constexpr size_t kMqttControlReserve = 4096;
constexpr size_t kMqttOutputBytes = 2 * kMqttPacketLimitMax + kMqttControlReserve;
// The CONNECT packet, kept encoded for every connection.
constexpr size_t kMqttConnectBytes = 2048;
// MqttSessionWaitMs when nothing is due: INFINITE, for WaitForMultipleObjects.
constexpr uint32_t kMqttWaitForever = 0xFFFFFFFF;

enum MqttSessionStatus : int {
  kMqttSessionOk = 0,
  kMqttSessionNotConnected = 1,    // no accepted CONNACK on this connection (or Disconnect was called)
  kMqttSessionBadTopic = 2,        // a topic name or filter MqttCheckTopicName/Filter refuses
  kMqttSessionBadArgument = 3,     // QoS other than 0 or 1, no or too many filters, a count past the output
  kMqttSessionTooLarge = 4,        // the packet would be over the session's packet limit
  kMqttSessionQueueFull = 5,       // QoS 1: all slots in flight and the queue full; refused and counted
  kMqttSessionOutputFull = 6,      // the socket has not taken what was encoded before; refused and counted
  kMqttSessionTooManyRequests = 7, // kMqttMaxPendingRequests subscribes or unsubscribes unanswered
  kMqttSessionBadSettings = 8,     // settings the CONNECT cannot carry or out of range; or never configured
  kMqttSessionNotIdle = 9,         // MqttSessionConfigure while a transport is up
};

// A short name for traces and test messages ("kMqttSessionQueueFull").
const char* MqttSessionStatusName(MqttSessionStatus status);

struct MqttSessionSettings {
  // Client id, keep-alive, will, user name and password. Clean session is
  // always set, whatever this says.
  MqttConnectFields connect;
  uint32_t connackTimeoutMs;  // CONNACK must come within this of the transport's connect
  uint32_t pingTimeoutMs;     // something must arrive within this of a PINGREQ
  uint32_t disconnectWaitMs;  // MqttSessionDisconnect to DISCONNECT handed over, at most
  int maxInFlight;            // 1 .. kMqttMaxInFlight
  size_t packetLimit;         // largest packet taken or sent, 2 .. kMqttPacketLimitMax
};

// Keep-alive 30 s, CONNACK and PINGRESP within 15 s, 3 s to say goodbye, 32
// in flight, 64 KiB packets; no client id, will or credentials yet.
MqttSessionSettings MqttDefaultSessionSettings();

enum MqttSessionState : uint8_t {
  kMqttStateIdle = 0,           // no transport
  kMqttStateAwaitingConnack = 1,
  kMqttStateConnected = 2,
  kMqttStateDisconnecting = 3,  // draining the queue; then DISCONNECT
  kMqttStateClosing = 4,        // told the caller to close; waits for MqttSessionTransportDown
};

enum MqttEventType : uint8_t {
  kMqttEventNone = 0,
  kMqttEventConnected = 1,     // CONNACK accepted: subscribe, publish the retained state
  kMqttEventRefused = 2,       // CONNACK refused (returnCode): close, retry after the refused interval
  kMqttEventMessage = 3,       // a PUBLISH arrived (QoS 1: already acknowledged)
  kMqttEventSubscribed = 4,    // a SUBACK: grants, failures
  kMqttEventUnsubscribed = 5,  // an UNSUBACK
  kMqttEventPublished = 6,     // a QoS 1 message was acknowledged: ticket
  kMqttEventDisconnected = 7,  // DISCONNECT was handed to the socket: close it now
  kMqttEventMustClose = 8,     // reason: close the connection and connect again
};

enum MqttCloseReason : uint8_t {
  kMqttCloseNone = 0,
  kMqttCloseMalformed = 1,          // the broker sent bytes the decoder refuses: decodeStatus
  kMqttCloseUnexpected = 2,         // a packet a broker must not send, or not now: packetType
  kMqttCloseNoConnack = 3,          // no CONNACK within connackTimeoutMs
  kMqttClosePingTimeout = 4,        // nothing arrived within pingTimeoutMs of a PINGREQ
  kMqttCloseOutputFull = 5,         // an acknowledgement or PINGREQ found no room: the socket takes nothing
  kMqttCloseDisconnectTimeout = 6,  // the queue did not drain within disconnectWaitMs of Disconnect
};

// "no CONNACK", "no answer to PINGREQ", ...: for the event log.
const char* MqttCloseReasonName(MqttCloseReason reason);

// What a call had to say. The views point into the session and stay valid
// until the next call on it.
struct MqttEvent {
  MqttEventType type;
  // Connected, Refused
  uint8_t returnCode;           // MqttConnackCode
  bool sessionPresent;
  // Message
  MqttBytes topic;
  MqttBytes payload;
  uint8_t qos;
  bool retain;                  // as the broker sent it: a stored message, not a live one
  bool dup;                     // as the broker sent it
  bool duplicate;               // a redelivery of one reported before: do not act on it again
  // Message (QoS 1), Subscribed, Unsubscribed, Published
  uint16_t packetId;
  // Published: the ticket MqttSessionPublish gave that message
  uint32_t ticket;
  // Subscribed: a code per filter, in order (granted QoS, or kMqttSubackFailure)
  MqttBytes grants;
  int failures;                 // how many of them are kMqttSubackFailure
  // MustClose
  MqttCloseReason reason;
  MqttStatus decodeStatus;      // kMqttCloseMalformed: why
  uint8_t packetType;           // kMqttCloseUnexpected: which
};

// What the bridge may want to count or report.
struct MqttSessionCounts {
  uint64_t refusedQueueFull;    // QoS 1 publishes refused with kMqttSessionQueueFull
  uint64_t refusedOutputFull;   // publishes and subscribes refused with kMqttSessionOutputFull
  uint64_t droppedAtClose;      // QoS 1 messages in flight or queued when a connection ended
  uint64_t duplicates;          // redeliveries reported with `duplicate`
  uint64_t unknownAcks;         // PUBACK, SUBACK or UNSUBACK for nothing we wait for: ignored
};

struct MqttInFlight {
  uint16_t packetId;
  uint32_t ticket;
};

struct MqttPendingRequest {
  uint16_t packetId;
  bool subscribe;     // SUBSCRIBE, else UNSUBSCRIBE
  int filterCount;    // a SUBACK must have a code for each
};

// One client session, reused across connections. Large (about 450 KiB, for
// its fixed buffers): allocate it once, not on a stack.
struct MqttSession {
  // From MqttSessionConfigure.
  bool configured;
  uint8_t connectPacket[kMqttConnectBytes];
  size_t connectSize;
  uint64_t keepAliveMs;           // 0: no PINGREQ
  uint32_t connackTimeoutMs;
  uint32_t pingTimeoutMs;
  uint32_t disconnectWaitMs;
  int maxInFlight;
  size_t packetLimit;

  // The connection.
  MqttSessionState state;
  uint64_t upAtMs;                // TransportUp
  uint64_t lastSentMs;            // bytes last handed to the socket
  uint64_t lastReceivedMs;        // a whole packet last arrived
  bool pingOutstanding;
  uint64_t pingSentMs;
  uint64_t disconnectAtMs;        // MqttSessionDisconnect
  bool disconnectQueued;          // DISCONNECT is in the output: nothing may follow it

  uint16_t lastPacketId;
  uint32_t lastTicket;
  int inFlightCount;
  MqttInFlight inFlight[kMqttMaxInFlight];
  int pendingCount;
  MqttPendingRequest pending[kMqttMaxPendingRequests];
  uint16_t recentIds[kMqttRecentIdCount];  // a ring; recentCount of them valid
  int recentCount;
  int recentNext;

  // QoS 1 messages waiting for a slot: records between queueHead and
  // queueTail, each kMqttQueueRecordHeader bytes (ticket, retain, topic
  // length, payload length) and then its topic and payload.
  int queueCount;
  size_t queueHead;
  size_t queueTail;
  uint8_t queue[kMqttQueueBytes];

  // Encoded packets between outHead and outTail, waiting for the socket.
  size_t outHead;
  size_t outTail;
  uint8_t out[kMqttOutputBytes];

  MqttDecoder decoder;
  MqttSessionCounts counts;
};

// Empties the session: idle, not configured, counts zero.
void MqttSessionInit(MqttSession& s);

// Takes the settings (copied: the caller's strings may go afterwards) and
// encodes the CONNECT the next connections send. Refused while a transport
// is up (kMqttSessionNotIdle); after a change of broker settings the caller closes the connection
// (TransportDown), configures, and connects again.
MqttSessionStatus MqttSessionConfigure(MqttSession& s, const MqttSessionSettings& settings);

// The transport connected: the CONNECT is put in the output, and the clock
// for CONNACK starts. A session still up is taken down first.
// kMqttSessionBadSettings when it was never configured.
MqttSessionStatus MqttSessionTransportUp(MqttSession& s, uint64_t nowMs);
// The transport closed, or the caller closed it: everything of the
// connection is forgotten (what was in flight or queued counted in
// droppedAtClose), and the session is idle.
void MqttSessionTransportDown(MqttSession& s);

// Takes bytes from `data` up to the end of one packet, handles it, and says
// in *used how many it took; *event says what that packet meant (often
// kMqttEventNone). Call again with the rest until all are taken. After a
// kMqttEventMustClose or kMqttEventRefused, and while idle, it takes
// everything and ignores it.
void MqttSessionReceive(MqttSession& s, const uint8_t* data, size_t size, uint64_t nowMs, size_t* used,
                        MqttEvent* event);

// Acts on the clock: a PINGREQ when one is due; kMqttEventMustClose when
// CONNACK, the answer to a PINGREQ, or the end of a disconnect is overdue.
void MqttSessionTick(MqttSession& s, uint64_t nowMs, MqttEvent* event);

// Milliseconds until the session next needs MqttSessionTick (0 when
// overdue), or kMqttWaitForever.
uint32_t MqttSessionWaitMs(const MqttSession& s, uint64_t nowMs);

// The bytes waiting for the socket, oldest first; empty when there are none.
MqttBytes MqttSessionOutput(const MqttSession& s);
// The socket took the first `count` of them. Queued messages may move into
// the freed room; once the DISCONNECT has been handed over, *event is
// kMqttEventDisconnected. A count past the output is refused.
MqttSessionStatus MqttSessionOutputSent(MqttSession& s, size_t count, uint64_t nowMs, MqttEvent* event);

struct MqttMessage {
  MqttBytes topic;    // a topic name
  MqttBytes payload;
  uint8_t qos;        // 0 or 1
  bool retain;
};

// Publishes once connected (kMqttSessionNotConnected before the CONNACK and
// after MqttSessionDisconnect). The bytes are copied. A QoS 1 message gets a
// ticket (*ticket, when not null; never 0) that its kMqttEventPublished
// names; QoS 0 gives 0.
MqttSessionStatus MqttSessionPublish(MqttSession& s, const MqttMessage& message, uint32_t* ticket);

// SUBSCRIBE to `count` filters at QoS 1, once connected. *packetId (when not
// null) is the identifier its kMqttEventSubscribed names.
MqttSessionStatus MqttSessionSubscribe(MqttSession& s, const MqttBytes* filters, int count, uint16_t* packetId);
// UNSUBSCRIBE from `count` filters; its kMqttEventUnsubscribed names *packetId.
MqttSessionStatus MqttSessionUnsubscribe(MqttSession& s, const MqttBytes* filters, int count,
                                         uint16_t* packetId);

// Ends the connection cleanly: what is queued still goes out as PUBACKs make
// room, then DISCONNECT; kMqttEventDisconnected says it was handed over. Publish
// the last word (the status topic's "offline") before this: nothing is taken
// after it. kMqttSessionNotConnected when there is no accepted connection to
// end: then just close it (the broker publishes the will).
MqttSessionStatus MqttSessionDisconnect(MqttSession& s, uint64_t nowMs);
