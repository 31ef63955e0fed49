// chaos: a seeded chaos scenario against the service running under the
// service manager, beside the simulated driver library. Run by
// service/tests/service_chaos.sh from the folder that holds ZARVOSRV.exe,
// FTD2XX.dll and this program.
//
//   chaos.exe --setup
//       writes the simulated transceivers' configuration (EL000123, EL000777,
//       EL000999, all present) and the registry entries that make SetupAPI
//       list EL000999 beside the prefix's two; run before the service starts.
//   chaos.exe --seed S --seconds N
//       runs the scenario against the running service, stops it, and judges
//       what happened. Exit code 0: nothing found; 1: findings (printed);
//       2: the scenario itself could not run.
//
// What happens, in phases:
//   1. warm-up and baseline: the service's table is read from a listener's
//      greeting, requests go to each transceiver (also four clients at
//      once), one transceiver is pulled out and plugged in again, and the
//      service process's handles and threads are counted once they have
//      settled;
//   2. chaos for N seconds: five clients send requests (valid ones, ones
//      for instance numbers nobody has, messages shorter and longer than a
//      request, requests whose client leaves at once) on connections they
//      keep for a while and drop; two listeners read the events pipe, leave
//      and come back, and pause now and then; a third listener never reads;
//      the main thread plugs transceivers in and pulls them out, hangs
//      writes (also through a pull-out), reads and opens and releases them,
//      closes and opens gates, and has the transceivers hear bursts of
//      telegrams;
//   3. restore: every hang and gate released, every transceiver plugged in,
//      the clients paused, the silent listener drains what it was sent;
//      the handles and threads must come back to the baseline;
//   4. stop: the clients go on, one transceiver hangs with a request inside
//      its driver call, and the service is stopped; it must be STOPPED
//      within 23 s;
//   5. the checks, on the records kept by every thread and on the simulated
//      driver's log (ftd2xx-sim.log), and the figures. Every finding names
//      the request, its times and the log lines; the records are also
//      written beside the program: chaos-requests.txt, chaos-actions.txt
//      (schedule time and real time of every action) and
//      chaos-listener-N.txt (every line each listener read).
//
// Every request carries a number of its own in its house code and address
// bytes (hc1, hc2, addr: 24 bits), so a frame in the driver's log and a sent
// line on the events pipe name the request they came from. Numbers are
// client << 20 | sequence, so they do not depend on thread timing.
//
// One PRNG seeded from --seed derives the seeds of the main thread's action
// schedule, of each client and of each listener. The schedule of actions is
// laid out in schedule time (offsets from the start of phase 2) and carried
// out in that order, late if an action took long: a seed gives the same
// actions in the same order, while thread timing (what a request meets)
// differs from run to run.
//
// Threads and what they touch:
// - main: the device model, the registry entries, the simulated driver's
//   configuration, the table history and the action log are its alone; it
//   starts and ends every other thread, and reads their records only after
//   joining them (phase 5);
// - each client thread: its own ClientState (records, PRNG, connection);
// - each listener thread: its own ListenerState (sessions, PRNG, output file);
// - the watch thread: polls the service's state; writes g_watch under its
//   lock;
// - g_clientMode, g_listenerMode, g_drainSilent and g_stopAskedMs are
//   atomics the main thread writes and the others read; g_findings is
//   shared by all, under its lock.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/request.h"
#include "tests/ftd2xx-sim/sim_script.h"
#include "tests/support/clock.h"
#include "tests/support/process_counts.h"

namespace {

// ===== Constants =====

const wchar_t kServiceName[] = L"DADUDODI";
const wchar_t kPipe[] = L"\\\\.\\pipe\\doraruzoz";
const wchar_t kEventsPipe[] = L"\\\\.\\pipe\\doraruzoz-events";
const wchar_t kInterfaceClass[] = L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const wchar_t kUsbClassGuid[] = L"{36FC9E60-C465-11CF-8056-444553540000}";

// The service's own control: walk the USB devices again (Wine delivers no
// device events to a service).
constexpr DWORD kControlRescan = 128;

struct Transceiver {
  const char* serial;
  const wchar_t* wideSerial;
  const wchar_t* pid;
  const char* lineKeys;  // what its configuration line always says
};
// Every transceiver answers each write with a status telegram, so that its
// reader thread calls the driver (a read hang needs reads to hang in).
constexpr int kTransceivers = 3;
const Transceiver kTransceiver[kTransceivers] = {
    {"EL000123", L"EL000123", L"F06F", " answer=8105C987010284"},
    {"EL000777", L"EL000777", L"E0E8", " pid=0xE0E8 answer=8105C987010284"},
    {"EL000999", L"EL000999", L"F06F", " answer=8105C987010284"},
};

constexpr int kClients = 5;
// Requests of the main thread itself (warm-up) carry this client number.
constexpr int kMainClient = 15;
// The warm-up's burst clients take the numbers below it.
constexpr int kBurstClients = 4;
constexpr uint32_t kSequenceLimit = 1u << 20;
constexpr int kReadingListeners = 2;
constexpr int kListeners = kReadingListeners + 1;  // the last never reads during the chaos

// The pipe server answers every request itself after 11 s, whatever its
// transceiver does: that bounds "11 s plus its queue" (four requests behind
// a closed gate would take 12 s). The slack is for a loaded machine only.
constexpr double kAnswerLimitMs = 11000;
constexpr double kAnswerSlackMs = 3000;
// A client gives up on a reply after this: a reply missing.
constexpr DWORD kReplyWaitMs = 30000;
// Only a driver call that hung for 10 s (the watchdog) or a request 11 s old
// (the pipe server) has a request taken from a transceiver thread that still
// holds it; an error answered sooner was for a request that never went in.
constexpr double kInHandAnswerMs = 9900;
// The stop's budget: 20 s for the transceivers, 0.5 s for the last replies,
// 2 s for the event log; the rest is the service manager's own.
constexpr double kStopLimitMs = 23000;
// How long the handles and threads may take to settle back after the
// restore (transceivers being reopened, threads ending).
constexpr double kSettleLimitMs = 30000;

// What the transceivers hear: the status answer the library queues after
// every write, and a switch telegram (house code 4142 1132, address 1111,
// command 3A with a 60 s timer) heard in bursts.
const char kAnswerRaw[] = "8105C987010284";
const char kHeardTelegramHex[] = "810C04020101A001CD0900003A4F";

// The driver statuses with a reply text of their own (18 and above share
// "Other error."), and the one a short message gets.
constexpr DeviceStatus kLastReplyStatus = 18;
constexpr DeviceStatus kInvalidParameterStatus = 6;

// ===== Findings (any thread) =====

struct Findings {
  std::mutex lock;
  std::map<std::string, int> byKind;
  std::vector<std::string> details;  // the first kDetailsKept of each kind, in order found
};
Findings g_findings;
constexpr int kDetailsKept = 25;

void Found(const char* kind, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> hold(g_findings.lock);
  int n = ++g_findings.byKind[kind];
  if (n <= kDetailsKept) g_findings.details.push_back(std::string(kind) + ": " + text);
}

// Times in the output are seconds since the program started.
double g_startMs = 0;
double Since(double ms) { return (ms - g_startMs) / 1000.0; }

// ===== Phases shared with the client and listener threads =====

enum Mode : int { kRun = 0, kPause = 1, kEnd = 2 };
std::atomic<int> g_clientMode{kRun};
std::atomic<int> g_listenerMode{kRun};
// The silent listener starts reading when this is set (phase 3).
std::atomic<bool> g_drainSilent{false};
// When the final stop was asked (0 before): connections the service breaks
// from then on are its stop's doing.
std::atomic<double> g_stopAskedMs{0};

bool StopAsked() { return g_stopAskedMs.load() > 0; }

// ===== Requests and their frames =====

enum RequestKind : uint8_t { kValid, kNoSuchIid, kShort, kLong };
const char* const kKindName[] = {"valid", "no-such-iid", "short", "long"};

// kAbandoned: the client closed its connection right after the request, as
// a client that gives up does; its reply is for nobody.
enum Outcome : uint8_t { kReplied, kBroken, kTimedOut, kNotSent, kMalformedReply, kAbandoned };
const char* const kOutcomeName[] = {"replied",  "broken",    "timed-out",
                                    "not-sent", "malformed", "abandoned"};

struct RequestRecord {
  uint32_t id;  // client << 20 | sequence; its bytes are hc1, hc2, addr
  uint8_t client;
  RequestKind kind;
  uint8_t iid;
  uint8_t size;  // bytes of the message sent
  uint8_t cmd;
  uint8_t data;  // 0: no data byte
  Outcome outcome;
  uint16_t extraReplies;  // messages that came unasked after its reply
  bool abandon;           // to be left without waiting for the reply
  uint32_t error;         // the Win32 error of a failed write or read
  double askedMs;         // just before the write
  double answeredMs;      // when the reply, the break or the time-out came
  char reply[48];         // the reply text, when there was one
};

bool IsOk(const RequestRecord& r) { return r.outcome == kReplied && !std::strcmp(r.reply, "OK"); }

// A byte as FS20 notation: four digits 1-4, base 4, the rightmost lowest.
uint16_t Notation(uint8_t value) {
  uint16_t n = 0;
  for (int digit = 3; digit >= 0; --digit) {
    n = static_cast<uint16_t>(n * 10 + ((value >> (2 * digit)) & 3) + 1);
  }
  return n;
}

// The FS20 send frame the service writes for a request: 81 LL 04 CS 02 01 01
// hc1 hc2 addr cmd [data], CS the sum of the bytes from the fifth on.
struct SendFrame {
  uint8_t bytes[12];
  uint8_t length;
};

SendFrame ExpectedFrame(uint32_t id, uint8_t cmd, uint8_t data) {
  SendFrame f = {{0x81, 0, 0x04, 0, 0x02, 0x01, 0x01, static_cast<uint8_t>(id >> 16),
                  static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), cmd, data},
                 static_cast<uint8_t>(data ? 12 : 11)};
  f.bytes[1] = static_cast<uint8_t>(f.length - 2);
  uint8_t sum = 0;
  for (int i = 4; i < f.length; ++i) sum = static_cast<uint8_t>(sum + f.bytes[i]);
  f.bytes[3] = sum;
  return f;
}

bool IsSendFrame(const uint8_t* b, size_t n) {
  return (n == 11 || n == 12) && b[0] == 0x81 && b[1] == n - 2 && b[2] == 0x04 && b[4] == 0x02 &&
         b[5] == 0x01 && b[6] == 0x01;
}

uint32_t FrameRequestId(const uint8_t* b) {
  return (static_cast<uint32_t>(b[7]) << 16) | (static_cast<uint32_t>(b[8]) << 8) | b[9];
}

