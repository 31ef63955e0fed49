// The MQTT connection's transport: a TCP socket through Winsock, connected
// by host name, IPv4 or IPv6 address, non-blocking, with TCP_NODELAY, its
// readiness signalled through one event object (WSAEventSelect) that the
// bridge's loop waits on beside everything else.
//
// The session (bridge/mqtt_session.h) never sees the socket: it hands bytes
// to TransportSend and takes them from TransportReceive. TLS (SChannel) fits
// in between there later: a TLS transport would connect the same way, then
// run its handshake before reporting kTransportUp, and encrypt and decrypt
// inside TransportSend and TransportReceive.
//
// Threads: the loop thread makes every call. A name is resolved on a thread
// of its own (getaddrinfo can take seconds when a DNS server does not
// answer, and the loop must stay free to stop); that thread and the loop
// share one heap record, counted, freed by whichever lets go last. A stop
// never waits for it.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>

// Each address a name resolves to gets this long to accept the connection
// before the next one is tried.
constexpr uint32_t kConnectAttemptMs = 10000;

enum TransportState : uint8_t {
  kTransportIdle = 0,
  kTransportResolving,
  kTransportConnecting,
  kTransportConnected,
};

// What TransportPoll found.
enum TransportHappening : uint8_t {
  kTransportNothing = 0,
  kTransportUp,         // connected: start the session
  kTransportFailed,     // could not connect (error, reason): back off and try again
  kTransportReadable,   // bytes (or the end) to take with TransportReceive
};

struct ResolveJob;  // shared with the resolver thread

struct Transport {
  TransportState state;
  SOCKET socket;
  HANDLE socketEvent;        // WSAEventSelect's; made by TransportInit
  ResolveJob* job;           // while resolving, and until the addresses are used
  const ADDRINFOW* next;     // the next address to try, inside job's list
  uint64_t attemptEndsMs;    // the current address's deadline
  DWORD lastError;           // of the last failed address
  bool readSeen;             // FD_READ or FD_CLOSE came with FD_CONNECT: report it next
  char peer[80];             // the address connected to (or tried), for events
};

// WSAStartup and the event. False when Winsock is not available.
bool TransportInit(Transport& t);
// Closes everything; the resolver thread, if any, finishes on its own.
void TransportShutdown(Transport& t);

// Starts connecting: the name is resolved on a thread, then each address is
// tried in turn. False (with the error) when the thread cannot be started.
bool TransportConnect(Transport& t, const char* host, uint16_t port, uint64_t nowMs, DWORD& error);

// The handle to wait on (the resolver's or the socket's), or null when idle.
HANDLE TransportWaitHandle(const Transport& t);
// Milliseconds until TransportPoll must look again (a connect attempt's
// deadline), or INFINITE.
DWORD TransportWaitMs(const Transport& t, uint64_t nowMs);

// Called after the wait: advances a connect, or says what the socket has.
// kTransportFailed fills `error` and `reason` (static text).
TransportHappening TransportPoll(Transport& t, uint64_t nowMs, DWORD& error, const char*& reason);

// Hands bytes to the socket: how many it took (0 when its buffer is full; an
// FD_WRITE wakes the loop when it has room), or -1 when the connection
// failed (error set).
int TransportSend(Transport& t, const uint8_t* data, size_t size, DWORD& error);

// Takes what arrived: the count, 0 when nothing more is there now, or -1
// when the peer closed the connection or it failed (error 0 for an orderly
// close).
int TransportReceive(Transport& t, uint8_t* buffer, size_t room, DWORD& error);

// Closes the socket (or forgets the resolving); back to idle.
void TransportClose(Transport& t);

// Closes a connection whose last bytes (a DISCONNECT) were handed to the
// socket: sends our end of the stream after them, then reads and drops what
// the broker still sends until it closes its end too, or `waitMs` passed,
// then closes. A socket closed with bytes still unread ends with a reset
// instead, which can throw away what was not yet delivered and reach the
// broker before it has read the DISCONNECT: it then publishes the will.
void TransportCloseGracefully(Transport& t, DWORD waitMs);
