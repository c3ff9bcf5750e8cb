// What the window tells and when it reads the mice: its title, its icon, and
// packets while another X client holds the focus, with --background and without.
//
//   velmora_window_e2e focus|background|not-logging VELMORA WORKDIR
#include <X11/Xatom.h>
#include <sys/stat.h>

#include <cstdio>

#include "e2e_common.h"

using e2e::Check;
using e2e::Lines;
using e2e::Log;
using e2e::Session;
using e2e::WaitFor;
using e2e::failures;
namespace fs = std::filesystem;

namespace {

// The title once the program has set it: the window exists a moment before.
std::string TitleOnceSet(e2e::Screen& x, Window w, const std::string& want) {
  WaitFor([&] { return x.NetName(w) == want; }, 3.0);
  return x.NetName(w);
}

// _NET_WM_ICON's images as width x height, each checked to hold its pixels and
// some opaque ones; empty when the property is missing or malformed.
std::string IconSizes(e2e::Screen& x, Window w) {
  Atom type = 0;
  int format = 0;
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  const Atom icon = XInternAtom(x.display(), "_NET_WM_ICON", False);
  if (XGetWindowProperty(x.display(), w, icon, 0, 1 << 20, False, XA_CARDINAL, &type, &format, &n, &after, &data) !=
          Success ||
      data == nullptr) {
    return "";
  }
  const auto* v = reinterpret_cast<const unsigned long*>(data);
  std::string sizes;
  for (unsigned long at = 0; at + 2 <= n;) {
    const unsigned long width = v[at], height = v[at + 1], end = at + 2 + width * height;
    if (width == 0 || height == 0 || end > n) return XFree(data), "";
    unsigned long opaque = 0;
    // Xlib hands format-32 items over as long, sign-extended.
    for (unsigned long i = at + 2; i < end; ++i) opaque += ((v[i] & 0xFFFFFFFFul) >> 24) == 0xFF;
    if (opaque == 0) return XFree(data), "";
    sizes += (sizes.empty() ? "" : " ") + std::to_string(width) + "x" + std::to_string(height);
    at = end;
  }
  XFree(data);
  return sizes;
}

// Another client's window that takes the input focus, as another program would.
struct OtherClient {
  Display* d = XOpenDisplay(nullptr);
  Window w = 0;
  bool TakeFocus() {
    if (d == nullptr) return false;
    w = XCreateSimpleWindow(d, DefaultRootWindow(d), 700, 500, 200, 150, 0, 0, 0);
    XMapRaised(d, w);
    XSync(d, False);
    XSetInputFocus(d, w, RevertToParent, CurrentTime);
    XSync(d, False);
    return true;
  }
  ~OtherClient() {
    if (d != nullptr) XCloseDisplay(d);
  }
};

// Packets from the second mouse while another client holds the focus: all of
// them reach the window with --background, none without.
int RunFocus(const std::string& exe, const fs::path& dir, bool background) {
  const std::string mode = background ? "with --background" : "without --background";
  e2e::Screen x;
  if (!x.Open()) return Check("connect to the X server", false, "no display"), 1;
  Session s(x);
  if (background) s.program.args = {"--background"};
  std::string why;
  if (!s.Start(exe, dir) || !s.Ready(2, why)) return Check(mode + ": the window starts", false, why), 1;
  const std::string want_title = background ? "Velmora (background)" : "Velmora";
  const std::string title = TitleOnceSet(x, s.form, want_title);
  Check(mode + ": the title reads " + want_title, title == want_title && x.Name(s.form) == want_title,
        "'" + title + "'");
  if (!background) {
    const std::string sizes = IconSizes(x, s.form);
    Check("the window's _NET_WM_ICON holds the program's icon at 16, 32 and 48 pixels", sizes == "16x16 32x32 48x48",
          "'" + sizes + "'");
  }
  const int mouse = s.Mice()[1];
  s.Move(mouse, 1, 1);
  const std::size_t before = s.WaitRecords(1).size();

  OtherClient other;
  const bool moved = other.TakeFocus() && WaitFor([&] { return x.Focus() == other.w; });
  Check(mode + ": another client takes the focus", moved && !s.Focused());
  constexpr int kAway = 20;
  for (int i = 0; i < kAway; ++i) s.Move(mouse, 2, -1);
  const std::size_t want = before + (background ? kAway : 0);
  // Without the option, time enough for packets that should not come.
  if (background) {
    s.WaitRecords(want);
  } else {
    WaitFor([&] { return s.Records().size() > want; }, 1.0);
  }
  const std::size_t shown = s.Records().size();
  Check(mode + (background ? ": every packet is shown" : ": no packet is shown") + " while the other has the focus",
        shown == want, std::to_string(shown - before) + " of " + std::to_string(kAway));

  const Lines records = s.Records();
  const bool clean = s.Stop();
  Check(mode + ": ends with exit status 0", clean, s.program.Describe());
  const Log log = s.ReadLog();
  Check(mode + ": log.txt holds what the window showed", log.whole && log.records == records,
        std::to_string(log.records.size()) + " records logged, " + std::to_string(records.size()) + " shown");
  e2e::CheckRecording(mode + ": log.csv holds every record of log.txt", s, "--ordered");
  return failures ? 1 : 0;
}

// A copy that keeps no log says why in its title: in a folder it cannot write,
// and beside another copy that logs there.
int RunNotLogging(const std::string& exe, const fs::path& dir) {
  e2e::Screen x;
  if (!x.Open()) return Check("connect to the X server", false, "no display"), 1;
  const fs::path locked = dir / "read-only";
  fs::create_directories(locked);
  chmod(locked.c_str(), 0555);
  {
    Session s(x);
    s.program.as_nobody = true;
    const bool started = s.Start(exe, locked, dir);
    const std::string want = "Velmora (not logging: this folder is read-only)";
    const std::string title = started ? TitleOnceSet(x, s.form, want) : s.program.Describe();
    Check("in a read-only folder the title reads 'Velmora (not logging: this folder is read-only)'",
          title == want, "'" + title + "'");
    s.Stop();
  }
  const fs::path shared = dir / "shared";
  fs::create_directories(shared / "a");
  fs::create_directories(shared / "b");
  Session a(x), b(x);
  const bool first = a.Start(exe, shared, shared / "a");
  const bool second = first && b.Start(exe, shared, shared / "b", a.form);
  const std::string want = "Velmora (not logging: another copy is logging here)";
  const std::string title = second ? TitleOnceSet(x, b.form, want) : b.program.Describe();
  Check("the second copy's title reads '" + want + "'", title == want, "'" + title + "'");
  Check("the first copy's title stays 'Velmora'", first && x.NetName(a.form) == "Velmora",
        first ? "'" + x.NetName(a.form) + "'" : a.program.Describe());
  b.Stop();
  a.Stop();
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s focus|background|not-logging VELMORA WORKDIR\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "focus" || mode == "background") return RunFocus(argv[2], argv[3], mode == "background");
  if (mode == "not-logging") return RunNotLogging(argv[2], argv[3]);
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
