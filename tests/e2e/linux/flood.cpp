// Flood and fault checks of the Linux program on a running X server with three
// XTest pointers at table indices 1 to 3 (tests/e2e/linux/flood.sh sets it up):
//
//   velmora_flood flood       VELMORA DIR LISTENER ROUNDS   rounds of 30000 packets, timed
//                                                            against a bare XInput2 listener
//   velmora_flood queued      VELMORA DIR LISTENER ROUNDS   the same, queued in the server before
//                                                            either reads (scripts/bench)
//   velmora_flood signal      VELMORA DIR TERM|INT|HUP      the signal arrives mid-flood
//   velmora_flood server-loss VELMORA DIR XVFB_PID          the server dies mid-flood
//   velmora_flood no-log      VELMORA DIR                   log.txt cannot be opened
//   velmora_flood foreign     VELMORA DIR                   made-up and stale packet handles mid-flood
//
// Step n of a flood moves the devices at table indices 1, 2 and 3 in turn, by
// Step(1, n), Step(2, n), Step(3, n), so the log can be checked record by record
// against what was sent. Prints "PASS name" or
// "FAIL name: detail" per check, "figures ..." lines with measurements; exits 1
// if any check failed.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/record.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "e2e_common.h"

namespace {

using namespace e2e;
using e2e::Screen;  // not Xlib's

void Figures(const std::string& text) {
  std::printf("figures %s\n", text.c_str());
  std::fflush(stdout);
}

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

std::string Fixed(double v, int digits = 1) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---- The packets ------------------------------------------------------------------

// Packets per device in a flood: three devices make 30000.
constexpr long kSteps = 10000;
constexpr long kPacketsPerMs = 40;  // the flood mode's pace

struct Motion {
  int dx, dy;
};

// Motion n of the device at table index i. Pairs +m, -m keep the pointer and the
// track in place; the magnitudes repeat only after 17266 packets of a device, so
// the memo's last lines match the log at one place only.
Motion Step(int index, long n) {
  const long a = n / 2;
  const int sign = n % 2 == 0 ? 1 : -1;
  return {sign * static_cast<int>(1 + a % 97), sign * static_cast<int>(1 + (a / 97 + 7 * index) % 89)};
}

std::string Record(int index, Motion m) { return MotionRecord(index, m.dx, m.dy); }

// The place of a record in the flood's order (step n of table index i is place
// 3n + i - 1), counted modulo the period of Step; -1 for no flood record.
long PlaceOf(const std::string& record) {
  int index = 0;
  unsigned x = 0, y = 0;
  if (std::sscanf(record.c_str(), "Mouse: num %d, usFlags=0000 ulButtons=0000 usButtonFlags=0000 usButtonData=0000 "
                  "ulRawButtons=0000 lLastX=%x lLastY=%x", &index, &x, &y) != 3 || index < 1 || index > 3) {
    return -1;
  }
  const auto dx = static_cast<std::int32_t>(x), dy = static_cast<std::int32_t>(y);
  const long mx = std::labs(dx) - 1, my = std::labs(dy) - 1;
  const long a = 97 * (((my - 7 * index) % 89 + 89) % 89) + mx;
  const long n = 2 * a + (dx < 0 ? 1 : 0);
  return 3 * n + index - 1;
}

// Where consecutive records do not follow each other in the flood's order.
long Breaks(const Lines& records) {
  constexpr long kPeriod = 3 * 2 * 97 * 89;
  long breaks = 0;
  for (std::size_t i = 1; i < records.size(); ++i) {
    const long a = PlaceOf(records[i - 1]), b = PlaceOf(records[i]);
    if (a < 0 || b < 0 || (a + 1) % kPeriod != b) ++breaks;
  }
  return breaks;
}

int IndexOf(const std::string& record) {
  int index = -100;
  return std::sscanf(record.c_str(), "Mouse: num %d,", &index) == 1 ? index : -100;
}

// Checks that the records are the packets in the order they were sent: step n
// of table index 1, 2, 3, then step n + 1, and so on. One client sends them all
// and the server queues its input in order, so even the interleaving of the
// devices is fixed. With exact, all sent steps must be there. Returns what is wrong.
std::string CheckSequence(const Lines& records, long sent, bool exact, long counts[4]) {
  std::string wrong;
  for (int i = 0; i < 4; ++i) counts[i] = 0;
  for (std::size_t r = 0; r < records.size(); ++r) {
    const int index = IndexOf(records[r]);
    if (index >= 0 && index <= 3) ++counts[index];
    const int want_index = 1 + static_cast<int>(r % 3);
    const long n = static_cast<long>(r / 3);
    if (!wrong.empty()) continue;
    if (n >= sent) {
      wrong = "record " + std::to_string(r) + " is '" + records[r] + "', after the last packet sent";
    } else if (records[r] != Record(want_index, Step(want_index, n))) {
      wrong = "record " + std::to_string(r) + " is '" + records[r] + "', expected packet " + std::to_string(n) +
              " of table index " + std::to_string(want_index) + ": '" + Record(want_index, Step(want_index, n)) + "'";
    }
  }
  if (wrong.empty() && exact && static_cast<long>(records.size()) != 3 * sent) {
    wrong = std::to_string(records.size()) + " records for " + std::to_string(3 * sent) + " packets";
  }
  return wrong;
}

std::string Counts(const long counts[4]) {
  return std::to_string(counts[1]) + " / " + std::to_string(counts[2]) + " / " + std::to_string(counts[3]);
}

// Set once the server is gone: no connection may be used or closed after that.
bool server_gone = false;

// Sends motions [from, to) of each of the three devices in turn, from one
// client with one flush per batch and no round trip. between(sent) runs after
// each batch; false stops the flood. Returns the number of steps sent.
long SendFlood(Screen& x, const std::vector<int>& devices, long from, long to,
               const std::function<bool(long)>& between = nullptr) {
  constexpr long kBatch = 100;
  long n = from;
  while (n < to) {
    const long end = std::min(to, n + kBatch);
    for (; n < end; ++n) {
      for (int i = 1; i <= 3; ++i) {
        const Motion m = Step(i, n);
        x.Move(devices[static_cast<std::size_t>(i - 1)], m.dx, m.dy);
      }
    }
    XFlush(x.display());
    if (between && !between(n)) break;
  }
  return n;
}

// ---- What the memo showed, through the RECORD extension -----------------------------
//
// The memo's window goes with the program, so its last state cannot be read after
// the program ends. The recorder sees the program's changes to the memo's
// _VELMORA_LINES as the server carries them out and replays them, up to the last
// one before the window went away. Under heavy load this server has been seen to
// leave whole runs of recorded requests out, so only the memo's few updates are
// recorded, and a gap would show as memo lines that do not follow each other.
class MemoRecorder {
 public:
  ~MemoRecorder() {
    if (server_gone) return;
    if (control_) {
      if (context_) {
        XRecordDisableContext(control_, context_);
        XRecordFreeContext(control_, context_);
      }
      XCloseDisplay(control_);
    }
    if (data_) XCloseDisplay(data_);
  }

