// The transport's end of a connection, against a loopback peer of the
// test's own playing the broker.
#include <gtest/gtest.h>

#include <thread>

#include "bridge/win/mqtt_transport.h"

namespace {

struct Peer {
  SOCKET listener = INVALID_SOCKET;
  uint16_t port = 0;
  HANDLE sent = nullptr;  // set once the peer's unread bytes are on their way
  char received[16] = {};
  int receivedCount = 0;
  int lastResult = 1;  // recv's last: 0 for an orderly end
  int lastError = 0;
};

bool Listen(Peer& p) {
  p.listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof a;
  if (p.listener == INVALID_SOCKET || bind(p.listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(p.listener, 1) != 0 || getsockname(p.listener, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
    return false;
  }
  p.port = ntohs(a.sin_port);
  p.sent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return p.sent != nullptr;
}

// Accepts, sends two bytes the client never reads (a broker's late
// acknowledgement), then reads until the client's end comes.
void Serve(Peer& p) {
  SOCKET s = accept(p.listener, nullptr, nullptr);
  if (s == INVALID_SOCKET) return;
  const char ack[2] = {0x40, 0x02};
  send(s, ack, sizeof ack, 0);
  SetEvent(p.sent);
  for (;;) {
    char c;
    p.lastResult = recv(s, &c, 1, 0);
    if (p.lastResult <= 0) break;
    if (p.receivedCount < static_cast<int>(sizeof p.received)) p.received[p.receivedCount++] = c;
  }
  if (p.lastResult < 0) p.lastError = WSAGetLastError();
  closesocket(s);
}

// Waits until the transport is connected and the peer's bytes have arrived.
bool ConnectedWithBytesUnread(Transport& t, Peer& p) {
  DWORD error = 0;
  const char* reason = nullptr;
  if (!TransportConnect(t, "127.0.0.1", p.port, 0, error)) return false;
  // FD_READ is signalled once until the bytes are read, so the readiness is
  // remembered rather than asked for again.
  bool readable = false;
  DWORD start = GetTickCount();
  while (!readable && GetTickCount() - start < 10000) {
    HANDLE h = TransportWaitHandle(t);
    if (h) WaitForSingleObject(h, 100);
    TransportHappening what = TransportPoll(t, GetTickCount(), error, reason);
    if (what == kTransportFailed) return false;
    readable = what == kTransportReadable;
  }
  return readable && WaitForSingleObject(p.sent, 5000) == WAIT_OBJECT_0;
}

// A broker's acknowledgement still unread when the bridge says goodbye must
// not turn its close into a reset: the broker would then lose the
// DISCONNECT (or see the connection fail before reading it) and publish the
// bridge's will, "offline" for a bridge that left in good order.
TEST(Transport, AGoodbyeWithBytesUnreadEndsInOrderAfterTheDisconnect) {
  Transport t;
  ASSERT_TRUE(TransportInit(t));
  Peer p;
  ASSERT_TRUE(Listen(p));
  std::thread broker(Serve, std::ref(p));
  if (!ConnectedWithBytesUnread(t, p)) {
    TransportShutdown(t);  // the peer's read then ends
    broker.join();
    FAIL() << "no connection with the peer's bytes waiting";
  }
  const uint8_t disconnect[2] = {0xE0, 0x00};
  DWORD error = 0;
  ASSERT_EQ(TransportSend(t, disconnect, sizeof disconnect, error), 2);
  DWORD start = GetTickCount();
  TransportCloseGracefully(t, 3000);
  DWORD took = GetTickCount() - start;
  broker.join();
  EXPECT_EQ(p.receivedCount, 2);
  EXPECT_EQ(static_cast<uint8_t>(p.received[0]), 0xE0);
  EXPECT_EQ(p.lastResult, 0) << "the connection ended with error " << p.lastError;
  EXPECT_LT(took, 2500u) << "the close waited out its time instead of the peer's end";
  EXPECT_EQ(TransportWaitHandle(t), nullptr);
  closesocket(p.listener);
  CloseHandle(p.sent);
  TransportShutdown(t);
}

}  // namespace
