// The device channel against the simulated driver library: what opening
// asks of the driver, draining, failures during set-up, a transceiver pulled
// out, and that opening and closing leave no handles or threads behind.
//
// Threads: each opened record has its reader thread, which drains the
// simulated library and logs there; the tests read the log and, holding the
// record's lock, the record's receive state.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/frame.h"
#include "tests/support/process_counts.h"
#include "devices/device_channel.h"
#include "devices/device_table.h"
#include "devices/receive_framing.h"
#include "devices/send_frame.h"
#include "tests/ftd2xx-sim/sim_script.h"

// The import address table slots through which this program calls these
// functions (the import libraries define them). A test swaps one for a
// stand-in to provoke a failure that cannot be had from outside. Their
// names carry the stdcall decorations on 32-bit Windows only.
#ifdef _WIN64
extern void* g_importOpenEx __asm__("__imp_FT_OpenEx");
extern void* g_importCreateEvent __asm__("__imp_CreateEventW");
extern void* g_importCreateThread __asm__("__imp_CreateThread");
#else
extern void* g_importOpenEx __asm__("__imp__FT_OpenEx@12");
extern void* g_importCreateEvent __asm__("__imp__CreateEventW@16");
extern void* g_importCreateThread __asm__("__imp__CreateThread@24");
#endif

namespace {

using Lines = std::vector<std::string>;

const std::wstring& Folder() {
  static const std::wstring folder = ProgramFolder();
  return folder;
}

// Rewrites one import slot for the life of the object.
class ImportPatch {
 public:
  ImportPatch(void*& slot, void* replacement) : slot_(slot), original_(slot) { Set(replacement); }
  ~ImportPatch() { Set(original_); }
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;
  void* original() const { return original_; }

 private:
  void Set(void* value) {
    DWORD old = 0;
    VirtualProtect(&slot_, sizeof(void*), PAGE_READWRITE, &old);
    slot_ = value;
    VirtualProtect(&slot_, sizeof(void*), old, &old);
  }
  void*& slot_;
  void* original_;
};

DWORD HandleCount() { return ProcessHandleCount(); }
int ThreadCount() { return ProcessThreadCount(); }

// The process's handle and thread counts, to compare before and after. Take
// them after one open and close (the WarmUp environment): the first thread the process
// starts brings one more of the system's own, and the simulated library
// opens its log on its first call.
struct Counts {
  DWORD handles = HandleCount();
  int threads = ThreadCount();
};

// True once both counts are back where `before` was (threads that have
// ended may take a moment to leave the system's list).
bool CountsReturnTo(const Counts& before, Counts& now) {
  // Wine ends a thread's accounting asynchronously, in the wineserver: on
  // a busy machine that takes seconds. A leak stays for good.
  for (int i = 0; i < 1000; ++i) {
    now = Counts();
    if (now.handles == before.handles && now.threads == before.threads) return true;
    Sleep(5);
  }
  return false;
}

std::string Row(uint8_t row) {
  return HexBytes(&FrameTable[row][1], FrameTable[row][0]);
}

std::string HexAnswer(const std::vector<uint8_t>& bytes) {
  std::string s;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02X", b);
    s += two;
  }
  return s;
}

DeviceStatus SendRow(DeviceRecord& record, uint8_t row) {
  Frame frame;
  PrepareFrame(frame, record.instance);
  LoadTableFrame(frame, row);
  return SendFrame(record, frame);
}

// Opens a record for `serial`; the caller closes it.
DeviceRecord* Open(const char* serial, DeviceStatus expected = 0) {
  DeviceRecord* record = CreateDeviceRecord(0);
  EXPECT_EQ(OpenDevice(serial, *record), expected) << serial;
  return record;
}

class WarmUp : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000100\n"));
    CloseDevice(Open("EL000100"));
  }
};
::testing::Environment* const g_warmUp = ::testing::AddGlobalTestEnvironment(new WarmUp);

bool ThreadRunning(const DeviceRecord& record) {
  return record.readerThread &&
         WaitForSingleObject(static_cast<HANDLE>(record.readerThread), 0) == WAIT_TIMEOUT;
}

