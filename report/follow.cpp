// velmora-report --follow: the figures of a recording read while it is written.
#include "report/follow.h"

#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/file_lock.h"
#include "report/cli.h"
#include "report/csv_reader.h"
#include "report/recording.h"
#include "report/report_output.h"

namespace report {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The files are read, and the view drawn, every tick; the recorder writes its
// rows out at least every 100 ms, so a packet shows within about 0.2 s.
constexpr auto kTick = std::chrono::milliseconds(100);
constexpr std::size_t kSparkSeconds = 30;
constexpr std::int64_t kSlotUs = 10000;  // the last second, in slots of 10 ms
constexpr std::int64_t kSlots = 100;
// With no new row for this long, the devices are resting: the recording's
// clock is taken to run on with the wall clock, so their rates fall to zero.
constexpr std::int64_t kQuietUs = 250000;
// A file made anew is told by its first bytes, should it grow past the old one's size between two looks.
constexpr std::size_t kHeadBytes = 256;
constexpr std::size_t kNameWidth = 24;

volatile std::sig_atomic_t interrupted = 0;
extern "C" void on_interrupt(int) { interrupted = 1; }

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A path as UTF-8, for messages: on Windows string() is the ANSI code page.
std::string text_of(const fs::path& path) {
  const std::u8string utf8 = path.u8string();
  return std::string(utf8.begin(), utf8.end());
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - (a % b < 0 ? 1 : 0); }

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
  if (b > 0 && a > std::numeric_limits<std::int64_t>::max() - b) return std::numeric_limits<std::int64_t>::max();
  return a + b;
}

// Packets of one device in the last second of the recording's time.
class RecentRate {
 public:
  void add(std::int64_t time_us) {
    const std::int64_t slot = floor_div(time_us, kSlotUs);
    if (started_ && slot <= newest_ - kSlots) return;  // older than the last second
    move_to(slot);
    ++counts_[position(slot)];
  }
  std::uint64_t last_second(std::int64_t now_us) {
    move_to(floor_div(now_us, kSlotUs));
    std::uint64_t sum = 0;
    for (const std::uint32_t count : counts_) sum += count;
    return sum;
  }

 private:
  static std::size_t position(std::int64_t slot) {
    const std::int64_t m = slot % kSlots;
    return static_cast<std::size_t>(m < 0 ? m + kSlots : m);
  }
  void move_to(std::int64_t slot) {
    if (!started_) {
      started_ = true;
      newest_ = slot;
      return;
    }
    if (slot <= newest_) return;
    if (slot - newest_ >= kSlots) {
      counts_.fill(0);
    } else {
      for (std::int64_t s = newest_ + 1; s <= slot; ++s) counts_[position(s)] = 0;
    }
    newest_ = slot;
  }

  std::array<std::uint32_t, kSlots> counts_{};
  std::int64_t newest_ = 0;
  bool started_ = false;
};

// What the view keeps of one device beside its statistics: bounded.
struct LiveDevice {
  RecentRate recent;
  std::uint64_t rate = 0;  // packets in the last second
  std::array<std::uint64_t, kSparkSeconds> history{};  // that rate once a second, a ring
  std::size_t history_next = 0;
  std::size_t history_count = 0;

  void push_history() {
    history[history_next] = rate;
    history_next = (history_next + 1) % kSparkSeconds;
    if (history_count < kSparkSeconds) ++history_count;
  }
};

// One run's devices.csv and log.csv, read as the recorder writes them.
class Run {
 public:
  enum class Change { kNone, kDeleted, kNew };

  // Opens the folder's recording; empty, with the missing file named in missing, when there is none yet.
  static std::unique_ptr<Run> open(const fs::path& folder, std::string& missing) {
    auto run = std::unique_ptr<Run>(new Run(folder));
    for (const char* name : {"log.csv", "devices.csv"}) {
      std::FILE* file = open_shared(folder / name);
      if (!file) {
        missing = name;
        return nullptr;
      }
      (std::strcmp(name, "log.csv") == 0 ? run->log_file_ : run->devices_file_).reset(file);
    }
    run->id_ = file_id(run->log_file_.get());
    run->log_ = std::make_unique<LineReader>(run->log_file_.get(), text_of(run->log_path_));
    run->devices_ = std::make_unique<LineReader>(run->devices_file_.get(), text_of(folder / "devices.csv"));
    run->log_->follow(true);
    run->devices_->follow(true);
    return run;
  }

