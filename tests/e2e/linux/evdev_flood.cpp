// Mice at a real mouse's rate through the evdev service, on umockdev's fake event
// devices (no root, no /dev/uinput):
//
//   velmora_evdev_flood replay VELMORA WORKDIR MICE RATE_HZ SECONDS
//
// Each mouse sends a motion frame every 1/RATE_HZ s for SECONDS, with kernel
// times on CLOCK_MONOTONIC as a real device has them. Checks that every frame
// reaches log.txt and log.csv, each device's intervals exact, and nothing is
// reported dropped or unreadable; prints "figures evdev: ..." with the frames
// lost and the program's processor time per packet (scripts/bench reads them).
//
//   velmora_evdev_flood bare WORKDIR MICE RATE_HZ SECONDS
//
// The same replay read by a bare libevdev reader that only counts frames: the
// yardstick for what umockdev costs any reader ("figures evdev bare reader: ...").
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "evdev_bed.h"

namespace {

using namespace e2e;
using e2e::Screen;  // not Xlib's

std::int64_t MonotonicUs() {
  timespec t = {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

// One script line: a read block, delay_ms after the one before, in umockdev's
// escapes. A block's leading spaces are lost: the caller keeps its first byte off 32.
void WriteBlock(std::string& out, int delay_ms, const void* data, std::size_t size) {
  out += "r " + std::to_string(delay_ms) + " ";
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char c = static_cast<const unsigned char*>(data)[i];
    if (c < 32) {
      out += '^';
      out += static_cast<char>(c + 64);
    } else if (c == '^') {
      out += "^`";
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '\n';
}

// The k-th frame of a mouse: a motion that swings back and forth, so that the
// tracks stay on the form.
int Dx(long k) { return k % 2 ? -3 : 3; }
int Dy(long k) { return k % 2 ? 2 : -2; }

// A mouse's frames from start_us (CLOCK_MONOTONIC) every period_us, one read
// block each, paced in the script's whole milliseconds.
std::string Script(std::int64_t now_us, std::int64_t start_us, int period_us, long frames) {
  std::string out;
  out.reserve(static_cast<std::size_t>(frames) * 100);
  std::int64_t last_ms = now_us / 1000;
  for (long k = 0; k < frames; ++k) {
    const std::int64_t t = start_us + k * period_us;
    input_event ev[3] = {};
    const int values[3][3] = {{kEvRel, 0, Dx(k)}, {kEvRel, 1, Dy(k)}, {kEvSyn, 0, 0}};
    for (int i = 0; i < 3; ++i) {
      ev[i].input_event_sec = static_cast<decltype(ev[i].input_event_sec)>(t / 1000000);
      ev[i].input_event_usec = static_cast<decltype(ev[i].input_event_usec)>(t % 1000000);
      ev[i].type = static_cast<std::uint16_t>(values[i][0]);
      ev[i].code = static_cast<std::uint16_t>(values[i][1]);
      ev[i].value = values[i][2];
    }
    WriteBlock(out, static_cast<int>(t / 1000 - last_ms), ev, sizeof ev);
    last_ms = t / 1000;
  }
  return out;
}

// The first frame's time: some seconds on, once the window is up, and such that
// no second of the replay has 32 as its low byte.
std::int64_t FirstFrameUs(std::int64_t now_us, double seconds) {
  // Longer for a program run under a profiler: VELMORA_EVDEV_LEAD_S.
  const char* lead = std::getenv("VELMORA_EVDEV_LEAD_S");
  std::int64_t start = now_us + static_cast<std::int64_t>((lead ? std::atof(lead) : 3.0) * 1e6);
  for (std::int64_t s = start / 1000000; s <= (start + static_cast<std::int64_t>(seconds * 1e6)) / 1000000 + 1; ++s) {
    if ((s & 0xFF) == 32) start = (s + 1) * 1000000;
  }
  return start;
}

// A number from one of the process's /proc files ("name: value" or "name value").
double ProcValue(pid_t pid, const char* file, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(name)) return std::atof(line.c_str() + name.size() + 1);
  }
  return 0;
}

// The voluntary context switches of all the process's threads.
double Wakeups(pid_t pid) {
  double sum = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.starts_with("voluntary_ctxt_switches:")) sum += std::atof(line.c_str() + 24);
    }
  }
  return sum;
}

