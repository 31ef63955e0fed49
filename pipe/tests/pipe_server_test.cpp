// The pipe server in this process, with simulated transceivers behind the
// device table, talked to through the pipe by raw clients of the tests' own.
//
// Threads: the server runs on its own thread for the whole test program (it
// can be started once per process); the tests' clients run on the test
// thread and, in the load test, on four threads of their own. The simulated
// transceivers are read by the tests under their locks.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/frame.h"
#include "core/request.h"
#include "devices/device_table.h"
#include "devices/device_channel.h"
#include "devices/tests/fake_channel.h"
#include "pipe/pipe_server.h"
#include "tests/pipe/fake_transceivers.h"

namespace {

constexpr int kTransceivers = 2;
constexpr DWORD kReplyWaitMs = 5000;

DWORD EnsureServer() {
  static std::once_flag once;
  static DWORD status = 0;
  std::call_once(once, [] {
    status = InstallFakeTransceivers(kTransceivers) ? StartPipeServer(nullptr) : ERROR_OUTOFMEMORY;
  });
  return status;
}

// A client end of the pipe with overlapped I/O, so that a read that gets no
// reply ends in a time-out instead of hanging the test.
struct RawClient {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = NULL;

  RawClient() { event = CreateEventW(NULL, TRUE, FALSE, NULL); }
  ~RawClient() {
    Close();
    CloseHandle(event);
  }

  // Opens the pipe once, without waiting: 0 or the open's error.
  DWORD TryOpen() {
    pipe = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, NULL);
    if (pipe == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, NULL, NULL)) return GetLastError();
    return 0;
  }

  // Opens the pipe, waiting while it is busy.
  DWORD Open() {
    for (;;) {
      DWORD error = TryOpen();
      if (error != ERROR_PIPE_BUSY) return error;
      if (!WaitNamedPipeW(kPipeName, 10000)) return GetLastError();
    }
  }

  void Close() {
    if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
    pipe = INVALID_HANDLE_VALUE;
  }

  // Writes one message: 0 or the error.
  DWORD Send(const void* bytes, DWORD size) {
    OVERLAPPED o = {};
    o.hEvent = event;
    DWORD done = 0;
    if (!WriteFile(pipe, bytes, size, &done, &o) && GetLastError() != ERROR_IO_PENDING) {
      return GetLastError();
    }
    if (!GetOverlappedResult(pipe, &o, &done, TRUE)) return GetLastError();
    return done == size ? 0 : ERROR_WRITE_FAULT;
  }

  DWORD Send(const PipeRequest& request) { return Send(&request, sizeof request); }

  // Reads one message: 0, the read's error, or WAIT_TIMEOUT.
  DWORD Receive(std::vector<uint8_t>& message, DWORD timeoutMs = kReplyWaitMs) {
    message.assign(kPipeBufferSize, 0);
    OVERLAPPED o = {};
    o.hEvent = event;
    DWORD got = 0;
    if (!ReadFile(pipe, message.data(), kPipeBufferSize, &got, &o) &&
        GetLastError() != ERROR_IO_PENDING) {
      return GetLastError();
    }
    if (WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0) {
      CancelIo(pipe);
      GetOverlappedResult(pipe, &o, &got, TRUE);
      return WAIT_TIMEOUT;
    }
    if (!GetOverlappedResult(pipe, &o, &got, FALSE)) return GetLastError();
    message.resize(got);
    return 0;
  }
};

// The reply as text, checking that it is UTF-16LE ending in exactly one NUL.
std::string ReplyText(const std::vector<uint8_t>& message) {
  std::string text;
  if (message.size() < 2 || message.size() % 2 != 0) return "<malformed>";
  for (size_t i = 0; i + 2 < message.size(); i += 2) {
    if (message[i + 1] != 0 || message[i] == 0) return "<malformed>";
    text.push_back(static_cast<char>(message[i]));
  }
  if (message[message.size() - 2] != 0 || message.back() != 0) return "<malformed>";
  return text;
}

// Sends one request and returns the reply text, or a description of what
// went wrong.
std::string Ask(RawClient& client, const void* bytes, DWORD size) {
  DWORD error = client.Send(bytes, size);
  if (error != 0) return "<send error " + std::to_string(error) + ">";
  std::vector<uint8_t> reply;
  error = client.Receive(reply);
  if (error != 0) return "<receive error " + std::to_string(error) + ">";
  return ReplyText(reply);
}

PipeRequest Request(uint8_t iid, uint16_t hc1, uint16_t hc2, uint16_t addr, uint8_t cmd,
                    uint8_t data) {
  PipeRequest r = {};
  r.iid = iid;
  r.hc1 = hc1;
  r.hc2 = hc2;
  r.addr = addr;
  r.cmd = cmd;
  r.data = data;
  return r;
}

