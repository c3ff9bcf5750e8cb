// What the Linux end-to-end checkers (velmora_x11_e2e's modes, flood.cpp) share: the
// PASS/FAIL output, the records and log.txt, the program under test as a child
// process with its window, and the X side: windows, properties, XTest devices.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// Failed checks so far; a checker exits 1 if there are any.
extern int failures;

// Prints "PASS name" or "FAIL name: detail", and hands the counts to the runner.
void Check(const std::string& name, bool ok, const std::string& detail = "");
// Prints "SKIP name: why".
void Skip(const std::string& name, const std::string& why);

bool WaitFor(const std::function<bool()>& done, double seconds = 5.0, int step_ms = 10);

std::string ReadFile(const fs::path& p);

// text cut at each sep; a last piece without one is kept as it is.
Lines Split(const std::string& text, const std::string& sep);

// The lines that are packet records.
Lines OnlyRecords(const Lines& lines);

// The device ids of the table of mice ("Amouse[i] = id") among the memo's lines.
std::vector<int> MiceIn(const Lines& lines);

// A packet's record as the memo shows it and log.txt holds it, without "\r\n";
// ulButtons is the button flags with the button data above them.
std::string Record(int index, std::uint16_t flags, std::uint16_t button_flags, std::uint16_t data, std::int32_t x,
                   std::int32_t y);
inline std::string MotionRecord(int index, int dx, int dy) { return Record(index, 0, 0, 0, dx, dy); }
// Whether line is exactly one record, as Record writes it.
bool WellFormed(const std::string& line);

// log.txt split into records at "\r\n".
struct Log {
  bool exists = false;
  bool whole = true;  // empty or ending in "\r\n"
  Lines records;
  std::string malformed;  // the first line that is not a record
  std::size_t malformed_at = 0;
};
Log ReadLog(const fs::path& path);

// Processor time (user and system) process pid, or its thread tid, has used so
// far, in seconds; -1 if unknown.
double CpuSeconds(pid_t pid, pid_t tid = 0);

struct Program {
  pid_t pid = -1;
  int status = -1;
  fs::path workdir, outdir;
  std::vector<std::string> args;  // after the program's name
  // A root runner starts the program as nobody, so that a folder's permissions hold.
  bool as_nobody = false;

  // Runs exe in workdir; its stdout and stderr go to stdout.txt and stderr.txt in outdir.
  bool Start(const std::string& exe, const fs::path& work, const fs::path& out);
  bool Exited();
  bool WaitExit(double seconds);
  void Kill();
  std::string Describe() const;
  bool CleanExit() const;
  // Processor time (user and system) it has used so far, in seconds; -1 once it is gone.
  double CpuSeconds() const { return e2e::CpuSeconds(pid); }
  std::string Stdout() const;
  std::string Stderr() const;
};

// Sets *flag (a bool) when the connection is lost; Xlib would otherwise exit.
extern "C" void OnLostConnection(Display*, void* flag);

class Screen {
 public:
  bool Open();
  // Leaves the connection alone: for when the server is about to go.
  void Abandon() { display_ = nullptr; }
  ~Screen();

  Display* display() const { return display_; }
  Window root() const { return root_; }
  Atom lines_atom() const { return lines_; }

  std::string Property(Window w, Atom property);
  // A single 32-bit value of the given type (or any, with AnyPropertyType); -1 without one.
  long Number(Window w, Atom property, Atom type);
  std::string Name(Window w);
  std::string NetName(Window w);
  long Enabled(Window w);
  // The first child of parent with this WM_CLASS instance, other than except.
  Window FindByInstance(Window parent, const std::string& name, Window except = 0);
  // The top-level window with this instance: a child of the root or of a window manager's frame.
  Window FindTopLevel(const std::string& name, Window except = 0);
  Window Focus();
  Lines MemoLines(Window memo);
  // 0xRRGGBB of one pixel of window w.
  std::uint32_t Rgb(Window w, int x, int y);
  // 0xRRGGBB of each pixel of an area of window w, row by row; empty if unreadable.
  std::vector<std::uint32_t> Rgbs(Window w, int x, int y, int width, int height);

  // XTest input of one device; it reaches the server with the next flush.
  void Move(int id, int dx, int dy);
  void Click(int id, unsigned button, bool press);

  // Moves the master pointers of these slaves to the screen's far corner, off the
  // form, so that a flood is raw packets and nothing else.
  void ParkMasters(const std::vector<int>& slaves);

 private:
  XDevice* Device(int id);

  Display* display_ = nullptr;
  // The server-loss checks outlive their server: no connection may be closed then.
  bool lost_ = false;
  Window root_ = 0;
  Atom lines_ = 0, enabled_ = 0, net_wm_name_ = 0;
  unsigned long masks_[3] = {};
  std::map<int, XDevice*> devices_;
};

// A running copy of the program and its window. It runs in its run folder, which
// holds what it writes: log.txt, log.csv and devices.csv.
struct Session {
  Screen& x;
  Program program;
  Window form = 0;
  std::map<std::string, Window> controls;

  explicit Session(Screen& screen) : x(screen) {}
  ~Session() { program.Kill(); }

  // Runs exe in dir with its output files in out (default dir) and waits for its
  // window; other is a form already on the screen that is not this program's.
  bool Start(const std::string& exe, const fs::path& dir, const fs::path& out = {}, Window other = 0);
  // Waits for the focus and a table of at least mice mice; false, with why, if they do not come.
  bool Ready(std::size_t mice, std::string& why);

  fs::path Folder() const { return program.workdir; }
  fs::path File(const std::string& name) const { return program.workdir / name; }
  Log ReadLog() const { return e2e::ReadLog(File("log.txt")); }

  bool Focused() { return x.Focus() == form; }
  Window Memo1() { return controls["Memo1"]; }
  std::string Label(const char* name) { return x.Name(controls[name]); }
  // The memo's newest line, which it also carries as its name.
  std::string LastLine() { return x.Name(Memo1()); }
  Lines Memo() { return x.MemoLines(Memo1()); }
  Lines Records() { return OnlyRecords(Memo()); }
  // Waits until the memo holds count records; returns them.
  Lines WaitRecords(std::size_t count);
  bool WaitShown(const std::string& record, double seconds) {
    return WaitFor([&] { return LastLine() == record; }, seconds, 2);
  }
  // The table of mice the memo shows.
  std::vector<int> Mice() { return MiceIn(Memo()); }

  // One input at a time, each through to the server before the next.
  void Move(int id, int dx, int dy);
  void Click(int id, unsigned button, bool press);

  void Signal(int sig) { kill(program.pid, sig); }
  // Sends sig and waits for the end; true on exit status 0.
  bool Stop(int sig = SIGTERM) {
    Signal(sig);
    program.WaitExit(10);
    return program.CleanExit();
  }
};

// Checks the run's log.csv and devices.csv against its log.txt with the shared
// checker (tests/e2e/check_recording.py), passing it options.
void CheckRecording(const std::string& name, const Session& s, const std::string& options);

// lines joined with " | ", from the given one on.
std::string Join(const Lines& lines, std::size_t from = 0);

// What the memo's device lines must be: the enabled slaves in id order, the
// first ten of them, each mouse also entered in the table.
struct Expected {
  Lines lines;
  std::vector<int> mice;
  std::map<int, std::string> names;
};
Expected ExpectedDevices(Display* d);

// Every mode starts here: false, with a failed check, when there is no display.
bool Connect(Screen& x);

// The log holds every record the memo showed, and nothing else.
void CheckLogMatchesMemo(const std::string& name, const Session& s, const Lines& shown);

}  // namespace e2e
