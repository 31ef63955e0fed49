// The events hub: every happening the service reports to listeners (a
// telegram heard, a command sent, a transceiver plugged in or pulled out) is
// one ASCII text line, published once here and fanned out to the queue of
// each listener connected to the events pipe. Platform-free: the Windows
// pipe thread drives the listener side, the transceiver threads publish.
//
// Threads and data:
//   - Publishers: any thread (transceiver readers and senders, the control
//     thread) calls PublishEventLine. It copies the line into every attached
//     listener's queue under the hub's lock and returns; it never waits on a
//     listener. A full queue loses its oldest line, counted for that
//     listener. After the copy, outside the lock, it calls the wake callback.
//   - The pipe thread (one thread owns all listener slots): attaches a slot
//     when a listener connects, takes lines with EventHubNext, detaches the
//     slot when the listener goes. Only it calls Attach, Next and Detach; the
//     hub is still correct if others do, since every call takes the lock.
//   - The hub's lock guards the slots (attached flag, queue, lost counts),
//     the statistics and the wake callback. It is held only for copies of at
//     most one line per slot, or for the greeting writer: never for I/O.
//     It is the innermost lock: a caller may hold its own locks (the device
//     table's guard) while it calls into the hub, but nothing the hub calls
//     under its lock (the greeting writer, the lost-line formatter) may take
//     a lock that a publisher holds while publishing.
//
// Memory: a slot's queue and its greeting buffer are allocated on the
// slot's first attach and kept for the life of the process, so that no line
// costs an allocation and a publisher never races a free. One queue is
// kListenerQueueLines records of kEventLineMax + 2 bytes, about 1 MB, and
// one greeting buffer kGreetingBytes; with all kEventListenerCount slots in
// use the hub holds at most about 10.8 MB, never more.
//
// A listener's greeting is not queued: it is kept in the slot's greeting
// buffer and written before anything of the queue. A greeting may be longer
// than a queue (a state line per entry of a full state table), and a
// listener that reads slowly must never lose a line of it: only live lines
// wait in the queue, and only they can be lost.
//
// The pipe thread's part, in outline:
//   at start:        SetEventHubWake(wake that sets the event its wait includes, context)
//   a listener on i: hold the device table's guard and the state table's
//                    lock; EventHubAttach(i, greeting writer, context)
//   woken, or a write to i completed and none is pending:
//                    n = EventHubNext(i, buffer, sizeof buffer, lost-line formatter);
//                    when n > 0, write n bytes to instance i
//   i went away:     EventHubDetach(i), then disconnect and listen on i again
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/event_line.h"

constexpr int kEventListenerCount = 8;
constexpr size_t kListenerQueueLines = 1000;
// The greeting buffer of a slot: enough for the format line, a present line
// for each of 64 transceivers, a state line for each of 1,024 entries and
// the ready line (devices/transceiver_events.cpp checks the sum against the
// line formats' bounds).
constexpr size_t kGreetingBytes = 320 * 1024;
// The longest line (kEventLineMax, CR LF included) and a buffer for one
// with its NUL (kEventLineBufferSize) come from the line formats.
// A listener to whom nothing was written for this long gets an `alive` line.
// The pipe thread keeps that time itself: only it knows when a write to a
// listener has completed (a listener that stopped reading has a write
// pending, and is not idle), so the hub keeps no clock. When its wait for
// the wake times out and EventHubNext has nothing for a listener idle this
// long, the pipe thread writes the `alive` line it formats itself.
constexpr uint64_t kEventAliveIdleMs = 30 * 1000;

enum EventHubStatus : int {
  kEventHubOk = 0,
  kEventHubBadSlot = 1,     // the slot is not 0 .. kEventListenerCount - 1
  kEventHubBadLine = 2,     // not one line of printable ASCII ending in CR LF, or too long
  kEventHubSlotBusy = 3,    // Attach on a slot that is attached already
  kEventHubNoMemory = 4,    // the slot's queue could not be allocated
  kEventHubGreetingFull = 5,  // a greeting longer than kGreetingBytes
  kEventHubNotGreeting = 6, // EventGreetingLine outside the greeting writer of that slot
};

// A short name for traces and test messages ("kEventHubBadLine").
const char* EventHubStatusName(EventHubStatus status);

// ----- Publishers (any thread) -----

// Appends a copy of `line` (`length` bytes, CR LF included; no NUL needed)
// to the queue of every attached listener, and then calls the wake callback
// when at least one listener was attached. With no listener attached the
// line is counted and dropped. Returns kEventHubBadLine, and copies nothing,
// for a null line or one that is not 2 .. kEventLineMax bytes of printable
// ASCII (0x20 .. 0x7E) followed by CR LF: a stray CR, LF or NUL inside would
// split or cut the line at the listener's end.
EventHubStatus PublishEventLine(const char* line, size_t length);

