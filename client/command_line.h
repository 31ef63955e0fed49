// ZARVOCTL's command line: the request fields and the pipe path.
// Platform-free, so that it is tested natively as well.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/request.h"

// Arguments after the program name: ip iid hc1 hc2 addr cmd [data].
constexpr int kFewestArguments = 6;
constexpr int kMostArguments = 7;

// The pipe path buffer, in wide characters, terminator included.
constexpr size_t kPipePathUnits = 256;
// \\ + ip + \pipe\doraruzoz + NUL must fit kPipePathUnits.
constexpr size_t kLongestHostName =
    kPipePathUnits - 2 - 6 - (sizeof kPipeLeafName / sizeof kPipeLeafName[0] - 1) - 1;

// Decimal like wcstol with base 10: leading white space and one sign, digits
// up to the first other character, 0 when there are none. Out-of-range values
// become the signed 32-bit limits, also where long is wider.
int32_t ArgumentValue(const wchar_t* text);

// Fills `request` from `count` arguments (those after the program name): the
// whole record is zeroed first, then iid and cmd and data take the low 8 bits
// of their values, hc1, hc2 and addr the low 16 bits; data stays 0 when
// absent. Returns false, and leaves `request` alone, unless there are six or
// seven arguments.
bool BuildPipeRequest(int count, const wchar_t* const* args, PipeRequest& request);

// Writes \\<host>\pipe\doraruzoz into `path` (`units` wide characters,
// terminator included). Returns false, writing nothing past path[0], when it
// does not fit.
bool FormatPipePath(const wchar_t* host, wchar_t* path, size_t units);

// The same for the events pipe, \\<host>\pipe\doraruzoz-events; the host may
// then be 7 characters shorter.
bool FormatEventsPipePath(const wchar_t* host, wchar_t* path, size_t units);

// The listening forms: two arguments, the host and "-listen" or "-state"
// (or with "/", letters in either case).
enum ListenCommand : int {
  kNoListenCommand = 0,
  kListenCommand = 1,  // print every line as it comes
  kStateCommand = 2,   // print the greeting's state lines, then end
};
ListenCommand ListenCommandOf(int count, const wchar_t* const* args);
