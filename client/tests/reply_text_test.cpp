#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/reply_text.h"

namespace {

// UTF-16LE bytes of an ASCII text, without a terminator.
std::vector<uint8_t> Utf16(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<uint8_t> kNul = {0, 0};

// The text a message yields when read in pieces of `pieceBytes`, as the
// client prints it: the pieces' texts one after the other.
std::wstring Read(const std::vector<uint8_t>& message, size_t pieceBytes) {
  ReplyReader reader = {};
  std::wstring all;
  size_t at = 0;
  do {
    size_t n = std::min(pieceBytes, message.size() - at);
    wchar_t text[kReplyPieceTextUnits];
    size_t units = TakeReplyText(reader, message.data() + at, n, text, kReplyPieceTextUnits);
    EXPECT_EQ(text[units], L'\0');
    all += text;
    at += n;
  } while (at < message.size());
  return all;
}

TEST(ReplyText, EndsAtTheTerminatorNotAtTheByteCount) {
  EXPECT_EQ(Read(Utf16("OK") + kNul, kReplyPieceBytes), L"OK");
  EXPECT_EQ(Read(Utf16("OK") + kNul + Utf16("stale bytes"), kReplyPieceBytes), L"OK");
  EXPECT_EQ(Read(kNul + Utf16("hidden"), kReplyPieceBytes), L"");
}

TEST(ReplyText, AMessageWithoutTerminatorEndsAtItsLastByte) {
  // Bytes past the count are never looked at, even though the buffer holds more.
  std::vector<uint8_t> buffer = Utf16("ABCDEF");
  ReplyReader reader = {};
  wchar_t text[kReplyPieceTextUnits];
  EXPECT_EQ(TakeReplyText(reader, buffer.data(), 4, text, kReplyPieceTextUnits), 2u);
  EXPECT_EQ(std::wstring(text), L"AB");
  reader = {};
  EXPECT_EQ(TakeReplyText(reader, buffer.data(), 0, text, kReplyPieceTextUnits), 0u);
  EXPECT_EQ(text[0], L'\0');
  // An odd last byte is half a unit and is not printed.
  reader = {};
  EXPECT_EQ(TakeReplyText(reader, buffer.data(), 5, text, kReplyPieceTextUnits), 2u);
}

TEST(ReplyText, PiecesOfALongMessageAreJoined) {
  std::string longText(700, 'x');
  longText += "END";
  std::vector<uint8_t> message = Utf16(longText) + kNul + Utf16("after");
  std::wstring expected(longText.begin(), longText.end());
  EXPECT_EQ(Read(message, kReplyPieceBytes), expected);
  // Pieces of odd size split units; the halves are put together again.
  EXPECT_EQ(Read(message, 7), expected);
  EXPECT_EQ(Read(message, 1), expected);
  // Without any terminator, all pieces print in full.
  std::vector<uint8_t> open = Utf16(std::string(1500, 'y'));
  EXPECT_EQ(Read(open, kReplyPieceBytes), std::wstring(1500, L'y'));
}

TEST(ReplyText, PiecesAfterTheTerminatorAddNothing) {
  std::vector<uint8_t> message = Utf16(std::string(511, 'a')) + kNul + Utf16(std::string(600, 'b'));
  EXPECT_EQ(Read(message, kReplyPieceBytes), std::wstring(511, L'a'));
}

TEST(ReplyText, ASmallTextBufferIsNeverOverrun) {
  std::vector<uint8_t> message = Utf16("ABCDEFGH") + kNul;
  ReplyReader reader = {};
  wchar_t text[5] = {L'#', L'#', L'#', L'#', L'#'};
  EXPECT_EQ(TakeReplyText(reader, message.data(), message.size(), text, 4), 3u);
  EXPECT_EQ(std::wstring(text), L"ABC");
  EXPECT_EQ(text[4], L'#');
}

}  // namespace
