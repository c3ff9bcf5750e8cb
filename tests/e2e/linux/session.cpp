// The session mode: one copy of the program driven through its whole life by
// XTest pointers: window, device list, tracks, borders, the core pointer, buttons,
// the focus gate, a reused device id, then SIGTERM and the log.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "x11_e2e.h"

namespace e2e {
namespace {

// The master pointer that a slave is attached to; 0 if there is none.
int MasterOf(Display* d, int slave) {
  int n = 0, master = 0;
  XIDeviceInfo* info = XIQueryDevice(d, slave, &n);
  if (info && n == 1 && info[0].use == XISlavePointer) master = info[0].attachment;
  if (info) XIFreeDeviceInfo(info);
  return master;
}

// The device with this name; 0 if there is none.
int DeviceNamed(Display* d, const std::string& name) {
  int n = 0, id = 0;
  XIDeviceInfo* info = XIQueryDevice(d, XIAllDevices, &n);
  for (int i = 0; i < n && id == 0; ++i) {
    if (name == info[i].name) id = info[i].deviceid;
  }
  if (info) XIFreeDeviceInfo(info);
  return id;
}

struct Segment {
  int x, y;
};

// Drives one track through moves, then checks its records, label and trail.
void CheckTrack(Session& s, int index, const std::vector<Segment>& moves, std::uint32_t colour, std::uint32_t marker,
                const std::vector<Segment>& on_trail, const std::vector<Segment>& off_trail, Segment& head) {
  const std::string t = "track " + std::to_string(index);
  const std::vector<int> mice = s.Mice();
  if (static_cast<int>(mice.size()) <= index) {
    Check(t + " device", false, "no mouse at table index " + std::to_string(index));
    return;
  }
  const char* labels[] = {"Label3", "Label4", "Label5"};
  std::map<std::string, std::string> before;
  for (const char* l : labels) before[l] = s.Label(l);

  const std::size_t start = s.Records().size();
  for (const Segment& m : moves) s.Move(mice[index], m.x, m.y);
  const Lines records = s.WaitRecords(start + moves.size());

  Lines expected, got(records.begin() + static_cast<long>(std::min(start, records.size())), records.end());
  for (const Segment& m : moves) {
    expected.push_back(MotionRecord(index, m.x, m.y));
    head = {head.x + m.x, head.y + m.y};
  }
  Check(t + ": each packet logged with table index " + std::to_string(index), got == expected,
        "got " + Join(got) + " expected " + Join(expected));

  const std::string label = "X = " + std::to_string(head.x) + " , Y = " + std::to_string(head.y);
  const char* own = labels[index - 1];
  WaitFor([&] { return s.Label(own) == label; }, 2);
  Check(t + ": " + own + " shows the head", s.Label(own) == label, "'" + s.Label(own) + "' expected '" + label + "'");
  std::string others;
  for (const char* l : labels) {
    if (l != own && s.Label(l) != before[l]) others += std::string(l) + " changed to '" + s.Label(l) + "' ";
  }
  Check(t + ": other tracks untouched", others.empty(), others);

  std::string wrong;
  char buf[96];
  for (const Segment& p : on_trail) {
    const std::uint32_t got_rgb = s.x.Rgb(s.form, p.x, p.y);
    if (got_rgb != colour) {
      std::snprintf(buf, sizeof buf, "(%d,%d) is %06x ", p.x, p.y, got_rgb);
      wrong += buf;
    }
  }
  for (const Segment& p : off_trail) {
    const std::uint32_t got_rgb = s.x.Rgb(s.form, p.x, p.y);
    if (got_rgb != kFace) {
      std::snprintf(buf, sizeof buf, "(%d,%d) is %06x, not the background ", p.x, p.y, got_rgb);
      wrong += buf;
    }
  }
  std::snprintf(buf, sizeof buf, ": trail drawn in %06x", colour);
  Check(t + buf, wrong.empty(), wrong);

  // The head's marker, XOR-drawn once over what lay beneath (background or trail):
  // each pixel of its box is that, or that XOR the white brush inside, or that
  // XOR the marker colour on the outline.
  const std::vector<std::uint32_t> box = s.x.Rgbs(s.form, head.x, head.y - 3, 6, 6);
  int outline = 0;
  wrong.clear();
  for (std::size_t i = 0; i < box.size(); ++i) {
    const std::uint32_t p = box[i];
    if (p == (kFace ^ marker) || p == (colour ^ marker)) {
      ++outline;
    } else if (p != kFace && p != colour && p != (kFace ^ 0xFFFFFF) && p != (colour ^ 0xFFFFFF)) {
      std::snprintf(buf, sizeof buf, "(%d,%d) is %06x ", head.x + static_cast<int>(i % 6),
                    head.y - 3 + static_cast<int>(i / 6), p);
      wrong += buf;
    }
  }
  if (box.size() != 36) wrong = "the marker's box cannot be read";
  if (wrong.empty() && outline == 0) wrong = "no outline pixel";
  std::snprintf(buf, sizeof buf, ": marker XOR %06x at the head", marker);
  Check(t + buf, wrong.empty(), wrong);
}

// Pushed past the left and the bottom border, track 1 stops on it; returns its head.
Segment CheckBorders(Session& s, Segment head1) {
  const int client_height = 349;
  const std::vector<int> mice = s.Mice();
  const std::size_t start = s.Records().size();
  s.Move(mice[1], -500, 0);
  s.Move(mice[1], 0, 1000);
  s.WaitRecords(start + 2);
  const std::string label = "X = 0 , Y = " + std::to_string(client_height);
  WaitFor([&] { return s.Label("Label3") == label; }, 2);
  Check("track stops on the left and bottom borders", s.Label("Label3") == label, "'" + s.Label("Label3") + "'");
  std::string wrong;
  for (Segment p : {Segment{60, head1.y}, Segment{0, 200}, Segment{0, 300}}) {
    if (s.x.Rgb(s.form, p.x, p.y) != 0x0000FF) wrong += "(" + std::to_string(p.x) + "," + std::to_string(p.y) + ") ";
  }
  Check("trail runs along the left border", wrong.empty(), "not blue: " + wrong);
  return {0, client_height};
}

// The core pointer: Label2 follows it, its packets (table index 0) move nothing;
// another master's cursor over the window does not move Label2.
void CheckCorePointer(Session& s) {
  Display* d = s.x.display();
  const std::string before3 = s.Label("Label3"), before4 = s.Label("Label4"), before5 = s.Label("Label5");
  XWarpPointer(d, None, s.form, 0, 0, 0, 0, 300, 200);
  XSync(d, False);
  Check("Label2 follows the pointer", WaitFor([&] { return s.Label("Label2") == "X = 300 , 200"; }, 3),
        "'" + s.Label("Label2") + "'");
  const std::size_t start = s.Records().size();
  XTestFakeRelativeMotionEvent(d, 5, 7, CurrentTime);
  XSync(d, False);
  const Lines records = s.WaitRecords(start + 1);
  const std::string last = records.size() > start ? records[start] : "";
  Check("core pointer packets carry table index 0", last == MotionRecord(0, 5, 7), "'" + last + "'");
  WaitFor([&] { return s.Label("Label2") == "X = 305 , 207"; }, 2);
  Check("Label2 shows the moved pointer", s.Label("Label2") == "X = 305 , 207", "'" + s.Label("Label2") + "'");
  Check("core pointer moves no track",
        s.Label("Label3") == before3 && s.Label("Label4") == before4 && s.Label("Label5") == before5);

  const std::vector<int> mice = s.Mice();
  const int other = MasterOf(d, mice[1]);
  for (const auto& [px, py] : {std::pair{400, 250}, std::pair{410, 260}}) {
    XIWarpPointer(d, other, None, s.form, 0, 0, 0, 0, px, py);
  }
  XSync(d, False);
  // Two packets that move nothing, behind the motions: once they are shown,
  // the motions have been handled.
  const std::size_t before = s.Records().size();
  s.Click(mice[0], 9, true);
  s.Click(mice[0], 9, false);
  s.WaitRecords(before + 2);
  Check("Label2 does not follow another master's cursor", other != 0 && s.Label("Label2") == "X = 305 , 207",
        "'" + s.Label("Label2") + "'");
}

// Buttons and wheels of one device, with the Windows flags.
void CheckButtons(Session& s) {
  const std::vector<int> mice = s.Mice();
  const std::pair<unsigned, bool> steps[] = {{1, true}, {1, false}, {3, true}, {3, false}, {2, true}, {2, false},
                                             {8, true}, {8, false}, {9, true}, {9, false}, {4, true}, {4, false},
                                             {5, true}, {5, false}, {6, true}, {6, false}, {7, true}, {7, false}};
  const auto button = [](std::uint16_t flags, std::uint16_t data = 0) { return Record(3, 0, flags, data, 0, 0); };
  const Lines want = {button(0x0001), button(0x0002), button(0x0004),         button(0x0008),
                      button(0x0010), button(0x0020), button(0x0040),         button(0x0080),
                      button(0x0100), button(0x0200), button(0x0400, 0x0078), button(0x0400, 0xFF88),
                      button(0x0800, 0xFF88), button(0x0800, 0x0078)};
  const std::size_t start = s.Records().size();
  for (const auto& [b, press] : steps) s.Click(mice[3], b, press);
  const Lines records = s.WaitRecords(start + want.size());
  const Lines got(records.begin() + static_cast<long>(std::min(start, records.size())), records.end());
  Check("buttons and wheels carry the Windows flags", got == want, "got " + Join(got));
}

// Packets reach the form only while it holds the keyboard focus; track 2's head
// moves with the one that does.
void CheckFocusGate(Session& s, Segment& head2) {
  Display* d = s.x.display();
  XSetWindowAttributes attrs = {};
  attrs.event_mask = StructureNotifyMask;
  const Window other = XCreateWindow(d, s.x.root(), 900, 600, 100, 100, 0, CopyFromParent, InputOutput,
                                     CopyFromParent, CWEventMask, &attrs);
  XMapWindow(d, other);
  XEvent ev;
  do XNextEvent(d, &ev);
  while (ev.type != MapNotify);
  const std::vector<int> mice = s.Mice();
  const std::size_t start = s.Records().size();
  XSetInputFocus(d, other, RevertToParent, CurrentTime);
  XSync(d, False);
  for (int i = 0; i < 3; ++i) s.Move(mice[2], 7, 0);
  XSetInputFocus(d, s.form, RevertToParent, CurrentTime);
  XSync(d, False);
  s.Move(mice[2], 0, 9);
  s.WaitRecords(start + 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const Lines records = s.Records();
  const Lines got(records.begin() + static_cast<long>(std::min(start, records.size())), records.end());
  Check("no packets while another window has the focus", got == Lines{MotionRecord(2, 0, 9)}, "got " + Join(got));
  head2 = {head2.x, head2.y + 9};
  const std::string label = "X = " + std::to_string(head2.x) + " , Y = " + std::to_string(head2.y);
  Check("only the focused move reached track 2", s.Label("Label4") == label, "'" + s.Label("Label4") + "'");

  // Another client's keyboard grab (a window manager moving the window) leaves
  // the focus with the form; a focus change made during the grab still counts.
  const std::size_t grab_start = s.Records().size();
  XGrabKeyboard(d, other, False, GrabModeAsync, GrabModeAsync, CurrentTime);
  XSync(d, False);
  s.Move(mice[2], 0, 4);
  XSetInputFocus(d, other, RevertToParent, CurrentTime);
  XSync(d, False);
  s.Move(mice[2], 5, 0);
  XUngrabKeyboard(d, CurrentTime);
  XSync(d, False);
  s.Move(mice[2], 5, 0);
  XSetInputFocus(d, s.form, RevertToParent, CurrentTime);
  XSync(d, False);
  s.Move(mice[2], 0, -4);
  s.WaitRecords(grab_start + 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const Lines after = s.Records();
  const Lines grabbed(after.begin() + static_cast<long>(std::min(grab_start, after.size())), after.end());
  Check("a keyboard grab keeps the packets; a focus change during it stops them",
        grabbed == (Lines{MotionRecord(2, 0, 4), MotionRecord(2, 0, -4)}), "got " + Join(grabbed));
  XDestroyWindow(d, other);
  XSync(d, False);
}

// X gives a removed master's ids to the next master made: the new pointer is not
// the mouse the table holds under that id.
void CheckReusedId(Session& s) {
  Display* d = s.x.display();
  const std::vector<int> mice = s.Mice();
  const std::string before3 = s.Label("Label5");
  const int old = mice[3], master = MasterOf(d, old);
  // "Gamma pointer" is the master of "Gamma XTEST pointer".
  std::string name;
  int n = 0;
  if (XIDeviceInfo* info = master ? XIQueryDevice(d, master, &n) : nullptr) {
    name = info[0].name;
    XIFreeDeviceInfo(info);
  }
  name = name.substr(0, name.rfind(" pointer"));
  XIRemoveMasterInfo remove = {XIRemoveMaster, master, XIFloating, 0, 0};
  XIChangeHierarchy(d, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&remove), 1);
  XSync(d, False);
  XIAddMasterInfo add = {XIAddMaster, name.data(), True, True};
  XIChangeHierarchy(d, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&add), 1);
  XSync(d, False);
  const int fresh = DeviceNamed(d, name + " XTEST pointer");
  Check("X gives the new master's XTest pointer the removed one's id", fresh == old && master != 0,
        "old " + std::to_string(old) + ", new " + std::to_string(fresh));
  const std::size_t start = s.Records().size();
  s.Move(fresh, 6, -3);
  s.Move(fresh, -2, 1);
  const Lines records = s.WaitRecords(start + 2);
  const Lines got(records.begin() + static_cast<long>(std::min(start, records.size())), records.end());
  Check("a device under a reused id is not in the table",
        got == (Lines{MotionRecord(-1, 6, -3), MotionRecord(-1, -2, 1)}) && s.Label("Label5") == before3,
        "got " + Join(got) + "; Label5 '" + s.Label("Label5") + "'");
}

}  // namespace

// Three tracks wander across each other's trails and markers, once a packet at a
// time and once as one burst, in two fresh sessions: the burst's drawing reaches
// the server in fewer requests (markers XORed off again unsent, a pen's lines in
// one request) and must leave the same pixels.
int RunBurst(const std::string& exe, const fs::path& dir) {
  Screen x;
  if (!Connect(x)) return 1;
  constexpr int kSteps = 40;
  std::vector<std::uint32_t> shots[2];
  const char* ways[] = {"one packet at a time", "one burst"};
  for (int burst = 0; burst < 2; ++burst) {
    Session s(x);
    std::string why;
    const fs::path work = dir / (burst ? "burst" : "paced");
    fs::create_directories(work);
    if (!s.Start(exe, work) || !s.Ready(4, why)) {
      Check(std::string("burst: the window starts for ") + ways[burst], false, why + s.program.Describe());
      return 1;
    }
    const std::vector<int> mice = s.Mice();
    std::size_t count = s.Records().size();
    for (int n = 0; n < kSteps; ++n) {
      for (int i = 1; i <= 3; ++i) {
        const int dx = (n * 37 + i * 11) % 61 - 30, dy = (n * 23 + i * 17) % 41 - 20;
        if (burst) {
          s.x.Move(mice[i], dx, dy);
        } else {
          s.Move(mice[i], dx, dy);
          s.WaitRecords(++count);
        }
      }
    }
    if (burst) {
      XSync(x.display(), False);
      count += 3 * kSteps;
    }
    // The memo shows the last record once the drawing before it has been sent.
    const bool all = s.WaitRecords(count).size() >= count;
    Check(std::string("burst: every packet shown, ") + ways[burst], all);
    shots[burst] = x.Rgbs(s.form, 0, 116, 460, 128);  // below the memo, above the labels
    s.Stop();
  }
  std::size_t differ = 0;
  for (std::size_t i = 0; i < std::min(shots[0].size(), shots[1].size()); ++i) differ += shots[0][i] != shots[1][i];
  Check("burst: the tracks look the same drawn in one burst as one packet at a time",
        !shots[0].empty() && shots[0].size() == shots[1].size() && differ == 0,
        std::to_string(differ) + " of " + std::to_string(shots[0].size()) + " pixels differ");
  return failures ? 1 : 0;
}

int RunSession(const std::string& exe, const fs::path& dir) {
  Screen x;
  if (!Connect(x)) return 1;
  Session s(x);
  const bool started = s.Start(exe, dir);
  Check("window appears", started, s.program.Describe());
  if (!started) return 1;
  Check("window takes the keyboard focus", WaitFor([&] { return s.Focused(); }));
  CheckWindow(s);
  CheckDeviceList(s);

  // One track per device, each in its own colour.
  Segment head1{120, 120}, head2{150, 150}, head3{100, 100};
  CheckTrack(s, 1, {{40, 0}, {0, 40}, {-40, 0}, {0, -40}, {10, 5}}, 0x0000FF, 0x00FF00,
             {{140, 120}, {160, 140}, {140, 160}, {120, 140}}, {{140, 140}, {150, 130}}, head1);
  CheckTrack(s, 2, {{30, 30}, {30, -30}, {30, 30}, {30, -30}}, 0x008000, 0x00FF00,
             {{165, 165}, {195, 165}, {225, 165}, {255, 165}}, {{210, 175}, {240, 160}}, head2);
  CheckTrack(s, 3, {{-20, 40}, {-20, 40}, {-20, 40}}, 0xFF0000, 0xFF00FF, {{90, 120}, {70, 160}, {50, 200}},
             {{100, 140}, {60, 140}}, head3);
  Check("Label1 says Hola", s.Label("Label1") == "Hola", "'" + s.Label("Label1") + "'");
  CheckInks(s);
  head1 = CheckBorders(s, head1);
  CheckCorePointer(s);
  CheckButtons(s);
  CheckFocusGate(s, head2);
  CheckReusedId(s);

  // SIGTERM: the program ends through its close handler; the log is complete.
  const Lines shown = s.Records();
  Check("SIGTERM ends the program with exit status 0", s.Stop(), s.program.Describe());
  CheckLogMatchesMemo("log.txt holds every record shown after SIGTERM", s, shown);
  CheckRecording("log.csv holds every record of log.txt, in order for each device, from devices devices.csv names", s,
                 "--ordered --named");
  const std::string out = s.program.Stdout();
  Check("nothing printed on stdout", out.empty(), "'" + out + "'");
  return failures ? 1 : 0;
}

}  // namespace e2e