// The three start-up frames every open sends (the frame table's rows 0, 2, 4).
bool IsStartupFrame(const uint8_t* b, size_t n) {
  static const uint8_t rows[3][8] = {{0x81, 0x06, 0xC9, 0x8C, 0x02, 0x01, 0x1F, 0x6A},
                                     {0x81, 0x05, 0x04, 0x60, 0xC9, 0x01, 0x96},
                                     {0x81, 0x05, 0x04, 0x50, 0xC9, 0x01, 0x86}};
  static const size_t lengths[3] = {8, 7, 7};
  for (int i = 0; i < 3; ++i) {
    if (n == lengths[i] && !std::memcmp(b, rows[i], n)) return true;
  }
  return false;
}

std::string Hex(const uint8_t* b, size_t n) {
  std::string s;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02X", b[i]);
    s += two;
  }
  return s;
}

int TransceiverIndex(const char* serial) {
  for (int i = 0; i < kTransceivers; ++i) {
    if (!std::strcmp(serial, kTransceiver[i].serial)) return i;
  }
  return -1;
}

// ===== Pipe I/O with a bound on every wait =====

// Waits for an overlapped operation started with `started`. On failure
// `error` says why: WAIT_TIMEOUT when it was cancelled after `timeoutMs`.
bool FinishIo(HANDLE pipe, OVERLAPPED& o, BOOL started, DWORD timeoutMs, DWORD& count,
              DWORD& error) {
  error = 0;
  if (!started) {
    error = GetLastError();
    if (error != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(o.hEvent, timeoutMs) != WAIT_OBJECT_0) {
      CancelIoEx(pipe, &o);
      GetOverlappedResult(pipe, &o, &count, TRUE);
      error = WAIT_TIMEOUT;
      return false;
    }
  }
  if (GetOverlappedResult(pipe, &o, &count, FALSE)) {
    error = 0;
    return true;
  }
  error = GetLastError();
  return false;
}

bool PipeWrite(HANDLE pipe, HANDLE event, const void* bytes, DWORD size, DWORD timeoutMs,
               DWORD& error) {
  OVERLAPPED o = {};
  o.hEvent = event;
  DWORD count = 0;
  BOOL started = WriteFile(pipe, bytes, size, &count, &o);
  return FinishIo(pipe, o, started, timeoutMs, count, error) && count == size;
}

bool PipeRead(HANDLE pipe, HANDLE event, void* bytes, DWORD size, DWORD timeoutMs, DWORD& count,
              DWORD& error) {
  OVERLAPPED o = {};
  o.hEvent = event;
  count = 0;
  BOOL started = ReadFile(pipe, bytes, size, &count, &o);
  return FinishIo(pipe, o, started, timeoutMs, count, error);
}

struct Connection {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
};

bool Connected(const Connection& c) { return c.pipe != INVALID_HANDLE_VALUE; }

void Disconnect(Connection& c) {
  if (c.pipe != INVALID_HANDLE_VALUE) CloseHandle(c.pipe);
  if (c.event) CloseHandle(c.event);
  c.pipe = INVALID_HANDLE_VALUE;
  c.event = nullptr;
}

// Connects to `name`, waiting while it is busy or not there, until
// `timeoutMs` or until `mode` leaves kRun.
bool Connect(Connection& c, const wchar_t* name, DWORD access, bool messageMode, DWORD timeoutMs,
             const std::atomic<int>& mode) {
  double deadline = NowMs() + timeoutMs;
  while (mode.load() == kRun && NowMs() < deadline) {
    HANDLE pipe =
        CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      DWORD readMode = PIPE_READMODE_MESSAGE;
      c.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (!c.event ||
          (messageMode && !SetNamedPipeHandleState(pipe, &readMode, nullptr, nullptr))) {
        CloseHandle(pipe);
        Disconnect(c);
        return false;
      }
      c.pipe = pipe;
      return true;
    }
    if (GetLastError() == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name, 500);
    } else {
      Sleep(50);  // not there: the service is starting, or has stopped
    }
  }
  return false;
}

// ===== Clients =====

struct ClientState {
  int index = 0;
  std::mt19937 rng;
  uint32_t sequence = 0;
  uint32_t connects = 0;
  std::vector<RequestRecord> records;
};

uint32_t Uniform(std::mt19937& rng, uint32_t low, uint32_t high) {
  return std::uniform_int_distribution<uint32_t>(low, high)(rng);
}

double UniformMs(std::mt19937& rng, double low, double high) {
  return std::uniform_real_distribution<double>(low, high)(rng);
}

// The next request's shape, from the client's PRNG: mostly valid requests
// for the three instance numbers, some for numbers nobody has, some messages
// shorter or longer than a request. Each client asks mostly for an instance
// number of its own, so that while one transceiver hangs, the clients of the
// others go on.
RequestRecord DrawRequest(ClientState& c) {
  RequestRecord r = {};
  r.id = (static_cast<uint32_t>(c.index) << 20) | (c.sequence++ % kSequenceLimit);
  r.client = static_cast<uint8_t>(c.index);
  uint32_t roll = Uniform(c.rng, 0, 99);
  r.kind = roll < 84 ? kValid : roll < 90 ? kNoSuchIid : roll < 96 ? kShort : kLong;
  r.iid = static_cast<uint8_t>(Uniform(c.rng, 0, kTransceivers - 1));
  if (Uniform(c.rng, 0, 9) < 7) r.iid = static_cast<uint8_t>(c.index % kTransceivers);
  if (r.kind == kNoSuchIid) r.iid = static_cast<uint8_t>(Uniform(c.rng, kTransceivers, 255));
  r.cmd = static_cast<uint8_t>(Uniform(c.rng, 0, 255));
  r.data = Uniform(c.rng, 0, 1) ? static_cast<uint8_t>(Uniform(c.rng, 1, 255)) : 0;
  r.size = sizeof(PipeRequest);
  if (r.kind == kShort) r.size = static_cast<uint8_t>(Uniform(c.rng, 1, sizeof(PipeRequest) - 1));
  if (r.kind == kLong) r.size = static_cast<uint8_t>(Uniform(c.rng, sizeof(PipeRequest) + 1, 40));
  // A reply that reached the next client of the same pipe instance would
  // show there as a message before its first request, or as a second reply.
  r.abandon = Uniform(c.rng, 0, 99) < 3 && r.kind == kValid;
  r.askedMs = -1;
  r.answeredMs = -1;
  return r;
}

// The message: a request record, cut short or followed by more bytes. A
// short or long message still carries the request's number, so a frame
// made from it would show.
size_t BuildMessage(const RequestRecord& r, uint8_t (&out)[40]) {
  PipeRequest request = {};
  request.iid = r.iid;
  request.hc1 = Notation(static_cast<uint8_t>(r.id >> 16));
  request.hc2 = Notation(static_cast<uint8_t>(r.id >> 8));
  request.addr = Notation(static_cast<uint8_t>(r.id));
  request.cmd = r.cmd;
  request.data = r.data;
  std::memset(out, 0x5A, sizeof out);
  std::memcpy(out, &request, sizeof request);
  return r.size;
}

// A message the service sent after the reply to `last` and before anything
// else was asked: a second reply. Read and counted against `last`.
void TakeUnasked(Connection& c, RequestRecord* last) {
  DWORD waiting = 0;
  if (!PeekNamedPipe(c.pipe, nullptr, 0, nullptr, &waiting, nullptr) || waiting == 0) return;
  uint8_t extra[256];
  DWORD count = 0, error = 0;
  PipeRead(c.pipe, c.event, extra, sizeof extra, 1000, count, error);
  if (last) {
    ++last->extraReplies;
    Found("reply-twice", "request %06X (client %u) got a second message after its reply \"%s\"",
          last->id, last->client, last->reply);
  } else {
    Found("reply-unasked", "a message came on a connection before any request");
  }
}

// One message out, and its reply in.
void Exchange(Connection& c, RequestRecord& r) {
  uint8_t message[40];
  size_t size = BuildMessage(r, message);
  DWORD error = 0, count = 0;
  r.askedMs = NowMs();
  if (!PipeWrite(c.pipe, c.event, message, static_cast<DWORD>(size), 5000, error)) {
    r.answeredMs = NowMs();
    r.outcome = kNotSent;
    r.error = error;
    return;
  }
  if (r.abandon) {
    r.outcome = kAbandoned;
    return;
  }
  uint8_t reply[256];
  bool read = PipeRead(c.pipe, c.event, reply, sizeof reply, kReplyWaitMs, count, error);
  r.answeredMs = NowMs();
  r.error = error;
  if (!read) {
    r.outcome = error == WAIT_TIMEOUT      ? kTimedOut
                : error == ERROR_MORE_DATA ? kMalformedReply
                                           : kBroken;
    return;
  }
  // One UTF-16 text with its NUL as the message's last unit.
  r.outcome = kMalformedReply;
  size_t units = count / 2;
  if (count % 2 != 0 || units == 0 || units > sizeof r.reply) return;
  for (size_t i = 0; i < units; ++i) {
    uint16_t unit = static_cast<uint16_t>(reply[2 * i] | (reply[2 * i + 1] << 8));
    if (unit == 0) {
      if (i + 1 == units) r.outcome = kReplied;
      break;
    }
    r.reply[i] = unit < 0x80 ? static_cast<char>(unit) : '?';
  }
}

// Think times: mostly back to back (enough lines for the silent listener
// to lose some), sometimes a pause; never 10 s, which would make the
// connection idle enough to be closed for a waiting client.
DWORD ThinkMs(std::mt19937& rng) {
  uint32_t roll = Uniform(rng, 0, 99);
  if (roll < 50) return Uniform(rng, 0, 2);
  if (roll < 90) return Uniform(rng, 2, 30);
  return Uniform(rng, 30, 300);
}

void RunClient(ClientState& c) {
  Connection connection;
  int left = 0;
  RequestRecord* last = nullptr;
  while (g_clientMode.load() != kEnd) {
    if (g_clientMode.load() == kPause) {
      Disconnect(connection);
      last = nullptr;
      Sleep(20);
      continue;
    }
    if (!Connected(connection)) {
      if (!Connect(connection, kPipe, GENERIC_READ | GENERIC_WRITE, true, 60000, g_clientMode)) {
        Sleep(50);
        continue;
      }
      ++c.connects;
      last = nullptr;
      // Some clients ask once per connection, others keep it for a while.
      left = Uniform(c.rng, 0, 2) == 0 ? 1 : static_cast<int>(Uniform(c.rng, 2, 30));
    }
    Sleep(ThinkMs(c.rng));
    RequestRecord r = DrawRequest(c);
    if (g_clientMode.load() != kRun) continue;
    TakeUnasked(connection, last);
    Exchange(connection, r);
    c.records.push_back(r);
    last = &c.records.back();
    if (r.outcome != kReplied || --left <= 0) {
      if (r.outcome == kReplied) TakeUnasked(connection, last);
      Disconnect(connection);
      last = nullptr;
    }
  }
  Disconnect(connection);
}