  bool Start(Window form, Window memo, Atom lines) {
    memo_ = memo;
    lines_ = lines;
    control_ = XOpenDisplay(nullptr);
    data_ = XOpenDisplay(nullptr);
    if (!control_ || !data_) return false;
    XSetIOErrorExitHandler(control_, OnLostConnection, &control_lost_);
    XSetIOErrorExitHandler(data_, OnLostConnection, &data_lost_);
    int major = 0, minor = 0;
    if (!XRecordQueryVersion(control_, &major, &minor)) return false;
    XRecordRange* range = XRecordAllocRange();
    if (!range) return false;
    range->core_requests.first = range->core_requests.last = X_ChangeProperty;
    range->client_died = True;
    // Any resource of a client names the client: the form window names the program.
    XRecordClientSpec client = form;
    context_ = XRecordCreateContext(control_, 0, &client, 1, &range, 1);
    XFree(range);
    if (!context_) return false;
    XSync(control_, False);
    if (!XRecordEnableContextAsync(data_, context_, OnData, reinterpret_cast<XPointer>(this))) return false;
    XFlush(data_);
    return true;
  }

  void Poll() {
    if (data_ && !gone_ && !data_lost_) XRecordProcessReplies(data_);
  }
  // Takes in what the server recorded until the program's connection closed.
  void Drain(double seconds) {
    WaitFor(
        [&] {
          Poll();
          return gone_ || data_lost_;
        },
        seconds, 5);
  }

  Lines Records() const { return OnlyRecords(Split(property_, "\n")); }
  long updates() const { return updates_; }

 private:
  static void OnData(XPointer self, XRecordInterceptData* d) {
    static_cast<MemoRecorder*>(static_cast<void*>(self))->Take(d);
    XRecordFreeData(d);
  }

