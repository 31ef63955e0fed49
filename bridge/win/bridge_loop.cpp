// The bridge's loop: one thread that owns the MQTT session, the socket, the
// engine (bridge_core.h) and devices.ini, and waits on everything else at
// once.
//
// Threads and data flow:
// - the loop thread (RunBridge) makes every call on the session, the
//   transport, the engine and the watch; it is the only one that touches
//   them, so none of them has a lock;
// - the events reader thread (events_reader.h) reads the events pipe and
//   queues lines, and the command client thread (command_client.h) writes
//   requests to the command pipe and queues the replies; each wakes the loop
//   through its own event, and the loop takes what is queued under that
//   reader's or client's lock;
// - a resolver thread per connect resolves the broker's name
//   (mqtt_transport.h);
// - the service's control handler sets flags in BridgeControl and wakes the
//   loop.
//
// What the engine puts out is carried out here: its publications wait in
// `backlog` until the session takes them (at most kMqttMaxInFlight QoS 1
// messages in flight and its queue behind them), its requests go to the
// command client, its warnings to the event log.
#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bridge/bridge_core.h"
#include "bridge/bridge_settings.h"
#include "bridge/devices_ini.h"
#include "bridge/mqtt_backoff.h"
#include "bridge/mqtt_session.h"
#include "bridge/win/bridge_service.h"
#include "bridge/win/command_client.h"
#include "bridge/win/devices_watch.h"
#include "bridge/win/events_reader.h"
#include "bridge/win/mqtt_transport.h"
#include "bridge/win/settings_store.h"
#include "bridge/win/wide_text.h"
#include "core/admin_event.h"
#include "core/fault_limiter.h"
#include "core/version.h"

namespace {

// From the stop to the socket's close: the goodbye (status offline, then
// DISCONNECT) gets this long; the whole stop stays within 5 s.
constexpr uint64_t kGoodbyeMs = 3000;
// The least time the broker is given to close its end after the DISCONNECT.
constexpr uint64_t kGoodbyeCloseMs = 500;
constexpr DWORD kThreadStopMs = 700;
// Messages the engine published that the session has not taken yet. A
// connect publishes every config and state at once, far below this; more
// means the broker takes nothing, and the rest would be stale anyway.
constexpr size_t kBacklogMax = 20000;
// Bytes read from the socket per wake before the other sources get a turn
// (Winsock signals again while bytes are left).
constexpr int kReadsPerWake = 16;
constexpr uint32_t kLongestDiscoveryDelayMs = 5000;

enum NetState : uint8_t {
  kNetOff = 0,     // no usable settings
  kNetWaiting,     // backing off until reconnectAtMs
  kNetConnecting,  // the transport is resolving or connecting
  kNetUp,          // the socket is connected; the session runs on it
};

struct Loop {
  BridgeControl* control = nullptr;
  MqttSession* session = nullptr;  // heap: about 455 KiB
  MqttBackoff backoff{};
  std::unique_ptr<BridgeCore> core;
  bool coreReady = false;
  Transport transport{};
  EventsReader reader{};
  CommandClient commands{};
  DevicesWatch devices{};
  bool watching = false;
  DevicesConfig devicesConfig;
  bool devicesFileSeen = false;

  EffectiveSettings settings;
  bool usable = false;
  std::string brokerText;  // host:port, for events
  std::string badSettingSaid;  // the 404 last written, so that a repeat is not

  NetState net = kNetOff;
  uint64_t reconnectAtMs = 0;
  bool troubleSaid = false;   // 406 written for this outage
  bool refusedSaid = false;   // 407 written since the last accepted connect
  bool serviceLostSaid = true;  // 408 is due at the next connection
  bool stopping = false;
  bool goodbyeDone = false;   // DISCONNECT handed over, or the connection ended

  std::deque<Publication> backlog;
  uint64_t dropped = 0;       // publications dropped since the last 414
  FaultLimiter dropLimiter;
  FaultLimiter pipeRefusedLimiter;
  uint8_t received[16384];
};

uint64_t Now() { return GetTickCount64(); }

uint32_t Random32() {
  uint32_t value = 0;
  if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                      BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
    // Jitter only: the clock will do.
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    value = static_cast<uint32_t>(counter.QuadPart * 2654435761u);
  }
  return value;
}

void Report(AdminEvent event, std::initializer_list<const char*> inserts) { ReportAdminEvent(event, inserts); }