// ===== Listeners =====

// A sent line as a listener read it.
struct SentSeen {
  uint32_t position;   // its line's index in the session
  int8_t transceiver;  // from its serial field
  uint8_t length;
  uint8_t raw[16];
};

struct LostSeen {
  uint32_t position;
  uint64_t count;
};

// One connection of a listener, from connect to leave (or the stop).
struct Session {
  int listener = 0;
  double connectedMs = 0;
  double greetedMs = -1;  // when the greeting showed: attached from then on
  double endedMs = 0;
  bool endedByService = false;
  uint32_t lines = 0;
  uint64_t lost = 0;
  std::map<std::string, uint32_t> words;
  std::vector<SentSeen> sent;
  std::vector<LostSeen> losses;
  std::vector<int> greeting;  // transceivers in instance order, from the present lines
  // The table as this session's lines tell it, while no line was lost.
  std::vector<int> view;
  bool viewKnown = true;
  bool inGreeting = true;
  std::string partial;  // a line not complete yet
};

struct ListenerState {
  int index = 0;
  bool silent = false;  // reads nothing until the chaos is over
  std::mt19937 rng;
  uint32_t connects = 0;
  uint32_t leaves = 0;
  uint32_t pauses = 0;
  FILE* out = nullptr;  // every line read, for debugging a finding
  std::vector<Session> sessions;
};

const char* const kWords[] = {"format", "present", "state", "ready", "heard",
                              "sent",   "plugged", "pulled", "lost",  "alive"};

bool KnownWord(const std::string& word) {
  for (const char* w : kWords) {
    if (word == w) return true;
  }
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of `name=` among the fields, or empty.
std::string FieldValue(const std::vector<std::string>& fields, const char* name) {
  size_t n = std::strlen(name);
  for (size_t i = 4; i < fields.size(); ++i) {
    if (fields[i].size() > n && !fields[i].compare(0, n, name) && fields[i][n] == '=') {
      return fields[i].substr(n + 1);
    }
  }
  return std::string();
}

// The session's table view follows a plugged or pulled line (both are
// published under the device table's lock, so they come in the table's own
// order); once a line was lost, the view is no longer known.
void FollowTable(ListenerState& l, Session& s, const std::vector<std::string>& f, int t,
                 const std::string& text) {
  if (!s.viewKnown) return;
  int iid = std::atoi(f[1].c_str());
  auto at = std::find(s.view.begin(), s.view.end(), t);
  if (f[3] == "plugged") {
    if (at != s.view.end() || iid != static_cast<int>(s.view.size())) {
      Found("listener-table", "listener %d: %s while its lines had %zu transceivers%s", l.index,
            text.c_str(), s.view.size(), at != s.view.end() ? ", this one among them" : "");
      s.viewKnown = false;
      return;
    }
    s.view.push_back(t);
    return;
  }
  if (iid < 0 || iid >= static_cast<int>(s.view.size()) || s.view[iid] != t) {
    Found("listener-table", "listener %d: %s, but its lines had that transceiver at %d", l.index,
          text.c_str(), at == s.view.end() ? -1 : static_cast<int>(at - s.view.begin()));
    s.viewKnown = false;
    return;
  }
  std::string moved;
  for (size_t k = iid + 1; k < s.view.size(); ++k) {
    if (!moved.empty()) moved += ",";
    moved += std::string(kTransceiver[s.view[k]].serial) + ":" + std::to_string(k) + ">" +
             std::to_string(k - 1);
  }
  if (moved.empty()) moved = "none";
  if (FieldValue(f, "moved") != moved) {
    Found("listener-table", "listener %d: %s, expected moved=%s", l.index, text.c_str(),
          moved.c_str());
  }
  s.view.erase(s.view.begin() + iid);
}

// One whole line of a session, without its CR LF.
void TakeLine(ListenerState& l, Session& s, const std::string& text, double nowMs) {
  uint32_t position = s.lines++;
  if (l.out) std::fprintf(l.out, "%.3f %s\n", Since(nowMs), text.c_str());
  std::vector<std::string> f;
  for (size_t at = 0; at <= text.size();) {
    size_t blank = text.find(' ', at);
    if (blank == std::string::npos) blank = text.size();
    f.push_back(text.substr(at, blank - at));
    at = blank + 1;
  }
  bool timeOk =
      f[0].size() == 24 && f[0][4] == '-' && f[0][10] == 'T' && f[0][19] == '.' && f[0][23] == 'Z';
  if (f.size() < 4 || !timeOk || !KnownWord(f[3])) {
    Found("listener-line", "listener %d: a line out of the grammar: \"%s\"", l.index, text.c_str());
    return;
  }
  const std::string& word = f[3];
  ++s.words[word == "heard" ? "heard/" + FieldValue(f, "kind") : word];
  int t = TransceiverIndex(f[2].c_str());
  if (position == 0) {
    s.greetedMs = s.greetedMs < 0 ? nowMs : s.greetedMs;
    if (word != "format" || FieldValue(f, "id") != "zarvo-events" ||
        FieldValue(f, "version") != "1") {
      Found("listener-greeting", "listener %d: the first line is \"%s\"", l.index, text.c_str());
    }
    return;
  }
  if (word == "present") {
    if (!s.inGreeting || t < 0 || std::atoi(f[1].c_str()) != static_cast<int>(s.greeting.size())) {
      Found("listener-greeting", "listener %d: line %u \"%s\" out of place", l.index, position,
            text.c_str());
      return;
    }
    s.greeting.push_back(t);
    s.view.push_back(t);
    return;
  }
  // The greeting goes on with a state line per device the service knows,
  // and ends with the ready line; state lines then come with each change.
  if (word == "state") return;
  if (word == "ready" || s.inGreeting) {
    if (word != "ready" || !s.inGreeting) {
      Found("listener-greeting", "listener %d: line %u \"%s\" out of place", l.index, position,
            text.c_str());
    }
    s.inGreeting = false;
    if (word == "ready") return;
  }
  if (word == "lost") {
    uint64_t count = std::strtoull(FieldValue(f, "count").c_str(), nullptr, 10);
    if (count == 0) Found("listener-line", "listener %d: \"%s\"", l.index, text.c_str());
    s.losses.push_back({position, count});
    s.lost += count;
    s.viewKnown = false;
  } else if (word == "plugged" || word == "pulled") {
    if (t < 0) {
      Found("listener-line", "listener %d: \"%s\" names no transceiver of ours", l.index,
            text.c_str());
    } else {
      FollowTable(l, s, f, t, text);
    }
  } else if (word == "heard") {
    // What the transceivers hear is what the driver library was told they
    // hear. (A telegram cut by a full receive queue may show as another
    // kind; that is the transceiver's loss, not a line of the service's own.)
    std::string kind = FieldValue(f, "kind"), raw = FieldValue(f, "raw");
    if ((kind == "fs20" && raw != kHeardTelegramHex) || (kind == "answer" && raw != kAnswerRaw)) {
      Found("listener-heard", "listener %d: \"%s\" is nothing the transceivers heard", l.index,
            text.c_str());
    }
  } else if (word == "sent") {
    std::string raw = FieldValue(f, "raw");
    SentSeen seen = {};
    seen.position = position;
    seen.transceiver = static_cast<int8_t>(t);
    bool ok = t >= 0 && raw.size() % 2 == 0 && raw.size() / 2 <= sizeof seen.raw;
    for (size_t i = 0; ok && i < raw.size(); i += 2) {
      int hi = HexValue(raw[i]), lo = HexValue(raw[i + 1]);
      ok = hi >= 0 && lo >= 0;
      seen.raw[i / 2] = static_cast<uint8_t>(hi * 16 + lo);
    }
    seen.length = static_cast<uint8_t>(raw.size() / 2);
    if (!ok || !IsSendFrame(seen.raw, seen.length)) {
      Found("listener-sent", "listener %d: \"%s\" is no send frame of ours", l.index, text.c_str());
      return;
    }
    s.sent.push_back(seen);
  }
}

// Splits what was read into lines; every line ends with CR LF.
void TakeBytes(ListenerState& l, Session& s, const char* bytes, size_t n) {
  double now = NowMs();
  s.partial.append(bytes, n);
  size_t start = 0;
  for (size_t lf = s.partial.find('\n'); lf != std::string::npos;
       lf = s.partial.find('\n', start)) {
    size_t end = lf;
    if (end == start || s.partial[end - 1] != '\r') {
      Found("listener-line", "listener %d: a line without CR LF: \"%s\"", l.index,
            s.partial.substr(start, lf - start).c_str());
    } else {
      --end;
    }
    TakeLine(l, s, s.partial.substr(start, end - start), now);
    start = lf + 1;
  }
  s.partial.erase(0, start);
}

// Reads the session until `untilMs` (or, with a pause, not at all for a
// while), the stop breaks it, or the listeners are ended. Returns false
// when the connection broke.
bool ReadSession(ListenerState& l, Session& s, Connection& c, double untilMs, double pauseAtMs,
                 double pauseMs) {
  char buffer[8192];
  while (g_listenerMode.load() != kEnd && NowMs() < untilMs) {
    double now = NowMs();
    if (now >= pauseAtMs && now < pauseAtMs + pauseMs) {
      Sleep(50);
      continue;
    }
    DWORD count = 0, error = 0;
    if (PipeRead(c.pipe, c.event, buffer, sizeof buffer, 100, count, error)) {
      TakeBytes(l, s, buffer, count);
    } else if (error == WAIT_TIMEOUT) {
      // Cancelled: what the read took before the cancel is in `count`.
      if (count > 0) TakeBytes(l, s, buffer, count);
    } else {
      return false;
    }
  }
  return true;
}

// A listener that reads nothing: it learns that it was attached when the
// greeting waits in its pipe, then keeps still until the chaos is over.
bool KeepSilent(Session& s, Connection& c) {
  while (g_listenerMode.load() != kEnd && !g_drainSilent.load()) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(c.pipe, nullptr, 0, nullptr, &waiting, nullptr)) return false;
    if (waiting > 0 && s.greetedMs < 0) s.greetedMs = NowMs();
    Sleep(s.greetedMs < 0 ? 5 : 50);
  }
  return true;
}