  void Take(const XRecordInterceptData* d) {
    if (d->category == XRecordClientDied || d->category == XRecordEndOfData) gone_ = true;
    if (d->category != XRecordFromClient || d->data_len < 6) return;
    const unsigned char* req = d->data;
    const std::size_t bytes = static_cast<std::size_t>(d->data_len) * 4;
    // A big request carries its length in an extra word after the header.
    std::uint16_t short_length = 0;
    std::memcpy(&short_length, req + 2, 2);
    const std::size_t skip = short_length == 0 ? 4 : 0;
    if (req[0] != X_ChangeProperty || bytes < 24 + skip) return;
    std::uint32_t window = 0, property = 0, units = 0;
    std::memcpy(&window, req + 4 + skip, 4);
    std::memcpy(&property, req + 8 + skip, 4);
    const unsigned format = req[16 + skip];
    std::memcpy(&units, req + 20 + skip, 4);
    if (window != memo_ || property != lines_ || format != 8 || 24 + skip + units > bytes) return;
    const std::string text(reinterpret_cast<const char*>(req + 24 + skip), units);
    switch (req[1]) {
      case PropModeReplace: property_ = text; break;
      case PropModeAppend: property_ += text; break;
      case PropModePrepend: property_ = text + property_; break;
      default: return;
    }
    ++updates_;
  }

  Display* control_ = nullptr;
  Display* data_ = nullptr;
  XRecordContext context_ = 0;
  Window memo_ = 0;
  Atom lines_ = 0;
  std::string property_;
  long updates_ = 0;
  bool gone_ = false;
  bool control_lost_ = false, data_lost_ = false;
};

// Common checks of a log after the program ended: whole records only, and the
// packets in the order sent from the first. Returns the log.
Log CheckLogShape(const std::string& mode, const fs::path& workdir, long sent, bool exact, long counts[4]) {
  const Log log = ReadLog(workdir / "log.txt");
  Check(mode + ": log.txt ends with a whole record, every line a record", log.exists && log.whole && log.malformed.empty(),
        !log.exists ? "no log.txt"
        : !log.whole ? "the last " + std::to_string(log.records.empty() ? 0 : log.records.back().size()) +
                           " bytes are not a whole record: '" + (log.records.empty() ? "" : log.records.back()) + "'"
                     : "record " + std::to_string(log.malformed_at) + " is '" + log.malformed + "'");
  const std::string wrong = CheckSequence(log.records, sent, exact, counts);
  Check(mode + (exact ? ": every packet in log.txt, in order, none damaged"
                      : ": log.txt holds the packets in order from the first, none missing or damaged"),
        wrong.empty(), wrong);
  return log;
}

// The memo's last records must be the log's records at the same place: the log
// then holds every record shown. With at_end they must be the log's last ones.
void CheckShownInLog(const std::string& mode, const Lines& shown, const Log& log, bool at_end) {
  std::string detail;
  bool ok = !shown.empty();
  std::size_t last = 0;
  if (!ok) {
    detail = "the memo showed no records";
  } else {
    const auto found = std::find(log.records.rbegin(), log.records.rend(), shown.back());
    ok = found != log.records.rend();
    if (!ok) {
      detail = "the last record shown, '" + shown.back() + "', is not in log.txt";
    } else {
      last = static_cast<std::size_t>(log.records.rend() - found) - 1;
      ok = last + 1 >= shown.size() &&
           std::equal(shown.begin(), shown.end(), log.records.begin() + static_cast<long>(last + 1 - shown.size()));
      if (!ok) {
        detail = "the memo's last " + std::to_string(shown.size()) + " records differ from log.txt's";
        // A break in the memo's own lines may be the recording's gap, not the program's.
        if (const long breaks = Breaks(shown)) detail += "; they break off " + std::to_string(breaks) + " times themselves";
      }
      if (ok && at_end && last + 1 != log.records.size()) {
        ok = false;
        detail = "log.txt goes on for " + std::to_string(log.records.size() - last - 1) +
                 " records after the last one the memo showed";
      }
    }
  }
  Figures(mode + ": log.txt has " + std::to_string(log.records.size()) + " records; the memo's newest " +
          std::to_string(shown.size()) + " records (in unbroken order: " + (Breaks(shown) ? "no" : "yes") + ") " +
          (ok ? "end at log record " + std::to_string(last + 1) : std::string("are not all in it")));
  Check(mode + (at_end ? ": log.txt ends with the records the memo showed last" : ": log.txt holds the records the memo showed last"),
        ok, detail);
}

// ---- Checks -------------------------------------------------------------------------

// velmora started in DIR/work, with the masters of its three tracked devices parked.
struct Run {
  Screen x;
  Session v{x};
  MemoRecorder recorder;
  std::vector<int> devices;  // table indices 1 to 3
  Lines startup;             // the memo's lines before any packet: devices and table
  fs::path work;