// The frame HandleRequest sends for these request bytes.
std::vector<uint8_t> ExpectedFrame(const PipeRequest& r) {
  Frame frame;
  PrepareFrame(frame, r.iid);
  BuildSendFrame(frame, r.data != 0, NotationToByte(r.hc1), NotationToByte(r.hc2),
                 NotationToByte(r.addr), r.cmd, r.data);
  return std::vector<uint8_t>(frame.bytes, frame.bytes + frame.length);
}

std::vector<uint8_t> LastFrame(int slot) {
  uint8_t bytes[kFrameBufferSize];
  uint32_t length = 0;
  FakeFrame(slot, FakeFramesWritten(slot) - 1, bytes, length);
  return std::vector<uint8_t>(bytes, bytes + length);
}

// Waits until transceiver `slot` has been sent `frames` frames in all.
bool WaitForFrames(int slot, int frames, DWORD timeoutMs = 5000) {
  DWORD started = GetTickCount();
  while (FakeFramesWritten(slot) < frames) {
    if (GetTickCount() - started > timeoutMs) return false;
    Sleep(5);
  }
  return true;
}

// Connects three idle clients, so that the instance the test's own client
// gets is the only free one, and a client after it can only be served by that
// same instance.
struct ThreeHolders {
  RawClient clients[3];
  DWORD Open() {
    for (RawClient& c : clients) {
      DWORD error = c.Open();
      if (error != 0) return error;
    }
    return 0;
  }
};

class PipeServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(EnsureServer(), 0u); }
};

TEST_F(PipeServer, TenByteRequestIsRelayedAndAnsweredWithOneUtf16Message) {
  RawClient client;
  ASSERT_EQ(client.Open(), 0u);
  int before = FakeFramesWritten(0);
  PipeRequest r = Request(0, 1234, 1111, 4411, 17, 0);
  ASSERT_EQ(client.Send(r), 0u);
  std::vector<uint8_t> reply;
  ASSERT_EQ(client.Receive(reply), 0u);
  EXPECT_EQ(reply, (std::vector<uint8_t>{'O', 0, 'K', 0, 0, 0}));
  EXPECT_EQ(FakeFramesWritten(0), before + 1);
  EXPECT_EQ(LastFrame(0), ExpectedFrame(r));
  EXPECT_EQ(LastFrame(0).size(), 11u);

  // Beyond the table: answered, and no transceiver is touched.
  int others = FakeFramesWritten(0) + FakeFramesWritten(1);
  PipeRequest beyond = Request(kTransceivers, 1234, 1111, 4411, 17, 5);
  EXPECT_EQ(Ask(client, &beyond, sizeof beyond), "ZARVO device not found.");
  EXPECT_EQ(FakeFramesWritten(0) + FakeFramesWritten(1), others);
}

TEST_F(PipeServer, SecondAndThirdRequestsOnOneConnectionAreAnswered) {
  RawClient client;
  ASSERT_EQ(client.Open(), 0u);
  for (uint8_t cmd : {16, 0, 18}) {
    PipeRequest r = Request(1, 1111, 2222, 3333, cmd, 7);
    EXPECT_EQ(Ask(client, &r, sizeof r), "OK");
    EXPECT_EQ(LastFrame(1), ExpectedFrame(r));
  }
}

TEST_F(PipeServer, RequestsSentAheadOfTheirRepliesAreAnsweredInOrder) {
  // The later requests wait in the pipe, so the server's reads of them
  // complete at once: the path an instance takes without a wait between.
  RawClient client;
  ASSERT_EQ(client.Open(), 0u);
  int before = FakeFramesWritten(0);
  const uint8_t iids[] = {0, kTransceivers, 0, 0, kTransceivers};
  for (uint8_t iid : iids) {
    PipeRequest r = Request(iid, 1111, 1111, 1111, 17, 0);
    ASSERT_EQ(client.Send(r), 0u);
  }
  for (uint8_t iid : iids) {
    std::vector<uint8_t> reply;
    ASSERT_EQ(client.Receive(reply), 0u);
    EXPECT_EQ(ReplyText(reply), iid == 0 ? "OK" : "ZARVO device not found.");
  }
  EXPECT_EQ(FakeFramesWritten(0), before + 3);
}

