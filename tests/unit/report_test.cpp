// velmora-report: the figures on synthetic recordings with known answers, the
// page's bounded plots, the escaping of names, and bad input by exit code and
// message.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "report/cli.h"
#include "report/csv_reader.h"
#include "report/recording.h"
#include "report/report_output.h"
#include "report/report_page.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kDevicesHeader = "handle,index,type,name,vendor,product,clock_us\n";
constexpr const char* kLogHeader =
    "time_us,handle,index,usFlags,ulButtons,usButtonFlags,usButtonData,ulRawButtons,lLastX,lLastY,"
    "ulExtraInformation\n";

std::string Row(long long time, int handle, unsigned button_flags = 0, int data = 0, int dx = 0, int dy = 0) {
  return std::to_string(time) + "," + std::to_string(handle) + ",1,0,0," + std::to_string(button_flags) + "," +
         std::to_string(data) + ",0," + std::to_string(dx) + "," + std::to_string(dy) + ",0\n";
}
std::string DropRow(long long time, int handle) { return std::to_string(time) + "," + std::to_string(handle) + ",1,,,,,,,,\n"; }

// A recording folder of its own for each test, removed afterwards.
class RecordingDir {
 public:
  RecordingDir() {
    static int count = 0;
    path_ = fs::temp_directory_path() /
            ("velmora-report-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
             std::to_string(++count));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~RecordingDir() { fs::remove_all(path_); }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name, std::ios::binary) << text;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string path() const { return path_.string(); }

 private:
  fs::path path_;
};

struct ReportRun {
  int status;
  std::string out;
  std::string err;
};
ReportRun RunReport(std::vector<std::string> args) {
  std::ostringstream out, err;
  const int status = report::run_report(args, out, err);
  return {status, out.str(), err.str()};
}

// One mouse, handle 5 at index 1, with the given clock and log rows.
report::Figures FiguresOf(const std::string& rows, int clock_us = 1) {
  RecordingDir dir;
  dir.Write("devices.csv", std::string(kDevicesHeader) + "5,1,Mouse,\"m\",,," + std::to_string(clock_us) + "\n");
  dir.Write("log.csv", kLogHeader + rows);
  report::Recording recording;
  std::ostringstream warnings;
  std::FILE* devices = std::fopen((dir.path() + "/devices.csv").c_str(), "rb");
  report::read_devices(devices, "devices.csv", recording, warnings);
  std::fclose(devices);
  std::FILE* log = std::fopen((dir.path() + "/log.csv").c_str(), "rb");
  report::read_log(log, "log.csv", recording, warnings);
  std::fclose(log);
  EXPECT_EQ(warnings.str(), "");
  return recording.devices.at(0).stats.figures();
}