  // Waits for the window, the focus and the table of mice (at least four: the core
  // XTest pointer and ours).
  bool Start(const std::string& mode, const std::string& exe, const fs::path& dir) {
    if (!x.Open()) return Check(mode + ": connect to the X server", false, "no display"), false;
    work = dir / "work";
    std::string why;
    if (!v.Start(exe, work, dir) || !v.Ready(4, why)) {
      return Check(mode + ": velmora starts", false, why.empty() ? "no window; " + v.program.Describe() : why), false;
    }
    startup = v.Memo();
    const std::vector<int> mice = MiceIn(startup);
    devices = {mice[1], mice[2], mice[3]};
    x.ParkMasters(devices);
    return true;
  }

  bool RecordMemo(const std::string& mode) {
    if (!recorder.Start(v.form, v.Memo1(), x.lines_atom())) {
      return Check(mode + ": record the memo through the RECORD extension", false, "no RECORD context"), false;
    }
    return true;
  }

  // Waits for the program's end, reading what the recorder is sent meanwhile: a
  // connection left unread fills, and the server then spends itself on it.
  void WaitEnd() {
    WaitFor([&] { return recorder.Poll(), v.program.Exited(); }, 60, 5);
  }

  void CheckQuiet(const std::string& mode) {
    const std::string out = v.program.Stdout();
    Check(mode + ": nothing printed on stdout", out.empty(), "'" + out.substr(0, 200) + "'");
  }

  // A stop signal, or the server's end, mid-flood. The program must close through
  // its close handler, so log.txt holds whole records only, in the order sent from
  // the first packet on, and every record the program handled. What it handled is
  // seen from outside in the memo's last lines. After a signal they reach the
  // server before the program ends, so the log must end with them: a record
  // handled after the log closed would be shown and not logged. With the server
  // gone, packets handled after the last memo update are seen by no one; the log
  // must still hold all that was shown, and its unbroken order leaves no room for a
  // hole before that. These are the checks once the program has ended; returns the log.
  Log FinishInterrupted(const std::string& mode, long sent, bool closed_by_signal) {
    recorder.Drain(3);
    Check(mode + " ends the program with exit status 0", v.program.CleanExit(), v.program.Describe());
    long counts[4] = {};
    const Log log = CheckLogShape(mode, work, sent, false, counts);
    Figures(mode + ": " + std::to_string(3 * sent) + " packets sent; log.txt records per table index 1 / 2 / 3: " +
            Counts(counts) + "; memo updates seen: " + std::to_string(recorder.updates()));
    CheckShownInLog(mode, recorder.Records(), log, closed_by_signal);
    CheckQuiet(mode);
    return log;
  }
};

struct Listener {
  pid_t pid = -1;
  int to = -1;    // its stdin: closing it ends the listener
  int from = -1;  // its stdout

  bool Start(const std::string& exe, long every, const std::vector<int>& devices) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return false;
    pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::vector<std::string> args = {exe, std::to_string(every)};
      for (int d : devices) args.push_back(std::to_string(d));
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to = in[1];
    from = out[0];
    // "ready" once its selection is in place.
    std::string said;
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (said.find("ready\n") == std::string::npos && Clock::now() < end) {
      pollfd p = {from, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        char buf[64];
        const ssize_t n = read(from, buf, sizeof buf);
        if (n <= 0) break;
        said.append(buf, static_cast<std::size_t>(n));
      }
    }
    return said.find("ready\n") != std::string::npos;
  }

  ~Listener() {
    if (pid <= 0) return;
    close(to);
    int status = 0;
    if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 3)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    close(from);
  }
};