TEST_F(PipeServer, AShortMessageIsAnsweredInvalidParameterAndSendsNothing) {
  // On one connection the instance is the same: bytes a short message does
  // not reach must never be filled in from the request read before it,
  // which would switch another client's device.
  RawClient client;
  ASSERT_EQ(client.Open(), 0u);
  PipeRequest first = Request(0, 1234, 1111, 4411, 17, 9);
  ASSERT_EQ(Ask(client, &first, sizeof first), "OK");
  PipeRequest second = Request(1, 4444, 3333, 2222, 18, 0);
  int before0 = FakeFramesWritten(0);
  int before1 = FakeFramesWritten(1);
  for (DWORD size = 1; size <= 9; ++size) {
    EXPECT_EQ(Ask(client, &second, size), "Invalid parameter.") << size << " bytes";
  }
  EXPECT_EQ(FakeFramesWritten(0), before0);
  EXPECT_EQ(FakeFramesWritten(1), before1);
  // The connection stays open and serves a whole request as usual.
  EXPECT_EQ(Ask(client, &second, sizeof second), "OK");
  EXPECT_EQ(LastFrame(1), ExpectedFrame(second));
}

TEST_F(PipeServer, EmptyAndOverlongMessagesGetNoReplyAndTheInstanceServesTheNextClient) {
  ThreeHolders holders;
  ASSERT_EQ(holders.Open(), 0u);
  const uint8_t junk[100] = {0};
  for (DWORD size : {0u, 11u, 12u, 100u}) {
    RawClient client;
    ASSERT_EQ(client.Open(), 0u) << size << " bytes";
    int before = FakeFramesWritten(0);
    ASSERT_EQ(client.Send(junk, size), 0u) << size << " bytes";
    std::vector<uint8_t> reply;
    DWORD error = client.Receive(reply);
    EXPECT_NE(error, 0u) << size << " bytes: got a reply";
    EXPECT_NE(error, static_cast<DWORD>(WAIT_TIMEOUT)) << size << " bytes: not dropped";
    EXPECT_EQ(FakeFramesWritten(0), before) << size << " bytes";

    RawClient next;
    ASSERT_EQ(next.Open(), 0u) << "after " << size << " bytes";
    PipeRequest r = Request(0, 1111, 1111, 1111, 1, 0);
    EXPECT_EQ(Ask(next, &r, sizeof r), "OK") << "after " << size << " bytes";
  }
}

TEST_F(PipeServer, AClientLeavingBeforeItsReplyStillHasItsCommandRelayed) {
  ThreeHolders holders;
  ASSERT_EQ(holders.Open(), 0u);
  // Transceiver 1 reports busy for a few hundred polls, so that the request
  // is still being handled when the client goes.
  {
    std::lock_guard<std::mutex> hold(g_fakeTransceivers[1].mu);
    g_fakeTransceivers[1].modemSequence.assign(400, 0);
  }
  int before = FakeFramesWritten(1);
  PipeRequest r = Request(1, 2341, 4123, 3412, 19, 44);
  {
    RawClient client;
    ASSERT_EQ(client.Open(), 0u);
    ASSERT_EQ(client.Send(r), 0u);
  }
  ASSERT_TRUE(WaitForFrames(1, before + 1));
  EXPECT_EQ(LastFrame(1), ExpectedFrame(r));

  RawClient next;
  ASSERT_EQ(next.Open(), 0u);
  EXPECT_EQ(Ask(next, &r, sizeof r), "OK");
}

// Four requests whose transceiver never answers (its thread is held up
// outside any driver call, where the watchdog cannot see it) are answered
// by the server itself, and are never written afterwards: the instances do
// not stay taken for good, and a fifth client gets in.
TEST_F(PipeServer, RequestsATransceiverNeverAnswersAreAnsweredByTheServerAndNeverWritten) {
  int before = FakeFramesWritten(0);
  g_channel.wakesIgnored = true;
  RawClient four[4];
  PipeRequest r = Request(0, 1111, 1111, 1111, 17, 0);
  for (RawClient& c : four) {
    ASSERT_EQ(c.Open(), 0u);
    ASSERT_EQ(c.Send(r), 0u);
  }
  ULONGLONG began = GetTickCount64();
  for (RawClient& c : four) {
    std::vector<uint8_t> message;
    ASSERT_EQ(c.Receive(message, kPipeAnswerLimitMs + 5000), 0u);
    EXPECT_EQ(ReplyText(message), "ZARVO i/o error.");
  }
  ULONGLONG waited = GetTickCount64() - began;
  EXPECT_GE(waited + 500, static_cast<ULONGLONG>(kPipeAnswerLimitMs)) << "not before its time";
  EXPECT_LE(waited, kPipeAnswerLimitMs + 3000ull);
  for (RawClient& c : four) c.Close();

  // The transceiver comes back to life: what the server took back is not
  // written, and it serves again.
  g_channel.wakesIgnored = false;
  WakeTransceiver(*g_context.devices.entries[0]);
  RawClient fifth;
  ASSERT_EQ(fifth.Open(), 0u);
  EXPECT_EQ(Ask(fifth, &r, sizeof r), "OK");
  EXPECT_EQ(FakeFramesWritten(0), before + 1) << "only the fifth client's frame went out";
}