// The lines of `lines` that are not modem-status noise from other serials.
Lines Only(const Lines& lines, const std::string& serial) {
  Lines out;
  for (const std::string& line : lines) {
    if (line.compare(0, serial.size() + 1, serial + " ") == 0) out.push_back(line);
  }
  return out;
}

// The bytes of every `read` line, in order.
std::vector<uint8_t> ReadBytes(const Lines& lines) {
  std::vector<uint8_t> bytes;
  for (const std::string& line : lines) {
    Lines f = SplitFields(line);
    if (f.size() < 3 || f[1] != "read") continue;
    for (size_t i = 3; i < f.size(); ++i) {
      bytes.push_back(static_cast<uint8_t>(std::stoul(f[i], nullptr, 16)));
    }
  }
  return bytes;
}

TEST(Opening, AsksExactlyForTheLineSetUpAndTheThreeStartupFrames) {
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000123 manufacturer=Maker "
                                       "description=Stick\n"));
  uint64_t mark = SimLogMark(Folder());
  DeviceRecord* record = Open("EL000123");
  EXPECT_EQ(SimLogSince(Folder(), mark),
            (Lines{"EL000123 open 0", "EL000123 baud 0 9600", "EL000123 data 0 8 0 0",
                   "EL000123 flow 0 0 17 19", "EL000123 eeprom 0", "EL000123 notify 0 1",
                   "EL000123 write 0 " + Row(0), "EL000123 write 0 " + Row(2),
                   "EL000123 write 0 " + Row(4)}));
  EXPECT_STREQ(record->serialNumber, "EL000123");
  EXPECT_STREQ(record->manufacturer, "Maker");
  EXPECT_STREQ(record->manufacturerId, "EL");
  EXPECT_STREQ(record->description, "Stick");
  EXPECT_EQ(record->eeprom.VendorId, 0x0403);
  EXPECT_EQ(record->notifyArmed, 1);
  EXPECT_TRUE(ThreadRunning(*record));
  mark = SimLogMark(Folder());
  CloseDevice(record);
  EXPECT_EQ(SimLogSince(Folder(), mark), (Lines{"EL000123 close 0"}));
}