// Rounds of 30000 packets; the first warms up. Each round is timed from the moment
// the server takes the flood's first request until velmora shows the round's last
// packet in its memo, and until the listener has counted all of them: both ends
// are the server's timestamps of a property change made right after the event.
// The sender keeps to 40 packets a millisecond (five 8 kHz mice), a pace both can
// follow: unpaced, it outran both in some rounds and not in others, and the ratio
// measured the host's scheduling. What a flood costs beyond keeping pace is the
// queued mode's figure.
int RunFlood(const std::string& exe, const fs::path& dir, const std::string& listener_exe, int rounds) {
  const std::string mode = "flood";
  Run run;
  if (!run.Start(mode, exe, dir)) return 1;
  Screen& x = run.x;
  Session& v = run.v;
  const std::vector<int>& devices = run.devices;

  Listener listener;
  if (!listener.Start(listener_exe, 3 * kSteps, devices)) {
    return Check(mode + ": the XInput2 listener starts", false, listener_exe), 1;
  }
  Display* d = x.display();
  const Atom stamp = XInternAtom(d, "_VELMORA_FLOOD_START", False);
  const Atom counted = XInternAtom(d, "_VELMORA_COUNTED", False);
  XSetWindowAttributes attrs = {};
  attrs.event_mask = PropertyChangeMask;
  const Window marker = XCreateWindow(d, x.root(), 0, 0, 1, 1, 0, 0, InputOnly, CopyFromParent, CWEventMask, &attrs);
  XSelectInput(d, v.Memo1(), PropertyChangeMask);
  XSelectInput(d, x.root(), PropertyChangeMask);
  XSync(d, False);

  std::vector<double> listener_ms, velmora_ms;
  long sent = 0;
  bool all_shown = true;
  std::string lost_round;
  for (int r = 0; r <= rounds && all_shown; ++r) {
    const long first = r * kSteps, end = (r + 1) * kSteps;
    const long value = r;
    XChangeProperty(d, marker, stamp, XA_INTEGER, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&value),
                    1);
    const auto began = std::chrono::steady_clock::now();
    sent = SendFlood(x, devices, first, end, [&](long n) {
      std::this_thread::sleep_until(began + std::chrono::microseconds(3 * (n - first) * 1000 / kPacketsPerMs));
      return true;
    });
    const bool shown = v.WaitShown(Record(3, Step(3, end - 1)), 8);
    const bool count = WaitFor([&] { return x.Number(x.root(), counted, AnyPropertyType) >= 3 * end; }, 8, 2);
    if (!shown || !count) {
      all_shown = false;
      lost_round = "round " + std::to_string(r) + ": " +
                   (!shown ? "velmora's memo ends with '" + v.LastLine() + "', not the round's last packet"
                           : "the listener counted " + std::to_string(x.Number(x.root(), counted, AnyPropertyType)));
      break;
    }
    XSync(d, False);
    Time start = 0, listened = 0, handled = 0;
    while (XPending(d) > 0) {
      XEvent ev;
      XNextEvent(d, &ev);
      if (ev.type != PropertyNotify) continue;
      const XPropertyEvent& p = ev.xproperty;
      if (p.window == marker && p.atom == stamp) start = p.time;
      if (p.window == x.root() && p.atom == counted) listened = p.time;
      if (p.window == v.Memo1() && p.atom == XA_WM_NAME) handled = p.time;
    }
    const double l = static_cast<double>(static_cast<std::uint32_t>(listened - start));
    const double m = static_cast<double>(static_cast<std::uint32_t>(handled - start));
    Figures(mode + ": round " + std::to_string(r) + (r == 0 ? " (warm-up)" : "") + ": 30000 packets, listener " +
            Fixed(l, 0) + " ms, velmora " + Fixed(m, 0) + " ms");
    if (r > 0) {
      listener_ms.push_back(l);
      velmora_ms.push_back(m);
    }
  }
  Check(mode + ": velmora and the listener take in every round's packets", all_shown, lost_round);
  if (all_shown) {
    const double l = Median(listener_ms), m = Median(velmora_ms);
    const double ratio = l > 0 ? m / l : 1e9;
    Figures(mode + ": median of " + std::to_string(rounds) + " rounds: listener " + Fixed(l, 0) + " ms (" +
            Fixed(3 * kSteps / std::max(l, 1.0), 0) + " packets/ms), velmora " + Fixed(m, 0) + " ms (" +
            Fixed(3 * kSteps / std::max(m, 1.0), 0) + " packets/ms), ratio " + Fixed(ratio, 2));
    Check(mode + ": velmora handles the flood within 1.5 times the bare listener's time", ratio <= 1.5,
          "ratio " + Fixed(ratio, 2) + " (velmora " + Fixed(m, 0) + " ms, listener " + Fixed(l, 0) + " ms)");
  }

  // Records roll off the panel; its start-up lines stay at the top.
  const Lines memo = v.Memo();
  Check(mode + ": after the flood the panel still starts with its device lines",
        memo.size() > run.startup.size() && std::equal(run.startup.begin(), run.startup.end(), memo.begin()),
        "it starts with '" + (memo.empty() ? std::string() : memo.front()) + "', not '" + run.startup.front() + "'");
  v.Stop();
  Check(mode + ": SIGTERM then ends the program with exit status 0", v.program.CleanExit(), v.program.Describe());
  long counts[4] = {};
  CheckLogShape(mode, run.work, sent, all_shown, counts);
  Figures(mode + ": log.txt records per table index 1 / 2 / 3: " + Counts(counts) + " of " + std::to_string(sent) +
          " each");
  run.CheckQuiet(mode);
  return failures ? 1 : 0;
}