TEST_F(PipeServer, AFifthClientIsBusyUntilAnInstanceFrees) {
  RawClient four[4];
  for (RawClient& c : four) ASSERT_EQ(c.Open(), 0u);
  RawClient fifth;
  EXPECT_EQ(fifth.TryOpen(), static_cast<DWORD>(ERROR_PIPE_BUSY));

  std::atomic<DWORD> waited{0xFFFFFFFF};
  std::thread waiter([&] { waited = WaitNamedPipeW(kPipeName, 10000) ? 0 : GetLastError(); });
  Sleep(300);
  EXPECT_EQ(waited.load(), 0xFFFFFFFFu) << "the wait ended while all four were held";
  four[2].Close();
  waiter.join();
  EXPECT_EQ(waited.load(), 0u);
  ASSERT_EQ(fifth.Open(), 0u);
  PipeRequest r = Request(0, 1111, 1111, 1111, 1, 0);
  EXPECT_EQ(Ask(fifth, &r, sizeof r), "OK");
}

TEST_F(PipeServer, FourClientsAtOnceWithManyRequestsEachAreAllAnswered) {
  constexpr int kRequestsEach = 250;
  int before = FakeFramesWritten(0) + FakeFramesWritten(1);
  std::atomic<int> answered{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      RawClient client;
      if (client.Open() != 0) {
        wrong += kRequestsEach;
        return;
      }
      for (int i = 0; i < kRequestsEach; ++i) {
        PipeRequest r = Request(static_cast<uint8_t>(t % kTransceivers), 1111, 1111,
                                static_cast<uint16_t>(1111 + t), static_cast<uint8_t>(i), 0);
        if (Ask(client, &r, sizeof r) == "OK") {
          ++answered;
        } else {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(answered.load(), 4 * kRequestsEach);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(FakeFramesWritten(0) + FakeFramesWritten(1), before + 4 * kRequestsEach);
}

// Three clients keep their instances busy with requests sent far ahead of
// their replies; a fourth client's one request must not wait until all of
// theirs are answered. The server is held inside its first request (the table
// guard is taken) until every request is in the pipe, so the backlog is the
// same on every run; the frames written to the transceiver then show the
// order in which the requests were served.
TEST_F(PipeServer, AClientIsServedInTurnWhileOthersKeepTheirInstancesBusy) {
  constexpr int kAhead = 60;
  constexpr int kBusy = 3;
  int before = FakeFramesWritten(0);
  RawClient busy[kBusy];
  for (RawClient& c : busy) ASSERT_EQ(c.Open(), 0u);
  RawClient waiting;
  ASSERT_EQ(waiting.Open(), 0u);

  // Nothing may return between lock and unlock: a guard left taken would
  // hold the server, and every later test, for good.
  DWORD sendError = 0;
  LockAcquire(g_context.devices.guard);
  for (int b = 0; b < kBusy && sendError == 0; ++b) {
    for (int i = 0; i < kAhead && sendError == 0; ++i) {
      PipeRequest r = Request(0, 1111, 1111, static_cast<uint16_t>(1111 + b), 1, 0);
      sendError = busy[b].Send(r);
    }
  }
  PipeRequest mine = Request(0, 1111, 1111, 4444, 1, 0);
  if (sendError == 0) sendError = waiting.Send(mine);
  Sleep(50);  // the server takes up its first request and waits for the guard
  LockRelease(g_context.devices.guard);
  ASSERT_EQ(sendError, 0u);

  std::vector<uint8_t> reply;
  ASSERT_EQ(waiting.Receive(reply), 0u);
  EXPECT_EQ(ReplyText(reply), "OK");
  for (RawClient& c : busy) {
    for (int i = 0; i < kAhead; ++i) {
      ASSERT_EQ(c.Receive(reply), 0u);
      ASSERT_EQ(ReplyText(reply), "OK");
    }
  }

  // Where the waiting client's frame stands among the frames written since.
  std::vector<uint8_t> expected = ExpectedFrame(mine);
  int served = FakeFramesWritten(0) - before;
  ASSERT_EQ(served, kBusy * kAhead + 1);
  int position = -1;
  for (int k = 0; k < served && position < 0; ++k) {
    uint8_t bytes[kFrameBufferSize];
    uint32_t length = 0;
    ASSERT_TRUE(FakeFrame(0, before + k, bytes, length));
    if (std::vector<uint8_t>(bytes, bytes + length) == expected) position = k;
  }
  ASSERT_GE(position, 0);
  // One round of the other instances at most, and the request that was in
  // progress when the client's arrived. An instance hands a request to its
  // transceiver as soon as it is read, so each selection of a busy instance
  // hands over two: the one it replies to and the next, read at once after
  // the reply. Without the rotation the client would wait for all 180.
  EXPECT_LE(position, 2 * kBusy + 1) << "served after " << position << " requests of the others";
}

}  // namespace