// Rows at the given intervals from time 0.
std::string RowsAt(const std::vector<long long>& intervals) {
  std::string rows = Row(0, 5);
  long long t = 0;
  for (const long long interval : intervals) rows += Row(t += interval, 5);
  return rows;
}
std::vector<long long> Repeat(long long interval, int count) { return std::vector<long long>(count, interval); }
std::vector<long long> Join(std::vector<std::vector<long long>> parts) {
  std::vector<long long> all;
  for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

double StdDevOverMeanPct(const std::vector<long long>& v) {
  double mean = 0, sq = 0;
  for (const long long x : v) mean += static_cast<double>(x) / static_cast<double>(v.size());
  for (const long long x : v) sq += (static_cast<double>(x) - mean) * (static_cast<double>(x) - mean);
  return std::sqrt(sq / static_cast<double>(v.size())) / mean * 100;
}

std::vector<long long> Times(const std::vector<long long>& pattern, int n) {
  std::vector<long long> all;
  for (int i = 0; i < n; ++i) all.insert(all.end(), pattern.begin(), pattern.end());
  return all;
}

struct TimingCase {
  const char* name;
  std::vector<long long> intervals;  // in runs, plus any pauses
  int clock_us;
  std::uint64_t packets;
  double seconds;
  double rate_hz;
  std::optional<double> median;  // absent: not given for the clock
  std::optional<std::int64_t> p1, p99, longest;
  std::vector<long long> timed;  // the intervals the jitter is over
};

// 8000 Hz with jitter: 4000 at 115 us, 3997 at 135 us and three 2 ms hitches.
const std::vector<long long> kJittery = Join({Repeat(115, 2000), Repeat(135, 1997), {2000, 2000, 2000},
                                              Repeat(135, 2000), Repeat(115, 2000)});

const TimingCase kTimingCases[] = {
    // A pause of 5 s, and one of exactly 100 ms, end runs and do not lower the rate.
    {"steady 1000 Hz with pauses", Join({Repeat(1000, 1000), {5000000}, Repeat(1000, 999), {100000}, {1000}}), 1,
     2003, 7.1, 1000, 1000, 1000, 1000, 1000, Repeat(1000, 2000)},
    // Just under the pause: timed, and the longest.
    {"99.999 ms is a hitch, not a pause", Join({Repeat(1000, 10), {99999}}), 1, 12, 0.109999,
     11e6 / 109999, 1000, 1000, 99999, 99999, Join({Repeat(1000, 10), {99999}})},
    {"8000 Hz with jitter and 2 ms hitches", kJittery, 1, 8001, 1.005595, 8000e6 / 1005595, 125, 115, 135, 2000,
     kJittery},
    // An 8000 Hz mouse on a 1 ms clock: most intervals read 0, every eighth 1000.
    {"8000 Hz on a 1 ms clock", Times({0, 0, 0, 0, 0, 0, 0, 1000}, 100), 1000, 801, 0.1, 8000, {}, {}, {}, {}, {}},
    // A 1000 Hz mouse on a 1 ms clock: the clock is as coarse as the interval.
    {"1000 Hz on a 1 ms clock", Repeat(1000, 150), 1000, 151, 0.15, 1000, {}, {}, {}, {}, {}},
};

TEST(ReportFigures, TimingOfKnownRecordings) {
  for (const TimingCase& c : kTimingCases) {
    SCOPED_TRACE(c.name);
    const report::Figures f = FiguresOf(RowsAt(c.intervals), c.clock_us);
    EXPECT_EQ(f.packets, c.packets);
    EXPECT_NEAR(f.seconds, c.seconds, 1e-9);
    ASSERT_TRUE(f.rate_hz);
    EXPECT_NEAR(*f.rate_hz, c.rate_hz, 1e-6);
    EXPECT_EQ(f.interval_median_us, c.median);
    EXPECT_EQ(f.interval_p1_us, c.p1);
    EXPECT_EQ(f.interval_p99_us, c.p99);
    EXPECT_EQ(f.longest_interval_us, c.longest);
    EXPECT_EQ(f.clock_too_coarse, !c.median.has_value());
    if (c.median) {
      ASSERT_TRUE(f.jitter_pct);
      EXPECT_NEAR(*f.jitter_pct, StdDevOverMeanPct(c.timed), 1e-6);
    } else {
      EXPECT_FALSE(f.jitter_pct);
    }
  }
}

// Packets at polls of period_us, the next one gaps() polls on, each late by up
// to jitter_us: the times a mouse moved slowly would give.
std::string Polled(int packets, long long period_us, long long jitter_us, const std::function<int()>& gaps) {
  std::uint32_t state = 11;
  std::string rows;
  long long poll = 0, time = 0;
  for (int i = 0; i < packets; ++i, poll += gaps()) {
    state = state * 1103515245u + 12345u;
    // Two packets of one poll keep their order.
    time = std::max(time, poll * period_us + static_cast<long long>((state >> 16) % static_cast<std::uint32_t>(jitter_us + 1)));
    rows += Row(time, 5);
  }
  return rows;
}
// The polls from one packet to the next, in a cycle.
std::function<int()> Cycle(std::vector<int> gaps) {
  return [gaps, i = std::size_t{0}]() mutable { return gaps[i++ % gaps.size()]; };
}

struct PollCase {
  const char* name;
  std::string rows;
  int clock_us;
  std::optional<double> poll_hz;  // absent: no rate
  double busy_pct;
};

TEST(ReportFigures, PollRateAndBusyShare) {
  const PollCase cases[] = {
      // A 1 kHz mouse moved by hand: one poll in 3.5 carries a packet, up to 5 us late.
      {"1000 Hz, most polls empty", Polled(3000, 1000, 5, Cycle({1, 3, 6, 2, 5, 4})), 1, 1000, 100 / 3.5},
      // As above, with one packet in 20 handed over with the one before (1 ms
      // polls, 20 packets in 61 polls: rate_hz 328).
      {"1000 Hz, most polls empty, some packets together",
       Polled(3000, 1000, 5, Cycle({1, 3, 6, 2, 5, 4, 0, 3, 2, 4, 1, 5, 6, 2, 3, 4, 2, 5, 3, 1})), 1, 1000, 2000 / 61.0},
      {"8000 Hz with two-valued jitter", RowsAt(kJittery), 1, 8000, 100},
      // Each packet up to 100 us late: intervals from 25 to 225 us.
      {"8000 Hz with jitter of most of a poll", Polled(8000, 125, 100, Cycle({1})), 1, 8000, 100},
      {"8000 Hz with jitter, a poll in five empty", Polled(8000, 125, 60, Cycle({1, 1, 1, 2})), 1, 8000, 80},
      // PS/2 at 12 ms, a packet up to 2 ms late, a poll in five empty.
      {"12 ms with spread", Polled(400, 12000, 2000, Cycle({1, 1, 2, 1})), 1, 1e6 / 12000, 80},
      // A 60 Hz pointer on a 1 ms clock over 3 s.
      {"60 Hz on a 1 ms clock", RowsAt(Times({17000, 17000, 16000}, 60)), 1000, 1e6 / 16666.67,
       100},
      // 40 packets within one tick of a 1 ms clock.
      {"1 ms burst on a 1 ms clock", RowsAt(Join({Repeat(0, 19), {1000}, Repeat(0, 19)})), 1000, {}, 0},
      {"9 intervals", RowsAt(Repeat(1000, 9)), 1, {}, 0},
      {"10 intervals", RowsAt(Repeat(1000, 10)), 1, 1000, 100},
  };
  for (const PollCase& c : cases) {
    SCOPED_TRACE(c.name);
    const report::Figures f = FiguresOf(c.rows, c.clock_us);
    EXPECT_EQ(f.too_short, !c.poll_hz);
    EXPECT_EQ(f.rate_hz.has_value(), c.poll_hz.has_value());
    if (!c.poll_hz) {
      EXPECT_FALSE(f.poll_hz);
      EXPECT_FALSE(f.busy_pct);
      continue;
    }
    ASSERT_TRUE(f.poll_hz);
    ASSERT_TRUE(f.busy_pct);
    EXPECT_NEAR(*f.poll_hz, *c.poll_hz, *c.poll_hz * 0.02);
    EXPECT_NEAR(*f.busy_pct, c.busy_pct, c.busy_pct * 0.02);
    EXPECT_NEAR(*f.busy_pct, *f.rate_hz / *f.poll_hz * 100, 1e-9);
  }
}

TEST(ReportFigures, DropsClicksAndWheel) {
  // A drop row is counted and the interval across it is not timed (it would be 3 ms).
  const report::Figures drops =
      FiguresOf(RowsAt(Repeat(1000, 10)) + DropRow(10500, 5) + Row(13000, 5) + Row(14000, 5) + DropRow(17000, 5));
  EXPECT_EQ(drops.drops, 2u);
  EXPECT_EQ(drops.packets, 13u);
  EXPECT_EQ(drops.longest_interval_us, 1000);
  EXPECT_EQ(drops.rate_hz, 1000);
  EXPECT_DOUBLE_EQ(drops.seconds, 0.014);

  // Each button-down flag is a press (two in one packet count two); up flags are
  // not. Only the vertical wheel turns wheel_notches, by signed 120ths.
  const report::Figures clicks = FiguresOf(Row(0, 5, 0x0001) + Row(1, 5, 0x0002) + Row(2, 5, 0x0005) +
                                           Row(3, 5, 0x0100) + Row(4, 5, 0x0040 | 0x0080) + Row(5, 5, 0x0400, 120) +
                                           Row(6, 5, 0x0400, -240) + Row(7, 5, 0x0800, 120) + Row(8, 5, 0x0400, 60));
  EXPECT_EQ(clicks.presses, 5u);
  EXPECT_DOUBLE_EQ(clicks.wheel_notches, -0.5);
}

TEST(ReportOutput, ACoarseClockIsNullInJsonAndSaysWhyInTheTable) {
  RecordingDir dir;
  dir.Write("devices.csv", std::string(kDevicesHeader) + "5,1,Mouse,\"xi2\",,,1000\n");
  dir.Write("log.csv", kLogHeader + RowsAt(Repeat(1000, 200)));
  const ReportRun json = RunReport({"--json", dir.path()});
  ASSERT_EQ(json.status, 0) << json.err;
  for (const char* key : {"poll_hz", "busy_pct", "interval_median_us", "interval_p1_us", "interval_p99_us",
                          "jitter_pct", "longest_interval_us"}) {
    EXPECT_NE(json.out.find(std::string("\"") + key + "\": null"), std::string::npos) << key << "\n" << json.out;
  }
  EXPECT_NE(json.out.find("\"rate_hz\": 1000,"), std::string::npos) << json.out;
  const ReportRun table = RunReport({dir.path()});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.out.find("n/a (1 ms clock)"), std::string::npos) << table.out;

  // 40 packets within a tick: no rate, and the table says why.
  dir.Write("log.csv", kLogHeader + RowsAt(Join({Repeat(0, 19), {1000}, Repeat(0, 19)})));
  const ReportRun burst = RunReport({dir.path()});
  ASSERT_EQ(burst.status, 0) << burst.err;
  EXPECT_NE(burst.out.find("40    0.001  n/a (too short)  n/a (too short)  n/a (too short)  n/a (1 ms clock)"),
            std::string::npos)
      << burst.out;
}