// A flood that outruns any reader: while velmora and the listener are stopped,
// the server takes each round's 30000 packets and queues their events for both.
// Then velmora alone runs until its memo shows the round's last packet, then the
// listener alone until it has counted them all: the wall time and processor
// time each takes to work through the same queue.
int RunQueued(const std::string& exe, const fs::path& dir, const std::string& listener_exe, int rounds) {
  const std::string mode = "queued flood";
  Run run;
  if (!run.Start(mode, exe, dir)) return 1;
  Screen& x = run.x;
  Session& v = run.v;
  Listener listener;
  if (!listener.Start(listener_exe, 3 * kSteps, run.devices)) {
    return Check(mode + ": the XInput2 listener starts", false, listener_exe), 1;
  }
  const Atom counted = XInternAtom(x.display(), "_VELMORA_COUNTED", False);
  std::vector<double> velmora_ms, listener_ms, velmora_cpu, listener_cpu;
  bool all = true;
  // Runs pid from a stop until done() holds: wall milliseconds and processor seconds.
  const auto work_through = [&](pid_t pid, const std::function<bool()>& done, double& ms, double& cpu) {
    const double cpu_before = CpuSeconds(pid);
    const auto start = Clock::now();
    kill(pid, SIGCONT);
    const bool ok = WaitFor(done, 30, 1);
    ms = MsSince(start);
    cpu = CpuSeconds(pid) - cpu_before;
    return ok;
  };
  for (int r = 0; r <= rounds && all; ++r) {
    const long end = (r + 1) * kSteps;
    kill(v.program.pid, SIGSTOP);
    kill(listener.pid, SIGSTOP);
    SendFlood(x, run.devices, r * kSteps, end);
    XSync(x.display(), False);
    double vm = 0, vc = 0, lm = 0, lc = 0;
    all = work_through(v.program.pid, [&] { return v.LastLine() == Record(3, Step(3, end - 1)); }, vm, vc) &&
          work_through(listener.pid, [&] { return x.Number(x.root(), counted, AnyPropertyType) >= 3 * end; }, lm, lc);
    if (!all) break;
    Figures(mode + ": round " + std::to_string(r) + (r == 0 ? " (warm-up)" : "") + ": 30000 packets, velmora " +
            Fixed(vm, 0) + " ms (" + Fixed(vc, 2) + " s processor), listener " + Fixed(lm, 0) + " ms (" +
            Fixed(lc, 2) + " s processor)");
    if (r == 0) continue;
    velmora_ms.push_back(vm);
    velmora_cpu.push_back(vc);
    listener_ms.push_back(lm);
    listener_cpu.push_back(lc);
  }
  kill(v.program.pid, SIGCONT);
  kill(listener.pid, SIGCONT);
  Check(mode + ": velmora and the listener take in every round's packets", all,
        "velmora's memo ends with '" + v.LastLine() + "'");
  if (all) {
    const double vm = Median(velmora_ms), lm = Median(listener_ms);
    Figures(mode + ": median of " + std::to_string(rounds) + " rounds: velmora " + Fixed(vm, 0) + " ms, " +
            Fixed(Median(velmora_cpu) * 1e6 / (3 * kSteps), 2) + " us processor time per packet; listener " +
            Fixed(lm, 0) + " ms, " + Fixed(Median(listener_cpu) * 1e6 / (3 * kSteps), 2) +
            " us per packet; ratio " + Fixed(lm > 0 ? vm / lm : 1e9, 2));
  }
  v.Stop();
  Check(mode + ": SIGTERM then ends the program with exit status 0", v.program.CleanExit(), v.program.Describe());
  long counts[4] = {};
  CheckLogShape(mode, run.work, all ? (rounds + 1) * kSteps : 0, all, counts);
  return failures ? 1 : 0;
}

