#include "client/reply_text.h"

size_t TakeReplyText(ReplyReader& reader, const uint8_t* piece, size_t bytes,
                     wchar_t* text, size_t units) {
  if (units == 0) return 0;
  size_t written = 0;
  for (size_t i = 0; i < bytes && !reader.ended; ++i) {
    if (!reader.carrying) {
      reader.carried = piece[i];
      reader.carrying = true;
      continue;
    }
    uint16_t unit = static_cast<uint16_t>(reader.carried | (piece[i] << 8));
    if (unit != 0 && written + 1 >= units) break;  // no room left: bounded
    reader.carrying = false;
    if (unit == 0) {
      reader.ended = true;
    } else {
      text[written++] = static_cast<wchar_t>(unit);
    }
  }
  text[written] = L'\0';
  return written;
}
