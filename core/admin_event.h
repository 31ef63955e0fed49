// Events for the administrator: what the service reports to the system's
// event log (start, transceivers found, taken into use, plugged in, pulled
// out, faults). This file is the platform-free seam: code anywhere in the
// service reports an event with its inserted texts, and the sink that was
// set (the Windows event log writer, or a test's recorder) takes it. With no
// sink set, reporting does nothing.
//
// Threads: any thread may report. The sink is called on the reporting
// thread, so a sink must not block; the Windows sink copies the event into a
// bounded queue and returns (service/event_log.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

// Each event's value is the number the event viewer shows as its event id;
// the message file (service/messages.mc) gives each the same number, its
// severity and its text. Hundreds group them: 1xx the service, 2xx the
// transceivers, 3xx the pipe, 4xx the MQTT bridge (ZARVOMQTT.exe, a program
// of its own with its own event source and message file,
// bridge/win/messages.mc).
enum AdminEvent : uint16_t {
  // Service.
  kAdminServiceStarted = 100,        // version
  kAdminServiceStopping = 101,       // (none)
  kAdminServiceStoppingOnError = 102,  // error number, reason
  kAdminEventsDropped = 103,         // how many events were not written
  // Transceivers.
  kAdminTransceiverInUse = 200,      // serial number, instance number
  kAdminTransceiverNotOpened = 201,  // serial, instance, status text, status number
  kAdminDeviceIgnored = 202,         // device id, product id, why
  kAdminDeviceIdUnreadable = 203,    // device id or position, why
  kAdminTooManyTransceivers = 204,   // serial number, the limit
  kAdminTransceiverPluggedIn = 205,  // serial number, instance number
  kAdminTransceiverPulledOut = 206,  // serial, instance it had, who moved down
  kAdminTransceiverNotReady = 207,   // serial, instance, left out since the last
  kAdminWriteFailed = 208,           // serial, instance, status text, status number, left out
  // Retired: no longer reported (a stuck transceiver no longer stops the
  // service; see 211 and 212). Its message stays, so that the event viewer
  // still shows the text of events an earlier version wrote.
  kAdminRequestStuck = 209,          // serial, instance, seconds
  kAdminDevicesNotListed = 210,      // error number, system text
  kAdminTransceiverStuck = 211,      // serial, instance or "none", seconds
  kAdminTransceiverReturned = 212,   // serial, instance or "none", seconds it was stuck
  kAdminAirTimeNearLimit = 213,      // serial, instance or "none", commands an hour
  // Pipe.
  kAdminPipeNotCreated = 300,        // error number, system text
  kAdminPipeServerFailing = 301,     // error number, system text
  kAdminPipeSecurityRejected = 302,  // the value, why
  kAdminEventsPipeNotServed = 303,   // error number, system text or why
  kAdminEventsPipeServed = 304,      // (none)
  // The MQTT bridge.
  kBridgeStarted = 400,              // version
  kBridgeStopping = 401,             // (none)
  kBridgeStoppingOnError = 402,      // error number, reason
  kBridgeEventsDropped = 403,        // how many events were not written
  kBridgeSettingUnusable = 404,      // the setting, why
  kBridgeBrokerConnected = 405,      // broker, client id
  kBridgeBrokerUnreachable = 406,    // broker, why
  kBridgeBrokerRefused = 407,        // broker, the broker's reason
  kBridgeServiceConnected = 408,     // (none)
  kBridgeServiceLost = 409,          // why
  kBridgePipeRefused = 410,          // the pipe's path
  kBridgeCommandRefused = 411,       // what was refused and why
  kBridgeDevicesIniErrors = 412,     // path, the errors
  kBridgeDevicesIniRead = 413,       // path, how many sections
  kBridgePublicationsDropped = 414,  // how many
};

// The most inserts any event takes.
constexpr size_t kAdminMaxInserts = 5;

struct AdminEventInfo {
  AdminEvent event;
  uint8_t inserts;   // how many texts the event's message puts in
  const char* name;  // the enumerator's name, for tests and traces
};

// Every event of the service, in the order above.
extern const AdminEventInfo kAdminEvents[];
extern const size_t kAdminEventCount;
// Every event of the MQTT bridge, in the order above.
extern const AdminEventInfo kBridgeEvents[];
extern const size_t kBridgeEventCount;

// The number of inserts `event` (of either table) takes; 0 for a value that
// is no event.
size_t AdminEventInserts(AdminEvent event);

// Receives every reported event. `inserts` holds exactly the event's number
// of inserts, none of them null. Called on the reporting thread.
typedef void (*AdminEventSink)(AdminEvent event, const char* const* inserts, size_t count);

// Sets the sink, or with null removes it. Safe against concurrent reports: a
// report sees the old sink or the new one. A sink that was removed may still
// be running a report that began before; its owner waits for that (the
// Windows sink does, under its own lock).
void SetAdminEventSink(AdminEventSink sink);

// Reports an event. Inserts are 8-bit texts: UTF-8, or single bytes that are
// not UTF-8 taken as Latin-1 (a serial number as the driver read it). A null
// insert becomes an empty text; fewer inserts than the event takes are
// filled with empty texts and more are cut, so that the message never reads
// past what was given.
void ReportAdminEvent(AdminEvent event, const char* const* inserts, size_t count);
void ReportAdminEvent(AdminEvent event, std::initializer_list<const char*> inserts = {});

// A number as a decimal text, for inserts:
//   ReportAdminEvent(kAdminTransceiverInUse, {serial, Decimal(slot).text});
// The temporary lives until the end of the full expression, past the call.
struct DecimalText {
  char text[24];
};
// One overload only, so that every unsigned type (DWORD, size_t, uint8_t)
// converts to it without ambiguity; every number in an event is unsigned.
DecimalText Decimal(uint64_t value);

// The "moved down" insert of kAdminTransceiverPulledOut: `serials` are the
// table's serial numbers in slot order BEFORE the removal and `removed` the
// slot that left. Writes "EL000999 from 2 to 1; EL000555 from 3 to 2", or
// "none" when nothing moved. A text that would not fit `size` ends with
// "..." after the last whole entry. `size` must be at least 8.
void FormatMovedDown(const char* const* serials, int count, int removed, char* out, size_t size);
