#include "bridge/win/mqtt_transport.h"

#include <cstdio>
#include <cstring>

#include "bridge/win/wide_text.h"

// The resolver thread and the loop share a ResolveJob: the thread writes
// `addresses` and `error` and then sets `done`; the loop reads them only
// after `done` is set. `references` counts the two owners; whoever drops it
// to 0 frees the addresses, closes `done` and deletes the job.
struct ResolveJob {
  volatile LONG references;
  HANDLE done;  // manual-reset
  wchar_t host[300];
  wchar_t port[8];
  ADDRINFOW* addresses;
  int error;
};

namespace {

void Release(ResolveJob* job) {
  if (InterlockedDecrement(&job->references) != 0) return;
  if (job->addresses) FreeAddrInfoW(job->addresses);
  CloseHandle(job->done);
  delete job;
}

DWORD WINAPI ResolverThread(void* arg) {
  ResolveJob* job = static_cast<ResolveJob*>(arg);
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  job->error = GetAddrInfoW(job->host, job->port, &hints, &job->addresses);
  if (job->error != 0) job->addresses = nullptr;
  SetEvent(job->done);
  Release(job);
  return 0;
}

void CloseSocket(Transport& t) {
  if (t.socket != INVALID_SOCKET) {
    WSAEventSelect(t.socket, t.socketEvent, 0);
    closesocket(t.socket);
    t.socket = INVALID_SOCKET;
  }
  ResetEvent(t.socketEvent);
}

void DropJob(Transport& t) {
  if (t.job) Release(t.job);
  t.job = nullptr;
  t.next = nullptr;
}

void DescribePeer(Transport& t, const ADDRINFOW* a) {
  wchar_t text[64];
  DWORD units = 64;
  if (WSAAddressToStringW(a->ai_addr, static_cast<DWORD>(a->ai_addrlen), nullptr, text, &units) == 0) {
    std::string u = Utf8(text);
    std::snprintf(t.peer, sizeof t.peer, "%s", u.c_str());
  } else {
    std::snprintf(t.peer, sizeof t.peer, "?");
  }
}

// Starts a non-blocking connect to the next address that takes one. False
// when none is left.
bool ConnectNext(Transport& t, uint64_t nowMs) {
  while (t.next) {
    const ADDRINFOW* a = t.next;
    t.next = a->ai_next;
    DescribePeer(t, a);
    SOCKET s = WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s == INVALID_SOCKET) {
      t.lastError = WSAGetLastError();
      continue;
    }
    // Small packets (a PUBACK, a command's result) go out at once.
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // WSAEventSelect makes the socket non-blocking as well.
    if (WSAEventSelect(s, t.socketEvent, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
      t.lastError = WSAGetLastError();
      closesocket(s);
      continue;
    }
    if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
      t.lastError = WSAGetLastError();
      WSAEventSelect(s, t.socketEvent, 0);
      closesocket(s);
      continue;
    }
    t.socket = s;
    t.readSeen = false;
    t.attemptEndsMs = nowMs + kConnectAttemptMs;
    t.state = kTransportConnecting;
    return true;
  }
  return false;
}

TransportHappening Fail(Transport& t, DWORD& error, const char*& reason, DWORD code, const char* why) {
  CloseSocket(t);
  DropJob(t);
  t.state = kTransportIdle;
  error = code;
  reason = why;
  return kTransportFailed;
}

}  // namespace

bool TransportInit(Transport& t) {
  t.state = kTransportIdle;
  t.socket = INVALID_SOCKET;
  t.job = nullptr;
  t.next = nullptr;
  t.attemptEndsMs = 0;
  t.lastError = 0;
  t.readSeen = false;
  t.peer[0] = '\0';
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  t.socketEvent = WSACreateEvent();
  if (t.socketEvent == WSA_INVALID_EVENT) {
    WSACleanup();
    return false;
  }
  return true;
}

void TransportShutdown(Transport& t) {
  TransportClose(t);
  if (t.socketEvent) WSACloseEvent(t.socketEvent);
  t.socketEvent = nullptr;
  WSACleanup();
}