TEST(ReportOutput, NamesKeepTheirCommasQuotesAndMarkup) {
  RecordingDir dir;
  dir.Write("devices.csv", std::string(kDevicesHeader) + "5,1,Mouse,\"A, \"\"B\"\" <i>&</i>\",046d,c077,1\n");
  dir.Write("log.csv", kLogHeader + RowsAt({1000}));
  const ReportRun json = RunReport({"--json", dir.path()});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find(R"("name": "A, \"B\" \u003ci\u003e\u0026\u003c/i\u003e")"), std::string::npos) << json.out;
  const std::string page = dir.Read("report.html");
  EXPECT_NE(page.find("A, &quot;B&quot; &lt;i&gt;&amp;&lt;/i&gt;"), std::string::npos);
  EXPECT_EQ(page.find("<i>&</i>"), std::string::npos);
  EXPECT_EQ(report::json_string("\x01\\\xff\xc3\xa9"), "\"\\u0001\\\\\\ufffd\xc3\xa9\"");
}

TEST(ReportOutput, PlotsStayBoundedAndTheFiguresExact) {
  // 300000 packets moving right by one, in \r\n lines across many read buffers.
  std::string rows;
  for (int i = 0; i < 300000; ++i) {
    std::string row = Row(i * 125LL, 5, 0, 0, 1, 0);
    row.insert(row.size() - 1, "\r");
    rows += row;
  }
  report::Recording recording;
  RecordingDir dir;
  dir.Write("devices.csv", std::string(kDevicesHeader) + "5,1,Mouse,\"m\",,,1\n");
  dir.Write("log.csv", kLogHeader + rows);
  const ReportRun run = RunReport({"--json", dir.path() + "/log.csv"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\"packets\": 300000,"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"rate_hz\": 8000,"), std::string::npos) << run.out;

  report::DeviceStats stats(1);
  for (int i = 0; i < 300000; ++i) stats.add_packet({i * 125LL + (i % 3) * 7, 0, 0, 0, 1, -1});
  const report::Plots plots = stats.plots();
  EXPECT_LE(plots.rate.size(), 1000u);
  EXPECT_LE(plots.path.size(), 4001u);
  EXPECT_LE(plots.histogram.size(), 400u);
  ASSERT_FALSE(plots.path.empty());
  EXPECT_EQ(plots.path.back().x, 300000);
  EXPECT_EQ(plots.path.back().y, -300000);
  std::uint64_t counted = 0;
  for (const std::uint64_t n : plots.histogram) counted += n;
  EXPECT_EQ(counted, 299999u);
}

