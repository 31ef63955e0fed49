// ZARVOMQTT -forget: removes every retained message of this bridge from the
// broker (its own topics and its discovery configs), for a bridge taken out
// of service or renamed. It finds them by subscribing: a broker sends its
// retained messages to a new subscriber, flagged as retained. Each is then
// cleared with an empty retained message. Refused while the bridge runs,
// which would publish them again.
//
// One thread: the program's own, driving a session over the transport in a
// small loop of its own, with a client id apart from the bridge's.
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bridge/bridge_core.h"
#include "bridge/bridge_settings.h"
#include "bridge/mqtt_session.h"
#include "bridge/win/bridge_service.h"
#include "bridge/win/mqtt_transport.h"
#include "bridge/win/settings_store.h"

namespace {

constexpr uint64_t kConnectLimitMs = 20000;
// After the subscription is acknowledged, retained messages come at once;
// the collection ends after this long without a new one.
constexpr uint64_t kQuietMs = 1500;
constexpr uint64_t kCollectLimitMs = 15000;
constexpr uint64_t kClearLimitMs = 20000;

struct Forget {
  Transport transport{};
  MqttSession* session = nullptr;
  bool up = false;
  bool failed = false;
  const char* why = "";
  DWORD error = 0;
  uint8_t refusedCode = 0;
  bool connected = false;
  bool subscribed = false;
  bool disconnected = false;
  uint64_t lastMessageMs = 0;
  std::set<std::string> retained;
  int cleared = 0;
  uint8_t buffer[16384];
};

uint64_t Now() { return GetTickCount64(); }

void OnEvent(Forget& f, const MqttEvent& e) {
  switch (e.type) {
    case kMqttEventConnected: f.connected = true; break;
    case kMqttEventRefused:
      f.failed = true;
      f.refusedCode = e.returnCode;
      f.why = MqttConnackCodeName(e.returnCode);
      break;
    case kMqttEventSubscribed:
      f.subscribed = true;
      f.lastMessageMs = Now();
      break;
    case kMqttEventMessage:
      f.lastMessageMs = Now();
      if (e.retain && e.payload.size > 0) {
        f.retained.insert(std::string(reinterpret_cast<const char*>(e.topic.data), e.topic.size));
      }
      break;
    case kMqttEventPublished: ++f.cleared; break;
    case kMqttEventDisconnected: f.disconnected = true; break;
    case kMqttEventMustClose:
      f.failed = true;
      f.why = MqttCloseReasonName(e.reason);
      break;
    default: break;
  }
}

// Sends what the session has and takes what came, waiting at most `waitMs`.
void Turn(Forget& f, DWORD waitMs) {
  if (f.failed) return;
  MqttBytes out = MqttSessionOutput(*f.session);
  while (f.up && out.size > 0) {
    int sent = TransportSend(f.transport, out.data, out.size, f.error);
    if (sent < 0) {
      f.failed = true;
      f.why = "the connection broke";
      return;
    }
    if (sent == 0) break;
    MqttEvent e{};
    MqttSessionOutputSent(*f.session, static_cast<size_t>(sent), Now(), &e);
    OnEvent(f, e);
    out = MqttSessionOutput(*f.session);
  }
  HANDLE h = TransportWaitHandle(f.transport);
  DWORD limit = TransportWaitMs(f.transport, Now());
  if (h) WaitForSingleObject(h, limit < waitMs ? limit : waitMs);
  const char* reason = "";
  switch (TransportPoll(f.transport, Now(), f.error, reason)) {
    case kTransportUp:
      f.up = true;
      MqttSessionTransportUp(*f.session, Now());
      break;
    case kTransportFailed:
      f.failed = true;
      f.why = reason;
      return;
    case kTransportReadable:
      for (;;) {
        int n = TransportReceive(f.transport, f.buffer, sizeof f.buffer, f.error);
        if (n == 0) break;
        if (n < 0) {
          if (!f.disconnected) {
            f.failed = true;
            f.why = "the broker closed the connection";
          }
          return;
        }
        size_t offset = 0;
        while (offset < static_cast<size_t>(n) && !f.failed) {
          size_t used = 0;
          MqttEvent e{};
          MqttSessionReceive(*f.session, f.buffer + offset, static_cast<size_t>(n) - offset, Now(), &used, &e);
          offset += used;
          OnEvent(f, e);
          if (used == 0) break;
        }
      }
      break;
    default:
      break;
  }
  if (f.up) {
    MqttEvent e{};
    MqttSessionTick(*f.session, Now(), &e);
    OnEvent(f, e);
  }
}

int Fail(Forget& f, const char* stage) {
  if (f.error != 0) {
    std::printf("-forget failed while %s: %s (error %lu). Nothing more was removed.\n", stage, f.why, f.error);
  } else {
    std::printf("-forget failed while %s: %s. Nothing more was removed.\n", stage, f.why);
  }
  TransportShutdown(f.transport);
  return 1;
}

}  // namespace