// Called after a line was queued, on the publishing thread and outside the
// hub's lock; the Windows pipe thread sets one that calls SetEvent on the
// event its wait includes. It must not block. With null, nothing is called.
// A publisher may still be running the previous callback when this returns,
// so whatever `context` points to must outlive every publisher (the pipe
// thread's event lives until the service's end).
typedef void (*EventHubWake)(void* context);
void SetEventHubWake(EventHubWake wake, void* context);

// ----- The pipe thread -----

// Written by the greeting writer, under the hub's lock, for the listener
// being attached; see EventHubAttach.
struct EventGreeting {
  int slot;
  EventHubStatus status;  // the first failure of EventGreetingLine, or kEventHubOk
};

// Adds one line to the greeting being written. Only the greeting writer
// may call it, for the greeting it was given (kEventHubNotGreeting
// otherwise). The line must be what PublishEventLine accepts. A failure
// (kEventHubBadLine, kEventHubGreetingFull) leaves the line out, is kept in
// `greeting.status` and makes EventHubAttach fail as a whole.
EventHubStatus EventGreetingLine(EventGreeting& greeting, const char* line, size_t length);

// Writes the greeting through EventGreetingLine. Called on the attaching
// thread under the hub's lock, so it must not block, do no I/O and take no
// lock that a publisher may hold while publishing.
typedef void (*EventGreetingWriter)(EventGreeting& greeting, void* context);

// A listener connected on pipe instance `slot`. It gets the lines `writer`
// gives (the `format` line, a `present` line per transceiver, a `state` line
// per entry of the state table, the `ready` line), all of them whatever it
// reads and however long they are, and then every line published after them
// (its live lines, queued as PublishEventLine says): the writer runs under
// the hub's lock, so no publisher's line falls between the greeting and the
// live lines, is lost or comes twice.
//
// For the `present` lines to agree with the `plugged` and `pulled` lines,
// a table change and its line must be one step as seen from the greeting:
// publish `plugged` and `pulled` while holding the device table's guard,
// where the table changes; and hold that same guard around EventHubAttach,
// so that the writer reads the table without taking the guard itself. The
// `state` lines agree with the live ones the same way, under the state
// table's lock. The order is always: table guard, state lock, hub's lock.
//
// Allocates the slot's queue and greeting buffer on its first attach
// (kEventHubNoMemory when that fails). On any failure the slot stays
// detached, with nothing queued.
// A null writer gives an empty greeting. kEventHubSlotBusy when the slot is
// attached already: detach it first.
EventHubStatus EventHubAttach(int slot, EventGreetingWriter writer, void* context);

// Formats the `lost` line for `count` lines lost, into `out` of `size`
// bytes (at least kEventLineBufferSize), and returns its length with CR LF, or 0
// when it could not. Called under the hub's lock: it must only format. The
// pipe thread passes a small function that takes the time and calls the
// line formatter: the hub keeps no clock and no line format.
typedef size_t (*EventLostLineFormat)(uint64_t count, char* out, size_t size);

// The next line to write to the listener on `slot`: copies it into `out`
// (NUL-terminated; write `length` bytes to the pipe) and returns its length.
// The greeting's lines come first, in order. After them, when lines were
// lost since the last `lost` line, the next line is the
// `lost` line `formatLost` makes for how many, and the count starts again at
// 0; the lines after it are the oldest that were kept. A formatter that is
// null, or returns 0, a length above kEventLineMax or a line without CR LF,
// is passed over: the count is kept for a later call and the next queued
// line is returned, so that a broken formatter never stalls a listener.
//
// Returns 0, and takes nothing, when there is nothing to write, and also
// when the slot is bad or not attached, `out` is null or `size` is below
// kEventLineBufferSize.
size_t EventHubNext(int slot, char* out, size_t size, EventLostLineFormat formatLost);

// The listener on `slot` has gone: its queue is emptied and its lost count
// dropped; the queue's memory is kept for the slot's next listener.
// Detaching a slot that is not attached does nothing. kEventHubBadSlot for a
// bad slot.
EventHubStatus EventHubDetach(int slot);

// ----- Statistics, for tests, traces and the administrator's guide -----

struct EventHubSlotStats {
  bool attached;
  uint32_t queued;   // lines waiting now, the greeting's included
  uint64_t taken;    // lines EventHubNext returned, `lost` lines included
  uint64_t lost;     // lines this slot's listeners lost to a full queue
  uint64_t lostNow;  // of those, not yet reported in a `lost` line
};

struct EventHubStats {
  uint64_t published;  // lines PublishEventLine accepted
  uint64_t refused;    // lines it refused as kEventHubBadLine
  EventHubSlotStats slots[kEventListenerCount];
};

// A consistent snapshot, taken under the hub's lock. All counts run from the
// process's start; a test compares two snapshots.
EventHubStats EventHubGetStats();