void RunListener(ListenerState& l) {
  while (g_listenerMode.load() != kEnd) {
    Connection c;
    if (!Connect(c, kEventsPipe, GENERIC_READ, false, 60000, g_listenerMode)) {
      Sleep(50);
      continue;
    }
    ++l.connects;
    Session s;
    s.listener = l.index;
    s.connectedMs = NowMs();
    if (l.out) std::fprintf(l.out, "%.3f --- connected\n", Since(s.connectedMs));
    double until = l.silent ? 1e300 : s.connectedMs + UniformMs(l.rng, 3000, 25000);
    double pauseAt = 1e300, pauseFor = 0;
    if (!l.silent && Uniform(l.rng, 0, 3) == 0) {
      pauseAt = s.connectedMs + UniformMs(l.rng, 500, 3000);
      pauseFor = UniformMs(l.rng, 1000, 6000);
      ++l.pauses;
    }
    double away = UniformMs(l.rng, 200, 4000);
    bool intact = !l.silent || KeepSilent(s, c);
    if (intact) intact = ReadSession(l, s, c, until, pauseAt, pauseFor);
    s.endedMs = NowMs();
    s.endedByService = !intact;
    if (!intact && !StopAsked()) {
      Found("listener-dropped",
            "listener %d: the service broke its connection at %.3f s, before the stop", l.index,
            Since(s.endedMs));
    }
    if (intact) ++l.leaves;
    if (l.out) std::fprintf(l.out, "%.3f --- %s\n", Since(s.endedMs), intact ? "left" : "broken");
    Disconnect(c);
    l.sessions.push_back(std::move(s));
    double back = NowMs() + away;
    while (g_listenerMode.load() != kEnd && NowMs() < back) Sleep(20);
  }
}

// ===== The service: control, state, counts =====

struct ServiceHandles {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
};

bool OpenService(ServiceHandles& h) {
  h.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  h.service = h.manager ? OpenServiceW(h.manager, kServiceName, SERVICE_ALL_ACCESS) : nullptr;
  return h.service != nullptr;
}

void CloseService(ServiceHandles& h) {
  if (h.service) CloseServiceHandle(h.service);
  if (h.manager) CloseServiceHandle(h.manager);
  h = ServiceHandles();
}

DWORD ServiceState(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

DWORD ServicePid(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS process = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                            sizeof process, &needed)) {
    return 0;
  }
  return process.dwProcessId;
}

// The watch thread's record of the service's state before the stop.
struct Watch {
  std::mutex lock;
  uint32_t polls = 0;
  uint32_t notRunning = 0;
};
Watch g_watch;
std::atomic<bool> g_watchEnd{false};

void RunWatch() {
  ServiceHandles h;
  if (!OpenService(h)) {
    Found("service-watch", "the service could not be opened: error %lu", GetLastError());
    return;
  }
  while (!g_watchEnd.load()) {
    DWORD state = ServiceState(h.service);
    // Read after the state: a state seen after the stop was asked is the
    // stop's.
    bool stopAsked = StopAsked();
    {
      std::lock_guard<std::mutex> hold(g_watch.lock);
      ++g_watch.polls;
      if (state != SERVICE_RUNNING && !stopAsked) ++g_watch.notRunning;
    }
    if (state != SERVICE_RUNNING && !stopAsked) {
      Found("service-not-running", "state %lu at %.3f s, before any stop was asked", state,
            Since(NowMs()));
    }
    if (stopAsked) break;
    Sleep(50);
  }
  CloseService(h);
}

struct Counts {
  DWORD handles;
  int threads;
};

bool SameCounts(const Counts& a, const Counts& b) {
  return a.handles == b.handles && a.threads == b.threads;
}

// The service process's handles and threads once they have held still for
// a second (a transceiver thread lets go of its events just after its
// close), or as they are after `limitMs`.
Counts SettledCounts(DWORD pid, double limitMs) {
  Counts c = {ProcessHandleCount(pid), ProcessThreadCount(pid)};
  double until = NowMs() + limitMs;
  for (int same = 0; same < 20 && NowMs() < until;) {
    Sleep(50);
    Counts d = {ProcessHandleCount(pid), ProcessThreadCount(pid)};
    same = SameCounts(c, d) ? same + 1 : 0;
    c = d;
  }
  return c;
}

// The MinGW runtime's threads library gives a std::mutex an event the first
// time it is contended and keeps it for the mutex's life (one that was never
// contended has none). The service has three std::mutex of static life (the
// device table's guard, the hot-plug guard, the status lock), so up to three
// events may appear once, at any time, without anything leaking. Any other
// difference from the baseline is a leak.
constexpr int kLazyMutexEvents = 3;

struct CountsVerdict {
  bool same = true;       // handles and threads exactly as at the baseline
  bool tolerated = true;  // or differing only by the mutexes' events
  int extraEvents = 0;
  std::string detail;
};

// The service's handles now against the baseline, type by type, and its
// threads.
CountsVerdict JudgeCounts(HANDLE process, const Counts& base,
                          const std::vector<ProcessHandleEntry>& before, const Counts& now,
                          const std::vector<ProcessHandleEntry>& after) {
  CountsVerdict v;
  if (now.threads != base.threads) {
    v.same = v.tolerated = false;
    v.detail += " threads " + std::to_string(now.threads) + " against " +
                std::to_string(base.threads) + ";";
  }
  std::map<int, int> change;
  for (const ProcessHandleEntry& h : after) ++change[h.objectType];
  for (const ProcessHandleEntry& h : before) --change[h.objectType];
  for (const auto& kv : change) {
    if (kv.second == 0) continue;
    v.same = false;
    // What the type is, from a handle of it that the baseline did not have.
    std::string what;
    for (const ProcessHandleEntry& h : after) {
      if (h.objectType != kv.first || !what.empty()) continue;
      bool old = false;
      for (const ProcessHandleEntry& b : before) {
        old = old || (b.handle == h.handle && b.objectType == h.objectType);
      }
      if (!old) {
        char text[300];
        std::snprintf(text, sizeof text, "handle %04X: %s", h.handle,
                      DescribeForeignHandle(process, h.handle).c_str());
        what = text;
      }
    }
    v.detail += " type " + std::to_string(kv.first) + " " + (kv.second > 0 ? "+" : "") +
                std::to_string(kv.second) + (what.empty() ? "" : " (" + what + ")") + ";";
    if (kv.second < 0) continue;  // fewer than at the baseline: nothing kept
    if (what.find(": Event ") != std::string::npos) {
      v.extraEvents += kv.second;
    } else {
      v.tolerated = false;
    }
  }
  if (v.extraEvents > kLazyMutexEvents) v.tolerated = false;
  return v;
}

// ===== The devices: registry entries, the driver's configuration, the model =====

// The keys a transceiver may have besides its fixed ones. The two write
// hangs share the key `hang`; the second also hangs on through a pull-out.
enum KeyKind { kHangWrite, kHangThroughPull, kHangRead, kHangOpen, kGate, kKeyKinds };
const char* const kKeyText[kKeyKinds] = {" hang=1", " hang=1 hangpulled=1", " hangread=1",
                                         " hangopen=1", " modem=0x20"};
const char* const kKeyName[kKeyKinds] = {"write hang", "write hang through pull-out", "read hang",
                                         "open hang", "gate closed"};

struct DeviceModel {
  bool present = true;
  bool keys[kKeyKinds] = {};
};

// How the table stood between two walks: valid from when the walk that made
// it was asked for until the next walk returned, so that a request read
// against the table at any moment in between finds its transceiver in one
// of the versions it overlaps.
struct TableVersion {
  double fromMs;
  double untilMs;
  std::vector<int> order;  // transceivers in instance order
};

struct ActionCounts {
  uint32_t pulls = 0, plugs = 0, rescans = 0, gates = 0, hearBursts = 0, telegrams = 0;
  uint32_t hangs[kKeyKinds] = {};
  uint32_t releasedByKey[kKeyKinds] = {};
  uint32_t releasedByPull[kKeyKinds] = {};
  // Hangs of writes and gates that could hold a request in a driver call
  // for 10 s, per transceiver: the bound on requests answered with an
  // error and written all the same.
  uint32_t holdEpisodes[kTransceivers] = {};
};

struct Devices {
  DeviceModel model[kTransceivers];
  std::vector<TableVersion> tables;
  ActionCounts counts;
  uint32_t hearSeq = 0;  // raised once for every telegram the transceivers hear
  ServiceHandles service;
  FILE* actions = nullptr;  // the action log
};

std::wstring EnumKey(const Transceiver& t) {
  return std::wstring(L"System\\CurrentControlSet\\Enum\\USB\\VID_0403&PID_") + t.pid + L"\\" +
         t.wideSerial;
}

std::wstring InterfaceKey(const Transceiver& t) {
  return std::wstring(L"System\\CurrentControlSet\\Control\\DeviceClasses\\") + kInterfaceClass +
         L"\\##?#USB#VID_0403&PID_" + t.pid + L"#" + t.wideSerial + L"#" + kInterfaceClass;
}

bool SetText(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY k = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LONG r = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(k);
  return r == ERROR_SUCCESS;
}

// What SetupAPI needs to list the transceiver as present: its device key
// and its interface key with the `#` and `#\Control` subkeys
// (tests/fixtures/usb-devices.reg has the same form).
bool AddRegistryEntries(const Transceiver& t) {
  std::wstring instance = std::wstring(L"USB\\VID_0403&PID_") + t.pid + L"\\" + t.wideSerial;
  std::wstring link = std::wstring(L"\\\\?\\USB#VID_0403&PID_") + t.pid + L"#" + t.wideSerial +
                      L"#" + kInterfaceClass;
  std::wstring iface = InterfaceKey(t);
  HKEY control = nullptr;
  bool ok = SetText(EnumKey(t), L"ClassGUID", kUsbClassGuid) &&
            SetText(iface, L"DeviceInstance", instance) &&
            SetText(iface + L"\\#", L"SymbolicLink", link) &&
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, (iface + L"\\#\\Control").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &control, nullptr) == ERROR_SUCCESS;
  if (control) {
    DWORD linked = 1;
    ok = ok &&
         RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                        sizeof linked) == ERROR_SUCCESS;
    RegCloseKey(control);
  }
  return ok;
}

bool RemoveRegistryEntries(const Transceiver& t) {
  LONG a = RegDeleteTreeW(HKEY_LOCAL_MACHINE, InterfaceKey(t).c_str());
  LONG b = RegDeleteTreeW(HKEY_LOCAL_MACHINE, EnumKey(t).c_str());
  return (a == ERROR_SUCCESS || a == ERROR_FILE_NOT_FOUND) &&
         (b == ERROR_SUCCESS || b == ERROR_FILE_NOT_FOUND);
}