// The signal comes while the program works through a backlog of queued packets
// and the flood goes on. It must end within a batch or so, not after the backlog:
// under a flood the queue never runs dry, and a stop that waits for that never
// comes.
int RunSignal(const std::string& mode, const std::string& exe, const fs::path& dir, int sig) {
  Run run;
  if (!run.Start(mode, exe, dir) || !run.RecordMemo(mode)) return 1;
  Session& v = run.v;
  const auto poll = [&](long) {
    run.recorder.Poll();
    return !v.program.Exited();
  };
  // A first part the program takes in fully, then a backlog queued while it is
  // stopped: 30000 packets, some 300 ms of work.
  const long first = kSteps / 3, backlog = kSteps;
  long sent = SendFlood(run.x, run.devices, 0, first, poll);
  const bool caught_up = v.WaitShown(Record(3, Step(3, first - 1)), 10);
  kill(v.program.pid, SIGSTOP);
  sent = SendFlood(run.x, run.devices, first, first + backlog, poll);
  XSync(run.x.display(), False);
  kill(v.program.pid, SIGCONT);
  const std::string before = Record(3, Step(3, first - 1));
  const bool working = WaitFor([&] { return run.recorder.Poll(), v.LastLine() != before; }, 5, 1);
  kill(v.program.pid, sig);
  const auto signalled = Clock::now();
  // The flood goes on until the program has ended.
  sent = SendFlood(run.x, run.devices, first + backlog, first + 2 * backlog, poll);
  run.WaitEnd();
  const double stop_ms = MsSince(signalled);

  const Log log = run.FinishInterrupted(mode, sent, true);
  // Whole at every end that keeps log.txt whole: the recording too.
  CheckRecording(mode + ": log.csv holds every record of log.txt, in order for each device", v, "--ordered");
  const auto logged = static_cast<long>(log.records.size());
  const long queued = 3 * (first + backlog);
  Figures(mode + ": the program ended " + Fixed(stop_ms, 0) + " ms after the signal; it logged " +
          std::to_string(logged - 3 * first) + " packets of the " + std::to_string(3 * backlog) +
          "-packet backlog and of what followed");
  Check(mode + ": the program stops while a backlog is still queued, not after it",
        caught_up && working && logged < queued,
        !caught_up ? "the program never showed the first part's last packet"
        : !working ? "the program never started on the backlog"
                   : "it logged " + std::to_string(logged) + " packets, " + std::to_string(queued) +
                         " were queued before the signal: it stopped only once the queue ran dry");
  return failures ? 1 : 0;
}

// The server is killed while the program is behind a fast flood, once a third of
// it is sent and the memo shows some of it: the log must keep what was shown. On a
// slow host the memo may show nothing before the flood ends; the server goes once
// it does. No round trip to the server comes after the flood.
int RunServerLoss(const std::string& mode, const std::string& exe, const fs::path& dir, pid_t xvfb) {
  Run run;
  if (!run.Start(mode, exe, dir) || !run.RecordMemo(mode)) return 1;
  const auto shown = [&] { return run.recorder.Poll(), !run.recorder.Records().empty(); };
  const long sent = SendFlood(run.x, run.devices, 0, kSteps, [&](long n) { return !shown() || n < kSteps / 3; });
  WaitFor(shown, 60, 5);
  run.x.Abandon();
  kill(xvfb, SIGKILL);
  server_gone = true;
  run.WaitEnd();
  run.FinishInterrupted(mode, sent, false);
  CheckRecording(mode + ": log.csv holds every record of log.txt", run.v, "--ordered");
  return failures ? 1 : 0;
}

// log.txt is a directory: the log cannot be opened, and everything else goes on.
int RunNoLog(const std::string& exe, const fs::path& dir) {
  const std::string mode = "no-log";
  fs::create_directories(dir / "work" / "log.txt");
  Run run;
  if (!run.Start(mode, exe, dir)) return 1;
  Session& v = run.v;
  const fs::path& work = run.work;

  // An odd number of steps leaves each track one step from its start.
  constexpr long kCount = 201;
  SendFlood(run.x, run.devices, 0, kCount);
  const bool shown = v.WaitShown(Record(3, Step(3, kCount - 1)), 10);
  Lines expected;
  for (long n = 0; n < kCount; ++n) {
    for (int i = 1; i <= 3; ++i) expected.push_back(Record(i, Step(i, n)));
  }
  const Lines memo = OnlyRecords(v.Memo());
  Check(mode + ": the memo shows every packet's record", shown && memo == expected,
        std::to_string(memo.size()) + " records, memo ends with '" + v.LastLine() + "'");
  Check(mode + ": Label1 says Hola", v.Label("Label1") == "Hola", "'" + v.Label("Label1") + "'");
  const struct {
    const char* label;
    int x, y;
  } tracks[] = {{"Label3", 120, 120}, {"Label4", 150, 150}, {"Label5", 100, 100}};
  std::string wrong;
  for (int i = 1; i <= 3; ++i) {
    const Motion m = Step(i, kCount - 1);
    const std::string want =
        "X = " + std::to_string(tracks[i - 1].x + m.dx) + " , Y = " + std::to_string(tracks[i - 1].y + m.dy);
    WaitFor([&] { return v.Label(tracks[i - 1].label) == want; }, 2);
    const std::string got = v.Label(tracks[i - 1].label);
    if (got != want) wrong += std::string(tracks[i - 1].label) + " '" + got + "' expected '" + want + "' ";
  }
  Check(mode + ": the tracks move and their labels follow", wrong.empty(), wrong);

  v.Stop();
  Check(mode + ": SIGTERM ends the program with exit status 0", v.program.CleanExit(), v.program.Describe());
  run.CheckQuiet(mode);
  std::string made;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(work, ec)) {
    if (entry.path() != work / "log.txt") made += entry.path().lexically_relative(work).string() + " ";
  }
  Check(mode + ": no file appears, log.txt stays an empty directory", fs::is_directory(work / "log.txt") && made.empty(),
        made.empty() ? "log.txt is no longer a directory" : "found " + made);
  return failures ? 1 : 0;
}