bool TransportConnect(Transport& t, const char* host, uint16_t port, uint64_t, DWORD& error) {
  TransportClose(t);
  ResolveJob* job = new ResolveJob();
  job->references = 2;
  job->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::wstring wide = Wide(host);
  std::swprintf(job->host, sizeof job->host / sizeof job->host[0], L"%ls", wide.c_str());
  std::swprintf(job->port, sizeof job->port / sizeof job->port[0], L"%u", static_cast<unsigned>(port));
  std::snprintf(t.peer, sizeof t.peer, "%s", host);
  HANDLE thread = job->done ? CreateThread(nullptr, 64 * 1024, ResolverThread, job,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                            : nullptr;
  if (!thread) {
    error = GetLastError();
    if (job->done) CloseHandle(job->done);
    delete job;
    return false;
  }
  CloseHandle(thread);
  t.job = job;
  t.state = kTransportResolving;
  t.lastError = 0;
  return true;
}

HANDLE TransportWaitHandle(const Transport& t) {
  switch (t.state) {
    case kTransportResolving: return t.job->done;
    case kTransportConnecting:
    case kTransportConnected: return t.socketEvent;
    default: return nullptr;
  }
}

DWORD TransportWaitMs(const Transport& t, uint64_t nowMs) {
  if (t.state != kTransportConnecting) return INFINITE;
  return t.attemptEndsMs > nowMs ? static_cast<DWORD>(t.attemptEndsMs - nowMs) : 0;
}

TransportHappening TransportPoll(Transport& t, uint64_t nowMs, DWORD& error, const char*& reason) {
  switch (t.state) {
    case kTransportIdle:
      return kTransportNothing;
    case kTransportResolving:
      if (WaitForSingleObject(t.job->done, 0) != WAIT_OBJECT_0) return kTransportNothing;
      if (t.job->error != 0 || !t.job->addresses) {
        return Fail(t, error, reason, static_cast<DWORD>(t.job->error), "its name could not be resolved");
      }
      t.next = t.job->addresses;
      if (!ConnectNext(t, nowMs)) return Fail(t, error, reason, t.lastError, "no connection could be opened");
      return kTransportNothing;
    case kTransportConnecting: {
      WSANETWORKEVENTS happened{};
      if (WSAEnumNetworkEvents(t.socket, t.socketEvent, &happened) != 0) {
        return Fail(t, error, reason, WSAGetLastError(), "the connection failed");
      }
      if (happened.lNetworkEvents & FD_CONNECT) {
        int code = happened.iErrorCode[FD_CONNECT_BIT];
        if (code == 0) {
          DropJob(t);
          t.state = kTransportConnected;
          // The socket may be readable already. Enumerating took that
          // signal, and Winsock gives FD_READ again only after a recv, so it
          // is kept for the next poll, which the event set here brings.
          t.readSeen = (happened.lNetworkEvents & (FD_READ | FD_CLOSE)) != 0;
          if (t.readSeen) SetEvent(t.socketEvent);
          return kTransportUp;
        }
        t.lastError = static_cast<DWORD>(code);
      } else if (nowMs < t.attemptEndsMs) {
        return kTransportNothing;
      } else {
        t.lastError = WSAETIMEDOUT;
      }
      CloseSocket(t);
      if (ConnectNext(t, nowMs)) return kTransportNothing;
      return Fail(t, error, reason, t.lastError,
                  t.lastError == WSAETIMEDOUT ? "no answer to the connection" : "the connection was refused");
    }
    case kTransportConnected: {
      WSANETWORKEVENTS happened{};
      bool seen = t.readSeen;
      t.readSeen = false;
      if (WSAEnumNetworkEvents(t.socket, t.socketEvent, &happened) != 0) return kTransportReadable;
      // FD_WRITE needs nothing here: the loop writes after every wake.
      return (seen || (happened.lNetworkEvents & (FD_READ | FD_CLOSE))) ? kTransportReadable : kTransportNothing;
    }
  }
  return kTransportNothing;
}

int TransportSend(Transport& t, const uint8_t* data, size_t size, DWORD& error) {
  if (t.state != kTransportConnected) {
    error = WSAENOTCONN;
    return -1;
  }
  size_t total = 0;
  while (total < size) {
    size_t chunk = size - total > 0x10000 ? 0x10000 : size - total;
    int n = send(t.socket, reinterpret_cast<const char*>(data + total), static_cast<int>(chunk), 0);
    if (n == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) break;
      error = WSAGetLastError();
      return -1;
    }
    total += static_cast<size_t>(n);
  }
  return static_cast<int>(total);
}

int TransportReceive(Transport& t, uint8_t* buffer, size_t room, DWORD& error) {
  if (t.state != kTransportConnected) {
    error = WSAENOTCONN;
    return -1;
  }
  int n = recv(t.socket, reinterpret_cast<char*>(buffer), static_cast<int>(room), 0);
  if (n > 0) return n;
  if (n == 0) {
    error = 0;
    return -1;
  }
  if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  error = WSAGetLastError();
  return -1;
}

void TransportClose(Transport& t) {
  CloseSocket(t);
  DropJob(t);
  t.state = kTransportIdle;
}

void TransportCloseGracefully(Transport& t, DWORD waitMs) {
  if (t.state == kTransportConnected && shutdown(t.socket, SD_SEND) == 0) {
    DWORD start = GetTickCount();
    char dropped[512];
    for (;;) {
      int n = recv(t.socket, dropped, sizeof dropped, 0);
      if (n > 0) continue;
      if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) break;  // closed, or reset
      DWORD spent = GetTickCount() - start;
      if (spent >= waitMs) break;
      // FD_READ and FD_CLOSE set the event; it is reset by enumerating, and
      // a slice of 50 ms at most covers a signal taken by an earlier call.
      DWORD left = waitMs - spent;
      WaitForSingleObject(t.socketEvent, left < 50 ? left : 50);
      WSANETWORKEVENTS happened;
      WSAEnumNetworkEvents(t.socket, t.socketEvent, &happened);
    }
  }
  TransportClose(t);
}