// Every line names the telegram its transceiver hears and a sequence number
// that makes it hear it again when raised; a line has both from the start,
// so the driver library's watcher thread runs before the baseline is counted.
std::string ConfigText(const DeviceModel (&model)[kTransceivers], uint32_t hearSeq) {
  std::string text = "# written by chaos.exe\n";
  for (int i = 0; i < kTransceivers; ++i) {
    if (!model[i].present) continue;
    text += std::string("device serial=") + kTransceiver[i].serial + kTransceiver[i].lineKeys +
            " hear=" + kHeardTelegramHex + " hearseq=" + std::to_string(hearSeq);
    for (int k = 0; k < kKeyKinds; ++k) {
      if (model[i].keys[k]) text += kKeyText[k];
    }
    text += "\n";
  }
  return text;
}

void Log(Devices& d, double scheduleMs, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (d.actions) {
    std::fprintf(d.actions, "%9.3f %9.3f %s\n", scheduleMs / 1000.0, Since(NowMs()), text);
  }
}

bool WriteConfig(Devices& d) {
  if (WriteSimConfig(ProgramFolder(), ConfigText(d.model, d.hearSeq))) return true;
  Found("scenario", "the simulated driver's configuration could not be written");
  return false;
}

// Control 128: the service walks the devices again. The table as it must
// be afterwards becomes the next version.
void Rescan(Devices& d, const std::vector<int>& after) {
  double began = NowMs();
  SERVICE_STATUS status = {};
  ++d.counts.rescans;
  if (!ControlService(d.service.service, kControlRescan, &status)) {
    Found("control-128", "ControlService(128) failed at %.3f s: error %lu", Since(began),
          GetLastError());
  }
  double returned = NowMs();
  if (!d.tables.empty()) d.tables.back().untilMs = returned;
  d.tables.push_back({began, 1e300, after});
}

std::vector<int> CurrentOrder(const Devices& d) { return d.tables.back().order; }

void Pull(Devices& d, int t, double scheduleMs) {
  DeviceModel& m = d.model[t];
  if (!m.present) return;
  Log(d, scheduleMs, "pull %s", kTransceiver[t].serial);
  for (int k = 0; k < kKeyKinds; ++k) {
    // hangpulled goes on hanging through the pull-out: only the other hangs end.
    if (m.keys[k] && k != kHangThroughPull && k != kGate) ++d.counts.releasedByPull[k];
  }
  if (!RemoveRegistryEntries(kTransceiver[t])) {
    Found("scenario", "registry entries of %s not removed", kTransceiver[t].serial);
  }
  m.present = false;
  uint64_t mark = SimLogMark(ProgramFolder());
  WriteConfig(d);
  std::vector<int> order = CurrentOrder(d);
  order.erase(std::remove(order.begin(), order.end(), t), order.end());
  Rescan(d, order);
  ++d.counts.pulls;
  // A transceiver pulled out is gone for the library too before it can come
  // back: it logs "pulled" once it has seen the line of an open handle go.
  // With no handle open there is nothing to see, so the wait is bounded.
  std::string pulled = std::string(kTransceiver[t].serial) + " pulled";
  for (double until = NowMs() + 500; NowMs() < until; Sleep(5)) {
    bool seen = false;
    for (const std::string& line : SimLogSince(ProgramFolder(), mark)) {
      seen = seen || !line.compare(0, pulled.size(), pulled);
    }
    if (seen) break;
  }
}

void Plug(Devices& d, int t, double scheduleMs) {
  DeviceModel& m = d.model[t];
  if (m.present) return;
  Log(d, scheduleMs, "plug %s", kTransceiver[t].serial);
  m.present = true;
  if (m.keys[kHangWrite] || m.keys[kHangThroughPull]) ++d.counts.holdEpisodes[t];
  WriteConfig(d);
  if (!AddRegistryEntries(kTransceiver[t])) {
    Found("scenario", "registry entries of %s not added", kTransceiver[t].serial);
  }
  std::vector<int> order = CurrentOrder(d);
  order.push_back(t);
  Rescan(d, order);
  ++d.counts.plugs;
}

void SetKey(Devices& d, int t, KeyKind k, bool on, double scheduleMs) {
  DeviceModel& m = d.model[t];
  if (m.keys[k] == on) return;
  m.keys[k] = on;
  Log(d, scheduleMs, "%s %s: %s", on ? "set" : "clear", kTransceiver[t].serial, kKeyName[k]);
  if (on) {
    ++d.counts.hangs[k];
    if (k == kGate) ++d.counts.gates;
    if (m.present && (k == kHangWrite || k == kHangThroughPull || k == kGate)) {
      ++d.counts.holdEpisodes[t];
    }
  } else {
    if (m.present || k == kHangThroughPull) ++d.counts.releasedByKey[k];
  }
  if (m.present) WriteConfig(d);
}

// ===== The chaos schedule (main thread) =====

// A timed step of the schedule: a key to clear or a transceiver to plug in
// again, at a schedule time.
struct Pending {
  double atMs;
  uint32_t order;  // ties keep the order they were made in
  int transceiver;
  int key;  // a KeyKind, or -1 for a plug-in
};

struct Schedule {
  std::mt19937 rng;
  std::vector<Pending> pending;
  uint32_t made = 0;
  double nextActionMs = 0;
  uint32_t actions = 0;
};

void Later(Schedule& s, double atMs, int t, int key) {
  s.pending.push_back({atMs, s.made++, t, key});
}

void DropPending(Schedule& s, int t, int key) {
  s.pending.erase(
      std::remove_if(s.pending.begin(), s.pending.end(),
                     [&](const Pending& p) { return p.transceiver == t && p.key == key; }),
      s.pending.end());
}

// A transceiver among those for which `fits` holds, drawn from the PRNG, or
// -1. The draw is made even when none fits, so the PRNG's use does not
// depend on how many do.
template <typename Fits>
int Pick(Schedule& s, Fits fits) {
  int candidates[kTransceivers], n = 0;
  for (int t = 0; t < kTransceivers; ++t) {
    if (fits(t)) candidates[n++] = t;
  }
  uint32_t roll = Uniform(s.rng, 0, 999);
  return n == 0 ? -1 : candidates[roll % n];
}

// Draws and carries out the next action at schedule time `at`.
void Act(Devices& d, Schedule& s, double at) {
  ++s.actions;
  uint32_t roll = Uniform(s.rng, 0, 99);
  double length = UniformMs(s.rng, 1000, 16000);
  uint32_t variant = Uniform(s.rng, 0, 9);
  auto present = [&](int t) { return d.model[t].present; };
  if (roll < 27) {
    // A plug cycle: out now, in again a few seconds later (or at once, if
    // the one drawn is out already).
    int t = Pick(s, [](int) { return true; });
    if (d.model[t].present) {
      Pull(d, t, at);
      Later(s, at + length * 0.4, t, -1);
    } else {
      DropPending(s, t, -1);
      Plug(d, t, at);
    }
  } else if (roll < 50) {
    KeyKind k = variant < 5 ? kHangWrite : kHangThroughPull;
    int t = Pick(s, [&](int i) {
      return present(i) && !d.model[i].keys[kHangWrite] && !d.model[i].keys[kHangThroughPull];
    });
    if (t < 0) return;
    SetKey(d, t, k, true, at);
    Later(s, at + length, t, k);
  } else if (roll < 61) {
    int t = Pick(s, [&](int i) { return present(i) && !d.model[i].keys[kHangRead]; });
    if (t < 0) return;
    SetKey(d, t, kHangRead, true, at);
    Later(s, at + length, t, kHangRead);
  } else if (roll < 70) {
    // An open that hangs: the key, then a replug so that the transceiver is
    // opened again now (one that is out hangs at its next plug-in).
    int t = Pick(s, [&](int i) { return !d.model[i].keys[kHangOpen]; });
    if (t < 0) return;
    SetKey(d, t, kHangOpen, true, at);
    if (d.model[t].present) {
      Pull(d, t, at);
      DropPending(s, t, -1);
      Plug(d, t, at);
    }
    Later(s, at + length, t, kHangOpen);
  } else if (roll < 88) {
    int t = Pick(s, [&](int i) { return present(i) && !d.model[i].keys[kGate]; });
    if (t < 0) return;
    SetKey(d, t, kGate, true, at);
    Later(s, at + length * 0.5, t, kGate);
  } else {
    // A burst of telegrams that every transceiver present hears, one
    // configuration at a time: more lines than a listener's queue holds.
    uint32_t telegrams = 100 + variant * 40;
    Log(d, at, "hear %u telegrams", telegrams);
    ++d.counts.hearBursts;
    for (uint32_t i = 0; i < telegrams; ++i) {
      ++d.hearSeq;
      if (!WriteConfig(d)) break;
      ++d.counts.telegrams;
    }
  }
}

void CarryOut(Devices& d, const Pending& p) {
  if (p.key < 0) {
    Plug(d, p.transceiver, p.atMs);
  } else {
    SetKey(d, p.transceiver, static_cast<KeyKind>(p.key), false, p.atMs);
  }
}

// Phase 2: the schedule from 0 to `lengthMs` of schedule time, each step
// carried out once its time has come (late, if an earlier one took long).
void RunChaos(Devices& d, Schedule& s, double lengthMs) {
  double began = NowMs();
  s.nextActionMs = UniformMs(s.rng, 300, 2500);
  for (;;) {
    auto next = std::min_element(
        s.pending.begin(), s.pending.end(), [](const Pending& a, const Pending& b) {
          return a.atMs < b.atMs || (a.atMs == b.atMs && a.order < b.order);
        });
    bool timed = next != s.pending.end() && next->atMs <= s.nextActionMs;
    double at = timed ? next->atMs : s.nextActionMs;
    if (at >= lengthMs) break;
    double wait = began + at - NowMs();
    if (wait > 0) Sleep(static_cast<DWORD>(wait));
    if (timed) {
      Pending p = *next;
      s.pending.erase(next);
      CarryOut(d, p);
    } else {
      Act(d, s, at);
      s.nextActionMs = at + UniformMs(s.rng, 300, 2500);
    }
  }
  double wait = began + lengthMs - NowMs();
  if (wait > 0) Sleep(static_cast<DWORD>(wait));
}

// Phase 3: every key cleared, every transceiver in.
void Restore(Devices& d, Schedule& s, double at) {
  s.pending.clear();
  for (int t = 0; t < kTransceivers; ++t) {
    for (int k = 0; k < kKeyKinds; ++k) SetKey(d, t, static_cast<KeyKind>(k), false, at);
  }
  for (int t = 0; t < kTransceivers; ++t) Plug(d, t, at);
}

// ===== The simulated driver's log =====

struct LoggedFrame {
  int transceiver;
  uint32_t line;      // line number in ftd2xx-sim.log, from 1
  uint32_t sequence;  // index among its transceiver's send frames
  uint8_t length;
  uint8_t bytes[16];
};

