// Editing of the REG_MULTI_SZ list "NullSessionPipes" in the buffer it was
// read into, apart from the registry calls so that it can be tested and
// fuzzed on its own. The list is a run of UTF-16LE strings, each ended by a
// zero unit, closed by an empty string; `size` counts every byte of it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kPipeListBufferSize = 1024;

// Appends `name` as the list's last entry unless an entry equals it ignoring
// ASCII case. Returns true when the buffer changed (then `size` is the new
// size to write back); false leaves buffer and size as they were: the name is
// present, the list would not fit kPipeListBufferSize with the name added
// (it is never cut), or the data is not a well-formed list (odd size, no
// closing empty string within `size`). A list of size 0 counts as empty.
bool PipeListAdd(uint8_t* buffer, uint32_t& size, const char16_t* name);

// Takes the first entry that equals `name` ignoring ASCII case out of the
// list, moving everything after it down. Returns true when the buffer changed
// (`size` is then smaller by the name's bytes with its terminator); false
// leaves buffer and size as they were (no match, or malformed data).
bool PipeListRemove(uint8_t* buffer, uint32_t& size, const char16_t* name);