  // What became of log.csv since it was opened.
  Change check() {
    std::error_code error;
    if (!fs::exists(log_path_, error)) return Change::kDeleted;
    const std::optional<FileId> id = file_id(log_path_);
    if (id && id_ && *id != *id_) return Change::kNew;
    const std::uintmax_t size = fs::file_size(log_path_, error);
    if (!error && size < log_->offset()) return Change::kNew;
    return same_head() ? Change::kNone : Change::kNew;
  }

  // Reads the rows written since the last call; a row still being written waits.
  void read() {
    read_devices();
    if (pending_) {
      if (!add_pending()) return;
      pending_ = false;
    }
    std::string_view line;
    while (log_->next(line)) {
      if (!log_header_) {
        check_header(*log_, line, CsvFile::kLog);
        log_header_ = true;
        continue;
      }
      if (!add_row(line)) {
        // devices.csv is written out after log.csv: its row comes at a later look.
        pending_line_.assign(line);
        pending_ = true;
        break;
      }
    }
    log_->resume();
  }

  // Reads the rest once nothing more will come; as velmora-report reads a
  // finished recording, a last row cut off is said on warnings and skipped.
  void read_to_end(std::ostream& warnings) {
    devices_->follow(false);
    log_->follow(false);
    read();
    if (pending_) fail_unknown_device(*log_, pending_line_);
    for (const auto& [reader, header] : {std::pair{devices_.get(), devices_header_}, {log_.get(), log_header_}}) {
      if (!header) {
        throw InputError(reader->name() + (reader->cut_off() ? ": cut off inside its header" : ": empty, no header"));
      }
    }
    report_cut_off(*devices_, warnings);
    report_cut_off(*log_, warnings);
  }

  const Recording& recording() const { return recording_; }
  std::vector<LiveDevice>& live() { return live_; }

  // The recording's time now: its newest packet, and on from there with the
  // wall clock once the devices rest.
  std::int64_t now_us(Clock::time_point now) const {
    const auto quiet = std::chrono::duration_cast<std::chrono::microseconds>(now - newest_at_).count();
    return saturating_add(newest_us_, quiet > kQuietUs ? quiet - kQuietUs : 0);
  }

 private:
  explicit Run(const fs::path& folder) : log_path_(folder / "log.csv") {}

  void read_devices() {
    std::string_view line;
    while (devices_->next(line)) {
      if (!devices_header_) {
        check_header(*devices_, line, CsvFile::kDevices);
        devices_header_ = true;
        continue;
      }
      add_device_row(*devices_, line, recording_);
    }
    devices_->resume();
    live_.resize(recording_.devices.size());
  }

  bool add_pending() {
    if (add_row(pending_line_)) return true;
    read_devices();
    return add_row(pending_line_);
  }

  bool add_row(std::string_view line) {
    if (!add_log_row(*log_, line, recording_, row_)) return false;
    if (row_.drop) return true;
    live_[row_.device].recent.add(row_.time_us);
    if (!any_row_ || row_.time_us > newest_us_) {
      newest_us_ = row_.time_us;
      newest_at_ = Clock::now();
      any_row_ = true;
    }
    return true;
  }

  // False when log.csv no longer starts as it did.
  bool same_head() {
    File file(open_shared(log_path_));
    if (!file) return true;  // gone this instant: the next look tells
    char bytes[kHeadBytes];
    const std::size_t got = std::fread(bytes, 1, sizeof bytes, file.get());
    const std::size_t common = std::min(got, head_.size());
    if (head_.compare(0, common, bytes, common) != 0) return false;
    if (got > head_.size()) head_.assign(bytes, got);
    return true;
  }