// ----- Carrying out what the engine decided -----

void DropPublications(Loop& l, uint64_t count) {
  l.dropped += count;
  uint32_t leftOut = 0;
  if (FaultLimiterAdmit(l.dropLimiter, Now(), &leftOut)) {
    Report(kBridgePublicationsDropped, {Decimal(l.dropped).text});
    l.dropped = 0;
  }
}

bool SessionConnected(const Loop& l) { return l.net == kNetUp && l.session->state == kMqttStateConnected; }

void Carry(Loop& l, BridgeOutput& out) {
  for (Publication& p : out.publications) {
    if (!SessionConnected(l) || l.stopping) continue;
    if (l.backlog.size() >= kBacklogMax) {
      DropPublications(l, 1);
      continue;
    }
    l.backlog.push_back(std::move(p));
  }
  for (const CommandRequest& r : out.requests) CommandClientSubmit(l.commands, CommandJob{r.handle, r.request});
  for (const std::string& w : out.warnings) Report(kBridgeCommandRefused, {w.c_str()});
  out = BridgeOutput{};
}

// ----- The broker connection -----

void ScheduleReconnect(Loop& l, bool refused) {
  uint64_t now = Now();
  l.net = kNetWaiting;
  l.reconnectAtMs = now + MqttBackoffDelayMs(l.backoff, now, refused, Random32());
}

// Ends the connection at once (no DISCONNECT: the broker publishes the will)
// and schedules the next attempt.
void CloseBroker(Loop& l, bool refused) {
  TransportClose(l.transport);
  MqttSessionTransportDown(*l.session);
  if (l.coreReady) BridgeOnDisconnected(*l.core);
  l.backlog.clear();
  l.goodbyeDone = true;
  if (l.usable) {
    ScheduleReconnect(l, refused);
  } else {
    l.net = kNetOff;
  }
}

void SayTrouble(Loop& l, const char* why, DWORD error) {
  if (l.troubleSaid || l.stopping) return;
  l.troubleSaid = true;
  char text[200];
  if (error != 0) {
    std::snprintf(text, sizeof text, "%s (error %lu)", why, error);
  } else {
    std::snprintf(text, sizeof text, "%s", why);
  }
  Report(kBridgeBrokerUnreachable, {l.brokerText.c_str(), text});
}

void Connect(Loop& l) {
  DWORD error = 0;
  if (!TransportConnect(l.transport, l.settings.broker.host.c_str(), l.settings.broker.port, Now(), error)) {
    SayTrouble(l, "no thread to resolve its name", error);
    ScheduleReconnect(l, false);
    return;
  }
  l.net = kNetConnecting;
}

void Subscribe(Loop& l) {
  std::vector<std::string> topics = BridgeSubscriptions(*l.core);
  MqttBytes filters[kMqttMaxFilters];
  int n = 0;
  for (const std::string& t : topics) {
    if (n < kMqttMaxFilters) filters[n++] = MqttBytes{reinterpret_cast<const uint8_t*>(t.data()), t.size()};
  }
  MqttSessionSubscribe(*l.session, filters, n, nullptr);
}

void OnSessionEvent(Loop& l, const MqttEvent& e) {
  switch (e.type) {
    case kMqttEventConnected: {
      uint64_t now = Now();
      MqttBackoffAccepted(l.backoff, now);
      l.troubleSaid = false;
      l.refusedSaid = false;
      if (l.stopping) break;
      Report(kBridgeBrokerConnected, {l.brokerText.c_str(), l.settings.clientId.c_str()});
      Subscribe(l);
      // Retained, so that whoever subscribes later sees it; the will says
      // offline when the connection breaks.
      l.backlog.push_front(Publication{l.core->ctx.base + "/status", "online", true, 1});
      BridgeOutput out;
      BridgeOnConnected(*l.core, out);
      Carry(l, out);
      break;
    }
    case kMqttEventRefused:
      if (!l.refusedSaid && !l.stopping) {
        l.refusedSaid = true;
        Report(kBridgeBrokerRefused, {l.brokerText.c_str(), MqttConnackCodeName(e.returnCode)});
      }
      CloseBroker(l, true);
      break;
    case kMqttEventMessage: {
      // A redelivery of a command already acted on is not acted on again.
      if (e.duplicate || l.stopping) break;
      std::string topic(reinterpret_cast<const char*>(e.topic.data), e.topic.size);
      BridgeOutput out;
      BridgeOnMessage(*l.core, topic, reinterpret_cast<const char*>(e.payload.data), e.payload.size, e.retain,
                      Now(), Random32() % (kLongestDiscoveryDelayMs + 1), out);
      Carry(l, out);
      break;
    }
    case kMqttEventSubscribed:
      if (e.failures > 0 && !l.refusedSaid) {
        l.refusedSaid = true;
        Report(kBridgeBrokerRefused, {l.brokerText.c_str(),
                                      "it refused to let the bridge subscribe to its set topics (its access rules?)"});
      }
      break;
    case kMqttEventDisconnected:
      l.goodbyeDone = true;
      break;
    case kMqttEventMustClose:
      SayTrouble(l, MqttCloseReasonName(e.reason), 0);
      CloseBroker(l, false);
      break;
    default:
      break;
  }
}

