// Cutting the printable text out of a reply message that arrives in one or
// more pieces. Platform-free, so that it is tested natively as well.
//
// The text is the message's UTF-16LE units up to its first NUL. Only the
// bytes a read delivered count: a message without a NUL ends at its last
// byte, and when a message is longer than the read buffer its pieces are
// joined into one text.
#pragma once

#include <cstddef>
#include <cstdint>

// The client's read buffer.
constexpr size_t kReplyPieceBytes = 1024;
// Room for the text of one piece: its units, one more carried over from the
// previous piece, and a terminator.
constexpr size_t kReplyPieceTextUnits = kReplyPieceBytes / 2 + 2;

// State across the pieces of one message; zero-initialise it per message.
struct ReplyReader {
  bool ended;        // the NUL was seen: the rest of the message is not text
  bool carrying;     // the previous piece ended inside a unit
  uint8_t carried;   // that unit's low byte
};

// Writes the text units that `piece` (`bytes` bytes) adds to the message's
// text into `text` (room for `units` wide characters), always terminated.
// Returns how many it wrote; stops early rather than overrun `text`.
size_t TakeReplyText(ReplyReader& reader, const uint8_t* piece, size_t bytes,
                     wchar_t* text, size_t units);