TEST(Opening, AnUnknownSerialFailsWithTheDriversStatusAndClosesCleanly) {
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000123\n"));
  Counts before;
  uint64_t mark = SimLogMark(Folder());
  DeviceRecord* record = Open("EL000999", FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(record->handle, nullptr);
  EXPECT_EQ(record->rxEvent, nullptr);
  EXPECT_EQ(record->readerThread, nullptr);
  CloseDevice(record);
  EXPECT_EQ(SimLogSince(Folder(), mark), (Lines{"EL000999 open 2"}))
      << "no driver call on a handle that was never opened";
  Counts after;
  EXPECT_TRUE(CountsReturnTo(before, after));
}

// A transceiver pulled out between the open and the baud-rate call: the open
// is made to pull it out (by rewriting the configuration) just as it returns.
FT_STATUS FT_API OpenThenPullOut(void* arg, uint32_t flags, FT_HANDLE* handle);
void* g_realOpenEx = nullptr;

FT_STATUS FT_API OpenThenPullOut(void* arg, uint32_t flags, FT_HANDLE* handle) {
  using OpenExFn = FT_STATUS(FT_API*)(void*, uint32_t, FT_HANDLE*);
  FT_STATUS status = reinterpret_cast<OpenExFn>(g_realOpenEx)(arg, flags, handle);
  WriteSimConfig(Folder(), "# pulled out\n");
  return status;
}

TEST(Opening, AFailingBaudRateCallLeavesNoEventsNorThreadAndReturnsItsStatus) {
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000124\n"));
  Counts before;
  uint64_t mark = SimLogMark(Folder());
  DeviceRecord* record = nullptr;
  {
    ImportPatch patch(g_importOpenEx, reinterpret_cast<void*>(&OpenThenPullOut));
    g_realOpenEx = patch.original();
    record = Open("EL000124", FT_IO_ERROR);
  }
  EXPECT_NE(record->handle, nullptr) << "the handle stays open";
  EXPECT_EQ(record->rxEvent, nullptr);
  EXPECT_EQ(record->stopEvent, nullptr);
  EXPECT_EQ(record->readerThread, nullptr);
  EXPECT_EQ(record->notifyArmed, 0);
  Counts opened;
  EXPECT_EQ(opened.handles, before.handles);
  EXPECT_EQ(opened.threads, before.threads);
  CloseDevice(record);
  EXPECT_EQ(SimLogSince(Folder(), mark),
            (Lines{"EL000124 open 0", "EL000124 pulled 0", "EL000124 baud 4 9600",
                   "EL000124 close 4"}));
}

// Stand-ins that fail the Nth event creation, or every thread creation.
int g_eventsBeforeFailure = 0;
void* g_realCreateEvent = nullptr;

HANDLE WINAPI CreateEventFailingLater(LPSECURITY_ATTRIBUTES a, BOOL manual, BOOL initial,
                                      LPCWSTR name) {
  if (g_eventsBeforeFailure-- == 0) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
  using Fn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
  return reinterpret_cast<Fn>(g_realCreateEvent)(a, manual, initial, name);
}

HANDLE WINAPI CreateThreadFailing(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                  DWORD, LPDWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

TEST(Opening, AFailedEventCreationLeavesNothingHalfMade) {
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000125 answer=810504\n"));
  for (int eventsBefore : {0, 1}) {
    Counts before;
    uint64_t mark = SimLogMark(Folder());
    DeviceRecord* record = CreateDeviceRecord(0);
    {
      ImportPatch patch(g_importCreateEvent, reinterpret_cast<void*>(&CreateEventFailingLater));
      g_realCreateEvent = patch.original();
      g_eventsBeforeFailure = eventsBefore;
      EXPECT_EQ(OpenDevice("EL000125", *record), FT_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(record->rxEvent, nullptr);
    EXPECT_EQ(record->stopEvent, nullptr);
    EXPECT_EQ(record->readerThread, nullptr);
    Counts failed;
    EXPECT_EQ(failed.handles, before.handles) << "the first event was released";
    EXPECT_EQ(failed.threads, before.threads);
    CloseDevice(record);
    EXPECT_EQ(SimLogSince(Folder(), mark),
              (Lines{"EL000125 open 0", "EL000125 baud 0 9600", "EL000125 data 0 8 0 0",
                     "EL000125 flow 0 0 17 19", "EL000125 close 0"}));
  }
}

TEST(Opening, AFailedThreadCreationTakesTheEventBackFromTheDriver) {
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000126 answer=810504\n"));
  Counts before;
  uint64_t mark = SimLogMark(Folder());
  DeviceRecord* record = CreateDeviceRecord(0);
  {
    ImportPatch patch(g_importCreateThread, reinterpret_cast<void*>(&CreateThreadFailing));
    EXPECT_EQ(OpenDevice("EL000126", *record), FT_INSUFFICIENT_RESOURCES);
  }
  EXPECT_EQ(record->rxEvent, nullptr);
  EXPECT_EQ(record->stopEvent, nullptr);
  EXPECT_EQ(record->readerThread, nullptr);
  EXPECT_EQ(record->notifyArmed, 0);
  Counts failed;
  EXPECT_EQ(failed.handles, before.handles);
  // A write now queues an answer; the driver must not signal anything.
  EXPECT_EQ(SendRow(*record, 1), 0u);
  CloseDevice(record);
  Lines log = SimLogSince(Folder(), mark);
  ASSERT_EQ(log.size(), 9u);
  EXPECT_EQ(log[5], "EL000126 notify 0 1");
  EXPECT_EQ(log[6], "EL000126 notify 0 0");
  EXPECT_EQ(log[7], "EL000126 write 0 " + Row(1)) << "no start-up frames";
  EXPECT_EQ(log[8], "EL000126 close 0");
}

// 300 bytes: frames of different lengths with a little noise between
// them, one of them across the 256-byte boundary of the first read.
std::vector<uint8_t> ThreeHundredBytes() {
  std::vector<uint8_t> bytes;
  for (uint8_t n = 0; bytes.size() < 300; ++n) {
    uint8_t body = static_cast<uint8_t>(3 + n % 9);
    bytes.push_back(kFrameStart);
    bytes.push_back(body);
    for (uint8_t i = 0; i < body; ++i) bytes.push_back(static_cast<uint8_t>(n * 16 + i));
    if (n % 4 == 3) bytes.push_back(0x00);
  }
  bytes.resize(300);
  return bytes;
}

TEST(Draining, ThreeHundredWaitingBytesAreReadAs256Then44AndAllReachTheFraming) {
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000127\n"));
  DeviceRecord* record = Open("EL000127");
  std::vector<uint8_t> bytes = ThreeHundredBytes();
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000127 answer=" + HexAnswer(bytes) + "\n"));
  uint64_t mark = SimLogMark(Folder());
  EXPECT_EQ(SendRow(*record, 1), 0u);
  Lines log = Only(WaitForSimLog(Folder(), mark, "read", 2, 5000), "EL000127");
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "EL000127 write 0 " + Row(1));
  EXPECT_EQ(log[1], "EL000127 queue 0 300");
  EXPECT_EQ(SplitFields(log[2]).size(), 3u + 256);
  EXPECT_EQ(SplitFields(log[3]).size(), 3u + 44);
  EXPECT_EQ(ReadBytes(log), bytes);

  // The parser must stand exactly where one that was fed the 300 bytes at
  // once stands: a byte lost, repeated or reordered would move it.
  DeviceRecord* reference = CreateDeviceRecord(0);
  FeedReceiveParser(*reference, bytes.data(), 300);
  {
    LockHold hold(record->rxLock);  // the drain has ended
    EXPECT_EQ(record->rxState, reference->rxState);
    EXPECT_EQ(record->rxCount, reference->rxCount);
    EXPECT_EQ(record->rxExpected, reference->rxExpected);
    EXPECT_EQ(record->rxBodyCount, reference->rxBodyCount);
    EXPECT_EQ(std::memcmp(record->rxBuf, reference->rxBuf, kRxBufferSize), 0);
    EXPECT_EQ(record->rxState, 2) << "the stream ends inside a frame";
  }
  FreeDeviceRecord(reference);
  CloseDevice(record);
}

TEST(Draining, AnAnswerSplitAcrossTwoDrainsStillMakesOneWholeFrame) {
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000128\n"));
  DeviceRecord* record = Open("EL000128");
  const char* halves[] = {"00810504", "63C90199"};
  for (const char* half : halves) {
    ASSERT_TRUE(WriteSimConfig(Folder(), std::string("device serial=EL000128 answer=") + half + "\n"));
    uint64_t mark = SimLogMark(Folder());
    EXPECT_EQ(SendRow(*record, 3), 0u);
    Lines log = WaitForSimLog(Folder(), mark, "read", 1, 5000);
    ASSERT_EQ(Only(log, "EL000128").size(), 3u) << "one write, one queue, one read";
  }
  const uint8_t frame[] = {0x81, 0x05, 0x04, 0x63, 0xC9, 0x01, 0x99};
  {
    LockHold hold(record->rxLock);
    EXPECT_EQ(record->rxState, 0) << "the frame was completed";
    EXPECT_EQ(record->rxCount, 7);
    EXPECT_EQ(std::memcmp(record->rxBuf, frame, sizeof frame), 0);
  }
  CloseDevice(record);
}

TEST(PulledOut, SendsAnswerTheErrorTheReaderKeepsWaitingAndCloseWorks) {
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000129\ndevice serial=EL000130\n"));
  Counts before;
  DeviceRecord* record = Open("EL000129");
  DeviceRecord* other = Open("EL000130");
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000130\n"));
  uint64_t mark = SimLogMark(Folder());
  EXPECT_EQ(SendRow(*record, 4), FT_IO_ERROR);
  EXPECT_EQ(SendRow(*other, 4), 0u);
  // Wake the reader as the driver would; its drain fails, and it goes on
  // waiting.
  SetEvent(static_cast<HANDLE>(record->rxEvent));
  Lines log = WaitForSimLog(Folder(), mark, "queue", 1, 5000);
  EXPECT_EQ(Only(log, "EL000129"), (Lines{"EL000129 pulled 0", "EL000129 queue 4"}));
  Sleep(20);
  EXPECT_TRUE(ThreadRunning(*record));
  mark = SimLogMark(Folder());
  ULONGLONG start = GetTickCount64();
  CloseDevice(record);
  CloseDevice(other);
  EXPECT_LT(GetTickCount64() - start, 1000u);
  EXPECT_EQ(SimLogSince(Folder(), mark), (Lines{"EL000129 close 4", "EL000130 close 0"}));
  Counts after;
  EXPECT_TRUE(CountsReturnTo(before, after))
      << "handles " << before.handles << " -> " << after.handles << ", threads "
      << before.threads << " -> " << after.threads;
}

TEST(Lifecycle, NoDrainRunsOnAClosedHandle) {
  // Every start-up frame is answered, so the reader thread is busy draining
  // while the record is closed.
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000131 answer=" +
                                           HexAnswer(ThreeHundredBytes()) + "\n"));
  uint64_t mark = SimLogMark(Folder());
  for (int i = 0; i < 100; ++i) CloseDevice(Open("EL000131"));
  Lines log = SimLogSince(Folder(), mark);
  int closes = 0;
  for (const std::string& line : log) {
    ASSERT_EQ(line.compare(0, 9, "EL000131 "), 0) << "a call on a closed handle: " << line;
    Lines f = SplitFields(line);
    if (f[1] == "close") ++closes;
    if (f[1] == "queue" || f[1] == "read") {
      ASSERT_EQ(f[2], "0") << line;
    }
  }
  EXPECT_EQ(closes, 100);
}

TEST(Lifecycle, FiveHundredOpenCloseCyclesLeaveNoHandlesOrThreads) {
  ASSERT_TRUE(WriteSimConfig(Folder(), "device serial=EL000132 answer=810504\n"));
  Counts before;
  for (int i = 0; i < 500; ++i) {
    DeviceRecord* record = Open("EL000132");
    ASSERT_TRUE(record->readerThread);
    CloseDevice(record);
  }
  Counts after;
  EXPECT_TRUE(CountsReturnTo(before, after))
      << "handles " << before.handles << " -> " << after.handles << ", threads "
      << before.threads << " -> " << after.threads;
}

TEST(Lifecycle, SixtyFourOpenAtOnceCloseQuicklyAndLeaveNothing) {
  std::string config;
  char serial[16];
  for (int i = 0; i < kMaxDevices; ++i) {
    std::snprintf(serial, sizeof serial, "EL1%05d", i);
    config += std::string("device serial=") + serial + " answer=810504\n";
  }
  ASSERT_TRUE(WriteSimConfig(Folder(), config));
  Counts before;
  DeviceRecord* records[kMaxDevices];
  for (int i = 0; i < kMaxDevices; ++i) {
    std::snprintf(serial, sizeof serial, "EL1%05d", i);
    records[i] = Open(serial);
  }
  Counts open;
  EXPECT_EQ(open.threads, before.threads + kMaxDevices);
  EXPECT_EQ(open.handles, before.handles + 3 * kMaxDevices) << "two events and a thread each";
  auto start = std::chrono::steady_clock::now();
  for (DeviceRecord* record : records) CloseDevice(record);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("64 closes took %.1f ms; handles %lu -> %lu -> %lu\n", ms,
              static_cast<unsigned long>(before.handles), static_cast<unsigned long>(open.handles),
              static_cast<unsigned long>(HandleCount()));
  // 64 fixed pauses of 50 ms would take 3.2 s; the bound leaves a busy
  // machine room (quiet, the closes take well under 100 ms).
  EXPECT_LT(ms, 3000.0) << "a fixed pause per close would show here";
  Counts after;
  EXPECT_TRUE(CountsReturnTo(before, after))
      << "handles " << before.handles << " -> " << after.handles << ", threads "
      << before.threads << " -> " << after.threads;
}

}  // namespace