// Hands the backlog to the session and the session's bytes to the socket,
// as long as either moves.
void Pump(Loop& l) {
  for (int rounds = 0; rounds < 1000 && l.net == kNetUp; ++rounds) {
    bool moved = false;
    while (!l.backlog.empty() && SessionConnected(l)) {
      const Publication& p = l.backlog.front();
      MqttMessage m{MqttBytes{reinterpret_cast<const uint8_t*>(p.topic.data()), p.topic.size()},
                    MqttBytes{reinterpret_cast<const uint8_t*>(p.payload.data()), p.payload.size()}, p.qos, p.retain};
      MqttSessionStatus status = MqttSessionPublish(*l.session, m, nullptr);
      if (status == kMqttSessionQueueFull || status == kMqttSessionOutputFull) break;
      if (status != kMqttSessionOk) DropPublications(l, 1);
      l.backlog.pop_front();
      moved = true;
    }
    MqttBytes out = MqttSessionOutput(*l.session);
    if (out.size == 0) {
      if (!moved) return;
      continue;
    }
    DWORD error = 0;
    int sent = TransportSend(l.transport, out.data, out.size, error);
    if (sent < 0) {
      SayTrouble(l, "the connection broke", error);
      CloseBroker(l, false);
      return;
    }
    if (sent == 0) return;  // FD_WRITE wakes the loop when there is room
    MqttEvent event{};
    MqttSessionOutputSent(*l.session, static_cast<size_t>(sent), Now(), &event);
    if (event.type != kMqttEventNone) OnSessionEvent(l, event);
  }
}

void ReadBroker(Loop& l) {
  for (int reads = 0; reads < kReadsPerWake && l.net == kNetUp; ++reads) {
    DWORD error = 0;
    int n = TransportReceive(l.transport, l.received, sizeof l.received, error);
    if (n == 0) return;
    if (n < 0) {
      SayTrouble(l, error == 0 ? "the broker closed the connection" : "the connection broke", error);
      CloseBroker(l, false);
      return;
    }
    size_t offset = 0;
    while (offset < static_cast<size_t>(n) && l.net == kNetUp) {
      size_t used = 0;
      MqttEvent event{};
      MqttSessionReceive(*l.session, l.received + offset, static_cast<size_t>(n) - offset, Now(), &used, &event);
      offset += used;
      if (event.type != kMqttEventNone) OnSessionEvent(l, event);
      if (used == 0) break;
    }
  }
}

void StepTransport(Loop& l) {
  if (l.net != kNetConnecting && l.net != kNetUp) return;
  DWORD error = 0;
  const char* reason = "";
  TransportHappening h = TransportPoll(l.transport, Now(), error, reason);
  switch (h) {
    case kTransportUp:
      l.net = kNetUp;
      l.goodbyeDone = false;
      MqttSessionTransportUp(*l.session, Now());
      break;
    case kTransportFailed:
      SayTrouble(l, reason, error);
      CloseBroker(l, false);
      break;
    case kTransportReadable:
      ReadBroker(l);
      break;
    default:
      break;
  }
}

// ----- Settings and devices.ini -----

std::string BrokerText(const BrokerAddress& b) {
  bool v6 = b.host.find(':') != std::string::npos;
  return (v6 ? "[" + b.host + "]" : b.host) + ":" + std::to_string(b.port);
}

