#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/request.h"
#include "service/pipe_list.h"

namespace {

// A REG_MULTI_SZ value as it is read: the entries, each with its zero unit,
// the closing empty string, then whatever else the test appends, in a
// 1024-byte buffer.
struct List {
  uint8_t bytes[kPipeListBufferSize];
  uint32_t size = 0;

  explicit List(const std::vector<std::u16string>& entries, bool closed = true) {
    std::memset(bytes, 0xEE, sizeof bytes);
    for (const std::u16string& e : entries) Put(e + u'\0');
    if (closed) Put(std::u16string(1, u'\0'));
  }
  void Put(const std::u16string& units) {
    for (char16_t u : units) {
      bytes[size++] = static_cast<uint8_t>(u & 0xFF);
      bytes[size++] = static_cast<uint8_t>(u >> 8);
    }
  }
  std::vector<uint8_t> Data() const { return std::vector<uint8_t>(bytes, bytes + size); }
};

std::vector<uint8_t> Bytes(const std::vector<std::u16string>& entries) {
  return List(entries).Data();
}

const uint32_t kNameBytes = (sizeof kPipeLeafName / sizeof kPipeLeafName[0]) * 2;

TEST(PipeListAdd, AppendsTheNameAfterTheLastEntry) {
  List list({u"COMNAP", u"SQL\\QUERY"});
  ASSERT_TRUE(PipeListAdd(list.bytes, list.size, kPipeLeafName));
  EXPECT_EQ(list.Data(), Bytes({u"COMNAP", u"SQL\\QUERY", u"doraruzoz"}));
}

TEST(PipeListAdd, AnEmptyListOrNoDataAtAllGetsTheOneEntry) {
  List closingOnly({});
  ASSERT_TRUE(PipeListAdd(closingOnly.bytes, closingOnly.size, kPipeLeafName));
  EXPECT_EQ(closingOnly.Data(), Bytes({u"doraruzoz"}));
  EXPECT_EQ(closingOnly.size, 22u);

  List noData({}, false);
  ASSERT_TRUE(PipeListAdd(noData.bytes, noData.size, kPipeLeafName));
  EXPECT_EQ(noData.Data(), Bytes({u"doraruzoz"}));
}

TEST(PipeListAdd, TheNameInAnyCaseIsNotAddedAgain) {
  List list({u"COMNAP", u"DoraRuzoz", u"LLSRPC"});
  std::vector<uint8_t> before = list.Data();
  EXPECT_FALSE(PipeListAdd(list.bytes, list.size, kPipeLeafName));
  EXPECT_EQ(list.Data(), before);
  // Entries that merely start or end with the name are other entries.
  List near({u"doraruzoz2", u"xdoraruzoz"});
  EXPECT_TRUE(PipeListAdd(near.bytes, near.size, kPipeLeafName));
}

TEST(PipeListAdd, AListThatWouldNotFitTheBufferIsLeftWhole) {
  // One entry of n units takes 2n + 2 bytes, the closing string 2 more.
  auto sized = [](uint32_t total) {
    return List({std::u16string((total - 4) / 2, u'p')});
  };
  List tooLong = sized(kPipeListBufferSize - kNameBytes + 2);
  std::vector<uint8_t> before = tooLong.Data();
  EXPECT_FALSE(PipeListAdd(tooLong.bytes, tooLong.size, kPipeLeafName));
  EXPECT_EQ(tooLong.Data(), before);

  List justFits = sized(kPipeListBufferSize - kNameBytes);
  ASSERT_TRUE(PipeListAdd(justFits.bytes, justFits.size, kPipeLeafName));
  EXPECT_EQ(justFits.size, kPipeListBufferSize);
  EXPECT_EQ(justFits.bytes[kPipeListBufferSize - 1], 0);
  EXPECT_EQ(justFits.bytes[kPipeListBufferSize - 2], 0);
}

TEST(PipeListAdd, DataStoredAfterTheClosingStringIsKept) {
  List list({u"COMNAP"});
  list.Put(u"\0");  // one zero unit too many, as some editors store it
  ASSERT_TRUE(PipeListAdd(list.bytes, list.size, kPipeLeafName));
  List expected({u"COMNAP", u"doraruzoz"});
  expected.Put(u"\0");
  EXPECT_EQ(list.Data(), expected.Data());
}

TEST(PipeListRemove, TakesTheNameFromBetweenLongerNames) {
  List list({u"doraruzozA", u"COMNAP", u"DORARUZOZ", u"Xdoraruzoz", u"LLSRPC"});
  uint32_t before = list.size;
  ASSERT_TRUE(PipeListRemove(list.bytes, list.size, kPipeLeafName));
  EXPECT_EQ(list.size, before - kNameBytes);
  EXPECT_EQ(list.Data(), Bytes({u"doraruzozA", u"COMNAP", u"Xdoraruzoz", u"LLSRPC"}));
}

TEST(PipeListRemove, TakesOnlyTheFirstOfTwo) {
  List list({u"doraruzoz", u"COMNAP", u"doraruzoz"});
  ASSERT_TRUE(PipeListRemove(list.bytes, list.size, kPipeLeafName));
  EXPECT_EQ(list.Data(), Bytes({u"COMNAP", u"doraruzoz"}));
  ASSERT_TRUE(PipeListRemove(list.bytes, list.size, kPipeLeafName));
  EXPECT_EQ(list.Data(), Bytes({u"COMNAP"}));
  EXPECT_FALSE(PipeListRemove(list.bytes, list.size, kPipeLeafName));
}

TEST(PipeListRemove, AListWithoutTheNameOrWithoutEntriesIsUnchanged) {
  for (List list : {List({u"COMNAP", u"doraruzo"}), List({}), List({}, false)}) {
    std::vector<uint8_t> before = list.Data();
    EXPECT_FALSE(PipeListRemove(list.bytes, list.size, kPipeLeafName));
    EXPECT_EQ(list.Data(), before);
  }
}

// None of these is a whole list, so neither edit touches it.
TEST(PipeList, MalformedDataIsLeftAlone) {
  List odd({u"doraruzoz"});
  odd.size -= 1;
  List unclosed({u"COMNAP", u"doraruzoz"}, false);
  List unterminated({u"COMNAP"});
  unterminated.size = 12;  // the six units of COMNAP, no zero unit at all
  List overlong({u"doraruzoz"});
  overlong.size = kPipeListBufferSize + 2;
  for (List* list : {&odd, &unclosed, &unterminated, &overlong}) {
    uint32_t size = list->size;
    std::vector<uint8_t> before(list->bytes, list->bytes + kPipeListBufferSize);
    EXPECT_FALSE(PipeListAdd(list->bytes, list->size, kPipeLeafName));
    EXPECT_FALSE(PipeListRemove(list->bytes, list->size, kPipeLeafName));
    EXPECT_EQ(list->size, size);
    EXPECT_EQ(std::vector<uint8_t>(list->bytes, list->bytes + kPipeListBufferSize), before);
  }
}

}  // namespace
