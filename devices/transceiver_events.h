// What the transceivers do, as lines for the listeners of the events pipe:
// each happening is formatted here (core/event_line.h) and published on the
// events hub (core/event_hub.h), which fans it out without waiting for any
// listener. Platform-free.
//
// Threads: PublishHeard runs on a transceiver's reader thread, PublishSent
// on its own thread; both also note what they publish in the service's
// state table (devices/state_keeper.h), whose `state` lines follow theirs.
// PublishPlugged and PublishPulled run on whichever thread changes the
// table, under the table's guard, so that a listener's greeting (its
// `present` lines, written under the same guard) and these lines never
// disagree.
#pragma once

#include <cstdint>

#include "core/event_hub.h"
#include "core/frame.h"
#include "devices/device_table.h"

// Milliseconds since 1970-01-01 UTC, the time every line carries.
uint64_t UtcNowMs();

// A frame the record's transceiver received (checked or not), and what it
// changes in the state table.
void PublishHeard(DeviceRecord& record, const Frame& frame);

// An FS20 command frame the record's transceiver has just written (the write
// returned success), and what it changes in the state table. Also counts it
// against the transceiver's air time and reports the once-an-hour warning.
void PublishSent(DeviceRecord& record, const Frame& frame);

// A record took slot `slot` (called under the table's guard).
void PublishPlugged(const DeviceTable& table, int slot);

// The record in slot `slot` is leaving the table; the records after it move
// down by one (called under the table's guard, before the table changes).
void PublishPulled(const DeviceTable& table, int slot);

// Writes the start of a listener's greeting: the format line, then one
// `present` line per transceiver in slot order. The caller holds the table's
// guard and the hub's greeting (see EventHubAttach).
void WriteEventsGreeting(const DeviceTable& table, EventGreeting& greeting);

// Attaches the listener on events pipe instance `slot` with its whole
// greeting: format, present, a state line per entry, ready. Holds the
// table's guard, then the state lock (AttachWithStates), then the hub's.
EventHubStatus AttachEventsListener(DeviceTable& table, int slot);

// The `lost` line, for EventHubNext.
size_t FormatLostNow(uint64_t count, char* out, size_t size);
