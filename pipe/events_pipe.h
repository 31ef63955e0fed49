// The events pipe, \\.\pipe\doraruzoz-events: up to eight listeners read
// the lines of the events hub (core/event_hub.h) as they come, a greeting
// first. Byte mode, so that `type \\.\pipe\doraruzoz-events` and a
// PowerShell StreamReader read it as a text file. Duplex, though listeners
// only read (their access is read only): a read kept outstanding on every
// connected instance notices at once when its listener goes.
//
// Threads: one thread of its own (EventsPipeThread) owns the instances,
// their events and the listener records; nobody else touches them. The
// publishers wake it through the hub's wake callback, which only sets its
// wake event. It never waits on a listener: a listener's write is
// overlapped, and while one is outstanding that listener's lines wait in
// its queue in the hub (which drops the oldest when it is full).
#pragma once

#include <windows.h>

#include <cstdint>

#include "core/event_hub.h"

constexpr DWORD kEventsInstanceCount = kEventListenerCount;
extern const wchar_t kEventsPipeName[];  // L"\\\\.\\pipe\\doraruzoz-events"
// While another program holds the name, the thread tries again this often.
constexpr DWORD kEventsRetryMs = 30000;

// Loads the events pipe's security (EventsPipeSecurity, or the default) and
// starts its thread, which creates the eight instances (the first with
// FILE_FLAG_FIRST_PIPE_INSTANCE) and serves listeners until the process
// ends. Returns 0 once the thread runs; a refused security setting returns
// its error, after reporting it: the events pipe then stays unserved, and
// the caller goes on serving commands. A name another program holds is no
// error here: the thread reports it and tries again every kEventsRetryMs.
// Call once per process; later calls return 0 and do nothing.
DWORD StartEventsPipe();

// Ends the thread, for the service's stop: every listener's connection is
// ended and every instance closed, so that the name is free when this
// returns. Returns at once when the thread does not run; a new start may
// follow.
void StopEventsPipe();

// True while the thread serves the pipe (its instances exist).
bool EventsPipeServing();

// Tests only: called on the events pipe's thread once its instances exist and
// before it listens on them, so that a test can connect listeners that are
// there before the connect.
extern void (*g_eventsInstancesMade)();