struct DriverLog {
  std::vector<LoggedFrame> sends;
  std::unordered_map<uint32_t, std::vector<size_t>> byRequest;  // indexes into `sends`
  uint32_t lines = 0, startupFrames = 0, opens = 0, failedOpens = 0, failedWrites = 0, closes = 0;
  uint32_t perTransceiver[kTransceivers] = {};
};

bool ReadDriverLog(DriverLog& log) {
  std::wstring path = ProgramFolder() + L"ftd2xx-sim.log";
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return false;
  char line[4096];
  while (std::fgets(line, sizeof line, f)) {
    ++log.lines;
    char serial[64] = "", operation[32] = "";
    unsigned status = 0;
    int used = 0;
    if (std::sscanf(line, "%63s %31s %u%n", serial, operation, &status, &used) < 3) continue;
    int t = TransceiverIndex(serial);
    if (!std::strcmp(operation, "open")) {
      ++(status == 0 ? log.opens : log.failedOpens);
    } else if (!std::strcmp(operation, "close")) {
      ++log.closes;
    } else if (!std::strcmp(operation, "write")) {
      if (status != 0) {
        ++log.failedWrites;
        continue;
      }
      LoggedFrame frame = {};
      frame.transceiver = t;
      frame.line = log.lines;
      unsigned byte = 0;
      int more = 0;
      const char* at = line + used;
      size_t n = 0;
      bool overlong = false;
      while (std::sscanf(at, "%2x%n", &byte, &more) == 1) {
        if (n < sizeof frame.bytes) {
          frame.bytes[n] = static_cast<uint8_t>(byte);
        } else {
          overlong = true;
        }
        ++n;
        at += more;
      }
      frame.length = static_cast<uint8_t>(n < sizeof frame.bytes ? n : sizeof frame.bytes);
      if (!overlong && IsStartupFrame(frame.bytes, n)) {
        ++log.startupFrames;
      } else if (t >= 0 && !overlong && IsSendFrame(frame.bytes, n)) {
        frame.sequence = log.perTransceiver[t]++;
        log.byRequest[FrameRequestId(frame.bytes)].push_back(log.sends.size());
        log.sends.push_back(frame);
      } else {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        Found("frame-unasked", "ftd2xx-sim.log:%u \"%s\" is no frame anybody asked for", log.lines,
              text.c_str());
      }
    }
  }
  std::fclose(f);
  return true;
}

// ===== The checks =====

struct Everything {
  std::vector<const RequestRecord*> requests;
  std::unordered_map<uint32_t, const RequestRecord*> byId;
  DriverLog log;
  const Devices* devices = nullptr;
  double stopAskedMs = 0;
};

std::string Describe(const RequestRecord& r) {
  char text[256];
  std::snprintf(
      text, sizeof text,
      "request %06X (client %u, %s, iid %u, %u bytes, asked %.3f s, answered %.3f s, %s \"%s\")",
      r.id, r.client, kKindName[r.kind], r.iid, r.size, Since(r.askedMs),
      r.answeredMs < 0 ? -1.0 : Since(r.answeredMs), kOutcomeName[r.outcome], r.reply);
  return text;
}

std::string DescribeFrame(const LoggedFrame& f) {
  char text[128];
  std::snprintf(text, sizeof text, "ftd2xx-sim.log:%u %s write %s", f.line,
                f.transceiver >= 0 ? kTransceiver[f.transceiver].serial : "?",
                Hex(f.bytes, f.length).c_str());
  return text;
}

// The transceivers that stood at `iid` at any moment between `fromMs` and
// `untilMs`.
bool AtIidBetween(const Devices& d, int iid, int t, double fromMs, double untilMs) {
  for (const TableVersion& v : d.tables) {
    if (v.fromMs > untilMs || v.untilMs < fromMs) continue;
    if (iid < static_cast<int>(v.order.size()) && v.order[iid] == t) return true;
  }
  return false;
}

// A reply a valid request may get: one of the service's texts, but never
// "Invalid parameter." (the service builds a whole frame from every request
// of ten bytes).
bool ValidReply(const char* text) {
  if (!std::strcmp(text, ReplyText(kInvalidParameterStatus))) return false;
  for (DeviceStatus s = 0; s <= kLastReplyStatus; ++s) {
    if (!std::strcmp(text, ReplyText(s))) return true;
  }
  return false;
}

// Every request answered once, in time, with what its kind allows.
void CheckAnswers(const Everything& e) {
  for (const RequestRecord* r : e.requests) {
    bool byStop = e.stopAskedMs > 0 && r->answeredMs >= e.stopAskedMs;
    if (r->outcome == kAbandoned) continue;
    if (r->outcome == kNotSent) {
      // The connection was gone before the request went out: it was never
      // asked. Only a long message before it or the stop closes one.
      if (!byStop) {
        Found("connection-closed", "%s: the write failed with error %u", Describe(*r).c_str(),
              r->error);
      }
      continue;
    }
    if (r->outcome == kTimedOut) {
      Found("reply-missing", "%s: no reply within %lu s", Describe(*r).c_str(),
            kReplyWaitMs / 1000);
      continue;
    }
    if (r->outcome == kMalformedReply) {
      Found("reply-malformed", "%s", Describe(*r).c_str());
      continue;
    }
    if (r->outcome == kBroken) {
      // A message longer than a request ends its connection; so does the stop.
      if (r->kind != kLong && !byStop) {
        Found("reply-missing", "%s: the connection broke (error %u)", Describe(*r).c_str(),
              r->error);
      }
      continue;
    }
    double took = r->answeredMs - r->askedMs;
    if (took > kAnswerLimitMs + kAnswerSlackMs) {
      Found("reply-late", "%s: took %.3f s", Describe(*r).c_str(), took / 1000);
    }
    const char* expected = r->kind == kNoSuchIid ? "ZARVO device not found."
                           : r->kind == kValid   ? nullptr
                                                 : "Invalid parameter.";
    if (expected ? std::strcmp(r->reply, expected) != 0 : !ValidReply(r->reply)) {
      // Once the stop has emptied the table, every request gets "not found".
      bool stopNotFound = byStop && !std::strcmp(r->reply, "ZARVO device not found.") &&
                          r->kind != kShort && r->kind != kLong;
      if (!stopNotFound) {
        Found("reply-wrong", "%s: expected \"%s\"", Describe(*r).c_str(),
              expected ? expected : "a reply text");
      }
    }
  }
}

// Every OK request's frame reached its transceiver once; no frame went out
// that nobody asked for; a request answered with an error went out only if
// it was inside a driver call when it was answered.
void CheckFrames(const Everything& e, uint32_t (&errorWritten)[kTransceivers]) {
  const Devices& d = *e.devices;
  for (const LoggedFrame& f : e.log.sends) {
    uint32_t id = FrameRequestId(f.bytes);
    auto it = e.byId.find(id);
    const RequestRecord* r = it == e.byId.end() ? nullptr : it->second;
    if (!r || r->kind != kValid) {
      Found("frame-unasked", "%s: %s", DescribeFrame(f).c_str(),
            r ? ("made from " + Describe(*r)).c_str() : "no such request");
      continue;
    }
    SendFrame want = ExpectedFrame(r->id, r->cmd, r->data);
    if (f.length != want.length || std::memcmp(f.bytes, want.bytes, want.length) != 0) {
      Found("frame-wrong", "%s: expected %s for %s", DescribeFrame(f).c_str(),
            Hex(want.bytes, want.length).c_str(), Describe(*r).c_str());
    }
  }
  for (const RequestRecord* r : e.requests) {
    auto it = e.log.byRequest.find(r->id);
    size_t times = it == e.log.byRequest.end() ? 0 : it->second.size();
    if (r->kind != kValid) continue;  // reported above if it went out
    if (times > 1) {
      std::string where;
      for (size_t k : it->second) where += " [" + DescribeFrame(e.log.sends[k]) + "]";
      Found("frame-twice", "%s went out %zu times:%s", Describe(*r).c_str(), times, where.c_str());
    }
    if (times == 0) {
      if (IsOk(*r)) Found("frame-missing", "%s: OK, but no frame went out", Describe(*r).c_str());
      continue;
    }
    const LoggedFrame& f = e.log.sends[it->second[0]];
    double until = r->answeredMs < 0 ? 1e300 : r->answeredMs;
    if (!AtIidBetween(d, r->iid, f.transceiver, r->askedMs, until)) {
      Found("frame-elsewhere", "%s went to %s, which was never at instance %u while it waited",
            Describe(*r).c_str(), DescribeFrame(f).c_str(), r->iid);
    }
    if (IsOk(*r) || r->outcome != kReplied) continue;
    // Answered with an error, and written: only the request a transceiver
    // thread held inside a driver call that the watchdog (10 s) or the pipe
    // server (11 s) gave up on may still go out, with the i/o error.
    ++errorWritten[f.transceiver];
    bool inHand =
        !std::strcmp(r->reply, "ZARVO i/o error.") && r->answeredMs - r->askedMs >= kInHandAnswerMs;
    if (!inHand) {
      Found("error-then-sent", "%s, then %s", Describe(*r).c_str(), DescribeFrame(f).c_str());
    }
  }
  for (int t = 0; t < kTransceivers; ++t) {
    if (errorWritten[t] > d.counts.holdEpisodes[t]) {
      Found("error-then-sent",
            "%s: %u requests answered with an error went out, more than its %u write hangs "
            "and closed gates could hold in a driver call",
            kTransceiver[t].serial, errorWritten[t], d.counts.holdEpisodes[t]);
    }
  }
}