  fs::path log_path_;
  File log_file_;
  File devices_file_;
  std::unique_ptr<LineReader> log_;
  std::unique_ptr<LineReader> devices_;
  std::optional<FileId> id_;
  std::string head_;
  bool log_header_ = false;
  bool devices_header_ = false;
  std::string pending_line_;
  bool pending_ = false;
  LogRow row_;
  Recording recording_;
  std::vector<LiveDevice> live_;
  std::int64_t newest_us_ = 0;
  Clock::time_point newest_at_ = Clock::now();
  bool any_row_ = false;
};

// Width of UTF-8 text in characters (each code point one column).
std::size_t text_width(std::string_view text) {
  std::size_t width = 0;
  for (const char c : text) width += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  return width;
}

// The name in at most kNameWidth characters, control characters shown as '?'.
std::string short_name(const std::string& name, bool utf8) {
  std::string out;
  std::size_t width = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool starts = (c & 0xc0) != 0x80;
    if (starts && width == kNameWidth - 1 && text_width(std::string_view(name).substr(i)) > 1) {
      out += utf8 ? "\u2026" : "~";
      return out;
    }
    width += starts;
    out.push_back(c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c));
  }
  return out;
}

// The last 30 s of rate, a character a second, scaled to its highest; a blank where nothing came.
std::string sparkline(const LiveDevice& d, bool utf8) {
  static constexpr const char* kBlocks[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                            "\u2585", "\u2586", "\u2587", "\u2588"};
  static constexpr char kAscii[] = ".:-=+*#@";
  std::uint64_t highest = 0;
  for (std::size_t i = 0; i < d.history_count; ++i) highest = std::max(highest, d.history[i]);
  std::string out;
  for (std::size_t k = 0; k < d.history_count; ++k) {
    const std::uint64_t value = d.history[(d.history_next + kSparkSeconds - d.history_count + k) % kSparkSeconds];
    if (value == 0) {
      out.push_back(' ');
      continue;
    }
    const std::size_t level = static_cast<std::size_t>((value * 8 - 1) / highest);
    if (utf8) {
      out += kBlocks[std::min<std::size_t>(level, 7)];
    } else {
      out.push_back(kAscii[std::min<std::size_t>(level, 7)]);
    }
  }
  return out;
}

// The view's columns after the name: title and the cell of one device.
struct ViewColumn {
  const char* title;
  std::size_t width;
  std::string (*cell)(const Figures& f, const LiveDevice& live);
};

template <typename T>
std::string optional_cell(const std::optional<T>& value, const Figures& f, int decimals) {
  if (value) return format_number(static_cast<double>(*value), decimals);
  return f.clock_too_coarse ? "n/a" : "-";
}
// A rate missing for a recording too short for its clock says so; a device
// still starting is that short, and the next second may give it one.
std::string rate_cell(const std::optional<double>& value, const Figures& f) {
  if (value) return format_number(*value, 1);
  return f.too_short ? "too short" : optional_cell(value, f, 1);
}

const ViewColumn kViewColumns[] = {
    {"packets", 9, [](const Figures& f, const LiveDevice&) { return std::to_string(f.packets); }},
    {"rate_1s", 8, [](const Figures&, const LiveDevice& l) { return std::to_string(l.rate); }},
    {"poll_hz", 9, [](const Figures& f, const LiveDevice&) { return rate_cell(f.poll_hz, f); }},
    {"median_us", 9, [](const Figures& f, const LiveDevice&) { return optional_cell(f.interval_median_us, f, 1); }},
    {"p99_us", 7, [](const Figures& f, const LiveDevice&) { return optional_cell(f.interval_p99_us, f, 0); }},
    {"drops", 5, [](const Figures& f, const LiveDevice&) { return std::to_string(f.drops); }},
    {"presses", 7, [](const Figures& f, const LiveDevice&) { return std::to_string(f.presses); }},
};

std::string pad_left(const std::string& text, std::size_t width) {
  const std::size_t w = text_width(text);
  return w >= width ? text : std::string(width - w, ' ') + text;
}
std::string pad_right(const std::string& text, std::size_t width) {
  const std::size_t w = text_width(text);
  return w >= width ? text : text + std::string(width - w, ' ');
}