// Reads, writes and wake-ups so far: what a packet costs besides its own work.
struct Calls {
  double reads = 0, writes = 0, wakeups = 0;
  explicit Calls(pid_t pid)
      : reads(ProcValue(pid, "io", "syscr")),
        writes(ProcValue(pid, "io", "syscw")),
        wakeups(Wakeups(pid)) {}
};

std::string Fixed(double v, int digits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

// Mice on umockdev replaying a motion frame every period_us from first_us.
// Not freed: the testbed's end signals this process while a replay thread still
// writes to a mouse that is no longer read.
Testbed* LoadReplay(const fs::path& bed_dir, int mice, int period_us, long frames, std::int64_t first_us) {
  auto* bed = new Testbed;
  bed->dir = bed_dir;
  const std::int64_t now_us = MonotonicUs();
  for (int n = 1; n <= mice; ++n) {
    FakeDevice d{n, "Velmora fast mouse " + std::to_string(n), {kEvSyn, kEvKey, kEvRel},
                 {kBtnLeft, kBtnRight, kBtnMiddle}, {kRelX, kRelY, kRelWheel}, {}, {}};
    d.script = Script(now_us, first_us, period_us, frames);
    if (!bed->Add(d)) return nullptr;
  }
  return bed;
}

// Ends a run: the testbed's folder goes by hand, and its threads end with the
// process, which exits at once (see LoadReplay).
[[noreturn]] void Finish(Testbed* bed) {
  gchar* bed_root = umockdev_testbed_get_root_dir(bed->bed);
  std::error_code ec;
  fs::remove_all(bed_root, ec);
  g_free(bed_root);
  std::fflush(stdout);
  _exit(failures ? 1 : 0);
}

int Run(const std::string& exe, const fs::path& dir, int mice, int rate_hz, double seconds) {
  Screen x;
  if (!x.Open()) return Check("connect to the X server", false, "no display"), 1;
  const fs::path bed_dir = dir / "bed", work = dir / "run";
  fs::create_directories(bed_dir);
  const int period_us = 1000000 / rate_hz;
  const long frames = static_cast<long>(seconds * rate_hz);
  const std::string name = "evdev " + std::to_string(mice) + " mice at " + std::to_string(rate_hz) + " Hz";

  const std::int64_t first_us = FirstFrameUs(MonotonicUs(), seconds);
  Testbed* bed = LoadReplay(bed_dir, mice, period_us, frames, first_us);
  const bool ok = bed != nullptr;
  Check(name + ": umockdev holds the fake mice", ok);

  Session s(x);
  std::string why;
  if (!ok || !StartOnFakeDevices(s, exe, work) || !s.Ready(static_cast<std::size_t>(mice), why)) {
    Check(name + ": the program starts with the fake mice in its table", false, why + s.program.Describe());
    return 1;
  }
  const double cpu_before = s.program.CpuSeconds();
  const double loop_before = CpuSeconds(s.program.pid, s.program.pid);
  const Calls calls_before(s.program.pid);

  // The replay is over when log.txt stops growing after the last frame's time.
  const std::int64_t end_us = first_us + static_cast<std::int64_t>(frames) * period_us;
  std::uintmax_t size = 0;
  std::int64_t still_since = MonotonicUs();
  while (!s.program.Exited()) {
    usleep(100000);
    std::error_code ec;
    const std::uintmax_t now_size = fs::file_size(s.File("log.txt"), ec);
    const std::int64_t now = MonotonicUs();
    if (now_size != size) {
      size = now_size;
      still_since = now;
    } else if (now > end_us && now - still_since > 1500000) {
      break;
    }
    if (now > end_us + static_cast<std::int64_t>(seconds * 3e6) + 30000000) break;  // a hung replay
  }
  const double cpu = s.program.CpuSeconds() - cpu_before;
  const double loop = CpuSeconds(s.program.pid, s.program.pid) - loop_before;
  const Calls calls_after(s.program.pid);
  Check(name + ": SIGTERM ends the program with exit status 0", s.Stop(), s.program.Describe());

  const long expected = frames * mice;
  const Log log = s.ReadLog();
  const long logged = static_cast<long>(log.records.size());
  const std::string figures = std::to_string(mice) + " mice at " + std::to_string(rate_hz) + " Hz for " +
                              Fixed(seconds, 1) + " s: " + std::to_string(expected) + " frames, " +
                              std::to_string(logged) + " in log.txt, lost " + std::to_string(expected - logged) +
                              "; the last came " + Fixed(static_cast<double>(still_since - end_us) / 1e6, 1) +
                              " s after its time; program processor time " + Fixed(cpu, 2) + " s, " +
                              Fixed(logged > 0 ? cpu * 1e6 / static_cast<double>(logged) : 0, 2) + " us per packet";
  std::printf("figures evdev: %s\n", figures.c_str());
  const double per = logged > 0 ? 1.0 / static_cast<double>(logged) : 0;
  // The loop's thread takes each packet from Deliver on, as the headless path
  // does; the mice's reader is the other thread.
  std::printf("figures evdev: the loop's thread %s us per packet, the mice's reader %s us\n",
              Fixed(loop * 1e6 * per, 2).c_str(), Fixed((cpu - loop) * 1e6 * per, 2).c_str());
  std::printf("figures evdev: per packet %s reads, %s writes, %s wake-ups\n",
              Fixed((calls_after.reads - calls_before.reads) * per, 2).c_str(),
              Fixed((calls_after.writes - calls_before.writes) * per, 2).c_str(),
              Fixed((calls_after.wakeups - calls_before.wakeups) * per, 2).c_str());
  Check(name + ": every frame reaches log.txt", logged == expected && log.whole,
        std::to_string(logged) + " of " + std::to_string(expected) + " records");
  const std::string stderr_text = s.program.Stderr();
  Check(name + ": no mouse reported dropped or unreadable", stderr_text.empty(), stderr_text.substr(0, 300));
  CheckRecording(name + ": log.csv holds every frame, each mouse's intervals exactly " + std::to_string(period_us) +
                     " us",
                 s,
                 "--ordered --per-device " + std::to_string(frames) + " --interval-us " + std::to_string(period_us));
  Finish(bed);
}

// ---- The yardstick: a bare libevdev reader of the same replay -----------------
//
// It reads as the program does (every mouse at most every 2 ms, each read taking
// what a node holds) and only counts frames, so that umockdev's answer to each
// read, which the program pays too, is measured rather than estimated.

double OwnCpuSeconds() {
  rusage use = {};
  getrusage(RUSAGE_SELF, &use);
  return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
         static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// The child, under umockdev's preload: reads every mouse's frames until
// `expected` came or nothing came for 3 s; prints "frames F errors E cpu S",
// the processor time counted from the first frame.
int ReadBare(long expected) {
  struct Mouse {
    int fd;
    libevdev* dev;
  };
  std::vector<Mouse> mice;
  for (const auto& e : fs::directory_iterator("/dev/input")) {
    if (!e.path().filename().string().starts_with("event")) continue;
    const int fd = open(e.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    libevdev* dev = nullptr;
    if (fd < 0 || libevdev_new_from_fd(fd, &dev) < 0) continue;
    if (libevdev_has_event_code(dev, EV_REL, REL_X)) mice.push_back({fd, dev});
  }
  long frames = 0, errors = 0;
  double cpu_from = -1;
  std::int64_t last_frame_us = MonotonicUs();
  std::vector<pollfd> fds;
  while (frames < expected && !mice.empty() && MonotonicUs() - last_frame_us < 3000000) {
    fds.clear();
    for (const Mouse& m : mice) fds.push_back({m.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 100) <= 0) continue;
    const std::int64_t pass_us = MonotonicUs();
    for (std::size_t i = fds.size(); i-- > 0;) {
      if (!(fds[i].revents & POLLIN)) continue;
      // As the program: once what a read brought is taken, a poll asks for more.
      input_event ev;
      int rc = 0;
      for (bool first = true; first || libevdev_has_event_pending(mice[i].dev) > 0; first = false) {
        rc = libevdev_next_event(mice[i].dev, LIBEVDEV_READ_FLAG_NORMAL, &ev);
        if (rc < 0) break;
        if (rc == LIBEVDEV_READ_STATUS_SYNC) ++errors;
        if (ev.type != EV_SYN || ev.code != SYN_REPORT) continue;
        if (cpu_from < 0) cpu_from = OwnCpuSeconds();
        ++frames;
        last_frame_us = pass_us;
      }
      if (rc < 0 && rc != -EAGAIN) {
        std::fprintf(stderr, "bare reader: %s\n", std::strerror(-rc));
        ++errors;
        mice.erase(mice.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    const std::int64_t rest_us = 2000 - (MonotonicUs() - pass_us);
    if (rest_us > 0) usleep(static_cast<useconds_t>(rest_us));
  }
  std::printf("frames %ld errors %ld cpu %.6f\n", frames, errors, cpu_from < 0 ? 0.0 : OwnCpuSeconds() - cpu_from);
  return 0;
}

// The same replay as Run's, read by the bare reader; prints "figures evdev bare
// reader: ..." with its processor time per packet.
int RunBare(const fs::path& dir, int mice, int rate_hz, double seconds) {
  const fs::path bed_dir = dir / "bed";
  fs::create_directories(bed_dir);
  const long frames = static_cast<long>(seconds * rate_hz);
  const long expected = frames * mice;
  const std::string name = "evdev bare reader, " + std::to_string(mice) + " mice at " + std::to_string(rate_hz) + " Hz";
  Testbed* bed = LoadReplay(bed_dir, mice, 1000000 / rate_hz, frames, FirstFrameUs(MonotonicUs(), seconds));
  if (!bed) return Check(name + ": umockdev holds the fake mice", false), 1;
  int out[2];
  if (pipe(out) != 0) return 1;
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
    execl("/proc/self/exe", "velmora_evdev_flood", "read", std::to_string(expected).c_str(), nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buf[256];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  int status = 0;
  waitpid(child, &status, 0);
  long got = 0, errors = 0;
  double cpu = 0;
  const bool read_ok = std::sscanf(text.c_str(), "frames %ld errors %ld cpu %lf", &got, &errors, &cpu) == 3;
  if (read_ok) {
    std::printf("figures evdev bare reader: %ld of %ld frames, %ld read errors; processor time %s s, %s us per packet\n",
                got, expected, errors, Fixed(cpu, 2).c_str(),
                Fixed(got > 0 ? cpu * 1e6 / static_cast<double>(got) : 0, 2).c_str());
  }
  Check(name + ": the reader took every frame", read_ok && got == expected && errors == 0, text);
  Finish(bed);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "read") return ReadBare(std::atol(argv[2]));
  if (argc == 6 && std::string(argv[1]) == "bare") {
    return RunBare(fs::absolute(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]));
  }
  if (argc != 7 || std::string(argv[1]) != "replay") {
    std::fprintf(stderr, "usage: %s replay VELMORA WORKDIR MICE RATE_HZ SECONDS\n       %s bare WORKDIR MICE RATE_HZ SECONDS\n", argv[0], argv[0]);
    return 2;
  }
  const int mice = std::atoi(argv[4]), rate = std::atoi(argv[5]);
  const double seconds = std::atof(argv[6]);
  if (mice < 1 || mice > 32 || rate < 1 || rate > 1000000 || !(seconds > 0)) {
    std::fprintf(stderr, "%s: 1 to 32 mice, a rate in Hz and a duration in seconds\n", argv[0]);
    return 2;
  }
  return Run(argv[2], fs::absolute(argv[3]), mice, rate, seconds);
}
