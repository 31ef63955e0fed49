// Tests of the simulated driver library itself: other tests rely on its
// configuration keys, its log format and its handle rules. Every test loads
// a fresh copy of FTD2XX.dll from a folder of its own, resolving each
// operation by name and by ordinal. A copy that started its watcher thread
// pins itself, so the FreeLibrary after such a test leaves it loaded, idle.
//
// Threads: the tests call the library from the main thread, except the one
// that calls it from four threads at once to check that log lines stay whole.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "devices/d2xx.h"
#include "tests/ftd2xx-sim/sim_script.h"
#include "tests/support/process_counts.h"

namespace {

using OpenExFn = FT_STATUS(FT_API*)(void*, uint32_t, FT_HANDLE*);
using CloseFn = FT_STATUS(FT_API*)(FT_HANDLE);
using ReadFn = FT_STATUS(FT_API*)(FT_HANDLE, void*, uint32_t, uint32_t*);
using WriteFn = FT_STATUS(FT_API*)(FT_HANDLE, void*, uint32_t, uint32_t*);
using BaudFn = FT_STATUS(FT_API*)(FT_HANDLE, uint32_t);
using DataFn = FT_STATUS(FT_API*)(FT_HANDLE, uint8_t, uint8_t, uint8_t);
using FlowFn = FT_STATUS(FT_API*)(FT_HANDLE, uint16_t, uint8_t, uint8_t);
using ModemFn = FT_STATUS(FT_API*)(FT_HANDLE, uint32_t*);
using QueueFn = FT_STATUS(FT_API*)(FT_HANDLE, uint32_t*);
using NotifyFn = FT_STATUS(FT_API*)(FT_HANDLE, uint32_t, void*);
using EeReadFn = FT_STATUS(FT_API*)(FT_HANDLE, FtProgramData*);

struct Export {
  const char* name;
  int ordinal;
};
constexpr Export kExports[] = {
    {"FT_Close", 2},       {"FT_Read", 3},           {"FT_Write", 4},
    {"FT_SetBaudRate", 7}, {"FT_SetDataCharacteristics", 8},
    {"FT_SetFlowControl", 9},        {"FT_GetModemStatus", 14},
    {"FT_GetQueueStatus", 18},       {"FT_SetEventNotification", 19},
    {"FT_OpenEx", 27},     {"FT_EE_Read", 38},
};

int g_caseNumber = 0;

// A private copy of the library, loaded for one test.
class Sim : public ::testing::Test {
 protected:
  std::wstring folder;
  HMODULE dll = nullptr;
  OpenExFn OpenEx = nullptr;
  CloseFn Close = nullptr;
  ReadFn Read = nullptr;
  WriteFn Write = nullptr;
  BaudFn Baud = nullptr;
  DataFn Data = nullptr;
  FlowFn Flow = nullptr;
  ModemFn Modem = nullptr;
  QueueFn Queue = nullptr;
  NotifyFn Notify = nullptr;
  EeReadFn EeRead = nullptr;

  // Writes the configuration first, then loads the library (which reads it).
  void Load(const std::string& config) {
    folder = ProgramFolder() + L"case-" + std::to_wstring(++g_caseNumber) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring from = ProgramFolder() + L"FTD2XX.dll";
    std::wstring to = folder + L"FTD2XX.dll";
    ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE));
    ASSERT_TRUE(WriteSimConfig(folder, config));
    dll = LoadLibraryW(to.c_str());
    ASSERT_NE(dll, nullptr);
    wchar_t loaded[1024];
    GetModuleFileNameW(dll, loaded, 1024);
    ASSERT_EQ(_wcsicmp(loaded, to.c_str()), 0) << "the folder's own copy was loaded";
    for (const Export& e : kExports) {
      FARPROC byName = GetProcAddress(dll, e.name);
      FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(e.ordinal));
      ASSERT_NE(byName, nullptr) << e.name;
      ASSERT_EQ(byName, byOrdinal) << e.name << " at ordinal " << e.ordinal;
    }
    // Called through the ordinals, as the service binds them.
    Bind(OpenEx, 27);
    Bind(Close, 2);
    Bind(Read, 3);
    Bind(Write, 4);
    Bind(Baud, 7);
    Bind(Data, 8);
    Bind(Flow, 9);
    Bind(Modem, 14);
    Bind(Queue, 18);
    Bind(Notify, 19);
    Bind(EeRead, 38);
  }

  template <typename Fn>
  void Bind(Fn& fn, int ordinal) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, MAKEINTRESOURCEA(ordinal))));
  }

  void TearDown() override {
    if (dll) FreeLibrary(dll);
  }

  FT_HANDLE MustOpen(const char* serial) {
    FT_HANDLE h = nullptr;
    EXPECT_EQ(OpenEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK) << serial;
    return h;
  }

  std::vector<std::string> Log() { return SimLogSince(folder, 0); }

  std::vector<uint8_t> ReadAll(FT_HANDLE h) {
    uint32_t waiting = 0;
    EXPECT_EQ(Queue(h, &waiting), FT_OK);
    std::vector<uint8_t> bytes(waiting + 8);
    uint32_t got = 0;
    EXPECT_EQ(Read(h, bytes.data(), static_cast<uint32_t>(bytes.size()), &got), FT_OK);
    bytes.resize(got);
    return bytes;
  }
};