bool ConfigureSession(Loop& l) {
  MqttSessionSettings s = MqttDefaultSessionSettings();
  const EffectiveSettings& e = l.settings;
  // The session copies what it keeps.
  std::string willTopic = e.bridge.prefix + "/" + e.bridge.node + "/status";
  s.connect.clientId = MqttText(e.clientId.c_str());
  s.connect.will = true;
  s.connect.willTopic = MqttText(willTopic.c_str());
  s.connect.willPayload = MqttText("offline");
  s.connect.willQos = 1;
  s.connect.willRetain = true;
  s.connect.hasUser = e.hasUser;
  s.connect.user = MqttText(e.user.c_str());
  s.connect.hasPassword = e.hasPassword;
  s.connect.password = MqttBytes{reinterpret_cast<const uint8_t*>(e.password.data()), e.password.size()};
  return MqttSessionConfigure(*l.session, s) == kMqttSessionOk;
}

void ReadDevices(Loop& l) {
  if (!l.watching) return;
  std::string bytes;
  DWORD error = DevicesWatchRead(l.devices, kDevicesIniMaxBytes, bytes);
  std::string path = Utf8(l.devices.path);
  DevicesConfig config;
  if (error == ERROR_FILE_NOT_FOUND) {
    if (l.devicesFileSeen) Report(kBridgeDevicesIniRead, {path.c_str(), "it is not there any more: no device is named"});
    l.devicesFileSeen = false;
  } else if (error != ERROR_SUCCESS) {
    char text[120];
    std::snprintf(text, sizeof text, "the file could not be read (error %lu); the devices stay as they were", error);
    Report(kBridgeDevicesIniErrors, {path.c_str(), text});
    return;
  } else {
    l.devicesFileSeen = true;
    std::vector<IniError> errors;
    ParseDevicesIni(bytes.data(), bytes.size(), config, errors);
    if (!errors.empty()) {
      std::string text;
      for (const IniError& e : errors) {
        if (text.size() > 1500) {
          text += " ...";
          break;
        }
        if (!text.empty()) text += "; ";
        text += e.line > 0 ? "line " + std::to_string(e.line) + ": " + e.text : e.text;
      }
      Report(kBridgeDevicesIniErrors, {path.c_str(), text.c_str()});
    }
    static const char* const kModes[] = {"all", "sent", "none"};
    char summary[200];
    std::snprintf(summary, sizeof summary, "%zu FS20 addresses, %zu sensors, %zu heating, %zu weather; autocreate %s",
                  config.fs20.size(), config.sensors.size(), config.heating.size(), config.weather.size(),
                  kModes[config.autocreate]);
    Report(kBridgeDevicesIniRead, {path.c_str(), summary});
  }
  l.devicesConfig = config;
  if (l.coreReady) {
    BridgeOutput out;
    BridgeSetDevices(*l.core, l.devicesConfig, out);
    Carry(l, out);
  }
}

// Reads the settings and brings everything in line with them: a new broker
// or new credentials reconnect at once, new topics restart the engine (and
// take a fresh greeting from the service).
void LoadSettings(Loop& l, bool first) {
  StoredSettings stored;
  DWORD retryMs = 0;
  LONG read = ReadStoredSettings(stored, retryMs);
  EffectiveSettings next;
  std::string setting, reason;
  bool ok = read == ERROR_SUCCESS && ResolveSettings(stored, ComputerNameText(), next, setting, reason);
  if (read != ERROR_SUCCESS) {
    setting = "HKLM\\SOFTWARE\\ZARVO Remote\\MQTT";
    reason = "the key cannot be read (error " + std::to_string(read) + ")";
  }
  if (!ok) {
    std::string said = setting + reason;
    if (said != l.badSettingSaid) Report(kBridgeSettingUnusable, {setting.c_str(), reason.c_str()});
    l.badSettingSaid = said;
    // Running settings stay as they are; without any, nothing connects.
    return;
  }
  l.badSettingSaid.clear();
  bool brokerChanged = first || !l.usable || BrokerSettingsDiffer(l.settings, next);
  bool topicsChanged = first || !l.usable || TopicSettingsDiffer(l.settings, next);
  if (!brokerChanged && !topicsChanged) return;
  next.bridge.version = ZARVO_VERSION_TEXT;
  if (l.net == kNetConnecting || l.net == kNetUp) CloseBroker(l, false);
  l.settings = next;
  l.usable = true;
  l.brokerText = BrokerText(next.broker);
  MqttBackoffInit(l.backoff);
  if (retryMs > 0) l.backoff.refusedMs = retryMs;
  l.refusedSaid = false;
  l.troubleSaid = false;
  if (!ConfigureSession(l)) {
    Report(kBridgeSettingUnusable, {"user, password or node", "they do not fit an MQTT CONNECT"});
    l.usable = false;
    l.net = kNetOff;
    return;
  }
  if (topicsChanged) {
    std::string why;
    l.core.reset(new BridgeCore());
    l.coreReady = BridgeInit(*l.core, next.bridge, why);
    if (l.coreReady) {
      BridgeOutput ignored;  // not connected: nothing goes out yet
      BridgeSetDevices(*l.core, l.devicesConfig, ignored);
    }
    // The engine starts empty: the service's greeting fills it again. The
    // reader's "lost" for this is no loss to report.
    if (!first) {
      l.serviceLostSaid = true;
      SetEvent(l.reader.reconnect);
    }
  }
  Connect(l);
}

