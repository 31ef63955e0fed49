// The bridge's events and their messages: each 4xx AdminEvent has its
// message in bridge/win/messages.mc under the same number, written under
// the bridge's own event source.
#include <windows.h>

#include "bridge/win/bridge_service.h"
#include "bridge/win/messages.h"
#include "core/admin_event.h"
#include "core/win/event_log.h"

namespace {

struct MessageIdOf {
  AdminEvent event;
  DWORD id;
};

const MessageIdOf kMessageIds[] = {
    {kBridgeStarted, MSG_BRIDGE_STARTED},
    {kBridgeStopping, MSG_BRIDGE_STOPPING},
    {kBridgeStoppingOnError, MSG_BRIDGE_STOPPING_ON_ERROR},
    {kBridgeEventsDropped, MSG_BRIDGE_EVENTS_DROPPED},
    {kBridgeSettingUnusable, MSG_BRIDGE_SETTING_UNUSABLE},
    {kBridgeBrokerConnected, MSG_BRIDGE_BROKER_CONNECTED},
    {kBridgeBrokerUnreachable, MSG_BRIDGE_BROKER_UNREACHABLE},
    {kBridgeBrokerRefused, MSG_BRIDGE_BROKER_REFUSED},
    {kBridgeServiceConnected, MSG_BRIDGE_SERVICE_CONNECTED},
    {kBridgeServiceLost, MSG_BRIDGE_SERVICE_LOST},
    {kBridgePipeRefused, MSG_BRIDGE_PIPE_REFUSED},
    {kBridgeCommandRefused, MSG_BRIDGE_COMMAND_REFUSED},
    {kBridgeDevicesIniErrors, MSG_BRIDGE_DEVICES_INI_ERRORS},
    {kBridgeDevicesIniRead, MSG_BRIDGE_DEVICES_INI_READ},
    {kBridgePublicationsDropped, MSG_BRIDGE_PUBLICATIONS_DROPPED},
};

constexpr bool SameCode(DWORD id, AdminEvent event) { return (id & 0xFFFF) == event; }
static_assert(SameCode(MSG_BRIDGE_STARTED, kBridgeStarted) && SameCode(MSG_BRIDGE_STOPPING, kBridgeStopping) &&
                  SameCode(MSG_BRIDGE_STOPPING_ON_ERROR, kBridgeStoppingOnError) &&
                  SameCode(MSG_BRIDGE_EVENTS_DROPPED, kBridgeEventsDropped) &&
                  SameCode(MSG_BRIDGE_SETTING_UNUSABLE, kBridgeSettingUnusable) &&
                  SameCode(MSG_BRIDGE_BROKER_CONNECTED, kBridgeBrokerConnected) &&
                  SameCode(MSG_BRIDGE_BROKER_UNREACHABLE, kBridgeBrokerUnreachable) &&
                  SameCode(MSG_BRIDGE_BROKER_REFUSED, kBridgeBrokerRefused) &&
                  SameCode(MSG_BRIDGE_SERVICE_CONNECTED, kBridgeServiceConnected) &&
                  SameCode(MSG_BRIDGE_SERVICE_LOST, kBridgeServiceLost) &&
                  SameCode(MSG_BRIDGE_PIPE_REFUSED, kBridgePipeRefused) &&
                  SameCode(MSG_BRIDGE_COMMAND_REFUSED, kBridgeCommandRefused) &&
                  SameCode(MSG_BRIDGE_DEVICES_INI_ERRORS, kBridgeDevicesIniErrors) &&
                  SameCode(MSG_BRIDGE_DEVICES_INI_READ, kBridgeDevicesIniRead) &&
                  SameCode(MSG_BRIDGE_PUBLICATIONS_DROPPED, kBridgePublicationsDropped),
              "each message's code is its event's number");

}  // namespace

uint32_t BridgeEventMessageId(AdminEvent event) {
  for (const MessageIdOf& row : kMessageIds) {
    if (row.event == event) return row.id;
  }
  return 0;
}

bool BridgeEventLogStart() {
  return EventLogStart(EventLogProgram{kBridgeEventSource, BridgeEventMessageId, kBridgeEventsDropped});
}