using Lines = std::vector<std::string>;

TEST_F(Sim, SetUpCallsAreLoggedWithTheirArgumentsInTheDocumentedFormat) {
  Load("# one transceiver\n\ndevice serial=EL000123   # trailing comment\n");
  FT_HANDLE h = MustOpen("EL000123");
  EXPECT_EQ(Baud(h, 9600), FT_OK);
  EXPECT_EQ(Data(h, 8, 0, 0), FT_OK);
  EXPECT_EQ(Flow(h, 0, 0x17, 0x19), FT_OK);
  EXPECT_EQ(Flow(h, 0x400, 0x0A, 0xFF), FT_OK);
  EXPECT_EQ(Notify(h, 1, nullptr), FT_OK);
  uint8_t frame[] = {0x81, 0x06, 0xC9, 0x8C, 0x02, 0x01, 0x1F, 0x6A};
  uint32_t written = 0;
  EXPECT_EQ(Write(h, frame, sizeof frame, &written), FT_OK);
  EXPECT_EQ(written, sizeof frame);
  EXPECT_EQ(Close(h), FT_OK);
  EXPECT_EQ(Log(), (Lines{"EL000123 open 0", "EL000123 baud 0 9600", "EL000123 data 0 8 0 0",
                          "EL000123 flow 0 0 17 19", "EL000123 flow 0 1024 0A FF",
                          "EL000123 notify 0 1", "EL000123 write 0 81 06 C9 8C 02 01 1F 6A",
                          "EL000123 close 0"}));
}

