// pipe-host: runs the real pipe server over a device table of simulated
// transceivers that answer at once, so that the client and the benchmark can
// be run against it before (and apart from) the service.
//
//   pipe-host.exe [transceivers] [seconds] [stop-file]
//
// Defaults: 2 transceivers, 60 seconds. It ends after that time or as soon as
// the stop file exists, and then prints, per transceiver, how many frames it
// was sent and the last 16 of them. Every line is flushed at once: the output goes
// to a file that a test script reads while the host runs.
//
// Threads: the main thread fills the table before the server starts and only
// reads the simulated transceivers (under their locks) after that; the pipe
// server thread serves the pipe and writes to the transceivers.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "core/frame.h"
#include "pipe/pipe_server.h"
#include "tests/pipe/fake_transceivers.h"
#include "tests/pipe/stop_file.h"

namespace {

// The report shows each transceiver's last frames, at most this many.
constexpr int kFramesShown = 16;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int transceivers = argc > 1 ? static_cast<int>(wcstol(argv[1], nullptr, 10)) : 2;
  long seconds = argc > 2 ? wcstol(argv[2], nullptr, 10) : 60;
  const wchar_t* stopFile = argc > 3 ? argv[3] : nullptr;

  if (!InstallFakeTransceivers(transceivers)) {
    Say("cannot install %d transceivers\n", transceivers);
    return 1;
  }
  HANDLE thread = NULL;
  DWORD status = StartPipeServer(&thread);
  if (status == 0) {
    Say("pipe server ready, %d transceivers\n", transceivers);
  } else {
    Say("pipe server ended at start, error %lu\n", status);
  }

  bool ended = status != 0;
  DWORD started = GetTickCount();
  while (GetTickCount() - started < static_cast<DWORD>(seconds) * 1000 &&
         !StopFileExists(stopFile)) {
    if (!ended && thread && WaitForSingleObject(thread, 20) == WAIT_OBJECT_0) {
      Say("pipe server ended\n");
      ended = true;
    } else if (ended || !thread) {
      Sleep(20);
    }
  }

  for (int i = 0; i < transceivers; ++i) {
    int frames = FakeFramesWritten(i);
    Say("transceiver %d: frames %d\n", i, frames);
    for (int f = frames > kFramesShown ? frames - kFramesShown : 0; f < frames; ++f) {
      uint8_t frame[kFrameBufferSize];
      uint32_t length = 0;
      if (!FakeFrame(i, f, frame, length)) break;
      Say("transceiver %d frame %d:", i, f + 1);
      for (uint32_t b = 0; b < length; ++b) Say(" %02X", frame[b]);
      Say("\n");
    }
  }
  // The server thread is never stopped; it ends with the process.
  return 0;
}