// Messages 255 posted by another program with handles the stand-in never gave,
// and with handles of packets already handled (the first and the newest), in
// bursts between real packets: each refused with the size message, and no real
// packet lost, damaged or handled twice.
int RunForeign(const std::string& exe, const fs::path& dir) {
  const std::string mode = "foreign";
  Run run;
  if (!run.Start(mode, exe, dir)) return 1;
  Session& v = run.v;

  Display* d = run.x.display();
  const Atom message = XInternAtom(d, "_VELMORA_MESSAGE", False);
  constexpr long kCount = kSteps / 2;
  constexpr long kEvery = 200;  // steps between bursts
  constexpr long kBurst = 25;
  long posted = 0;
  const auto post = [&](long handle) {
    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = v.form;
    ev.xclient.message_type = message;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 255;
    ev.xclient.data.l[1] = 0;
    ev.xclient.data.l[2] = handle;
    XSendEvent(d, v.form, False, NoEventMask, &ev);
    ++posted;
  };
  // Handles count the packets from 1, so after n steps the newest is 3n.
  const auto post_burst = [&](long steps) {
    for (long i = 0; i < kBurst; ++i) post(0x7FFF0000L + posted);
    if (steps > 0) {
      post(1);
      post(3 * steps);
    }
  };
  post_burst(0);
  SendFlood(run.x, run.devices, 0, kCount, [&](long n) {
    if (n % kEvery == 0) post_burst(n);
    return true;
  });
  const bool shown = v.WaitShown(Record(3, Step(3, kCount - 1)), 20);
  const std::string last_shown = v.LastLine();
  const std::string size_line = "GetRawInputData doesn't return correct size!\n";
  std::string out;
  WaitFor([&] { return (out = v.program.Stdout()).size() >= static_cast<std::size_t>(posted) * size_line.size(); }, 5);
  v.Stop();
  out = v.program.Stdout();

  long refused = 0;
  std::string other;
  for (const std::string& line : Split(out, "\n")) {
    if (line + "\n" == size_line) {
      ++refused;
    } else if (other.empty()) {
      other = "'" + line + "'";
    }
  }
  Figures(mode + ": posted " + std::to_string(posted) + " foreign or stale handles in bursts among " +
          std::to_string(3 * kCount) + " packets; size messages on stdout: " + std::to_string(refused));
  Check(mode + ": each made-up or stale handle is refused with the size message, once",
        refused == posted && other.empty(),
        std::to_string(refused) + " size messages for " + std::to_string(posted) + " posted" +
            (other.empty() ? "" : ", and stdout also says " + other));
  Check(mode + ": the memo reached the flood's last packet", shown, "memo ends with '" + last_shown + "'");
  Check(mode + ": SIGTERM ends the program with exit status 0", v.program.CleanExit(), v.program.Describe());
  long counts[4] = {};
  CheckLogShape(mode, run.work, kCount, true, counts);
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (argc >= 6 && mode == "flood") return RunFlood(argv[2], fs::absolute(argv[3]), argv[4], std::atoi(argv[5]));
  if (argc >= 6 && mode == "queued") return RunQueued(argv[2], fs::absolute(argv[3]), argv[4], std::atoi(argv[5]));
  if (argc >= 5 && mode == "signal") {
    const std::string sig = argv[4];
    return RunSignal("SIG" + sig + " during a flood", argv[2], fs::absolute(argv[3]),
                     sig == "INT" ? SIGINT : sig == "HUP" ? SIGHUP : SIGTERM);
  }
  if (argc >= 5 && mode == "server-loss") {
    return RunServerLoss("server loss during a flood", argv[2], fs::absolute(argv[3]),
                         static_cast<pid_t>(std::atoi(argv[4])));
  }
  if (argc >= 4 && mode == "no-log") return RunNoLog(argv[2], fs::absolute(argv[3]));
  if (argc >= 4 && mode == "foreign") return RunForeign(argv[2], fs::absolute(argv[3]));
  std::fprintf(stderr,
               "usage: %s flood|queued VELMORA DIR LISTENER ROUNDS | signal VELMORA DIR TERM|INT|HUP |\n"
               "       server-loss VELMORA DIR XVFB_PID | no-log VELMORA DIR | foreign VELMORA DIR\n",
               argv[0]);
  return 2;
}
