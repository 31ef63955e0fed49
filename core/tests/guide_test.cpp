// The administrator's guide teaches FS20 notation with a worked example; the
// example must agree with what the service really sends.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "core/admin_event.h"
#include "core/frame.h"

namespace {

std::string Slurp(const char* path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Guide() { return Slurp(ZARVO_GUIDE_PATH); }

std::string Hex(uint8_t b) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", b);
  return text;
}

TEST(AdministratorsGuide, NotationTableAgreesWithTheConversion) {
  std::string guide = Guide();
  ASSERT_FALSE(guide.empty());
  std::regex row(R"(\n +([1-4]{4}) +-> +([0-9A-F]{2})\b)");
  int rows = 0;
  for (std::sregex_iterator it(guide.begin(), guide.end(), row), end; it != end; ++it) {
    uint16_t notation = static_cast<uint16_t>(std::stoi((*it)[1]));
    EXPECT_EQ(Hex(NotationToByte(notation)), (*it)[2].str()) << "notation " << notation;
    ++rows;
  }
  EXPECT_GE(rows, 3);
}

TEST(AdministratorsGuide, WorkedExampleNamesTheBytesThatAreSent) {
  std::string guide = Guide();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(guide, m,
                                std::regex(R"(ZARVOCTL \. 0 (\d+) (\d+) (\d+) (\d+)\n)")));
  Frame f;
  PrepareFrame(f, 0);
  BuildSendFrame(f, 0, NotationToByte(static_cast<uint16_t>(std::stoi(m[1]))),
                 NotationToByte(static_cast<uint16_t>(std::stoi(m[2]))),
                 NotationToByte(static_cast<uint16_t>(std::stoi(m[3]))),
                 static_cast<uint8_t>(std::stoi(m[4])), 0);
  std::string expected = "house code " + Hex(f.bytes[7]) + " " + Hex(f.bytes[8]) +
                         ", address\n" + Hex(f.bytes[9]) + " and command " + Hex(f.bytes[10]);
  EXPECT_NE(guide.find(expected), std::string::npos) << expected;
}

TEST(AdministratorsGuide, TheReadmeCarriesTheGuideAsShipped) {
  std::string guide = Guide();
  ASSERT_FALSE(guide.empty());
  EXPECT_NE(Slurp(ZARVO_README_PATH).find("```text\n" + guide + "```"), std::string::npos)
      << "README.md's guide section differs from docs/ADMIN-GUIDE.txt";
}

// Every event has its message (service/messages.mc, and the bridge's own,
// bridge/win/messages.mc) under its own number, and the guide lists it with
// the level the message file gives it.
void ExpectEveryEventListed(const char* messagesPath, const AdminEventInfo* events, size_t count) {
  std::string messages = Slurp(messagesPath);
  ASSERT_FALSE(messages.empty()) << messagesPath;
  std::string guide = Guide();
  std::regex entry(R"(MessageId=(\d+)\s*\nSeverity=(\w+))");
  size_t found = 0;
  for (std::sregex_iterator it(messages.begin(), messages.end(), entry), end; it != end; ++it) {
    int id = std::stoi((*it)[1]);
    std::string level = (*it)[2];
    if (level == "Informational") level = "Information";
    ++found;
    bool known = false;
    for (size_t i = 0; i < count; ++i) known |= events[i].event == id;
    EXPECT_TRUE(known) << "message " << id << " of " << messagesPath << " has no event";
    EXPECT_TRUE(std::regex_search(guide, std::regex("\n  " + std::to_string(id) + " +" + level + " ")))
        << "the guide does not list " << id << " as " << level;
  }
  EXPECT_EQ(found, count) << messagesPath;
}

TEST(AdministratorsGuide, ListsEveryEventWithItsLevel) {
  ExpectEveryEventListed(ZARVO_MESSAGES_PATH, kAdminEvents, kAdminEventCount);
  ExpectEveryEventListed(ZARVO_BRIDGE_MESSAGES_PATH, kBridgeEvents, kBridgeEventCount);
}

}  // namespace
