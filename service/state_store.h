// The state file: the service's state table (devices/state_keeper.h) kept
// across restarts in %ProgramData%\ZARVO Remote\state.txt (the common
// application data folder: C:\ProgramData on a stock Windows and under
// Wine), in the events pipe's line grammar (core/state_file.h).
//
// Threads: StateStoreStart runs at the start, before the transceivers and
// the pipes; StateStoreTick on the worker thread every half second, which
// already runs then; StateStoreStop at the end of a stop, once the
// transceivers are closed (on the worker thread, or on the thread whose
// start failed while the worker still ticks). The store's records are
// guarded by a lock of their own, held around each of the three; the table
// is the state keeper's, under its lock, taken inside the store's.
//
// Writing: at most every kStateWriteMs while changes come, and at the stop.
// The text goes to state.txt.new beside the file, is flushed to the disk,
// then replaces the file with MoveFileExW in the same folder (one volume): a
// power cut leaves the old file or the new one, never a torn one.
// (ReplaceFileW is not used: it merges the old file's attributes and
// security into the new one and fails in more ways.) A write that fails
// keeps the state in memory and is tried again next time; event 501 says so
// once it has failed kStateWriteFailuresReported times in a row, and again
// at most once an hour while it goes on failing.
//
// Security: the service runs as LocalSystem, and any user may create a
// folder under %ProgramData% first and own it; a service that writes and
// renames files in a folder a user controls can be turned into overwriting
// any file (a link planted where it writes). So -setup and -i make the
// folder with a protected access list (kStateFolderSddl), as does the start
// when the folder is missing; and the start refuses a folder or file whose
// owner is not LocalSystem or Administrators (or the account the service
// runs as, which for the service is LocalSystem), or that is a reparse
// point (event 502). The state is then kept in memory only.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Full control for LocalSystem and Administrators, inherited by what is
// made inside; read for the MQTT bridge's own service account, which reads
// its devices.ini here; nothing for anyone else; the owner Administrators.
// The file gets full control for the two alone, without inheritance.
extern const wchar_t kStateFolderSddl[];
extern const wchar_t kStateFileSddl[];

constexpr uint64_t kStateWriteMs = 10 * 1000;
constexpr uint32_t kStateWriteFailuresReported = 3;
constexpr uint64_t kStateWriteFailureReportMs = 60 * 60 * 1000;
// A file longer than this is read this far; a file we write is far shorter
// (kStateTextMax), so the rest can only be junk.
constexpr uint64_t kStateFileReadMax = 16 * 1024 * 1024;

// %ProgramData%\ZARVO Remote (the known folder FOLDERID_ProgramData),
// without a backslash at the end. False when it is not known.
bool StateFolderPath(wchar_t (&folder)[MAX_PATH]);

// Makes the folder with kStateFolderSddl, or checks the one that is there
// (CheckStateObject). Returns 0, or the error, with what is wrong in `why`
// (UTF-8) when there is one.
DWORD MakeStateFolder(const wchar_t* folder, char* why, size_t whySize);

// Whether the file or folder open on `handle` may be used: not a reparse
// point, and owned by LocalSystem, Administrators or the account this
// process runs as. Returns 0, or ERROR_ACCESS_DENIED (or the error of a call
// that failed) with why in `why`.
DWORD CheckStateObject(HANDLE handle, char* why, size_t whySize);

// Whether `owner` is one the store accepts (see CheckStateObject).
bool StateOwnerAccepted(PSID owner);

// At start: finds, checks or makes the folder, reads the file back into the
// state table (RestoreStates at `utcNowMs`) and reports a damaged one (500);
// a refused or unreadable folder or file is reported (502) and leaves the
// store off, with the state kept in memory. `folder` null: StateFolderPath.
void StateStoreStart(const wchar_t* folder, uint64_t utcNowMs);

// Writes the file when the table changed and the last write was at least
// kStateWriteMs before `monotonicMs`.
void StateStoreTick(uint64_t monotonicMs);

// At the stop: writes what changed since the last write. Nothing is written
// after it until the next StateStoreStart.
void StateStoreStop();

// Replaces the file in `folder` with `length` bytes of `text` as every write
// does (new file, flush, move). Returns 0 or the error of the step that
// failed; the new file is then removed again.
DWORD WriteStateFile(const wchar_t* folder, const char* text, size_t length);