// ----- The service's pipes -----

void TakeServiceItems(Loop& l) {
  std::vector<EventsItem> items;
  EventsReaderTake(l.reader, items);
  for (EventsItem& item : items) {
    BridgeOutput out;
    switch (item.kind) {
      case kEventsConnected:
        if (l.serviceLostSaid) Report(kBridgeServiceConnected, {});
        l.serviceLostSaid = false;
        if (l.coreReady) BridgeServiceUp(*l.core, out);
        break;
      case kEventsLine:
        if (l.coreReady) BridgeOnLine(*l.core, item.text.data(), item.text.size(), out);
        break;
      case kEventsLost:
        if (!l.serviceLostSaid) Report(kBridgeServiceLost, {item.text.c_str()});
        l.serviceLostSaid = true;
        if (l.coreReady) BridgeServiceDown(*l.core, out);
        break;
      case kEventsRefused:
        Report(kBridgePipeRefused, {item.text.c_str()});
        break;
    }
    Carry(l, out);
  }
}

void TakeReplies(Loop& l) {
  std::vector<CommandReply> replies;
  if (CommandClientTake(l.commands, replies)) {
    uint32_t leftOut = 0;
    if (FaultLimiterAdmit(l.pipeRefusedLimiter, Now(), &leftOut)) {
      std::string path = Utf8(kCommandPipePath);
      Report(kBridgePipeRefused, {path.c_str()});
    }
  }
  for (const CommandReply& r : replies) {
    if (!l.coreReady) continue;
    BridgeOutput out;
    BridgeOnReply(*l.core, r.handle, r.text, out);
    Carry(l, out);
  }
}

// ----- The loop -----

DWORD Min(DWORD a, uint64_t dueMs, uint64_t nowMs) {
  uint64_t left = dueMs > nowMs ? dueMs - nowMs : 0;
  return left < a ? static_cast<DWORD>(left) : a;
}

DWORD WaitMs(const Loop& l, uint64_t now) {
  DWORD wait = INFINITE;
  if (l.net == kNetUp) {
    uint32_t session = MqttSessionWaitMs(*l.session, now);
    if (session != kMqttWaitForever && session < wait) wait = session;
  }
  if (l.net == kNetWaiting) wait = Min(wait, l.reconnectAtMs, now);
  DWORD transport = TransportWaitMs(l.transport, now);
  if (transport < wait) wait = transport;
  uint64_t due = 0;
  if (l.coreReady && BridgeNextDue(*l.core, due)) wait = Min(wait, due, now);
  if (l.watching) {
    DWORD devices = DevicesWatchWaitMs(l.devices, now);
    if (devices < wait) wait = devices;
  }
  return wait;
}

void Step(Loop& l, HANDLE signalled) {
  uint64_t now = Now();
  if (l.control->paramChange.exchange(false)) {
    LoadSettings(l, false);
    if (l.watching) ReadDevices(l);
  }
  TakeServiceItems(l);
  TakeReplies(l);
  StepTransport(l);
  if (l.net == kNetUp) {
    MqttEvent event{};
    MqttSessionTick(*l.session, Now(), &event);
    if (event.type != kMqttEventNone) OnSessionEvent(l, event);
  }
  uint64_t due = 0;
  if (l.coreReady && BridgeNextDue(*l.core, due) && Now() >= due) {
    BridgeOutput out;
    BridgeTick(*l.core, Now(), out);
    Carry(l, out);
  }
  if (l.net == kNetWaiting && Now() >= l.reconnectAtMs) Connect(l);
  if (l.watching && DevicesWatchPoll(l.devices, now, signalled != nullptr && signalled == DevicesWatchHandle(l.devices))) {
    ReadDevices(l);
  }
  Pump(l);
}

