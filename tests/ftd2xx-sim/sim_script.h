// Helpers for Windows tests that script the simulated driver library: state
// the transceivers in ftd2xx-sim.txt, then read what the library was asked to
// do from ftd2xx-sim.log. Both files sit in a folder the test owns (see
// zarvo_add_sim_gtest).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The folder of the running program, with a trailing backslash.
std::wstring ProgramFolder();

// Replaces `folder`\ftd2xx-sim.txt with `text` in one step (written beside
// it, then renamed over it), so the library never reads half a file, and
// gives it a modification time later than any this process wrote before, so
// the library sees the change even within one tick of a coarse file clock.
// While the library reads the file the rename is refused; it is tried again
// for about a second.
bool WriteSimConfig(const std::wstring& folder, const std::string& text);

// Makes the transceiver `serial` hear `bytes` now: replaces the configuration
// with `config`, adding `hear=<bytes> hearseq=<n>` at the end of the line
// with `serial=<serial>` (later keys win over earlier ones), with n higher on
// every call, so the same telegram twice is heard twice. Other lines of
// `config` keep what they say. The line must carry `hearseq=0` (or any
// `hear`/`hearseq`) already when the transceiver is opened: only such a line
// starts the library's watcher thread. False when no line names `serial`
// exactly as given, `bytes` is empty, or the file could not be replaced.
bool SimHear(const std::wstring& folder, const std::string& config, const std::string& serial,
             const std::vector<uint8_t>& bytes);

// The log's current size: remember it before an action, and read what the
// action logged with SimLogSince.
uint64_t SimLogMark(const std::wstring& folder);

// The log's lines written after `mark`, without their line ends.
std::vector<std::string> SimLogSince(const std::wstring& folder, uint64_t mark);

// Waits up to `timeoutMs` until at least `count` lines were logged after
// `mark` with this operation (the second field), and returns all lines since
// `mark`.
std::vector<std::string> WaitForSimLog(const std::wstring& folder, uint64_t mark,
                                       const std::string& operation, size_t count,
                                       uint32_t timeoutMs);

// The fields of one log line.
std::vector<std::string> SplitFields(const std::string& line);

// Bytes as the log writes them: two upper-case hex digits each, one blank
// between them.
std::string HexBytes(const uint8_t* bytes, size_t count);
