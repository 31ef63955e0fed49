// The bridge's client of ZARVO Remote's command pipe (\\.\pipe\doraruzoz):
// one 10-byte request per message, one UTF-16 reply text back, as ZARVOCTL
// sends them. Requests go one at a time, in the order the loop handed them
// over, over one connection that is kept between requests and opened again
// when it broke. A pipe whose owner is not LocalSystem is refused and gets
// nothing. Each request's reply comes back as UTF-8 text with its handle;
// a request that could not be delivered gets a text saying why.
//
// Threads: the client thread owns the pipe. It and the loop share `jobs`
// and `replies` under `lock`; `work` (auto-reset) wakes the client, `done`
// (auto-reset) the loop. `refusedOwner` is set by the client (under the
// lock) when it refused a pipe, for the loop's event. `stop` ends the
// thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/request.h"

// How long a busy pipe (four clients at once) is waited for, and a reply.
constexpr DWORD kCommandBusyWaitMs = 20000;
constexpr DWORD kCommandReplyWaitMs = 30000;

struct CommandJob {
  uint64_t handle;
  PipeRequest request;
};

struct CommandReply {
  uint64_t handle;
  std::string text;  // UTF-8
};

struct CommandClient {
  SRWLOCK lock;
  std::deque<CommandJob> jobs;        // lock
  std::deque<CommandReply> replies;   // lock
  bool refusedOwner;                  // lock: a pipe was refused since the last take
  HANDLE work;
  HANDLE done;
  HANDLE stop;
  HANDLE thread;
  wchar_t path[64];
};

bool CommandClientStart(CommandClient& c, const wchar_t* path);
void CommandClientSubmit(CommandClient& c, const CommandJob& job);
// Appends the replies that came back; returns whether a pipe was refused
// since the last call.
bool CommandClientTake(CommandClient& c, std::vector<CommandReply>& out);
void CommandClientStop(CommandClient& c, DWORD timeoutMs);
