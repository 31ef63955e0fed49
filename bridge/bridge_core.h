// The bridge's engine: it turns events-pipe lines into MQTT publications and
// MQTT messages into command-pipe requests, and keeps only what that mapping
// needs (the devices' last state payloads, the transceiver map, the configs
// it published). It has no radio logic: a device's state is what the
// service's `state` lines say.
//
// The Windows part is a loop around it: it feeds lines, MQTT happenings and
// replies in, and carries out what comes back in a BridgeOutput (publish,
// write a request to the command pipe, report a warning event). The engine
// never blocks, keeps no clock of its own (the caller passes a monotonic
// millisecond clock) and takes its random numbers from the caller.
//
// Threads: one. Every function here is called by the bridge's loop thread
// only; a BridgeCore is not guarded. Nothing throws out of these functions:
// an allocation failure inside is caught at the entry point and the event is
// dropped.
//
// Topics, under <base> = <prefix>/<node>:
//   status                      retained  online / offline: published by the
//                                         Windows part (connect and will)
//   service                     retained  online / offline
//   line                        not       every events line, without CR LF
//   fs20/<hc>-<addr>/state      retained  {"state":"ON"|"OFF"|null,
//                                          "brightness":1-16 (when on),
//                                          "level":0-16|null, "pct":..,
//                                          "before":..,"last":..,"until":..,
//                                          "then":..,"by":..,"via":..,"time":..}
//   fs20/<hc>-<addr>/set        in        see set_payload.h
//   fs20/<hc>-<addr>/event      not       {"event_type":"<command name>"}
//   fs20/<hc>-<addr>/result     not       the service's reply, or the reason a
//                                         command was not sent
//   sensor/<id>-<type>/state    retained  readings as numbers (see bridge_core.cpp)
//   heating/<code>/state        retained
//   weather/<serial>/state      retained
//   transceiver/<serial>/state  retained  {"present":true,"instance":0}
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bridge/devices_ini.h"
#include "bridge/discovery.h"
#include "bridge/transceiver_map.h"
#include "core/fault_limiter.h"
#include "core/request.h"

struct BridgeSettings {
  std::string prefix = "zarvo";
  std::string node;                         // a-z 0-9 _ -
  std::string discovery = "homeassistant";  // empty: no discovery
  std::string birth = "homeassistant/status";
  std::string version;
};

struct Publication {
  std::string topic;
  std::string payload;  // empty with retain: clears a retained message
  bool retain;
  uint8_t qos;
};

// A request for the command pipe. The reply text that comes back for it is
// handed to BridgeOnReply with the same handle.
struct CommandRequest {
  uint64_t handle;
  PipeRequest request;
};

struct BridgeOutput {
  std::vector<Publication> publications;
  std::vector<CommandRequest> requests;
  // Warning events for the event log, at most one a minute (garbage on a
  // set topic); each says how many were left out before it.
  std::vector<std::string> warnings;
};

enum SubjectKind : uint8_t { kSubjectFs20 = 0, kSubjectSensor, kSubjectHeating, kSubjectWeather };

// A device the state lines or the commands made known.
struct Subject {
  SubjectKind kind;
  std::string hc, addr;    // FS20
  std::string type, id;    // sensor
  std::string key;         // heating code, weather serial
  std::string stateTopic;  // empty until a state is known
  std::string statePayload;
  bool hasState = false;
  bool sentTo = false;     // this bridge sent it a command (autocreate = sent)
};

// Bounds: a neighbourhood full of sensors stays far below these; past them
// new devices get no entities (their lines still go out on `line`).
constexpr size_t kSubjectLimit = 4096;
constexpr size_t kPendingLimit = 256;

struct BridgeCore {
  BridgeSettings settings;
  DiscoveryContext ctx;
  DevicesConfig devices;
  TransceiverMap transceivers;
  std::map<std::string, Subject> subjects;        // by kind and key
  std::map<std::string, std::string> configs;     // config topic -> payload published this run
  std::map<uint64_t, std::string> pending;        // handle -> result topic
  uint64_t nextHandle = 1;
  bool connected = false;     // to the broker
  bool serviceUp = false;     // the events pipe is connected
  bool discoveryDue = false;  // Home Assistant's online asked for discovery
  uint64_t discoveryDueMs = 0;
  FaultLimiter badSetLimiter;
  uint64_t badSetCount = 0;   // garbage set payloads since start
  // "<id>-<type>" of sensors named in devices.ini whose id was replaced
  // there (new batteries): their old readings get no entities of their own,
  // although the service may still list them.
  std::set<std::string> retiredSensors;
};

// Checks the settings (prefix without wildcards or empty levels, node name,
// discovery prefix and birth topic without wildcards) and prepares the core.
// False with `reason` when a setting cannot be used.
bool BridgeInit(BridgeCore& core, const BridgeSettings& settings, std::string& reason);

// The topic filters to subscribe to (QoS 1): the set topics and, with
// discovery on, the birth topic.
std::vector<std::string> BridgeSubscriptions(const BridgeCore& core);

// The broker connection came up (after CONNACK and the subscriptions were
// sent): everything retained is published again: service, discovery
// configs, every state. The Windows part publishes `status` itself.
void BridgeOnConnected(BridgeCore& core, BridgeOutput& out);
void BridgeOnDisconnected(BridgeCore& core);

// The events pipe connected (up) or was lost (down). Down answers every
// command still waiting with a result saying so, and forgets the transceiver
// map until the next greeting.
void BridgeServiceUp(BridgeCore& core, BridgeOutput& out);
void BridgeServiceDown(BridgeCore& core, BridgeOutput& out);

// One events-pipe line, with or without CR LF.
void BridgeOnLine(BridgeCore& core, const char* line, size_t length, BridgeOutput& out);

// A PUBLISH from the broker. `retained` is its retain flag (a stored
// message replayed at subscription: a set is never acted on then).
// `randomDelayMs` (0..5000, from the caller's random source) is how long
// after Home Assistant's online the discovery goes out again.
void BridgeOnMessage(BridgeCore& core, const std::string& topic, const char* payload,
                     size_t length, bool retained, uint64_t nowMs, uint32_t randomDelayMs,
                     BridgeOutput& out);

// The service's reply text (UTF-8) to a request; an unknown handle is
// dropped (its command was answered already, when the service went down).
void BridgeOnReply(BridgeCore& core, uint64_t handle, const std::string& replyText,
                   BridgeOutput& out);

// Time passed: sends the discovery that Home Assistant's online asked for
// once it is due. BridgeNextDue says whether and when to call next.
void BridgeTick(BridgeCore& core, uint64_t nowMs, BridgeOutput& out);
bool BridgeNextDue(const BridgeCore& core, uint64_t& dueMs);

// New devices.ini contents. Configs that are no longer wanted (the device
// is now ignored, of another kind, or renamed) are cleared with an empty
// retained message; the others are published where they changed. A named
// sensor's old id, replaced by a new one, is retired: its state is cleared
// and it gets no entities of its own again while it is not named.
void BridgeSetDevices(BridgeCore& core, const DevicesConfig& devices, BridgeOutput& out);

// -forget: of the retained topics found on the broker, those to clear
// (everything under <base>/ and this node's discovery configs).
std::vector<std::string> BridgeTopicsToForget(const BridgeCore& core,
                                              const std::vector<std::string>& retainedTopics);
