// The packet record's text and the life of log.txt.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>

#include "tests/support/app_fixture.h"

namespace {

using packetlog::make_packet_record;
using rawinput::RAWMOUSE;

RAWMOUSE Mouse(std::int32_t dx, std::int32_t dy) {
  RAWMOUSE m{};
  m.lLastX = dx;
  m.lLastY = dy;
  return m;
}

TEST(PacketRecordTest, MatchesTheFormatByteForByte) {
  EXPECT_EQ(make_packet_record(1, Mouse(-1, 2)),
            "Mouse: num 1, usFlags=0000 ulButtons=0000 usButtonFlags=0000 usButtonData=0000 ulRawButtons=0000 "
            "lLastX=ffffffff lLastY=0002 ulExtraInformation=0000\r\n");

  RAWMOUSE wheel{};
  wheel.ulButtons = 0x00780400;
  const std::string text = make_packet_record(0, wheel);
  EXPECT_NE(text.find(" ulButtons=780400 usButtonFlags=0400 usButtonData=0078 "), std::string::npos) << text;
}

TEST(PacketRecordTest, PrintsEveryFieldInFullAndInPlace) {
  RAWMOUSE m{};
  m.usFlags = 0x0001;
  m.ulButtons = 0xFF880400;
  m.ulRawButtons = 0x12345;
  m.lLastX = INT32_MIN;
  m.lLastY = INT32_MAX;
  m.ulExtraInformation = 0xFFFFFFFF;
  EXPECT_EQ(make_packet_record(-1, m),
            "Mouse: num -1, usFlags=0001 ulButtons=ff880400 usButtonFlags=0400 usButtonData=ff88 "
            "ulRawButtons=12345 lLastX=80000000 lLastY=7fffffff ulExtraInformation=ffffffff\r\n");
  EXPECT_EQ(make_packet_record(INT32_MIN, Mouse(0, 0)).rfind("Mouse: num -2147483648, usFlags=0000 ", 0), 0u);
  EXPECT_EQ(make_packet_record(INT32_MAX, Mouse(0, 0)).rfind("Mouse: num 2147483647, ", 0), 0u);
}

class LogFileTest : public AppTest {};

TEST_F(LogFileTest, EachRunStartsAnEmptyLog) {
  packetlog::log_open();
  packetlog::log_write(make_packet_record(1, Mouse(1, 1)));
  packetlog::log_close();
  EXPECT_EQ(ReadFile("log.txt"), make_packet_record(1, Mouse(1, 1)));

  packetlog::log_open();
  EXPECT_TRUE(std::filesystem::exists("log.txt"));
  EXPECT_EQ(std::filesystem::file_size("log.txt"), 0u);
  packetlog::log_close();
  EXPECT_EQ(ReadFile("log.txt"), "");
}

TEST_F(LogFileTest, ALogAnotherCopyHoldsIsLeftAloneUntilItLetsGo) {
  const std::string theirs = make_packet_record(2, Mouse(5, 5));
  std::ofstream("log.txt", std::ios::binary) << theirs;
  const int other = open("log.txt", O_RDONLY | O_CLOEXEC);  // another copy's open file
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);

  packetlog::log_open();
  packetlog::log_write(make_packet_record(1, Mouse(1, 1)));
  EXPECT_TRUE(packetlog::log_stream.fail());
  packetlog::log_close();
  EXPECT_EQ(ReadFile("log.txt"), theirs);

  EXPECT_FALSE(std::filesystem::exists("log.csv"));
  EXPECT_FALSE(std::filesystem::exists("devices.csv"));

  close(other);
  packetlog::log_open();
  packetlog::log_write(make_packet_record(1, Mouse(1, 1)));
  packetlog::log_close();
  EXPECT_EQ(ReadFile("log.txt"), make_packet_record(1, Mouse(1, 1)));
}

TEST_F(LogFileTest, RecordsAreWrittenInOrderAndNothingAfterClose) {
  packetlog::log_open();
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    const std::string r = make_packet_record(i % 4, Mouse(i, -i));
    packetlog::log_write(r);
    expected += r;
  }
  packetlog::log_close();
  packetlog::log_write(make_packet_record(3, Mouse(7, 7)));
  EXPECT_EQ(ReadFile("log.txt"), expected);
}

TEST_F(LogFileTest, UnopenableLogDropsRecordsSilentlyAndTheToolGoesOn) {
  std::filesystem::create_directory("log.txt");
  ScriptExampleDevices();
  testing::internal::CaptureStdout();
  CreateForm();
  SendMouse(103, 4, 4);
  tk::TMessage close{tk::WM_CLOSE, 0, 0, 0};
  Form1->Dispatch(close);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(std::filesystem::is_directory("log.txt"));
  EXPECT_TRUE(std::filesystem::is_empty("log.txt"));
  EXPECT_EQ(Form1->Label1->GetText(), "Hola");
  EXPECT_EQ(Form1->Memo1->Lines().back().rfind("Mouse: num 1, ", 0), 0u);
  EXPECT_EQ(Form1->tracks[0].x, 124);
}

// log.csv: the same values as the record, in decimal, with the signs a reader expects.
TEST_F(LogFileTest, RecordingRowsHoldTheRecordsValues) {
  struct Case {
    std::uint16_t usFlags;
    std::uint32_t ulButtons, ulRawButtons;
    std::int32_t x, y;
    std::uint32_t extra;
    const char* row;
  };
  const Case cases[] = {
      {0, 0, 0, -1, 2, 0, "0,0,0,0,0,-1,2,0"},
      // a wheel turned back: its data is a signed count
      {0, 0xFF880400, 0, 0, 0, 0, "0,4287104000,1024,-120,0,0,0,0"},
      {0, 0x00780800, 0, 0, 0, 0, "0,7866368,2048,120,0,0,0,0"},
      // no wheel flag: the data is a plain 16-bit value
      {0, 0xFF880001, 0x12345, 0, 0, 0, "0,4287102977,1,65416,74565,0,0,0"},
      {1, 0, 0, INT32_MIN, INT32_MAX, 0xFFFFFFFF, "1,0,0,0,0,-2147483648,2147483647,4294967295"},
  };
  packetlog::log_open();
  std::string expected =
      "time_us,handle,index,usFlags,ulButtons,usButtonFlags,usButtonData,ulRawButtons,lLastX,lLastY,"
      "ulExtraInformation\n";
  std::int64_t t = 0;
  for (const Case& c : cases) {
    RAWMOUSE m{};
    m.usFlags = c.usFlags;
    m.ulButtons = c.ulButtons;
    m.ulRawButtons = c.ulRawButtons;
    m.lLastX = c.x;
    m.lLastY = c.y;
    m.ulExtraInformation = c.extra;
    packetlog::recording_write_packet(t, fake::handle(0xFFFFFFF0u), 2, m);
    expected += std::to_string(t) + ",-16,2," + c.row + "\n";
    t += 8000000000;  // past 32 bits
  }
  packetlog::recording_write_drop(t, fake::handle(3392), -1);
  expected += std::to_string(t) + ",3392,-1,,,,,,,,\n";
  packetlog::log_close();
  EXPECT_EQ(ReadFile("log.csv"), expected);
}

TEST_F(LogFileTest, RunWithoutPacketsLeavesAnEmptyLog) {
  CreateForm();
  tk::TMessage close{tk::WM_CLOSE, 0, 0, 0};
  Form1->Dispatch(close);
  EXPECT_TRUE(std::filesystem::exists("log.txt"));
  EXPECT_EQ(ReadFile("log.txt"), "");
}

}  // namespace
