// What the Linux end-to-end checkers (x11_e2e.cpp, flood.cpp) share: the
// PASS/FAIL output, the program under test as a child process, and the X side:
// velmora's windows and their properties, XTest devices.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
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

// Prints "PASS name" or "FAIL name: detail".
void Check(const std::string& name, bool ok, const std::string& detail = "");

bool WaitFor(const std::function<bool()>& done, double seconds = 5.0, int step_ms = 10);

std::string ReadFile(const fs::path& p);

// text cut at each sep; a last piece without one is kept as it is.
Lines Split(const std::string& text, const std::string& sep);

// The lines that are packet records.
Lines OnlyRecords(const Lines& lines);

// The device ids of the table of mice ("Amouse[i] = id") among the memo's lines.
std::vector<int> MiceIn(const Lines& lines);

// A motion's record as the memo shows it and log.txt holds it, without "\r\n".
std::string MotionRecord(int index, int dx, int dy);

struct Program {
  pid_t pid = -1;
  int status = -1;
  fs::path workdir, outdir;

  // Runs exe in workdir; its stdout and stderr go to stdout.txt and stderr.txt in outdir.
  bool Start(const std::string& exe, const fs::path& work, const fs::path& out);
  bool Exited();
  bool WaitExit(double seconds);
  void Kill();
  std::string Describe() const;
  bool CleanExit() const;
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

}  // namespace e2e