struct BadInput {
  const char* name;
  std::function<void(const RecordingDir&)> make;
  std::string target;  // appended to the folder; "" is the folder itself
  int status;
  const char* message;  // on stderr
};

const std::string kGoodDevices = std::string(kDevicesHeader) + "5,1,Mouse,\"m\",,,1\n";
std::function<void(const RecordingDir&)> Files(std::string devices, std::string log) {
  return [=](const RecordingDir& dir) {
    dir.Write("devices.csv", devices);
    dir.Write("log.csv", log);
  };
}
std::string CrLf(const std::string& text) {
  std::string out;
  for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}
std::string RandomBytes() {
  std::string bytes;
  std::uint32_t state = 7;
  for (int i = 0; i < 5000; ++i) bytes.push_back(static_cast<char>((state = state * 1103515245u + 12345u) >> 24));
  return bytes;
}

TEST(ReportBadInput, ClearMessageAndExitStatus) {
  const std::string log = kLogHeader;
  const BadInput cases[] = {
      {"no such folder", Files(kGoodDevices, log), "/no-such", 1, "/no-such: no such file or folder"},
      {"no devices.csv", [](const RecordingDir& d) { d.Write("log.csv", kLogHeader); }, "", 1,
       "devices.csv: cannot be opened"},
      {"no log.csv", [](const RecordingDir& d) { d.Write("devices.csv", kGoodDevices); }, "", 1,
       "log.csv: cannot be opened"},
      {"empty log.csv", Files(kGoodDevices, ""), "", 1, "log.csv: empty, no header"},
      {"no header", Files(kGoodDevices, Row(0, 5)), "", 1, "log.csv line 1: not the header time_us,handle,"},
      {"devices.csv without header", Files("5,1,Mouse,\"m\",,,1\n", log), "", 1, "devices.csv line 1: not the header"},
      {"too few fields", Files(kGoodDevices, log + Row(0, 5) + "1,5,1,0,0,0,0,0,0,0\n"), "", 1,
       "log.csv line 3: 10 fields, a row has 11"},
      {"too many fields", Files(kGoodDevices, log + "1,5,1,0,0,0,0,0,0,0,0,0\n"), "", 1,
       "log.csv line 2: more than 11 fields"},
      {"not a number", Files(kGoodDevices, log + "1,5,1,0,0,0,0,0,x7,0,0\n"), "", 1,
       "log.csv line 2: lLastX is not a number from -2147483648 to 2147483647: \"x7\""},
      {"out of range", Files(kGoodDevices, log + "1,5,1,65536,0,0,0,0,0,0,0\n"), "", 1,
       "log.csv line 2: usFlags is not a number from 0 to 65535: \"65536\""},
      {"negative data without a wheel flag", Files(kGoodDevices, log + "1,5,1,0,0,0,-120,0,0,0,0\n"), "", 1,
       "usButtonData is not a number from 0 to 65535"},
      {"random bytes", Files(kGoodDevices, RandomBytes()), "", 1, "log.csv line 1: not the header"},
      {"device not in devices.csv", Files(kGoodDevices, log + Row(0, 5) + Row(1, 99)), "", 1,
       "log.csv line 3: device 99 is not in devices.csv"},
      {"unclosed quote", Files(std::string(kDevicesHeader) + "5,1,Mouse,\"m,,,1\n", log), "", 1,
       "devices.csv line 2: a quote is not closed"},
      {"bad vendor", Files(std::string(kDevicesHeader) + "5,1,Mouse,\"m\",46d,,1\n", log), "", 1,
       "devices.csv line 2: vendor is not 4 hex digits: \"46d\""},
      {"zero clock", Files(std::string(kDevicesHeader) + "5,1,Mouse,\"m\",,,0\n", log), "", 1,
       "devices.csv line 2: clock_us is not a number from 1 to 1000000"},
      {"a line too long", Files(kGoodDevices, log + std::string(3 << 20, '1') + "\n"), "", 1,
       "log.csv line 2: longer than 65536 bytes"},
      {"unknown option", Files(kGoodDevices, log), "--frobnicate", 2, "unknown option --frobnicate"},
      {"times at both ends of the range",
       Files(kGoodDevices, log + Row(INT64_MIN, 5) + Row(INT64_MAX, 5) + Row(0, 5) + Row(INT64_MAX, 5)), "", 0, ""},
      // A recording that ended mid-row is still read, without its last row.
      {"cut off mid-row", Files(kGoodDevices, log + Row(0, 5) + Row(1000, 5) + "2000,5,1,0,0"), "", 0,
       "log.csv line 4: the last row is cut off (the recording ended mid-row); skipped"},
      {"cut off in devices.csv", Files(kGoodDevices + "6,2,Mo", log + Row(0, 5)), "", 0,
       "devices.csv line 3: the last row is cut off"},
      {"empty folder", [](const RecordingDir&) {}, "", 1, "no recording here (no log.csv or devices.csv); velmora writes one"},
      {"header only", Files(kGoodDevices, log), "", 1, "log.csv: no packets"},
      // As a spreadsheet saves them: CR LF, and a byte-order mark.
      {"saved again by a spreadsheet", Files(CrLf(kGoodDevices), "\xef\xbb\xbf" + CrLf(log + RowsAt({1000}))), "", 0, ""},
      {"a header with a tab at its end", Files(kGoodDevices, CrLf(log.substr(0, log.size() - 1) + "\t\n")), "", 1,
       "log.csv line 1: not the header time_us,handle,index,usFlags,ulButtons,usButtonFlags,usButtonData,ulRawButtons,"
       "lLastX,lLastY,ulExtraInformation (from character 112 it reads \"\\x09\")"},
      {"report.html cannot be written",
       [](const RecordingDir& d) {
         Files(kGoodDevices, kLogHeader + Row(0, 5))(d);
         fs::create_directory(d.path() + "/report.html");
       },
       "", 1, "report.html: cannot be written (Is a directory)"},
  };
  for (const BadInput& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingDir dir;
    c.make(dir);
    const std::string target =
        c.target.empty() ? dir.path() : c.target[0] == '-' ? c.target : dir.path() + c.target;
    const ReportRun run = RunReport({"--json", target});
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    if (c.status == 0) {
      EXPECT_EQ(run.out.find("\"packets\": 3"), std::string::npos) << run.out;
    }
  }
}

