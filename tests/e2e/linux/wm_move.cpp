// The wm-move mode: the program under a window manager (run.sh starts openbox).
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "x11_e2e.h"

namespace e2e {

// Under a window manager (run.sh starts openbox): the window is dragged by its
// title bar, which makes the manager grab the keyboard, and moved and resized on
// request, while three devices send packets; every packet must be logged.
int RunWindowManager(const std::string& exe, const fs::path& dir) {
  const std::string mode = "under a window manager";
  Screen x;
  if (!Connect(x)) return 1;
  Display* d = x.display();
  const Atom wm_check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
  Session s(x);
  const bool started = WaitFor([&] { return x.Number(x.root(), wm_check, AnyPropertyType) != -1; }, 10) &&
                       s.Start(exe, dir);
  // A manager still starting up may keep the focus: ask it, as a pager would,
  // until the window is managed and takes it.
  bool focused = false;
  for (int i = 0; started && !focused && i < 10; ++i) {
    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = s.form;
    ev.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 2;
    XSendEvent(d, x.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XSync(d, False);
    focused = WaitFor([&] { return s.Focused(); }, 0.5);
  }
  if (!focused || !WaitFor([&] { return s.Mice().size() >= 4; })) {
    return Check(mode + ": the program starts and takes the focus", false, s.program.Describe()), 1;
  }
  const std::vector<int> mice = s.Mice();
  Lines expected;
  int round = 0;
  const auto packets = [&] {
    ++round;
    for (int i = 1; i <= 3; ++i) {
      const int dx = round % 2 ? i : -i, dy = round % 2 ? -2 : 2;
      s.Move(mice[i], dx, dy);
      expected.push_back(MotionRecord(i, dx, dy));
    }
  };
  const auto origin = [&] {
    int rx = 0, ry = 0;
    Window child = 0;
    XTranslateCoordinates(d, s.form, x.root(), 0, 0, &rx, &ry, &child);
    return std::pair{rx, ry};
  };
  // The manager's frame: the form's ancestor just below the root.
  Window frame = s.form;
  for (Window w = s.form;;) {
    Window root = 0, parent = 0, *kids = nullptr;
    unsigned n = 0;
    if (!XQueryTree(d, w, &root, &parent, &kids, &n)) break;
    if (kids) XFree(kids);
    if (parent == root || parent == 0) break;
    frame = w = parent;
  }
  int fx = 0, fy = 0;
  Window child = 0;
  XTranslateCoordinates(d, frame, x.root(), 0, 0, &fx, &fy, &child);
  const int cx = origin().first, cy = origin().second;
  Check(mode + ": the window has a title bar", frame != s.form && fy + 4 < cy,
        "frame top " + std::to_string(fy) + ", client top " + std::to_string(cy));

  // A title-bar drag with the core pointer.
  const int tx = cx + 150, ty = (fy + cy) / 2;
  packets();
  XTestFakeMotionEvent(d, -1, tx, ty, CurrentTime);
  XTestFakeButtonEvent(d, 1, True, CurrentTime);
  XSync(d, False);
  packets();
  bool grabbed = false;
  for (int i = 1; i <= 4; ++i) {
    XTestFakeMotionEvent(d, -1, tx + 20 * i, ty + 10 * i, CurrentTime);
    XSync(d, False);
    WaitFor([&] { return origin() == std::pair{cx + 20 * i, cy + 10 * i}; }, 2);
    // The manager holds the keyboard while it moves the window.
    if (XGrabKeyboard(d, x.root(), False, GrabModeAsync, GrabModeAsync, CurrentTime) == AlreadyGrabbed) {
      grabbed = true;
    } else {
      XUngrabKeyboard(d, CurrentTime);
    }
    packets();
  }
  XTestFakeButtonEvent(d, 1, False, CurrentTime);
  XSync(d, False);
  packets();
  const auto dragged = origin();
  Check(mode + ": the title-bar drag moves the window, the manager grabbing the keyboard",
        dragged == std::pair{cx + 80, cy + 40} && grabbed,
        "moved by " + std::to_string(dragged.first - cx) + "," + std::to_string(dragged.second - cy) +
            (grabbed ? "" : ", no keyboard grab seen"));

  // Moved and resized on request, as a pager or a tiling key would.
  XMoveResizeWindow(d, s.form, 60, 80, 600, 300);
  XSync(d, False);
  packets();
  unsigned w = 0, h = 0;
  WaitFor([&] {
    Window root = 0;
    int gx = 0, gy = 0;
    unsigned border = 0, depth = 0;
    XGetGeometry(d, s.form, &root, &gx, &gy, &w, &h, &border, &depth);
    return w == 600 && h == 300;
  });
  packets();
  Check(mode + ": the window is resized on request", w == 600 && h == 300,
        std::to_string(w) + "x" + std::to_string(h));

  Lines shown;
  // Rounds repeat every second one: wait for the count of the three devices'
  // records, not for the last one, which an earlier round also ends with.
  const auto core = [](const std::string& r) { return r.starts_with("Mouse: num 0,"); };
  WaitFor([&] {
    shown = s.Records();
    return shown.size() - static_cast<std::size_t>(std::count_if(shown.begin(), shown.end(), core)) >= expected.size();
  });
  Check(mode + ": SIGTERM ends the program with exit status 0", s.Stop(), s.program.Describe());
  // The manager freezes the core pointer while it drags, and its events may come
  // only after the memo was read: what follows the shown records is the core
  // pointer's (num 0), nothing else.
  const Log log = s.ReadLog();
  const bool prefix = log.records.size() >= shown.size() &&
                      std::equal(shown.begin(), shown.end(), log.records.begin());
  const bool then_core = prefix && std::all_of(log.records.begin() + static_cast<long>(shown.size()),
                                               log.records.end(),
                                               core);
  Check(mode + ": log.txt holds every record shown, then only the core pointer's",
        log.whole && !shown.empty() && then_core,
        "log has " + std::to_string(log.records.size()) + " records, memo showed " + std::to_string(shown.size()));
  Lines logged;
  for (const std::string& r : log.records) {
    if (!core(r)) logged.push_back(r);  // the core pointer's, of the drag
  }
  Check(mode + ": every packet of the three devices is logged", logged == expected,
        std::to_string(logged.size()) + " of " + std::to_string(expected.size()) + " records: " + Join(logged));
  return failures ? 1 : 0;
}

}  // namespace e2e
