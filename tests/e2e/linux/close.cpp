// How the program ends: the window manager's close (close-wm), SIGKILL once idle
// (close-kill), and a second copy in the same folder (two-copies).
#include <X11/Xlib.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "x11_e2e.h"

namespace e2e {
namespace {

// Drives a few packets from table index 1 and returns the records shown.
Lines DriveSome(Session& s, int count) {
  const std::vector<int> mice = s.Mice();
  if (mice.size() < 2) return {};
  for (int i = 0; i < count; ++i) s.Move(mice[1], 3, 2);
  return s.WaitRecords(static_cast<std::size_t>(count));
}

}  // namespace

// The window manager's close (WM_DELETE_WINDOW) ends the program as its close box
// does; an abrupt end (SIGKILL) once it is idle finds what it showed on disk already.
int RunClose(const std::string& mode, const std::string& exe, const fs::path& dir) {
  Screen x;
  if (!Connect(x)) return 1;
  Session s(x);
  if (!s.Start(exe, dir) || !WaitFor([&] { return s.Focused(); })) {
    return Check(mode + ": program starts", false, s.program.Describe()), 1;
  }
  WaitFor([&] { return s.Mice().size() >= 2; });
  const Lines shown = DriveSome(s, 5);
  Check(mode + ": packets shown", shown.size() == 5, std::to_string(shown.size()) + " records");
  if (mode == "close-kill") {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(s.program.pid, SIGKILL);
    s.program.WaitExit(10);
    CheckLogMatchesMemo("log.txt holds every record shown after SIGKILL 1.5 s after the last packet", s, shown);
    CheckRecording("log.csv holds every record of log.txt after SIGKILL", s, "--named --min-rows 5");
    return failures ? 1 : 0;
  }
  XEvent ev = {};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = s.form;
  ev.xclient.message_type = XInternAtom(x.display(), "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = static_cast<long>(XInternAtom(x.display(), "WM_DELETE_WINDOW", False));
  ev.xclient.data.l[1] = CurrentTime;
  XSendEvent(x.display(), s.form, False, NoEventMask, &ev);
  XSync(x.display(), False);
  s.program.WaitExit(10);
  Check("WM_DELETE_WINDOW ends the program with exit status 0", s.program.CleanExit(), s.program.Describe());
  CheckLogMatchesMemo("log.txt holds every record shown after WM_DELETE_WINDOW", s, shown);
  return failures ? 1 : 0;
}

// A second copy started in the folder of a running one must leave its log.txt
// alone: the first copy's log holds all its records, in order, with no hole.
int RunTwoCopies(const std::string& exe, const fs::path& dir) {
  const std::string mode = "two copies in one folder";
  Screen x;
  if (!Connect(x)) return 1;
  fs::create_directories(dir / "a");
  fs::create_directories(dir / "b");
  Session a(x), b(x);
  if (!a.Start(exe, dir, dir / "a") || !WaitFor([&] { return a.Focused() && a.Mice().size() >= 2; })) {
    return Check(mode + ": the first copy starts", false, a.program.Describe()), 1;
  }
  // More than the log stream buffers, so that part of the log is on disk already.
  const std::size_t first = 120;
  DriveSome(a, static_cast<int>(first));
  std::error_code ec;
  const auto on_disk = fs::file_size(dir / "log.txt", ec);
  Check(mode + ": the first copy's records reach the file before the second starts", !ec && on_disk > 0,
        ec ? ec.message() : "log.txt is empty");

  const bool second = b.Start(exe, dir, dir / "b", a.form) && WaitFor([&] { return b.Focused(); });
  Check(mode + ": the second copy starts and takes the focus", second, b.program.Describe());
  XSetInputFocus(x.display(), a.form, RevertToParent, CurrentTime);
  XSync(x.display(), False);
  WaitFor([&] { return a.Focused(); });
  const std::vector<int> mice = a.Mice();
  for (int i = 0; i < 5 && mice.size() >= 2; ++i) a.Move(mice[1], -2, 1);
  const Lines shown = a.WaitRecords(first + 5);
  Check(mode + ": the first copy goes on after the second started", shown.size() == first + 5,
        std::to_string(shown.size()) + " records");

  const bool b_clean = b.Stop();
  Check(mode + ": both end with exit status 0", a.Stop() && b_clean,
        "first " + a.program.Describe() + ", second " + b.program.Describe());
  const std::string out = b.program.Stdout();
  Check(mode + ": the second copy prints nothing", out.empty(), "'" + out + "'");
  const std::string said = b.program.Stderr();
  Check(mode + ": the second copy says once on stderr that it keeps no log",
        said == "velmora: another copy of Velmora is using log.txt in " + dir.string() + "; this copy keeps no log\n",
        "'" + said + "'");
  const std::string log = ReadFile(dir / "log.txt");
  const auto nul = log.find('\0');
  Check(mode + ": no NUL byte in log.txt", nul == std::string::npos, "the first at byte " + std::to_string(nul));
  CheckLogMatchesMemo(mode + ": log.txt holds every record the first copy showed", a, shown);
  return failures ? 1 : 0;
}

}  // namespace e2e