TEST_F(Sim, OpenFindsConfiguredSerialsOnlyAndRefusesASecondOpen) {
  Load("device serial=EL000123\ndevice serial=EL000777 open=3\n"
       "device serial=EL000888 bogus=1\n");
  FT_HANDLE h = nullptr;
  EXPECT_EQ(OpenEx(const_cast<char*>("EL000999"), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(OpenEx(const_cast<char*>("EL000777"), FT_OPEN_BY_SERIAL_NUMBER, &h), 3u);
  // A line with an unknown key is left out whole.
  EXPECT_EQ(OpenEx(const_cast<char*>("EL000888"), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
  FT_HANDLE first = MustOpen("el000123");  // serial numbers ignore ASCII case
  FT_HANDLE second = nullptr;
  EXPECT_EQ(OpenEx(const_cast<char*>("EL000123"), FT_OPEN_BY_SERIAL_NUMBER, &second),
            FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(OpenEx(const_cast<char*>("EL000123"), 2, &second), FT_INVALID_PARAMETER);
  EXPECT_EQ(Close(first), FT_OK);
  FT_HANDLE again = MustOpen("EL000123");
  EXPECT_NE(again, first) << "a reopened serial gets a new handle value";
  EXPECT_EQ(Close(again), FT_OK);
  EXPECT_EQ(Log(), (Lines{"EL000999 open 2", "EL000777 open 3", "EL000888 open 2",
                          "EL000123 open 0", "EL000123 open 3", "? open 6",
                          "EL000123 close 0", "EL000123 open 0", "EL000123 close 0"}));
}

TEST_F(Sim, HandlesItDidNotHandOutFailWithInvalidHandle) {
  Load("device serial=EL000123\n");
  FT_HANDLE h = MustOpen("EL000123");
  ASSERT_EQ(Close(h), FT_OK);
  uint32_t n = 0;
  uint8_t byte = 0x81;
  FtProgramData data{};
  data.Signature2 = 0xFFFFFFFF;
  for (FT_HANDLE bad : {h, static_cast<FT_HANDLE>(nullptr), reinterpret_cast<FT_HANDLE>(&n)}) {
    EXPECT_EQ(Baud(bad, 9600), FT_INVALID_HANDLE);
    EXPECT_EQ(Modem(bad, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(Write(bad, &byte, 1, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(Queue(bad, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(Read(bad, &byte, 1, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(EeRead(bad, &data), FT_INVALID_HANDLE);
    EXPECT_EQ(Close(bad), FT_INVALID_HANDLE);
  }
  Lines log = Log();
  ASSERT_EQ(log.size(), 2u + 3 * 6);
  EXPECT_EQ(log[2], "? baud 1 9600");
  EXPECT_EQ(log[3], "? write 1");
  EXPECT_EQ(log[4], "? queue 1");
  EXPECT_EQ(log[5], "? read 1");
  EXPECT_EQ(log[6], "? eeprom 1");
  EXPECT_EQ(log[7], "? close 1");
}

TEST_F(Sim, EepromReadWritesOnlyTheBlocksOfTheCallersVersionAndFillsTheStrings) {
  Load("device serial=EL000777 vid=0403 pid=0xE0E8 manufacturer=Acme-Radio "
       "description=FS20-Stick\n");
  FT_HANDLE h = MustOpen("EL000777");
  // The 32-bit layout's block ends; the 64-bit test build's are its own.
  const size_t* kSizes = kProgramDataBytesForVersion;
  if (sizeof(void*) == 4) {
    const size_t kThirtyTwoBit[] = {48, 68, 87, 110, 132, 159};
    for (int v = 0; v < 6; ++v) ASSERT_EQ(kSizes[v], kThirtyTwoBit[v]) << v;
  }
  for (uint32_t version = 0; version <= 5; ++version) {
    char manufacturer[32], manufacturerId[16], description[64], serial[16];
    std::memset(serial, 'x', sizeof serial);
    alignas(FtProgramData) unsigned char raw[sizeof(FtProgramData)];
    std::memset(raw, 0xEE, sizeof raw);
    FtProgramData& data = *reinterpret_cast<FtProgramData*>(raw);
    data.Signature1 = 0;
    data.Signature2 = 0xFFFFFFFF;
    data.Version = version;
    data.Manufacturer = manufacturer;
    data.ManufacturerId = manufacturerId;
    data.Description = description;
    data.SerialNumber = serial;
    ASSERT_EQ(EeRead(h, &data), FT_OK);
    EXPECT_EQ(data.VendorId, 0x0403);
    EXPECT_EQ(data.ProductId, 0xE0E8);
    EXPECT_EQ(data.Version, version);
    EXPECT_EQ(data.SerialNumber, serial) << "the caller's pointers are kept";
    EXPECT_STREQ(serial, "EL000777");
    EXPECT_STREQ(manufacturer, "Acme-Radio");
    EXPECT_STREQ(manufacturerId, "EL");
    EXPECT_STREQ(description, "FS20-Stick");
    EXPECT_NE(raw[kSizes[version] - 1], 0xEE) << "version " << version;
    for (size_t i = kSizes[version]; i < sizeof raw; ++i) {
      ASSERT_EQ(raw[i], 0xEE) << "version " << version << " wrote byte " << i;
    }
  }
  FtProgramData unsigned_{};
  EXPECT_EQ(EeRead(h, &unsigned_), FT_INVALID_PARAMETER) << "signatures not set";
  EXPECT_EQ(Close(h), FT_OK);
  Lines log = Log();
  EXPECT_EQ(log[1], "EL000777 eeprom 0");
  EXPECT_EQ(log[7], "EL000777 eeprom 6");
}

TEST_F(Sim, DefaultsAreTheTransceiversIdsAndAReadyModem) {
  Load("device serial=EL000123\n");
  FT_HANDLE h = MustOpen("EL000123");
  char m[32], id[16], d[64], s[16];
  FtProgramData data{};
  data.Signature2 = 0xFFFFFFFF;
  data.Version = 2;
  data.Manufacturer = m;
  data.ManufacturerId = id;
  data.Description = d;
  data.SerialNumber = s;
  ASSERT_EQ(EeRead(h, &data), FT_OK);
  EXPECT_EQ(data.VendorId, 0x0403);
  EXPECT_EQ(data.ProductId, 0xF06F);
  EXPECT_STRNE(m, "");
  EXPECT_STRNE(d, "");
  EXPECT_EQ(std::strchr(d, ' '), nullptr);
  uint32_t modem = 0;
  EXPECT_EQ(Modem(h, &modem), FT_OK);
  EXPECT_EQ(modem, 0x30u);
  uint32_t waiting = 99;
  EXPECT_EQ(Queue(h, &waiting), FT_OK);
  EXPECT_EQ(waiting, 0u) << "no answer by default";
  EXPECT_EQ(Close(h), FT_OK);
}

TEST_F(Sim, BusyPollsComeBeforeEveryWriteAndPollsAreNotLogged) {
  Load("device serial=EL000123 busy=2 modem=0x230\n");
  FT_HANDLE h = MustOpen("EL000123");
  auto poll = [&] {
    uint32_t m = 0;
    EXPECT_EQ(Modem(h, &m), FT_OK);
    return m;
  };
  EXPECT_EQ(poll(), 0x20u);
  EXPECT_EQ(poll(), 0x20u);
  EXPECT_EQ(poll(), 0x230u);
  EXPECT_EQ(poll(), 0x230u);
  uint8_t b = 1;
  uint32_t n = 0;
  EXPECT_EQ(Write(h, &b, 1, &n), FT_OK);
  EXPECT_EQ(poll(), 0x20u);
  EXPECT_EQ(poll(), 0x20u);
  EXPECT_EQ(poll(), 0x230u);
  EXPECT_EQ(Close(h), FT_OK);
  EXPECT_EQ(Log(), (Lines{"EL000123 open 0", "EL000123 write 0 01", "EL000123 close 0"}));
}

TEST_F(Sim, ChunkAndWriteStatusShapeWhatAWriteAccepts) {
  Load("device serial=EL000123 chunk=3 answer=AA\ndevice serial=EL000777 write=10 answer=BB\n");
  FT_HANDLE a = MustOpen("EL000123");
  FT_HANDLE b = MustOpen("EL000777");
  uint8_t bytes[] = {1, 2, 3, 4, 5};
  uint32_t n = 99;
  EXPECT_EQ(Write(a, bytes, 5, &n), FT_OK);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(Write(a, bytes + 3, 2, &n), FT_OK);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(Write(b, bytes, 5, &n), 10u);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(ReadAll(a), (std::vector<uint8_t>{0xAA, 0xAA})) << "one answer per successful call";
  EXPECT_EQ(ReadAll(b), std::vector<uint8_t>{}) << "a failed write queues no answer";
  Close(a);
  Close(b);
  Lines log = Log();
  EXPECT_EQ(log[2], "EL000123 write 0 01 02 03");
  EXPECT_EQ(log[3], "EL000123 write 0 04 05");
  EXPECT_EQ(log[4], "EL000777 write 10");
  EXPECT_EQ(log[5], "EL000123 queue 0 2");
  EXPECT_EQ(log[6], "EL000123 read 0 AA AA");
  EXPECT_EQ(log[7], "EL000777 queue 0 0");
  EXPECT_EQ(log[8], "EL000777 read 0");
}

TEST_F(Sim, AnswersAreQueuedSignalledAndReadNoFurtherThanQueued) {
  Load("device serial=EL000123 answer=81:05:04,63C9-01.99\n");
  FT_HANDLE h = MustOpen("EL000123");
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  uint8_t frame[] = {0x81, 0x01, 0x00};
  uint32_t n = 0;
  EXPECT_EQ(Write(h, frame, 3, &n), FT_OK);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "no event before notification was asked for";
  EXPECT_EQ(Notify(h, FT_EVENT_RXCHAR, event), FT_OK);
  EXPECT_EQ(Write(h, frame, 3, &n), FT_OK);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  uint32_t waiting = 0;
  EXPECT_EQ(Queue(h, &waiting), FT_OK);
  EXPECT_EQ(waiting, 14u);
  uint8_t buffer[32];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(Read(h, buffer, 4, &n), FT_OK);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(Read(h, buffer + 4, sizeof buffer - 4, &n), FT_OK);
  EXPECT_EQ(n, 10u) << "never more than is queued";
  const uint8_t want[] = {0x81, 0x05, 0x04, 0x63, 0xC9, 0x01, 0x99,
                          0x81, 0x05, 0x04, 0x63, 0xC9, 0x01, 0x99};
  EXPECT_EQ(std::memcmp(buffer, want, sizeof want), 0);
  EXPECT_EQ(buffer[14], 0xEE);
  EXPECT_EQ(Read(h, buffer, sizeof buffer, &n), FT_OK);
  EXPECT_EQ(n, 0u);
  // Close leaves the caller's event alone: it is still a live handle.
  EXPECT_EQ(Close(h), FT_OK);
  EXPECT_TRUE(SetEvent(event));
  CloseHandle(event);
  Lines log = Log();
  EXPECT_EQ(log[5], "EL000123 read 0 81 05 04 63");
  EXPECT_EQ(log[6], "EL000123 read 0 C9 01 99 81 05 04 63 C9 01 99");
  EXPECT_EQ(log[7], "EL000123 read 0");
}

TEST_F(Sim, AChangedFileIsReadAgainOnTheNextCall) {
  Load("device serial=EL000123 answer=01\n");
  FT_HANDLE h = MustOpen("EL000123");
  uint8_t b = 0;
  uint32_t n = 0;
  ASSERT_EQ(Write(h, &b, 1, &n), FT_OK);
  EXPECT_EQ(ReadAll(h), std::vector<uint8_t>{0x01});
  // Rewritten at once, the same size: the very next call sees it.
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000123 answer=02\n"));
  ASSERT_EQ(Write(h, &b, 1, &n), FT_OK);
  EXPECT_EQ(ReadAll(h), std::vector<uint8_t>{0x02});
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000123 write=4\ndevice serial=EL000777\n"));
  EXPECT_EQ(Write(h, &b, 1, &n), 4u);
  FT_HANDLE added = MustOpen("EL000777");
  EXPECT_EQ(Close(added), FT_OK);
  EXPECT_EQ(Close(h), FT_OK);
}

// A coarse file clock can leave the time unchanged across an edit of the
// same size; the library then still sees the edit by its text, soon.
TEST_F(Sim, AnEditThatKeepsTimeAndSizeIsStillSeenWithinAQuarterSecond) {
  Load("device serial=EL000123 answer=01\n");
  std::wstring path = folder + L"ftd2xx-sim.txt";
  WIN32_FILE_ATTRIBUTE_DATA before;
  ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &before));
  FT_HANDLE h = MustOpen("EL000123");
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  const char text[] = "device serial=EL000123 answer=02\n";
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(f, text, sizeof text - 1, &n, nullptr));
  ASSERT_TRUE(SetFileTime(f, nullptr, nullptr, &before.ftLastWriteTime));
  CloseHandle(f);
  uint8_t b = 0;
  uint32_t written = 0;
  ULONGLONG start = GetTickCount64();
  std::vector<uint8_t> answer;
  do {
    ASSERT_EQ(Write(h, &b, 1, &written), FT_OK);
    answer = ReadAll(h);
    Sleep(10);
  } while (answer == std::vector<uint8_t>{0x01} && GetTickCount64() - start < 2000);
  EXPECT_EQ(answer, std::vector<uint8_t>{0x02});
  EXPECT_LT(GetTickCount64() - start, 1000u);
  EXPECT_EQ(Close(h), FT_OK);
}

TEST_F(Sim, ATransceiverWhoseLineIsRemovedIsPulledOutForGood) {
  Load("device serial=EL000123\ndevice serial=EL000777\n");
  FT_HANDLE h = MustOpen("EL000123");
  FT_HANDLE other = MustOpen("EL000777");
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000777\n"));
  uint32_t n = 0;
  uint8_t b = 0;
  EXPECT_EQ(Modem(h, &n), FT_IO_ERROR);
  EXPECT_EQ(Write(h, &b, 1, &n), FT_IO_ERROR);
  EXPECT_EQ(Queue(h, &n), FT_IO_ERROR);
  EXPECT_EQ(Read(h, &b, 1, &n), FT_IO_ERROR);
  EXPECT_EQ(Baud(h, 9600), FT_IO_ERROR);
  EXPECT_EQ(Modem(other, &n), FT_OK) << "the other transceiver is still there";
  // Plugged in again: the old handle stays dead, a new open works.
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000123\ndevice serial=EL000777\n"));
  EXPECT_EQ(Baud(h, 9600), FT_IO_ERROR);
  FT_HANDLE fresh = MustOpen("EL000123");
  EXPECT_EQ(Close(h), FT_IO_ERROR);
  EXPECT_EQ(Close(h), FT_INVALID_HANDLE);
  EXPECT_EQ(Baud(fresh, 9600), FT_OK);
  EXPECT_EQ(Close(fresh), FT_OK);
  EXPECT_EQ(Close(other), FT_OK);
  Lines log = Log();
  ASSERT_GE(log.size(), 8u);
  EXPECT_EQ(log[2], "EL000123 pulled 0") << "the reload that saw it gone says so";
  EXPECT_EQ(log[3], "EL000123 write 4");
  EXPECT_EQ(log[4], "EL000123 queue 4");
  EXPECT_EQ(log[5], "EL000123 read 4");
  EXPECT_EQ(log[6], "EL000123 baud 4 9600");
}

// A hung transceiver's write and modem-status poll block, each on a thread
// of its own, while calls on it and on another transceiver go on; removing
// its line ends both with 4, and the write is logged then.
TEST_F(Sim, HungCallsBlockUntilTheLineIsRemovedAndLeaveOtherCallsFree) {
  Load("device serial=EL000123 hang=1\ndevice serial=EL000777\n");
  FT_HANDLE h = MustOpen("EL000123");
  FT_HANDLE other = MustOpen("EL000777");
  uint8_t frame[] = {0x81, 0x03, 0x01, 0x02, 0x03};
  std::atomic<FT_STATUS> wrote{99}, polled{99};
  std::thread writer([&] {
    uint32_t n = 0;
    wrote = Write(h, frame, sizeof frame, &n);
  });
  std::thread poller([&] {
    uint32_t modem = 0;
    polled = Modem(h, &modem);
  });
  Sleep(300);
  EXPECT_EQ(wrote.load(), 99u) << "the write is still blocked";
  EXPECT_EQ(polled.load(), 99u) << "the poll is still blocked";
  uint32_t n = 0;
  EXPECT_EQ(Queue(h, &n), FT_OK) << "other calls on the hung handle go on";
  EXPECT_EQ(Modem(other, &n), FT_OK);
  EXPECT_EQ(n, 0x30u);
  EXPECT_EQ(Write(other, frame, sizeof frame, &n), FT_OK);

  ULONGLONG pulled = GetTickCount64();
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000777\n"));
  writer.join();
  poller.join();
  EXPECT_LT(GetTickCount64() - pulled, 1000u);
  EXPECT_EQ(wrote.load(), FT_IO_ERROR);
  EXPECT_EQ(polled.load(), FT_IO_ERROR);
  EXPECT_EQ(Close(h), FT_IO_ERROR);
  EXPECT_EQ(Close(other), FT_OK);
  EXPECT_EQ(Log(), (Lines{"EL000123 open 0", "EL000777 open 0", "EL000123 queue 0 0",
                          "EL000777 write 0 81 03 01 02 03", "EL000123 pulled 0",
                          "EL000123 write 4", "EL000123 close 4", "EL000777 close 0"}));

  // A line that loses its hang lets a blocked call go on as usual.
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000555 hang=1\n"));
  FT_HANDLE third = MustOpen("EL000555");
  std::thread late([&] { wrote = Write(third, frame, sizeof frame, &n); });
  Sleep(100);
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000555\n"));
  late.join();
  EXPECT_EQ(wrote.load(), FT_OK);
  EXPECT_EQ(Close(third), FT_OK);
}

// hangread blocks the reader's calls, hangopen the open, and hangpulled
// keeps a hung call hanging through a pull-out and a replug, while the new
// handle of the replugged transceiver works.
TEST_F(Sim, ReadsOpensAndCallsThroughAReplugHangWhenTheirKeysSaySo) {
  Load("device serial=EL000123 hangread=1\ndevice serial=EL000555 hangopen=1\n");
  FT_HANDLE h = MustOpen("EL000123");
  std::atomic<FT_STATUS> queued{99}, opened{99};
  std::thread reader([&] {
    uint32_t n = 0;
    queued = Queue(h, &n);
  });
  FT_HANDLE late = nullptr;
  std::thread opener([&] { opened = OpenEx(const_cast<char*>("EL000555"), FT_OPEN_BY_SERIAL_NUMBER, &late); });
  Sleep(300);
  EXPECT_EQ(queued.load(), 99u) << "the queue query is blocked";
  EXPECT_EQ(opened.load(), 99u) << "the open is blocked";
  uint32_t n = 0;
  EXPECT_EQ(Modem(h, &n), FT_OK) << "the handle's other calls go on";
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000123\ndevice serial=EL000555\n"));
  reader.join();
  opener.join();
  EXPECT_EQ(queued.load(), FT_OK);
  EXPECT_EQ(opened.load(), FT_OK);
  EXPECT_EQ(Close(late), FT_OK);

  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000123 hang=1 hangpulled=1\n"));
  std::atomic<FT_STATUS> wrote{99};
  uint8_t b = 0;
  std::thread writer([&] {
    uint32_t written = 0;
    wrote = Write(h, &b, 1, &written);
  });
  Sleep(100);
  uint64_t mark = SimLogMark(folder);
  ASSERT_TRUE(WriteSimConfig(folder, ""));
  WaitForSimLog(folder, mark, "pulled", 1, 5000);
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000123 hangpulled=1\n"));
  FT_HANDLE fresh = MustOpen("EL000123");
  EXPECT_EQ(Write(fresh, &b, 1, &n), FT_OK) << "the replugged transceiver's new handle works";
  Sleep(100);
  EXPECT_EQ(wrote.load(), 99u) << "the old call still hangs";
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000123\n"));
  writer.join();
  EXPECT_EQ(wrote.load(), FT_IO_ERROR);
  EXPECT_EQ(Close(h), FT_IO_ERROR);
  EXPECT_EQ(Close(fresh), FT_OK);
}

TEST_F(Sim, ADeletedFileMeansEveryTransceiverWasPulledOut) {
  Load("device serial=EL000123\n");
  FT_HANDLE h = MustOpen("EL000123");
  ASSERT_TRUE(DeleteFileW((folder + L"ftd2xx-sim.txt").c_str()));
  EXPECT_EQ(Baud(h, 9600), FT_IO_ERROR);
  FT_HANDLE again = nullptr;
  EXPECT_EQ(OpenEx(const_cast<char*>("EL000123"), FT_OPEN_BY_SERIAL_NUMBER, &again),
            FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(Close(h), FT_IO_ERROR);
}

// The library's own thread notices the rewritten file: the test makes no
// call between the rename and the event. The latency from the rename to
// the bytes being queued is measured with the log line's counter value.
TEST_F(Sim, ATelegramWrittenIntoTheLineIsHeardOncePerHearseqWhileNoCallIsMade) {
  const std::string config = "device serial=EL000123 hearseq=0\n";
  Load(config);
  FT_HANDLE h = MustOpen("EL000123");
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(Notify(h, FT_EVENT_RXCHAR, event), FT_OK);
  const std::vector<uint8_t> telegram = {0x81, 0x0B, 0x04, 0x63, 0xC9, 0x01, 0x99, 0x00, 0x11};
  LARGE_INTEGER frequency, before;
  QueryPerformanceFrequency(&frequency);
  for (int round = 0; round < 2; ++round) {
    uint64_t mark = SimLogMark(folder);
    QueryPerformanceCounter(&before);
    ASSERT_TRUE(SimHear(folder, config, "EL000123", telegram));
    ASSERT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0) << "round " << round;
    Lines log = SimLogSince(folder, mark);
    ASSERT_EQ(log.size(), 1u);
    std::vector<std::string> f = SplitFields(log[0]);
    ASSERT_GE(f.size(), 4u);
    EXPECT_EQ(log[0], "EL000123 heard 0 " + f[3] + " " + HexBytes(telegram.data(), telegram.size()));
    double ms = (std::stoll(f[3]) - before.QuadPart) * 1000.0 / frequency.QuadPart;
    std::printf("hearing %d: %.2f ms from writing the file to the bytes queued\n", round, ms);
    EXPECT_GT(ms, 0.0);
    EXPECT_EQ(ReadAll(h), telegram);
  }
  // A rewrite that keeps the (hearseq, hear) pair is not heard again.
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000123 hear=AA hearseq=7\n"));
  ASSERT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  ASSERT_TRUE(WriteSimConfig(folder, "device serial=EL000123 hear=AA hearseq=7 busy=1\n"));
  EXPECT_EQ(ReadAll(h), std::vector<uint8_t>{0xAA});
  EXPECT_EQ(WaitForSingleObject(event, 300), static_cast<DWORD>(WAIT_TIMEOUT));

  // Idle, the thread sleeps: the process spends next to no CPU time.
  Sleep(300);
  FILETIME created, exited, kernel0, user0, kernel1, user1;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel0, &user0);
  Sleep(1000);
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel1, &user1);
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  double cpuMs = (ticks(kernel1) - ticks(kernel0) + ticks(user1) - ticks(user0)) / 10000.0;
  std::printf("idle with a handle open: %.1f ms CPU in 1 s\n", cpuMs);
  EXPECT_LT(cpuMs, 15.0) << "a timer of 1 ms alone costs about 10 ms a second here";
  EXPECT_EQ(Close(h), FT_OK);
  CloseHandle(event);
}

TEST_F(Sim, EachPluggedInTransceiverHearsItsOwnTelegramAndOnlyNewOnes) {
  Load("device serial=EL000123 hearseq=0\ndevice serial=EL000777\ndevice serial=EL000555\n");
  FT_HANDLE a = MustOpen("EL000123");
  FT_HANDLE b = MustOpen("EL000777");
  FT_HANDLE pulled = MustOpen("EL000555");
  HANDLE events[3];
  FT_HANDLE handles[3] = {a, b, pulled};
  for (int i = 0; i < 3; ++i) {
    events[i] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(Notify(handles[i], FT_EVENT_RXCHAR, events[i]), FT_OK);
  }
  // EL000555's line goes in the same rewrite: it was pulled out, hears nothing.
  const std::string heard = "device serial=EL000123 hear=0102 hearseq=1\n"
                            "device serial=EL000777 hear=0A0B0C hearseq=1\n";
  ASSERT_TRUE(WriteSimConfig(folder, heard));
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(ReadAll(a), (std::vector<uint8_t>{0x01, 0x02}));
  EXPECT_EQ(ReadAll(b), (std::vector<uint8_t>{0x0A, 0x0B, 0x0C}));
  // Plugged in again with a telegram, the old handle still hears nothing; a
  // handle opened after the telegram was written does not hear it either.
  ASSERT_TRUE(WriteSimConfig(folder, heard + "device serial=EL000555 hear=FF hearseq=1\n"));
  uint32_t n = 0;
  EXPECT_EQ(Queue(pulled, &n), FT_IO_ERROR);
  EXPECT_EQ(Close(a), FT_OK);
  FT_HANDLE reopened = MustOpen("EL000123");
  FT_HANDLE fresh = MustOpen("EL000555");
  ASSERT_TRUE(WriteSimConfig(folder, heard + "device serial=EL000555 hear=FF hearseq=1 busy=1\n"));
  for (FT_HANDLE h : {reopened, fresh, b}) EXPECT_EQ(ReadAll(h), std::vector<uint8_t>{});
  EXPECT_EQ(WaitForSingleObject(events[2], 0), static_cast<DWORD>(WAIT_TIMEOUT));
  int hearings = 0;
  for (const std::string& line : Log()) hearings += SplitFields(line)[1] == "heard";
  EXPECT_EQ(hearings, 2);
  for (FT_HANDLE h : {reopened, fresh, b}) EXPECT_EQ(Close(h), FT_OK);
  EXPECT_EQ(Close(pulled), FT_IO_ERROR);
  for (HANDLE e : events) CloseHandle(e);
}

// A directory read that missed changes, more than its buffer reports, ends
// with ERROR_NOTIFY_ENUM_DIR under Wine (a burst of configurations written
// one after another does that): the watcher takes it as a change it cannot
// name, and goes on watching.
TEST_F(Sim, TheWatcherGoesOnAfterMoreChangesThanItsBufferReports) {
  const std::string config = "device serial=EL000123 hearseq=0\n";
  Load(config);
  FT_HANDLE h = MustOpen("EL000123");
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(Notify(h, FT_EVENT_RXCHAR, event), FT_OK);
  int threads = ProcessThreadCount();
  // Files with long names, made in a burst: each change reports some 250
  // bytes, and one read reports 4 KB.
  const std::wstring prefix = folder + std::wstring(110, L'n');
  for (int i = 0; i < 2000; ++i) {
    HANDLE f = CreateFileW((prefix + std::to_wstring(i)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << i;
    CloseHandle(f);
  }
  Sleep(200);
  EXPECT_EQ(ProcessThreadCount(), threads) << "the watcher thread ended";
  const std::vector<uint8_t> telegram = {0x81, 0x03, 0x04, 0x01, 0x02};
  ASSERT_TRUE(SimHear(folder, config, "EL000123", telegram));
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0) << "not heard without a call";
  EXPECT_EQ(ReadAll(h), telegram);
  EXPECT_EQ(Close(h), FT_OK);
  CloseHandle(event);
}

TEST_F(Sim, LinesFromManyThreadsAreWrittenWhole) {
  std::string config;
  for (int t = 0; t < 4; ++t) config += "device serial=EL00010" + std::to_string(t) + " answer=81\n";
  Load(config);
  const int kWrites = 400;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::string serial = "EL00010" + std::to_string(t);
      FT_HANDLE h = nullptr;
      if (OpenEx(&serial[0], FT_OPEN_BY_SERIAL_NUMBER, &h) != FT_OK) ++failures;
      uint8_t frame[16];
      for (int i = 0; i < 16; ++i) frame[i] = static_cast<uint8_t>(t * 16 + i);
      for (int i = 0; i < kWrites; ++i) {
        uint32_t n = 0, m = 0;
        if (Modem(h, &m) != FT_OK || Write(h, frame, 16, &n) != FT_OK) ++failures;
        uint8_t in[4];
        if (Read(h, in, 1, &n) != FT_OK || n != 1) ++failures;
      }
      Close(h);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  int writes[4] = {0, 0, 0, 0};
  for (const std::string& line : Log()) {
    std::vector<std::string> f = SplitFields(line);
    ASSERT_GE(f.size(), 3u) << line;
    if (f[1] != "write") continue;
    int t = f[0].back() - '0';
    ASSERT_TRUE(t >= 0 && t < 4) << line;
    uint8_t frame[16];
    for (int i = 0; i < 16; ++i) frame[i] = static_cast<uint8_t>(t * 16 + i);
    ASSERT_EQ(line, f[0] + " write 0 " + HexBytes(frame, 16));
    ++writes[t];
  }
  for (int t = 0; t < 4; ++t) EXPECT_EQ(writes[t], kWrites);
}

// The pipe benchmark pushes thousands of requests a second through the
// library: a poll and a write per request, and a queue status and read on
// the reader thread.
TEST_F(Sim, ARequestsWorthOfCallsCostLittle) {
  Load("device serial=EL000123 answer=81\n");
  FT_HANDLE h = MustOpen("EL000123");
  const int kRequests = 2000;
  ULONGLONG start = GetTickCount64();
  uint8_t frame[12] = {0x81, 0x0A};
  for (int i = 0; i < kRequests; ++i) {
    uint32_t m = 0, n = 0;
    Modem(h, &m);
    Write(h, frame, sizeof frame, &n);
    Queue(h, &n);
    Read(h, frame + 11, n, &n);
  }
  ULONGLONG ms = GetTickCount64() - start;
  Close(h);
  double perSecond = kRequests * 1000.0 / (ms ? ms : 1);
  std::printf("simulated library: %.0f requests/s (4 calls each)\n", perSecond);
  // Quiet, this is several thousand; the bound only catches a library that
  // reads its file on every call, which costs milliseconds a call.
  EXPECT_GT(perSecond, 400.0);
}

}  // namespace
