// Helpers for the service's stress tests, which drive the real pipe server,
// control handler and device channel in-process against the simulated
// driver library: device events as Windows hands them to the control
// handler, a pipe client whose every wait is bounded (a hang shows as a
// failed exchange, not as a test that never ends), and the reply texts.
//
// Threads: every PipeClient belongs to the one thread that uses it; the
// other helpers keep no state.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "core/request.h"
#include "tests/support/clock.h"


// The device path Windows gives a USB device interface event of a
// transceiver with this serial number and product id.
std::wstring TransceiverPath(const std::string& serial, const wchar_t* pid = L"F06F");

// Hands the control handler a device-interface arrival or completed removal
// of that transceiver, as Windows delivers them; returns the handler's result.
DWORD ArriveTransceiver(const std::string& serial, const wchar_t* pid = L"F06F");
DWORD DepartTransceiver(const std::string& serial, const wchar_t* pid = L"F06F");

// Waits up to `timeoutMs` until no transceiver in the service's table is
// still being opened by its thread; false when one still is.
bool WaitForOpens(DWORD timeoutMs);

// Has every transceiver closed as the stop does (waiting for their threads)
// and opens the table again for the next test.
void CloseEveryTransceiver();

// True when `text` is exactly one of the service's reply texts.
bool IsReplyText(const std::wstring& text);

// A request for transceiver `iid` (house code 1234 1111, address 1111,
// command 17, the given data byte).
PipeRequest StressRequest(uint8_t iid, uint8_t data = 0);

enum class Exchange {
  kReply,      // one whole reply message: a text with its NUL and nothing after it
  kMalformed,  // a reply message of another shape
  kUnasked,    // a message was waiting before the request went out
  kNoPipe,     // the pipe could not be opened in time
  kTimedOut,   // no reply in time (the operation was cancelled)
  kBroken,     // the connection failed
};
const char* ExchangeName(Exchange e);

// One client connection to \\.\pipe\doraruzoz, opened for overlapped I/O so
// that every wait has a bound.
struct PipeClient {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
};

// Opens the pipe in message mode, waiting while every instance is busy or
// the server is not there yet, for at most `timeoutMs`.
bool PipeClientOpen(PipeClient& client, DWORD timeoutMs);

// Writes one request and reads its reply, each within `timeoutMs`. A message
// already waiting before the write (a second reply to an earlier request)
// fails the exchange.
Exchange PipeClientExchange(PipeClient& client, const PipeRequest& request,
                            std::wstring& reply, DWORD timeoutMs);

void PipeClientClose(PipeClient& client);

// Opens, exchanges once and closes: one connection per request.
Exchange ExchangeOnce(const PipeRequest& request, std::wstring& reply, DWORD timeoutMs);