class Follower {
 public:
  Follower(fs::path folder, bool json, const Terminal& terminal, std::ostream& out, std::ostream& err)
      : folder_(std::move(folder)), json_(json), terminal_(terminal), out_(out), err_(err) {}

  int run() {
    interrupted = 0;
    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);
    int status = 1;
    try {
      status = follow();
    } catch (...) {
      leave_view();
      restore_signals();
      throw;
    }
    restore_signals();
    return status;
  }

 private:
  enum class Ending { kRecorderEnded, kInterrupted };

  static void restore_signals() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }

  int follow() {
    auto next_tick = start_;
    auto next_second = start_ + std::chrono::seconds(1);
    for (;;) {
      // The lock first: a recorder that has let it go has written all it will.
      const packetlog::LockHolder holder = packetlog::probe_log_lock(folder_ / "log.txt");
      const bool held = holder == packetlog::LockHolder::kHeld;
      recorder_seen_ = recorder_seen_ || held;
      update_run();
      if (interrupted) return end(Ending::kInterrupted, held);
      if (recorder_seen_ && !held && holder != packetlog::LockHolder::kUnknown) return end(Ending::kRecorderEnded, held);

      const Clock::time_point now = Clock::now();
      update_rates(now);
      if (now >= next_second) {
        next_second += std::chrono::seconds(1);
        if (run_) {
          for (LiveDevice& d : run_->live()) d.push_history();
        }
        if (json_) {
          write_json_line(now, false);
        } else if (!terminal_.in_place) {
          for (const std::string& line : view_lines(now, held)) out_ << line << '\n';
          out_ << '\n';
          out_.flush();
        }
      }
      if (terminal_.in_place) draw(view_lines(now, held));
      next_tick += kTick;
      if (next_tick < Clock::now()) next_tick = Clock::now();
      std::this_thread::sleep_until(next_tick);
    }
  }

  void update_run() {
    if (run_) {
      switch (run_->check()) {
        case Run::Change::kNone:
          break;
        case Run::Change::kDeleted:
          run_.reset();
          say(text_of(folder_ / "log.csv") + " was deleted; waiting for a new recording there (Ctrl-C ends)");
          waiting_said_ = true;
          break;
        case Run::Change::kNew:
          run_.reset();
          say("a new run started in " + text_of(folder_) + " (log.csv was made anew): starting over");
          waiting_said_ = true;
          break;
      }
    }
    if (!run_) {
      std::string missing;
      run_ = Run::open(folder_, missing);
      if (!run_) {
        if (!waiting_said_) {
          say("waiting for a recording in " + text_of(folder_) + ": no " + missing +
              " yet (Velmora writes it when it starts there); Ctrl-C ends");
          waiting_said_ = true;
        }
        return;
      }
      say("following " + text_of(folder_ / "log.csv"));
    }
    run_->read();
  }

  void update_rates(Clock::time_point now) {
    if (!run_) return;
    const std::int64_t now_us = run_->now_us(now);
    for (LiveDevice& d : run_->live()) d.rate = d.recent.last_second(now_us);
  }

  double seconds_since_start(Clock::time_point now) const {
    return std::chrono::duration<double>(now - start_).count();
  }

  std::string status_line(Clock::time_point now, bool held) const {
    const std::string seconds = format_number(static_cast<double>(static_cast<std::int64_t>(seconds_since_start(now))), 0);
    if (!run_) return "velmora-report --follow " + text_of(folder_) + ": waiting for a recording - " + seconds + " s - Ctrl-C ends";
    return "velmora-report --follow " + text_of(folder_) + ": " +
           (held ? "Velmora is recording" : "no Velmora is writing here now (a new run starts over)") + " - " +
           seconds + " s - Ctrl-C ends";
  }

  std::vector<std::string> view_lines(Clock::time_point now, bool held) {
    std::vector<std::string> lines{status_line(now, held)};
    if (!run_) return lines;
    std::string header = pad_left("index", 5) + "  " + pad_right("name", kNameWidth);
    for (const ViewColumn& c : kViewColumns) header += "  " + pad_left(c.title, c.width);
    header += "  last 30 s";
    lines.push_back(header);
    const Recording& recording = run_->recording();
    for (std::size_t i = 0; i < recording.devices.size(); ++i) {
      const Device& d = recording.devices[i];
      if (d.stats.packets() == 0) continue;
      const Figures f = d.stats.figures();
      const LiveDevice& live = run_->live()[i];
      std::string line = pad_left(std::to_string(d.index), 5) + "  " + pad_right(short_name(d.name, terminal_.utf8), kNameWidth);
      for (const ViewColumn& c : kViewColumns) line += "  " + pad_left(c.cell(f, live), c.width);
      line += "  " + sparkline(live, terminal_.utf8);
      lines.push_back(line);
    }
    if (lines.size() == 2) lines.push_back("(no packets yet)");
    return lines;
  }

  // Redraws the view over the one drawn before; long lines are cut at the
  // window's edge rather than wrapped, so the count of lines to go back holds.
  void draw(const std::vector<std::string>& lines) {
    std::string frame;
    if (drawn_ == 0) frame += "\x1b[?25l\x1b[?7l";
    if (drawn_ > 0) frame += "\r\x1b[" + std::to_string(drawn_) + "A";
    for (const std::string& line : lines) frame += line + "\x1b[K\n";
    frame += "\x1b[J";
    drawn_ = lines.size();
    out_ << frame;
    out_.flush();
  }

  void leave_view() {
    if (!terminal_.in_place || drawn_ == 0) return;
    out_ << "\r\x1b[" << drawn_ << "A\x1b[J\x1b[?7h\x1b[?25h";
    out_.flush();
    drawn_ = 0;
  }

  // A line on err, above the view on a terminal.
  void say(const std::string& message) {
    leave_view();
    err_ << "velmora-report: " << message << '\n';
    err_.flush();
  }

  void write_json_line(Clock::time_point now, bool final) {
    std::ostringstream line;
    line << "{\"time_s\": " << format_number(seconds_since_start(now), 3);
    if (final) line << ", \"final\": true";
    line << ", \"devices\": [";
    if (run_) {
      const Recording& recording = run_->recording();
      bool first = true;
      for (const DeviceReport& r : device_reports(recording)) {
        std::ostringstream object;
        write_json_figures(object, r);
        std::string text = object.str();
        text.pop_back();  // the closing brace: the live rate goes in first
        const LiveDevice& live = run_->live()[static_cast<std::size_t>(r.device - recording.devices.data())];
        line << (first ? "" : ", ") << text << ", \"rate_1s_hz\": " << live.rate << "}";
        first = false;
      }
    }
    line << "]}\n";
    out_ << line.str();
    out_.flush();
  }

  int end(Ending ending, bool held) {
    leave_view();
    if (!run_) {
      err_ << "velmora-report: " << text_of(folder_) << ": no recording to report ("
           << (recorder_seen_ ? "its recording was deleted while Velmora wrote it" : "none came") << ")\n";
      return 1;
    }
    run_->read_to_end(err_);
    if (ending == Ending::kRecorderEnded) {
      err_ << "velmora-report: Velmora ended in " << text_of(folder_) << "; the figures of its recording:\n";
    } else if (held) {
      err_ << "velmora-report: Velmora is still recording in " << text_of(folder_)
           << ": these figures are partial, up to Ctrl-C\n";
    }
    err_.flush();
    expect_packets(run_->recording(), folder_ / "log.csv");
    if (json_) write_json_line(Clock::now(), true);
    return finish_report(run_->recording(), folder_, json_ ? Printed::kNothing : Printed::kTable, out_, err_);
  }

  fs::path folder_;
  bool json_;
  Terminal terminal_;
  std::ostream& out_;
  std::ostream& err_;
  const Clock::time_point start_ = Clock::now();
  std::unique_ptr<Run> run_;
  bool recorder_seen_ = false;
  bool waiting_said_ = false;
  std::size_t drawn_ = 0;
};

}  // namespace

int follow_recording(const fs::path& folder, bool json, const Terminal& terminal, std::ostream& out,
                     std::ostream& err) {
  return Follower(folder, json, terminal, out, err).run();
}

}  // namespace report