// -h and /? ask for the help, which names the program as it was started.
TEST(ReportCommandLine, HelpNamesTheProgramAsStarted) {
  for (const char* ask : {"--help", "-h", "/?"}) {
    SCOPED_TRACE(ask);
    std::ostringstream out, err;
    EXPECT_EQ(report::run_report({ask}, out, err, false, "velmora-report-x64"), 0);
    EXPECT_EQ(out.str().rfind("Usage: velmora-report-x64 [--json] [FOLDER | log.csv]\n", 0), 0u) << out.str();
    EXPECT_NE(out.str().find("\n       velmora-report-x64 --follow"), std::string::npos) << out.str();
    EXPECT_EQ(err.str(), "");
  }
}

// A file read while it is written: a line without its end waits for the rest,
// and comes whole, once; a file that is done says its last line was cut off.
TEST(ReportReader, AFollowedFileGivesAnUnfinishedLineOnceItIsWhole) {
  RecordingDir dir;
  dir.Write("log.csv", "a,b\nc,");
  std::FILE* file = std::fopen((dir.path() + "/log.csv").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  report::LineReader reader(file, "log.csv");
  reader.follow(true);
  const auto append = [&](const char* text) {
    std::ofstream(dir.path() + "/log.csv", std::ios::app | std::ios::binary) << text;
  };
  std::vector<std::string> lines;
  const auto read = [&] {
    reader.resume();
    std::string_view line;
    while (reader.next(line)) lines.emplace_back(line);
  };
  read();
  append("d\r\ne");
  read();
  append("f\n");
  read();
  EXPECT_EQ(lines, (std::vector<std::string>{"a,b", "c,d", "ef"}));
  EXPECT_FALSE(reader.cut_off());
  append("g,");
  reader.follow(false);
  read();
  EXPECT_TRUE(reader.cut_off());
  EXPECT_EQ(lines.size(), 3u);
  EXPECT_EQ(reader.offset(), 14u);
  std::fclose(file);
}

}  // namespace