// The stop: status offline (retained, QoS 1) and DISCONNECT, both handed to
// the socket within kGoodbyeMs, then the socket closed.
void SayGoodbye(Loop& l) {
  l.stopping = true;
  uint64_t ends = Now() + kGoodbyeMs;
  if (SessionConnected(l)) {
    l.backlog.clear();
    std::string topic = l.core->ctx.base + "/status";
    MqttMessage m{MqttBytes{reinterpret_cast<const uint8_t*>(topic.data()), topic.size()}, MqttText("offline"), 1,
                  true};
    MqttSessionPublish(*l.session, m, nullptr);
    l.goodbyeDone = MqttSessionDisconnect(*l.session, Now()) != kMqttSessionOk;
    while (!l.goodbyeDone && l.net == kNetUp && Now() < ends) {
      Pump(l);
      if (l.goodbyeDone || l.net != kNetUp) break;
      HANDLE h = TransportWaitHandle(l.transport);
      DWORD left = static_cast<DWORD>(ends - Now() > 100 ? 100 : ends - Now());
      if (h) WaitForSingleObject(h, left);
      StepTransport(l);
      MqttEvent event{};
      MqttSessionTick(*l.session, Now(), &event);
      if (event.type != kMqttEventNone) OnSessionEvent(l, event);
    }
  }
  // What is left of the goodbye's time (at least a moment) for the broker
  // to close its end after our DISCONNECT.
  uint64_t now = Now();
  DWORD closeWaitMs = static_cast<DWORD>(ends > now + kGoodbyeCloseMs ? ends - now : kGoodbyeCloseMs);
  TransportCloseGracefully(l.transport, l.goodbyeDone ? closeWaitMs : 0);
  MqttSessionTransportDown(*l.session);
  l.net = kNetOff;
}

}  // namespace

DWORD RunBridge(BridgeControl& control) {
  std::unique_ptr<Loop> owner(new (std::nothrow) Loop());
  std::unique_ptr<MqttSession> session(new (std::nothrow) MqttSession());
  if (!owner || !session) return ERROR_NOT_ENOUGH_MEMORY;
  Loop& l = *owner;
  l.control = &control;
  l.session = session.get();
  MqttSessionInit(*l.session);
  if (!TransportInit(l.transport)) return WSASYSNOTREADY;
  if (!EventsReaderStart(l.reader, kEventsPipePath) || !CommandClientStart(l.commands, kCommandPipePath)) {
    DWORD error = GetLastError();
    EventsReaderStop(l.reader, kThreadStopMs);
    TransportShutdown(l.transport);
    return error ? error : ERROR_NOT_ENOUGH_MEMORY;
  }
  l.watching = DevicesWatchInit(l.devices, Now());
  if (l.watching) ReadDevices(l);
  LoadSettings(l, true);

  for (;;) {
    HANDLE handles[5];
    DWORD count = 0;
    handles[count++] = control.wake;
    handles[count++] = l.reader.ready;
    handles[count++] = l.commands.done;
    if (HANDLE t = TransportWaitHandle(l.transport)) handles[count++] = t;
    if (l.watching) {
      if (HANDLE d = DevicesWatchHandle(l.devices)) handles[count++] = d;
    }
    Pump(l);
    DWORD woke = WaitForMultipleObjects(count, handles, FALSE, WaitMs(l, Now()));
    if (control.stop.load()) break;
    HANDLE signalled = woke < WAIT_OBJECT_0 + count ? handles[woke - WAIT_OBJECT_0] : nullptr;
    Step(l, signalled);
  }

  SayGoodbye(l);
  EventsReaderStop(l.reader, kThreadStopMs);
  CommandClientStop(l.commands, kThreadStopMs);
  if (l.watching) DevicesWatchClose(l.devices);
  TransportShutdown(l.transport);
  if (l.reader.thread || l.commands.thread) {
    // A thread that did not end in time still uses its record: it stays
    // until the process ends.
    owner.release();
  }
  return 0;
}
