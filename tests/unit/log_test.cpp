// The packet record's text and the life of log.txt.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <functional>

#include "log/file_lock.h"
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

  // Opened again before its close: the new run's records, from empty files.
  for (int run = 1; run <= 2; ++run) {
    packetlog::log_open();
    packetlog::log_write(make_packet_record(run, Mouse(run, run)));
    packetlog::recording_write_packet(run, fake::handle(7), run, Mouse(run, run));
  }
  packetlog::log_close();
  EXPECT_EQ(ReadFile("log.txt"), make_packet_record(2, Mouse(2, 2)));
  const std::string csv = ReadFile("log.csv");
  EXPECT_EQ(csv.substr(csv.find('\n') + 1), "2,7,2,0,0,0,0,0,2,2,0\n");
}

// Another copy's lock on the log: a Linux copy's (an open file description
// lock) or a Windows copy's under Wine (its wineserver's classic record lock).
int HoldLockAsAnotherCopy(int command) {
  const int fd = open("log.txt", O_RDWR | O_CLOEXEC);
  struct flock range = {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(packetlog::kLockOffset);
  range.l_len = 1;
  if (fd >= 0 && fcntl(fd, command, &range) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST_F(LogFileTest, ALogAnotherCopyHoldsIsLeftAloneUntilItLetsGo) {
  for (const int command : {F_OFD_SETLK, F_SETLK}) {
    SCOPED_TRACE(command == F_SETLK ? "classic record lock" : "open file description lock");
    const std::string theirs = make_packet_record(2, Mouse(5, 5));
    std::ofstream("log.txt", std::ios::binary) << theirs;
    std::filesystem::remove("log.csv");
    std::filesystem::remove("devices.csv");
    const int other = HoldLockAsAnotherCopy(command);
    ASSERT_GE(other, 0);

    testing::internal::CaptureStderr();
    packetlog::log_open();
    packetlog::log_write(make_packet_record(1, Mouse(1, 1)));
    EXPECT_TRUE(packetlog::log_stream.fail());
    packetlog::log_close();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadFile("log.txt"), theirs);

    EXPECT_FALSE(std::filesystem::exists("log.csv"));
    EXPECT_FALSE(std::filesystem::exists("devices.csv"));

    close(other);
    packetlog::log_open();
    packetlog::log_write(make_packet_record(1, Mouse(1, 1)));
    packetlog::log_close();
    EXPECT_EQ(ReadFile("log.txt"), make_packet_record(1, Mouse(1, 1)));
    packetlog::log_stream.clear();
  }
}

// Runs a session in a child process in dir: open the log (opens times, as a
// program started again in-process would), write count records, close it;
// returns what it printed on stderr. A root child runs as nobody, so that a
// folder's permissions hold for it.
std::string StderrOfSession(const std::filesystem::path& dir, int count, int opens) {
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDERR_FILENO);
    close(out[0]);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    if (chdir(dir.c_str()) != 0) _exit(3);
    for (int i = 0; i < opens; ++i) packetlog::log_open();
    // The words the window's title would show.
    if (!packetlog::log_refusal().empty()) std::fprintf(stderr, "title: %s\n", packetlog::log_refusal().c_str());
    for (int i = 0; i < count; ++i) packetlog::log_write(make_packet_record(1, Mouse(i, i)));
    packetlog::log_close();
    _exit(0);
  }
  close(out[1]);
  std::string said;
  char buffer[512];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) said.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) said += "[child status " + std::to_string(status) + "]";
  return said;
}

TEST_F(LogFileTest, ALogThatIsNotKeptIsToldOnceOnStderr) {
  const std::string folder = dir_.string();
  const struct {
    const char* name;
    std::function<void()> prepare;
    bool held;  // the test holds the lock, as a running copy would
    int records;
    std::string said;
    int opens = 1;
  } cases[] = {
      {"read-only folder", [&] { chmod(folder.c_str(), 0555); }, false, 10,
       "velmora: cannot write log.txt in " + folder + ": Permission denied\ntitle: this folder is read-only\n"},
      {"read-only log.txt",
       [] {
         std::ofstream("log.txt");
         chmod("log.txt", 0444);
       },
       false, 10, "velmora: cannot write log.txt in " + folder + ": Permission denied\ntitle: log.txt is read-only\n"},
      {"log.txt is a folder", [] { std::filesystem::create_directory("log.txt"); }, false, 10,
       "velmora: cannot write log.txt in " + folder + ": Is a directory\ntitle: cannot write log.txt: Is a directory\n"},
      // Records enough to fill the stream's buffer many times: still one line.
      {"full disk", [] { std::filesystem::create_symlink("/dev/full", "log.txt"); }, false, 5000,
       "velmora: cannot write log.txt in " + folder + ": No space left on device\n"},
      {"another copy holds it",
       [] {
         std::ofstream("log.txt");
         chmod("log.txt", 0666);
       },
       true, 10,
       "velmora: another copy of Velmora is using log.txt in " + folder +
           "; this copy keeps no log\ntitle: another copy is logging here\n"},
      {"a log that works", [] {}, false, 5000, ""},
      {"a log that works, opened again before its close", [] {}, false, 5000, "", 2},
      {"full disk, opened again before its close", [] { std::filesystem::create_symlink("/dev/full", "log.txt"); },
       false, 5000, "velmora: cannot write log.txt in " + folder + ": No space left on device\n", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all("log.txt");
    chmod(folder.c_str(), 0777);
    c.prepare();
    const int other = c.held ? HoldLockAsAnotherCopy(F_OFD_SETLK) : -1;
    EXPECT_EQ(other >= 0, c.held);
    EXPECT_EQ(StderrOfSession(dir_, c.records, c.opens), c.said);
    if (other >= 0) close(other);
  }
  chmod(folder.c_str(), 0755);
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

TEST_F(LogFileTest, UnopenableLogDropsRecordsAndTheToolGoesOn) {
  std::filesystem::create_directory("log.txt");
  ScriptExampleDevices();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  CreateForm();
  SendMouse(103, 4, 4);
  tk::TMessage close{tk::WM_CLOSE, 0, 0, 0};
  Form1->Dispatch(close);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot write log.txt"), std::string::npos);
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
