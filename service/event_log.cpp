// The service's events and their messages: each AdminEvent of the service
// has its message in service/messages.mc under the same number.
#include "service/event_log.h"

#include <windows.h>

#include "service/messages.h"

namespace {

struct MessageIdOf {
  AdminEvent event;
  DWORD id;
};

const MessageIdOf kMessageIds[] = {
    {kAdminServiceStarted, MSG_SERVICE_STARTED},
    {kAdminServiceStopping, MSG_SERVICE_STOPPING},
    {kAdminServiceStoppingOnError, MSG_SERVICE_STOPPING_ON_ERROR},
    {kAdminEventsDropped, MSG_EVENTS_DROPPED},
    {kAdminTransceiverInUse, MSG_TRANSCEIVER_IN_USE},
    {kAdminTransceiverNotOpened, MSG_TRANSCEIVER_NOT_OPENED},
    {kAdminDeviceIgnored, MSG_DEVICE_IGNORED},
    {kAdminDeviceIdUnreadable, MSG_DEVICE_ID_UNREADABLE},
    {kAdminTooManyTransceivers, MSG_TOO_MANY_TRANSCEIVERS},
    {kAdminTransceiverPluggedIn, MSG_TRANSCEIVER_PLUGGED_IN},
    {kAdminTransceiverPulledOut, MSG_TRANSCEIVER_PULLED_OUT},
    {kAdminTransceiverNotReady, MSG_TRANSCEIVER_NOT_READY},
    {kAdminWriteFailed, MSG_WRITE_FAILED},
    {kAdminRequestStuck, MSG_REQUEST_STUCK},
    {kAdminTransceiverStuck, MSG_TRANSCEIVER_STUCK},
    {kAdminTransceiverReturned, MSG_TRANSCEIVER_RETURNED},
    {kAdminAirTimeNearLimit, MSG_AIR_TIME_NEAR_LIMIT},
    {kAdminDevicesNotListed, MSG_DEVICES_NOT_LISTED},
    {kAdminPipeNotCreated, MSG_PIPE_NOT_CREATED},
    {kAdminPipeServerFailing, MSG_PIPE_SERVER_FAILING},
    {kAdminPipeSecurityRejected, MSG_PIPE_SECURITY_REJECTED},
    {kAdminEventsPipeNotServed, MSG_EVENTS_PIPE_NOT_SERVED},
    {kAdminEventsPipeServed, MSG_EVENTS_PIPE_SERVED},
};

// The event's number is the message's code, the low 16 bits of its id.
constexpr bool SameCode(DWORD id, AdminEvent event) { return (id & 0xFFFF) == event; }
static_assert(SameCode(MSG_SERVICE_STARTED, kAdminServiceStarted) &&
                  SameCode(MSG_SERVICE_STOPPING, kAdminServiceStopping) &&
                  SameCode(MSG_SERVICE_STOPPING_ON_ERROR, kAdminServiceStoppingOnError) &&
                  SameCode(MSG_EVENTS_DROPPED, kAdminEventsDropped) &&
                  SameCode(MSG_TRANSCEIVER_IN_USE, kAdminTransceiverInUse) &&
                  SameCode(MSG_TRANSCEIVER_NOT_OPENED, kAdminTransceiverNotOpened) &&
                  SameCode(MSG_DEVICE_IGNORED, kAdminDeviceIgnored) &&
                  SameCode(MSG_DEVICE_ID_UNREADABLE, kAdminDeviceIdUnreadable) &&
                  SameCode(MSG_TOO_MANY_TRANSCEIVERS, kAdminTooManyTransceivers) &&
                  SameCode(MSG_TRANSCEIVER_PLUGGED_IN, kAdminTransceiverPluggedIn) &&
                  SameCode(MSG_TRANSCEIVER_PULLED_OUT, kAdminTransceiverPulledOut) &&
                  SameCode(MSG_TRANSCEIVER_NOT_READY, kAdminTransceiverNotReady) &&
                  SameCode(MSG_WRITE_FAILED, kAdminWriteFailed) &&
                  SameCode(MSG_REQUEST_STUCK, kAdminRequestStuck) &&
                  SameCode(MSG_TRANSCEIVER_STUCK, kAdminTransceiverStuck) &&
                  SameCode(MSG_TRANSCEIVER_RETURNED, kAdminTransceiverReturned) &&
                  SameCode(MSG_AIR_TIME_NEAR_LIMIT, kAdminAirTimeNearLimit) &&
                  SameCode(MSG_DEVICES_NOT_LISTED, kAdminDevicesNotListed) &&
                  SameCode(MSG_PIPE_NOT_CREATED, kAdminPipeNotCreated) &&
                  SameCode(MSG_PIPE_SERVER_FAILING, kAdminPipeServerFailing) &&
                  SameCode(MSG_PIPE_SECURITY_REJECTED, kAdminPipeSecurityRejected) &&
                  SameCode(MSG_EVENTS_PIPE_NOT_SERVED, kAdminEventsPipeNotServed) &&
                  SameCode(MSG_EVENTS_PIPE_SERVED, kAdminEventsPipeServed),
              "each message's code is its event's number");

}  // namespace

uint32_t AdminEventMessageId(AdminEvent event) {
  for (const MessageIdOf& row : kMessageIds) {
    if (row.event == event) return row.id;
  }
  return 0;
}