// A session's sent lines, against the driver's log and the requests' times:
// each names a frame written to that transceiver; they come in the order the
// frames went out; a frame whose request was answered OK before another
// request was asked comes before that one's line; and a sent line missing
// where a later one shows is counted by a lost line before that later one.
void CheckSession(const Everything& e, const ListenerState& l, const Session& s) {
  const Devices& d = *e.devices;
  struct Seen {
    uint32_t position;
    const RequestRecord* request;
  };
  std::vector<Seen> seen;
  std::unordered_map<uint32_t, uint32_t> positionOf;
  int32_t lastSequence[kTransceivers] = {-1, -1, -1};
  for (const SentSeen& line : s.sent) {
    uint32_t id = FrameRequestId(line.raw);
    auto logged = e.log.byRequest.find(id);
    const LoggedFrame* match = nullptr;
    if (logged != e.log.byRequest.end()) {
      for (size_t k : logged->second) {
        const LoggedFrame& f = e.log.sends[k];
        if (f.transceiver == line.transceiver && f.length == line.length &&
            !std::memcmp(f.bytes, line.raw, f.length)) {
          match = &f;
        }
      }
    }
    if (!match) {
      Found("sent-unwritten",
            "listener %d, session at %.3f s, line %u: sent %s raw=%s matches no frame written",
            l.index, Since(s.connectedMs), line.position, kTransceiver[line.transceiver].serial,
            Hex(line.raw, line.length).c_str());
      continue;
    }
    if (static_cast<int32_t>(match->sequence) <= lastSequence[line.transceiver]) {
      Found("sent-order",
            "listener %d, session at %.3f s, line %u: %s came after a later frame of %s", l.index,
            Since(s.connectedMs), line.position, DescribeFrame(*match).c_str(),
            kTransceiver[line.transceiver].serial);
    }
    lastSequence[line.transceiver] = static_cast<int32_t>(match->sequence);
    auto r = e.byId.find(id);
    if (r != e.byId.end()) {
      seen.push_back({line.position, r->second});
      positionOf[id] = line.position;
    }
  }
  // The lines of requests asked after `ms`, as the smallest position among
  // them: sort by time asked, latest first, and keep a running minimum.
  std::vector<Seen> byAsked = seen;
  std::sort(byAsked.begin(), byAsked.end(),
            [](const Seen& a, const Seen& b) { return a.request->askedMs > b.request->askedMs; });
  std::vector<uint32_t> minPosition(byAsked.size());
  for (size_t i = 0; i < byAsked.size(); ++i) {
    minPosition[i] =
        i == 0 ? byAsked[i].position : std::min(minPosition[i - 1], byAsked[i].position);
  }
  auto firstLineAskedAfter = [&](double ms, uint32_t& position) {
    // byAsked[0 .. n) are those asked after `ms`.
    size_t n = std::partition_point(byAsked.begin(), byAsked.end(),
                                    [&](const Seen& x) { return x.request->askedMs > ms; }) -
               byAsked.begin();
    if (n == 0) return false;
    position = minPosition[n - 1];
    return true;
  };
  std::vector<uint32_t> missingBefore;
  for (const RequestRecord* r : e.requests) {
    if (!IsOk(*r) || s.greetedMs < 0 || r->askedMs < s.greetedMs || r->askedMs > s.endedMs) {
      continue;
    }
    uint32_t witness = 0;
    if (!firstLineAskedAfter(r->answeredMs, witness)) continue;
    auto own = positionOf.find(r->id);
    if (own == positionOf.end()) {
      missingBefore.push_back(witness);
    } else if (own->second > witness) {
      Found("sent-order",
            "listener %d, session at %.3f s: the sent line of %s (line %u) came after line %u, "
            "whose request was asked after it was answered",
            l.index, Since(s.connectedMs), Describe(*r).c_str(), own->second, witness);
    }
  }
  std::sort(missingBefore.begin(), missingBefore.end());
  size_t lossAt = 0;
  uint64_t lostSoFar = 0;
  for (size_t k = 0; k < missingBefore.size(); ++k) {
    while (lossAt < s.losses.size() && s.losses[lossAt].position < missingBefore[k]) {
      lostSoFar += s.losses[lossAt++].count;
    }
    if (k + 1 > lostSoFar) {
      Found(
          "sent-gap",
          "listener %d, session at %.3f s: %zu sent lines missing before line %u, but only %" PRIu64
          " lines reported lost before it",
          l.index, Since(s.connectedMs), k + 1, missingBefore[k], lostSoFar);
      break;
    }
  }
  // The greeting names the table as it stood at some moment of the connect.
  if (s.greetedMs >= 0 && s.lines > 0) {
    bool plausible = false;
    for (const TableVersion& v : d.tables) {
      if (v.fromMs <= s.greetedMs && v.untilMs >= s.connectedMs && v.order == s.greeting) {
        plausible = true;
      }
    }
    if (!plausible) {
      std::string names;
      for (int t : s.greeting) names += std::string(" ") + kTransceiver[t].serial;
      Found("listener-greeting",
            "listener %d, session at %.3f s: present%s matches no table of that time", l.index,
            Since(s.connectedMs), names.c_str());
    }
  }
}

// ===== Figures =====

void PrintFigures(const Everything& e, const std::vector<ListenerState>& listeners,
                  const std::vector<ClientState>& clients, const Counts& base, const Counts& end,
                  double stopMs, double chaosMs, const uint32_t (&errorWritten)[kTransceivers],
                  uint32_t actions) {
  const Devices& d = *e.devices;
  std::map<std::string, uint32_t> byReply;
  uint32_t byKind[4] = {};
  std::vector<double> latency;
  for (const RequestRecord* r : e.requests) {
    ++byKind[r->kind];
    ++byReply[r->outcome == kReplied ? std::string("\"") + r->reply + "\""
                                     : std::string(kOutcomeName[r->outcome])];
    if (r->outcome == kReplied) latency.push_back(r->answeredMs - r->askedMs);
  }
  std::sort(latency.begin(), latency.end());
  auto at = [&](double q) {
    return latency.empty() ? 0.0 : latency[static_cast<size_t>(q * (latency.size() - 1))];
  };
  uint32_t connects = 0;
  for (const ClientState& c : clients) connects += c.connects;
  std::printf("--- figures (%.1f s of chaos, %u scheduled actions)\n", chaosMs / 1000, actions);
  std::printf("requests: %zu on %u connections (%u valid, %u for no such iid, %u short, %u long)\n",
              e.requests.size(), connects, byKind[kValid], byKind[kNoSuchIid], byKind[kShort],
              byKind[kLong]);
  for (const auto& kv : byReply) std::printf("  %-34s %u\n", kv.first.c_str(), kv.second);
  std::printf("  reply time: p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", at(0.5), at(0.99), at(1.0));
  uint32_t written = 0;
  for (uint32_t n : e.log.perTransceiver) written += n;
  std::printf(
      "frames written: %u FS20 (%s %u, %s %u, %s %u), %u start-up; %u failed writes; opens %u (%u "
      "failed), "
      "closes %u; driver log lines %u\n",
      written, kTransceiver[0].serial, e.log.perTransceiver[0], kTransceiver[1].serial,
      e.log.perTransceiver[1], kTransceiver[2].serial, e.log.perTransceiver[2], e.log.startupFrames,
      e.log.failedWrites, e.log.opens, e.log.failedOpens, e.log.closes, e.log.lines);
  std::printf("  answered with an error and written all the same (in a driver call): %u %u %u\n",
              errorWritten[0], errorWritten[1], errorWritten[2]);
  std::printf("plug cycles: %u pull-outs, %u plug-ins, %u walks (control 128)\n", d.counts.pulls,
              d.counts.plugs, d.counts.rescans);
  std::printf("telegrams heard: %u in %u bursts, by every transceiver present\n",
              d.counts.telegrams, d.counts.hearBursts);
  for (int k = 0; k < kKeyKinds; ++k) {
    std::printf("  %-28s %3u set, %3u released by the key, %3u by a pull-out\n", kKeyName[k],
                d.counts.hangs[k], d.counts.releasedByKey[k], d.counts.releasedByPull[k]);
  }
  for (const ListenerState& l : listeners) {
    uint64_t lines = 0, lost = 0, losses = 0;
    std::map<std::string, uint32_t> words;
    for (const Session& s : l.sessions) {
      lines += s.lines;
      lost += s.lost;
      losses += s.losses.size();
      for (const auto& kv : s.words) words[kv.first] += kv.second;
    }
    std::printf("listener %d%s: %u connects, %u leaves, %zu sessions, %u reading pauses, %" PRIu64
                " lines, %" PRIu64 " lost in %" PRIu64 " lost lines;",
                l.index, l.silent ? " (silent until the chaos ended)" : "", l.connects, l.leaves,
                l.sessions.size(), l.pauses, lines, lost, losses);
    for (const auto& kv : words) std::printf(" %s %u", kv.first.c_str(), kv.second);
    std::printf("\n");
  }
  std::printf(
      "service process: handles %lu, threads %d at the baseline; %lu, %d after the restore\n",
      base.handles, base.threads, end.handles, end.threads);
  {
    std::lock_guard<std::mutex> hold(g_watch.lock);
    std::printf("service state: %u polls before the stop, %u not RUNNING\n", g_watch.polls,
                g_watch.notRunning);
  }
  std::printf("stop: STOPPED %.3f s after it was asked\n", stopMs / 1000);
}

// ===== Set-up, phases, main =====

int Setup() {
  Devices d;
  if (!WriteConfig(d)) return 2;
  for (const Transceiver& t : kTransceiver) {
    if (!AddRegistryEntries(t)) {
      std::printf("registry entries of %s not added: error %lu\n", t.serial, GetLastError());
      return 2;
    }
  }
  std::printf("configuration and registry entries written\n");
  return 0;
}

// The table as a listener's greeting shows it now.
bool ReadGreeting(std::vector<int>& order) {
  Connection c;
  std::atomic<int> run{kRun};
  if (!Connect(c, kEventsPipe, GENERIC_READ, false, 20000, run)) return false;
  ListenerState probe;
  probe.index = -1;
  Session s;
  char buffer[4096];
  double until = NowMs() + 5000;
  // The greeting comes whole with the first write; a moment more lets any
  // line behind it show it has ended.
  while (NowMs() < until && (s.lines == 0 || NowMs() < s.greetedMs + 300)) {
    DWORD count = 0, error = 0;
    if (PipeRead(c.pipe, c.event, buffer, sizeof buffer, 100, count, error) ||
        error == WAIT_TIMEOUT) {
      if (count) TakeBytes(probe, s, buffer, count);
    } else {
      break;
    }
  }
  Disconnect(c);
  order = s.greeting;
  return s.lines > 0;
}

// A few requests of the main thread's own, one connection each.
void WarmUp(ClientState& main) {
  for (int i = 0; i < 3 * kTransceivers; ++i) {
    Connection c;
    if (!Connect(c, kPipe, GENERIC_READ | GENERIC_WRITE, true, 20000, g_clientMode)) continue;
    RequestRecord r = DrawRequest(main);
    r.kind = kValid;
    r.size = sizeof(PipeRequest);
    r.abandon = false;
    r.iid = static_cast<uint8_t>(i % kTransceivers);
    Exchange(c, r);
    main.records.push_back(r);
    TakeUnasked(c, &main.records.back());
    Disconnect(c);
  }
}

// Four clients at once, each with a hundred requests on one connection to
// the three transceivers in turn: the device table's guard is taken by the
// pipe server for every request and by every transceiver thread for every
// sent line, so it is contended here, and its event (see kLazyMutexEvents)
// is made before the baseline is counted, as a rule.
void WarmUpBurst(std::vector<ClientState>& burst) {
  std::vector<std::thread> threads;
  for (ClientState& c : burst) {
    threads.emplace_back([&c] {
      Connection connection;
      if (!Connect(connection, kPipe, GENERIC_READ | GENERIC_WRITE, true, 20000, g_clientMode)) {
        return;
      }
      for (int i = 0; i < 100; ++i) {
        RequestRecord r = DrawRequest(c);
        r.kind = kValid;
        r.size = sizeof(PipeRequest);
        r.abandon = false;
        r.iid = static_cast<uint8_t>((i + c.index) % kTransceivers);
        TakeUnasked(connection, c.records.empty() ? nullptr : &c.records.back());
        Exchange(connection, r);
        c.records.push_back(r);
        if (r.outcome != kReplied) break;
      }
      Disconnect(connection);
    });
  }
  for (std::thread& t : threads) t.join();
}