int BridgeForget() {
  if (BridgeServiceRunning()) {
    std::printf("The bridge is running and would publish its topics again: stop it first (net stop ZARVOMQTT).\n");
    return 1;
  }
  StoredSettings stored;
  DWORD retry = 0;
  EffectiveSettings settings;
  std::string setting, reason;
  LONG read = ReadStoredSettings(stored, retry);
  if (read != ERROR_SUCCESS) {
    std::printf("The settings cannot be read (error %ld): run this from an elevated prompt.\n", read);
    return 1;
  }
  if (!ResolveSettings(stored, ComputerNameText(), settings, setting, reason)) {
    std::printf("The bridge's settings cannot be used: %s: %s.\n", setting.c_str(), reason.c_str());
    return 1;
  }
  std::unique_ptr<BridgeCore> core(new BridgeCore());
  if (!BridgeInit(*core, settings.bridge, reason)) {
    std::printf("The bridge's settings cannot be used: %s.\n", reason.c_str());
    return 1;
  }
  std::unique_ptr<Forget> owner(new Forget());
  std::unique_ptr<MqttSession> session(new MqttSession());
  Forget& f = *owner;
  f.session = session.get();
  MqttSessionInit(*f.session);
  MqttSessionSettings s = MqttDefaultSessionSettings();
  // Apart from the bridge's id, so that it knocks no bridge of this name off
  // the broker; no will: it says nothing about the bridge.
  std::string clientId = settings.clientId + "-forget";
  s.connect.clientId = MqttText(clientId.c_str());
  s.connect.hasUser = settings.hasUser;
  s.connect.user = MqttText(settings.user.c_str());
  s.connect.hasPassword = settings.hasPassword;
  s.connect.password = MqttBytes{reinterpret_cast<const uint8_t*>(settings.password.data()), settings.password.size()};
  if (MqttSessionConfigure(*f.session, s) != kMqttSessionOk || !TransportInit(f.transport)) {
    std::printf("-forget could not prepare its connection.\n");
    return 1;
  }
  std::printf("Connecting to %s:%u ...\n", settings.broker.host.c_str(), static_cast<unsigned>(settings.broker.port));
  if (!TransportConnect(f.transport, settings.broker.host.c_str(), settings.broker.port, Now(), f.error)) {
    f.why = "no thread to resolve the broker's name";
    return Fail(f, "connecting");
  }
  uint64_t began = Now();
  while (!f.connected && !f.failed && Now() - began < kConnectLimitMs) Turn(f, 200);
  if (!f.connected) {
    if (!f.failed) f.why = "no answer in time";
    return Fail(f, "connecting");
  }

  // Everything under <prefix>/<node>/ and every discovery config; of the
  // latter, the engine keeps only this node's.
  std::string base = core->ctx.base + "/#";
  std::string configs = settings.bridge.discovery + "/+/+/config";
  MqttBytes filters[2] = {MqttText(base.c_str()), MqttText(configs.c_str())};
  int filterCount = settings.bridge.discovery.empty() ? 1 : 2;
  MqttSessionSubscribe(*f.session, filters, filterCount, nullptr);
  began = Now();
  while (!f.failed && Now() - began < kCollectLimitMs &&
         !(f.subscribed && Now() - f.lastMessageMs >= kQuietMs)) {
    Turn(f, 100);
  }
  if (f.failed) return Fail(f, "collecting the retained topics");

  std::vector<std::string> found(f.retained.begin(), f.retained.end());
  std::vector<std::string> clear = BridgeTopicsToForget(*core, found);
  int published = 0;
  for (const std::string& topic : clear) {
    MqttMessage m{MqttBytes{reinterpret_cast<const uint8_t*>(topic.data()), topic.size()}, MqttBytes{nullptr, 0}, 1,
                  true};
    for (;;) {
      MqttSessionStatus status = MqttSessionPublish(*f.session, m, nullptr);
      if (status == kMqttSessionOk) {
        ++published;
        break;
      }
      if ((status != kMqttSessionQueueFull && status != kMqttSessionOutputFull) || f.failed) {
        f.why = MqttSessionStatusName(status);
        return Fail(f, "clearing");
      }
      Turn(f, 100);
    }
  }
  began = Now();
  while (f.cleared < published && !f.failed && Now() - began < kClearLimitMs) Turn(f, 100);
  if (f.cleared < published) {
    if (!f.failed) f.why = "the broker did not acknowledge every clearing in time";
    return Fail(f, "clearing");
  }
  MqttSessionDisconnect(*f.session, Now());
  began = Now();
  while (!f.disconnected && !f.failed && Now() - began < 3000) Turn(f, 100);
  if (f.disconnected) TransportCloseGracefully(f.transport, 1000);
  TransportShutdown(f.transport);
  std::printf("Removed %d retained topics of %s from the broker.\n", published, core->ctx.base.c_str());
  return 0;
}