FILE* OpenOutput(const wchar_t* name) { return _wfopen((ProgramFolder() + name).c_str(), L"w"); }

void WriteRequests(const std::vector<const RequestRecord*>& requests) {
  FILE* f = OpenOutput(L"chaos-requests.txt");
  if (!f) return;
  std::fprintf(f,
               "# id client kind iid size cmd data asked_s answered_s outcome error extra reply\n");
  for (const RequestRecord* r : requests) {
    std::fprintf(f, "%06X %u %s %u %u %02X %02X %.3f %.3f %s %u %u %s\n", r->id, r->client,
                 kKindName[r->kind], r->iid, r->size, r->cmd, r->data, Since(r->askedMs),
                 r->answeredMs < 0 ? -1.0 : Since(r->answeredMs), kOutcomeName[r->outcome],
                 r->error, r->extraReplies, r->reply);
  }
  std::fclose(f);
}

int Run(uint32_t seed, double seconds) {
  std::printf("chaos: seed %u, %.0f s\n", seed, seconds);
  std::fflush(stdout);
  std::mt19937 master(seed);
  Devices d;
  d.actions = OpenOutput(L"chaos-actions.txt");
  if (d.actions) std::fprintf(d.actions, "# schedule_s real_s action\n");
  if (!OpenService(d.service)) {
    std::printf("the service could not be opened: error %lu\n", GetLastError());
    return 2;
  }
  DWORD pid = ServicePid(d.service.service);
  HANDLE process =
      pid ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_DUP_HANDLE, FALSE, pid)
          : nullptr;
  if (ServiceState(d.service.service) != SERVICE_RUNNING || !process) {
    std::printf("the service is not running (pid %lu)\n", pid);
    return 2;
  }
  std::thread watch(RunWatch);

  // Phase 1: the table as the service has it, a warm-up, the baseline.
  std::vector<int> order;
  if (!ReadGreeting(order) || order.size() != kTransceivers) {
    std::printf("the service's greeting did not show the three transceivers (%zu)\n", order.size());
    g_watchEnd = true;
    watch.join();
    return 2;
  }
  d.tables.push_back({0, 1e300, order});
  ClientState mainClient;
  mainClient.index = kMainClient;
  mainClient.rng.seed(master());
  WarmUp(mainClient);
  Pull(d, order.back(), 0);
  Plug(d, order.back(), 0);
  WarmUp(mainClient);
  std::vector<ClientState> burst(kBurstClients);
  for (int i = 0; i < kBurstClients; ++i) {
    burst[i].index = kMainClient - 1 - i;
    burst[i].rng.seed(master());
  }
  WarmUpBurst(burst);
  Counts base = SettledCounts(pid, 10000);
  std::vector<ProcessHandleEntry> baseHandles = ProcessHandles(pid);
  // Wine's GetProcessHandleCount gives 0 for another process; the count
  // comes from the system's handle list instead (process_counts.h).
  DWORD reported = 0;
  GetProcessHandleCount(process, &reported);
  std::printf(
      "baseline: the service process (pid %lu) has %lu handles (GetProcessHandleCount says %lu) "
      "and "
      "%d threads\n",
      pid, base.handles, reported, base.threads);
  if (base.handles == 0 || base.threads <= 0) {
    Found("scenario", "the service process's handles or threads cannot be counted (%lu, %d)",
          base.handles, base.threads);
  }

  // Phase 2: chaos.
  std::vector<ClientState> clients(kClients);
  std::vector<ListenerState> listeners(kListeners);
  Schedule schedule;
  schedule.rng.seed(master());
  for (int i = 0; i < kClients; ++i) {
    clients[i].index = i;
    clients[i].rng.seed(master());
  }
  for (int i = 0; i < kListeners; ++i) {
    listeners[i].index = i;
    listeners[i].silent = i == kListeners - 1;
    listeners[i].rng.seed(master());
    wchar_t name[64];
    std::swprintf(name, 64, L"chaos-listener-%d.txt", i);
    listeners[i].out = OpenOutput(name);
  }
  std::vector<std::thread> threads;
  for (ListenerState& l : listeners) threads.emplace_back(RunListener, std::ref(l));
  // The silent listener's greeting first: from then on it holds every line.
  for (int i = 0; i < 200 && listeners.back().sessions.empty(); ++i) Sleep(10);
  for (ClientState& c : clients) threads.emplace_back(RunClient, std::ref(c));
  double chaosBegan = NowMs();
  RunChaos(d, schedule, seconds * 1000);
  double chaosMs = NowMs() - chaosBegan;

  // Phase 3: everything back as it was; the handles and threads too.
  g_clientMode = kPause;
  Restore(d, schedule, seconds * 1000);
  g_drainSilent = true;
  double settleBegan = NowMs();
  Counts end = SettledCounts(pid, 5000);
  CountsVerdict verdict = JudgeCounts(process, base, baseHandles, end, ProcessHandles(pid));
  while (!verdict.tolerated && NowMs() - settleBegan < kSettleLimitMs) {
    end = SettledCounts(pid, 5000);
    verdict = JudgeCounts(process, base, baseHandles, end, ProcessHandles(pid));
  }
  std::printf("after the restore: %lu handles and %d threads (%.1f s to settle)%s%s\n", end.handles,
              end.threads, (NowMs() - settleBegan) / 1000,
              verdict.same ? "" : "; by type:", verdict.detail.c_str());
  if (!verdict.tolerated) {
    Found("leak",
          "%.0f s after the restore the service process has %lu handles and %d threads, against "
          "%lu and %d "
          "at the baseline:%s",
          kSettleLimitMs / 1000, end.handles, end.threads, base.handles, base.threads,
          verdict.detail.c_str());
  } else if (!verdict.same) {
    std::printf(
        "  %d more events: taken as those of std::mutex objects contended for the first time\n",
        verdict.extraEvents);
  }

  // Phase 4: the stop, with clients asking and one transceiver stuck.
  g_clientMode = kRun;
  Sleep(1500);
  int stuck = CurrentOrder(d).front();
  SetKey(d, stuck, kHangWrite, true, seconds * 1000);
  Sleep(2000);
  double stopAsked = NowMs();
  g_stopAskedMs = stopAsked;
  // The stop empties the table first: from now on a greeting may show no
  // transceiver, and a request may find none.
  d.tables.push_back({stopAsked, 1e300, {}});
  Log(d, seconds * 1000, "stop");
  SERVICE_STATUS status = {};
  if (!ControlService(d.service.service, SERVICE_CONTROL_STOP, &status)) {
    Found("stop", "ControlService(stop) failed: error %lu", GetLastError());
  }
  double stopMs = -1;
  while (NowMs() - stopAsked < 60000) {
    if (ServiceState(d.service.service) == SERVICE_STOPPED) {
      stopMs = NowMs() - stopAsked;
      break;
    }
    Sleep(10);
  }
  if (stopMs < 0 || stopMs > kStopLimitMs) {
    Found("stop", "STOPPED %s after the stop was asked (limit %.0f s)",
          stopMs < 0 ? "not within 60 s" : (std::to_string(stopMs / 1000) + " s").c_str(),
          kStopLimitMs / 1000);
  }
  // The log is complete once the process has ended.
  if (WaitForSingleObject(process, 30000) != WAIT_OBJECT_0) {
    Found("stop", "the service process had not ended 30 s after STOPPED");
  }
  CloseHandle(process);
  g_clientMode = kEnd;
  g_listenerMode = kEnd;
  g_watchEnd = true;
  for (std::thread& t : threads) t.join();
  watch.join();
  SetKey(d, stuck, kHangWrite, false, seconds * 1000);
  for (ListenerState& l : listeners) {
    if (l.out) std::fclose(l.out);
  }
  if (d.actions) std::fclose(d.actions);

  // Phase 5: the checks.
  Everything e;
  e.devices = &d;
  e.stopAskedMs = stopAsked;
  for (const RequestRecord& r : mainClient.records) e.requests.push_back(&r);
  for (const ClientState& c : burst) {
    for (const RequestRecord& r : c.records) e.requests.push_back(&r);
  }
  for (const ClientState& c : clients) {
    for (const RequestRecord& r : c.records) e.requests.push_back(&r);
  }
  std::sort(e.requests.begin(), e.requests.end(),
            [](const RequestRecord* a, const RequestRecord* b) { return a->askedMs < b->askedMs; });
  for (const RequestRecord* r : e.requests) e.byId[r->id] = r;
  WriteRequests(e.requests);
  if (!ReadDriverLog(e.log)) Found("scenario", "ftd2xx-sim.log could not be read");
  CheckAnswers(e);
  uint32_t errorWritten[kTransceivers] = {};
  CheckFrames(e, errorWritten);
  for (const ListenerState& l : listeners) {
    for (const Session& s : l.sessions) CheckSession(e, l, s);
  }
  PrintFigures(e, listeners, clients, base, end, stopMs, chaosMs, errorWritten, schedule.actions);
  CloseService(d.service);

  std::lock_guard<std::mutex> hold(g_findings.lock);
  if (g_findings.byKind.empty()) {
    std::printf("--- found nothing\n");
    return 0;
  }
  std::printf("--- found:");
  for (const auto& kv : g_findings.byKind) std::printf(" %s %d", kv.first.c_str(), kv.second);
  std::printf("\n");
  for (const std::string& line : g_findings.details) std::printf("FOUND %s\n", line.c_str());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  g_startMs = NowMs();
  // Unbuffered: the script reads the output from a file, also after a crash.
  setvbuf(stdout, nullptr, _IONBF, 0);
  uint32_t seed = 1;
  double seconds = 60;
  bool setup = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::wcscmp(argv[i], L"--setup")) {
      setup = true;
    } else if (!std::wcscmp(argv[i], L"--seed") && i + 1 < argc) {
      seed = static_cast<uint32_t>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (!std::wcscmp(argv[i], L"--seconds") && i + 1 < argc) {
      seconds = std::wcstod(argv[++i], nullptr);
    } else {
      std::printf("usage: chaos.exe --setup | --seed S --seconds N\n");
      return 2;
    }
  }
  if (setup) return Setup();
  if (!(seconds > 0)) {
    std::printf("--seconds must be above 0\n");
    return 2;
  }
  return Run(seed, seconds);
}
