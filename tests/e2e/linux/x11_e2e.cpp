// End-to-end checks of the Linux program on a running X server: starts velmora,
// drives separate XTest pointer devices, and reads back what the window shows
// (control names, memo lines, pixels), log.txt and the exit status.
//
//   velmora_x11_e2e session     VELMORA WORKDIR   window, devices, tracks, focus, SIGTERM
//   velmora_x11_e2e close-wm    VELMORA WORKDIR   WM_DELETE_WINDOW ends the program
//   velmora_x11_e2e close-kill  VELMORA WORKDIR   SIGKILL once idle loses no record
//   velmora_x11_e2e two-copies  VELMORA WORKDIR   a second copy in the same folder
//   velmora_x11_e2e wm-move     VELMORA WORKDIR   moved and resized under a window manager
//   velmora_x11_e2e evdev       VELMORA WORKDIR   the evdev service on umockdev's fake devices
//   velmora_x11_e2e evdev-denied VELMORA WORKDIR  a mouse node the user cannot read: XInput2
//
// Prints "PASS name" or "FAIL name: detail" per check; exits 1 if any failed.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <signal.h>
#include <unistd.h>

#ifdef VELMORA_HAVE_UMOCKDEV
#include <umockdev.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "e2e_common.h"
#include "toolkit/x11/x11_font.h"

namespace {

using namespace e2e;
using e2e::Screen;  // not Xlib's

std::string Join(const Lines& lines, std::size_t from = 0) {
  std::string s;
  for (std::size_t i = from; i < lines.size(); ++i) s += (i > from ? " | " : "") + lines[i];
  return s;
}

// What the memo's device lines must be: the enabled slaves in id order, the
// first ten of them, each mouse also entered in the table.
struct Expected {
  Lines lines;
  std::vector<int> mice;
  std::map<int, std::string> names;
};

Expected ExpectedDevices(Display* d) {
  Expected e;
  int n = 0;
  XIDeviceInfo* info = XIQueryDevice(d, XIAllDevices, &n);
  std::vector<std::pair<int, int>> listed;  // id, type
  for (int i = 0; i < n; ++i) {
    const XIDeviceInfo& dev = info[i];
    e.names[dev.deviceid] = dev.name;
    if (!dev.enabled || dev.use == XIMasterPointer || dev.use == XIMasterKeyboard) continue;
    int type = dev.use == XISlavePointer ? 0 : dev.use == XISlaveKeyboard ? 1 : -1;
    if (type < 0) {
      bool keys = false, pointer = false;
      for (int c = 0; c < dev.num_classes; ++c) {
        keys = keys || dev.classes[c]->type == XIKeyClass;
        pointer = pointer || dev.classes[c]->type == XIButtonClass || dev.classes[c]->type == XIValuatorClass;
      }
      type = pointer && !keys ? 0 : keys ? 1 : 2;
    }
    listed.emplace_back(dev.deviceid, type);
  }
  XIFreeDeviceInfo(info);
  std::sort(listed.begin(), listed.end());
  const char* words[] = {"Mouse", "Keyboard", "HID"};
  for (std::size_t i = 0; i < listed.size() && i < 10; ++i) {
    const auto [id, type] = listed[i];
    e.lines.push_back(std::to_string(i) + " " + std::to_string(id) + "  " + words[type]);
    if (type == 0) {
      e.lines.push_back("Amouse[" + std::to_string(e.mice.size()) + "] = " + std::to_string(id));
      e.mice.push_back(id);
    }
  }
  return e;
}

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

// The log holds every record the memo showed, and nothing else.
void CheckLogMatchesMemo(const std::string& name, const Session& s, const Lines& shown) {
  const Log log = s.ReadLog();
  const Lines& logged = log.records;
  std::string detail = log.whole ? "" : "the last record has no line end; ";
  if (logged != shown) {
    detail = "log has " + std::to_string(logged.size()) + " records, memo showed " + std::to_string(shown.size());
    for (std::size_t i = 0; i < std::min(logged.size(), shown.size()); ++i) {
      if (logged[i] != shown[i]) {
        detail += "; first difference at " + std::to_string(i) + ": '" + logged[i] + "' vs '" + shown[i] + "'";
        break;
      }
    }
  }
  Check(name, log.whole && logged == shown && !shown.empty(), detail);
}

// Every mode starts here: false, with a failed check, when there is no display.
bool Connect(Screen& x) {
  const bool open = x.Open();
  if (!open) Check("connect to the X server", false, "no display");
  return open;
}

struct Segment {
  int x, y;
};

constexpr std::uint32_t kFace = 0xC0C0C0;  // the form's background, clBtnFace

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

// "" when every pixel of window w (less inset on each side) is the background,
// the text colour ink or, at anti-aliased edges, a mix of the two, with at least
// one pixel mostly ink (none at all if ink is the background); otherwise what is
// wrong.
std::string TextInks(Screen& x, Window w, std::uint32_t background, std::uint32_t ink, int inset = 0) {
  Window root = 0;
  int gx = 0, gy = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  if (!w || !XGetGeometry(x.display(), w, &root, &gx, &gy, &width, &height, &border, &depth)) return "no window";
  int inked = 0;
  for (const std::uint32_t p : x.Rgbs(w, inset, inset, static_cast<int>(width) - 2 * inset,
                                      static_cast<int>(height) - 2 * inset)) {
    double share = 0;  // how far from the background towards the ink, in the channel that moved most
    bool between = true;
    for (const int shift : {0, 8, 16}) {
      const int b = static_cast<int>(background >> shift & 0xFF), i = static_cast<int>(ink >> shift & 0xFF);
      const int c = static_cast<int>(p >> shift & 0xFF);
      between = between && c >= std::min(b, i) && c <= std::max(b, i);
      if (i != b) share = std::max(share, static_cast<double>(c - b) / (i - b));
    }
    if (!between) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "a pixel of %06x, not between %06x and %06x", p, background, ink);
      return buf;
    }
    inked += share >= 0.75;
  }
  if (ink == background) return "";
  return inked ? "" : "no text pixel";
}

// The form's font as the program resolves it ("MS Sans Serif" at 11 pixels, or
// fontconfig's substitute): no glyph of a record's digits reaches into its
// neighbour, and a string is as wide as its glyphs' advances, which the memo's
// wrapping adds up.
void CheckFormFont(Screen& x) {
  Display* d = x.display();
  XftFont* font = tk::x11::OpenFormFont(d, DefaultScreen(d), "MS Sans Serif", -11);
  if (!font) {
    Check("the form's font opens", false, "no font");
    return;
  }
  FcChar8* family = nullptr;
  double pixels = 0;
  FcPatternGetString(font->pattern, FC_FAMILY, 0, &family);
  FcPatternGetDouble(font->pattern, FC_PIXEL_SIZE, 0, &pixels);
  char name[128];
  std::snprintf(name, sizeof name, "the form's font (%s, %g px)", family ? reinterpret_cast<char*>(family) : "?",
                pixels);
  const auto glyph = [&](char c) {
    XGlyphInfo g = {};
    const FcChar8 ch = static_cast<FcChar8>(c);
    XftTextExtents8(d, font, &ch, 1, &g);
    return g;
  };
  std::string wrong;
  for (const char c : std::string("0123456789")) {
    // Ink runs from -x to -x + width; the next glyph starts at xOff.
    const XGlyphInfo g = glyph(c);
    if (-g.x < 0 || -g.x + g.width > g.xOff) {
      wrong += std::string(1, c) + " inks " + std::to_string(-g.x) + ".." + std::to_string(-g.x + g.width) +
               " past its advance " + std::to_string(g.xOff) + "; ";
    }
  }
  const std::string flags = "usFlags=0000";
  int advances = 0;
  for (const char c : flags) advances += glyph(c).xOff;
  XGlyphInfo whole = {};
  XftTextExtents8(d, font, reinterpret_cast<const FcChar8*>(flags.data()), static_cast<int>(flags.size()), &whole);
  if (whole.xOff != advances) {
    wrong += flags + " is " + std::to_string(whole.xOff) + " wide, its glyphs' advances " + std::to_string(advances);
  }
  Check(std::string(name) + ": digits stay within their advances, widths add up", wrong.empty(), wrong);
  XftFontClose(d, font);
}

// The window as it opens: caption, client area, controls, their captions and states.
void CheckWindow(Session& s) {
  Screen& x = s.x;
  Check("caption is Velmora", x.Name(s.form) == "Velmora" && x.NetName(s.form) == "Velmora",
        "WM_NAME '" + x.Name(s.form) + "', _NET_WM_NAME '" + x.NetName(s.form) + "'");
  Window root = 0, child = 0;
  int gx = 0, gy = 0, rx = 0, ry = 0;
  unsigned w = 0, h = 0, border = 0, depth = 0;
  XGetGeometry(x.display(), s.form, &root, &gx, &gy, &w, &h, &border, &depth);
  XTranslateCoordinates(x.display(), s.form, root, 0, 0, &rx, &ry, &child);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%ux%u at %d,%d", w, h, rx, ry);
  Check("client area 688x349 at 192,114", w == 688 && h == 349 && rx == 192 && ry == 114, buf);
  std::string missing;
  for (const auto& [name, win] : s.controls) {
    if (!win) missing += name + " ";
  }
  Check("every control is a child window", missing.empty(), "missing " + missing);
  Check("captions", s.Label("Label1") == "Label1" && s.Label("Label6") == "Label6" &&
                        x.Name(s.controls["btnCopy"]) == "Copy" && x.Name(s.controls["Edit1"]).empty(),
        "Label1 '" + s.Label("Label1") + "', btnCopy '" + x.Name(s.controls["btnCopy"]) + "'");
  Check("Copy, Edit1 and Memo1 disabled, labels enabled",
        x.Enabled(s.controls["btnCopy"]) == 0 && x.Enabled(s.controls["Edit1"]) == 0 &&
            x.Enabled(s.controls["Memo1"]) == 0 && x.Enabled(s.controls["Label3"]) == 1);
}

// The memo's device list and table of mice, with three XTest pointers at 1 to 3.
void CheckDeviceList(Session& s) {
  const Expected expected = ExpectedDevices(s.x.display());
  Lines memo;
  WaitFor([&] { return (memo = s.Memo()).size() >= expected.lines.size(); });
  Check("Memo1 lists the server's devices and the table of mice", memo == expected.lines,
        "memo: " + Join(memo) + " expected: " + Join(expected.lines));
  std::string arrangement;
  for (int i = 1; i <= 3; ++i) {
    if (static_cast<int>(expected.mice.size()) <= i) {
      arrangement += "no mouse at index " + std::to_string(i) + " ";
    } else if (expected.names.at(expected.mice[i]).find("XTEST pointer") == std::string::npos) {
      arrangement += "index " + std::to_string(i) + " is '" + expected.names.at(expected.mice[i]) + "' ";
    }
  }
  Check("table indices 1 to 3 are three XTest pointers", arrangement.empty(), arrangement);
}

// The labels' and the memo's colours, and the form's font.
void CheckInks(Session& s) {
  const struct {
    const char* name;
    std::uint32_t rgb;
  } inks[] = {{"Label2", 0xFF00FF}, {"Label3", 0x0000FF}, {"Label4", 0x008000}, {"Label5", 0xFF0000}};
  std::string wrong;
  for (const auto& l : inks) {
    std::string why;
    // A label being redrawn is blank for a moment.
    if (!WaitFor([&] { return (why = TextInks(s.x, s.controls[l.name], kFace, l.rgb)).empty(); }, 2)) {
      wrong += std::string(l.name) + ": " + why + " ";
    }
  }
  Check("Label2 to Label5 write in fuchsia, blue, green and red", wrong.empty(), wrong);
  // Inside their 2-pixel frames, as a disabled read-only edit box looks.
  constexpr std::uint32_t kGrayText = 0x808080;
  std::string memo_why, edit_why;
  WaitFor([&] { return (memo_why = TextInks(s.x, s.controls["Memo1"], kFace, kGrayText, 2)).empty(); }, 2);
  edit_why = TextInks(s.x, s.controls["Edit1"], kFace, kFace, 2);
  Check("disabled Memo1 and Edit1 show the button face, Memo1 with grey text", memo_why.empty() && edit_why.empty(),
        "Memo1: " + memo_why + "; Edit1: " + edit_why);
  // Whole rows inside an edit box's margins: the first pixel row inside the
  // frame and the columns beside its left side stay clear, full as it is.
  const auto clear = [&](int left, int top, int width, int height) {
    const std::vector<std::uint32_t> px = s.x.Rgbs(s.controls["Memo1"], left, top, width, height);
    return !px.empty() && std::all_of(px.begin(), px.end(), [](std::uint32_t p) { return p == kFace; });
  };
  Check("Memo1 shows whole rows clear of its top and left edges", clear(2, 2, 377 - 4, 1) && clear(2, 2, 3, 105 - 4));
  CheckFormFont(s.x);
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

// Drives a few packets from table index 1 and returns the records shown.
Lines DriveSome(Session& s, int count) {
  const std::vector<int> mice = s.Mice();
  if (mice.size() < 2) return {};
  for (int i = 0; i < count; ++i) s.Move(mice[1], 3, 2);
  return s.WaitRecords(static_cast<std::size_t>(count));
}

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
  WaitFor([&] { return !(shown = s.Records()).empty() && shown.back() == expected.back(); });
  Check(mode + ": SIGTERM ends the program with exit status 0", s.Stop(), s.program.Describe());
  // The manager freezes the core pointer while it drags, and its events may come
  // only after the memo was read: what follows the shown records is the core
  // pointer's (num 0), nothing else.
  const Log log = s.ReadLog();
  const bool prefix = log.records.size() >= shown.size() &&
                      std::equal(shown.begin(), shown.end(), log.records.begin());
  const bool then_core = prefix && std::all_of(log.records.begin() + static_cast<long>(shown.size()),
                                               log.records.end(),
                                               [](const std::string& r) { return r.starts_with("Mouse: num 0,"); });
  Check(mode + ": log.txt holds every record shown, then only the core pointer's",
        log.whole && !shown.empty() && then_core,
        "log has " + std::to_string(log.records.size()) + " records, memo showed " + std::to_string(shown.size()));
  Lines logged;
  for (const std::string& r : log.records) {
    if (!r.starts_with("Mouse: num 0,")) logged.push_back(r);  // the core pointer's, of the drag
  }
  Check(mode + ": every packet of the three devices is logged", logged == expected,
        std::to_string(logged.size()) + " of " + std::to_string(expected.size()) + " records: " + Join(logged));
  return failures ? 1 : 0;
}

// ---- The evdev service on fake devices ----------------------------------------------

#ifdef VELMORA_HAVE_UMOCKDEV

// One fake event device: its sysfs and udev description and the answers to the
// ioctls libevdev asks at open, each of the size it asks for.
struct FakeDevice {
  int number;  // /dev/input/eventN, device number 13:64+N
  std::string name;
  std::vector<int> ev, keys, rel, abs;
  std::string events;  // evemu events, replayed from the node's first opening
  std::uint16_t vendor = 0x1234, product = 0x5678;

  std::string Node() const { return "/dev/input/event" + std::to_string(number); }
  std::string SysPath() const { return "/sys/devices/virtual/input/input" + std::to_string(number); }
  int Handle() const { return 13 * 256 + 64 + number; }
};

std::string Hex(const std::vector<unsigned char>& bytes) {
  std::string s;
  char b[3];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X", c);
    s += b;
  }
  return s;
}

std::vector<unsigned char> Bits(const std::vector<int>& codes, std::size_t size) {
  std::vector<unsigned char> b(size);
  for (int c : codes) b[static_cast<std::size_t>(c) / 8] |= static_cast<unsigned char>(1u << (c % 8));
  return b;
}

// sysfs's form of a bitmap: hex longs, the highest first.
std::string SysfsBits(const std::vector<int>& codes) {
  std::vector<unsigned long long> words(12);
  for (int c : codes) words[static_cast<std::size_t>(c) / 64] |= 1ull << (c % 64);
  while (words.size() > 1 && words.back() == 0) words.pop_back();
  std::string s;
  char b[20];
  for (auto it = words.rbegin(); it != words.rend(); ++it) {
    std::snprintf(b, sizeof b, "%llx", *it);
    s += (s.empty() ? "" : " ") + std::string(b);
  }
  return s;
}

std::string Description(const FakeDevice& d) {
  const std::string n = std::to_string(d.number), minor = std::to_string(64 + d.number);
  return "P: /devices/virtual/input/input" + n + "/event" + n + "\nN: input/event" + n + "\nE: DEVNAME=" + d.Node() +
         "\nE: MAJOR=13\nE: MINOR=" + minor + "\nE: SUBSYSTEM=input\nA: dev=13:" + minor +
         "\nL: device=../../input" + n + "\n\nP: /devices/virtual/input/input" + n + "\nE: NAME=\"" + d.name +
         "\"\nE: SUBSYSTEM=input\nA: name=" + d.name + "\nA: capabilities/ev=" + SysfsBits(d.ev) +
         "\nA: capabilities/key=" + SysfsBits(d.keys) + "\nA: capabilities/rel=" + SysfsBits(d.rel) +
         "\nA: capabilities/abs=" + SysfsBits(d.abs) + "\nA: properties=0\n";
}

std::string IoctlRecord(const FakeDevice& d) {
  std::vector<unsigned char> name(d.name.begin(), d.name.end());
  name.resize(255);  // EVIOCGNAME(255)
  std::string s = "@DEV " + d.Node() + "\n";
  s += "EVIOCGNAME(0) " + std::to_string(d.name.size() + 1) + " " + Hex(name) + "\n";
  // struct input_id: bus (USB), vendor, product, version, each 16 bits little-endian.
  const auto le16 = [](std::uint16_t v) {
    return std::vector<unsigned char>{static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>(v >> 8)};
  };
  std::vector<unsigned char> id = le16(3);
  for (std::uint16_t v : {d.vendor, d.product, std::uint16_t{1}}) {
    const auto b = le16(v);
    id.insert(id.end(), b.begin(), b.end());
  }
  s += "EVIOCGVERSION 0 01000100\nEVIOCGID 0 " + Hex(id) + "\n";
  s += "EVIOCGBIT(0) 8 " + Hex(Bits(d.ev, 8)) + "\n";
  s += "EVIOCGBIT(1) 96 " + Hex(Bits(d.keys, 96)) + "\n";
  s += "EVIOCGBIT(2) 8 " + Hex(Bits(d.rel, 8)) + "\n";
  s += "EVIOCGBIT(3) 8 " + Hex(Bits(d.abs, 8)) + "\n";
  for (const char* other : {"EVIOCGBIT(4) 8 ", "EVIOCGBIT(5) 8 ", "EVIOCGBIT(17) 8 ", "EVIOCGBIT(18) 8 "}) {
    s += other + Hex(std::vector<unsigned char>(8)) + "\n";
  }
  s += "EVIOCGBIT(21) 16 " + Hex(std::vector<unsigned char>(16)) + "\n";
  s += "EVIOCGKEY(0) 96 " + Hex(std::vector<unsigned char>(96)) + "\n";
  s += "EVIOCGLED(0) 8 " + Hex(std::vector<unsigned char>(8)) + "\nEVIOCGSW(0) 8 " + Hex(std::vector<unsigned char>(8)) + "\n";
  s += "EVIOCGPROP(0) 8 " + Hex(std::vector<unsigned char>(8)) + "\n";
  // input_absinfo: value 0, minimum 0, maximum 32767.
  for (int a : d.abs) s += (a == 0 ? std::string("EVIOCGABS") : "EVIOCGABS(" + std::to_string(a) + ")") +
                           " 0 0000000000000000FF7F0000000000000000000000000000\n";
  return s;
}

constexpr int kEvSyn = 0, kEvKey = 1, kEvRel = 2, kEvAbs = 3;
constexpr int kBtnLeft = 0x110, kBtnRight = 0x111, kBtnMiddle = 0x112, kBtnSide = 0x113, kBtnExtra = 0x114;
constexpr int kRelX = 0, kRelY = 1, kRelHwheel = 6, kRelWheel = 8, kRelWheelHiRes = 11, kRelHwheelHiRes = 12;

// The records of one table index among lines, in order.
Lines RecordsOf(const Lines& lines, int index) {
  const std::string head = "Mouse: num " + std::to_string(index) + ",";
  Lines out;
  for (const std::string& l : lines) {
    if (l.starts_with(head)) out.push_back(l);
  }
  return out;
}

struct Testbed {
  UMockdevTestbed* bed = umockdev_testbed_new();
  fs::path dir;
  ~Testbed() { g_object_unref(bed); }

  bool Add(const FakeDevice& d) {
    GError* error = nullptr;
    const fs::path ioctl = dir / ("event" + std::to_string(d.number) + ".ioctl");
    const fs::path events = dir / ("event" + std::to_string(d.number) + ".events");
    std::ofstream(ioctl) << IoctlRecord(d);
    std::ofstream(events) << "E: 0.100000 0000 0000 0\n" << d.events;
    bool ok = umockdev_testbed_add_from_string(bed, Description(d).c_str(), &error) &&
              umockdev_testbed_load_ioctl(bed, d.Node().c_str(), ioctl.c_str(), &error) &&
              umockdev_testbed_load_evemu_events(bed, d.Node().c_str(), events.c_str(), &error);
    if (error) {
      std::fprintf(stderr, "umockdev: %s\n", error->message);
      g_error_free(error);
    }
    // The node is a link that umockdev makes before the device answers its ioctls;
    // moved away and back, it comes again once it does, as udev's rename would.
    gchar* root = umockdev_testbed_get_root_dir(bed);
    const std::string node = root + d.Node();
    g_free(root);
    std::error_code ec;
    fs::rename(node, node + ".new", ec);
    if (!ec) fs::rename(node + ".new", node, ec);
    return ok && !ec;
  }
};

// The program, and it alone, runs on the testbed's fake devices.
bool StartOnFakeDevices(Session& s, const std::string& exe, const fs::path& dir) {
  const char* old_preload = std::getenv("LD_PRELOAD");
  const std::string preload = std::string("libumockdev-preload.so.0") + (old_preload ? std::string(" ") + old_preload : "");
  setenv("LD_PRELOAD", preload.c_str(), 1);
  const bool started = s.Start(exe, dir);
  if (old_preload) {
    setenv("LD_PRELOAD", old_preload, 1);
  } else {
    unsetenv("LD_PRELOAD");
  }
  return started;
}

int RunEvdev(const std::string& exe, const fs::path& dir) {
  Screen x;
  if (!Connect(x)) return 1;
  fs::create_directories(dir / "bed");
  Testbed bed;
  bed.dir = dir / "bed";
  // The replay starts at the node's first opening with its first event, here an
  // empty frame, so the others come seconds later, once the window has the focus.
  // Sub-second parts have no leading zeros: umockdev reads those wrongly.
  const std::vector<FakeDevice> devices = {
      {1, "Velmora fake mouse A", {kEvSyn, kEvKey, kEvRel}, {kBtnLeft, kBtnRight, kBtnMiddle}, {kRelX, kRelY, kRelWheel}, {},
       "E: 3.100000 0002 0000 5\nE: 3.100000 0002 0001 -3\nE: 3.100000 0000 0000 0\n", 0x046d, 0xc077},
      {2, "Velmora fake mouse B", {kEvSyn, kEvKey, kEvRel},
       {kBtnLeft, kBtnRight, kBtnMiddle, kBtnSide, kBtnExtra}, {kRelX, kRelY, kRelWheel, kRelHwheel}, {},
       "E: 3.200000 0001 0110 1\nE: 3.200000 0002 0000 2\nE: 3.200000 0000 0000 0\n"
       "E: 3.300000 0001 0110 0\nE: 3.300000 0000 0000 0\n"
       "E: 3.400000 0002 0008 -1\nE: 3.400000 0000 0000 0\n"
       // A frame cut short by SYN_DROPPED makes no packet.
       "E: 3.450000 0002 0000 9\nE: 3.450000 0000 0003 0\n"
       "E: 3.500000 0001 0111 1\nE: 3.500000 0001 0112 1\nE: 3.500000 0000 0000 0\n"},
      {3, "Velmora fake mouse C, \"Pro\"", {kEvSyn, kEvKey, kEvRel}, {kBtnLeft, kBtnRight, kBtnSide, kBtnExtra},
       {kRelX, kRelY, kRelWheel, kRelHwheel, kRelWheelHiRes, kRelHwheelHiRes}, {},
       "E: 3.200000 0002 000b 60\nE: 3.200000 0000 0000 0\n"
       "E: 3.300000 0001 0113 1\nE: 3.300000 0002 0001 4\nE: 3.300000 0000 0000 0\n"
       "E: 3.400000 0001 0114 0\nE: 3.400000 0002 0006 1\nE: 3.400000 0002 000c 120\nE: 3.400000 0000 0000 0\n"},
      {4, "Velmora fake mouse E", {kEvSyn, kEvKey, kEvRel}, {kBtnLeft}, {kRelX, kRelY}, {},
       "E: 3.250000 0002 0000 40\nE: 3.250000 0002 0001 60\nE: 3.250000 0000 0000 0\n"},
      {5, "Velmora fake keyboard", {kEvSyn, kEvKey}, {}, {}, {},
       "E: 3.200000 0001 001e 1\nE: 3.200000 0000 0000 0\nE: 3.300000 0001 001e 0\nE: 3.300000 0000 0000 0\n"},
      {6, "Velmora fake tablet", {kEvSyn, kEvKey, kEvAbs}, {kBtnLeft, kBtnRight}, {}, {0, 1},
       "E: 3.600000 0003 0000 16384\nE: 3.600000 0003 0001 32767\nE: 3.600000 0000 0000 0\n"
       "E: 3.700000 0001 0111 1\nE: 3.700000 0000 0000 0\n"},
  };
  std::vector<FakeDevice> all = devices;
  for (int k = 1; k < 120; ++k) all[4].keys.push_back(k);  // a keyboard's keys
  bool ok = true;
  for (const FakeDevice& d : all) ok = bed.Add(d) && ok;
  Check("evdev: umockdev holds the fake devices", ok);

  Session s(x);
  if (!StartOnFakeDevices(s, exe, dir) || !WaitFor([&] { return s.Focused(); })) {
    return Check("evdev: program starts", false, s.program.Describe()), 1;
  }

  // Device list and table: the nodes in order, handles their device numbers.
  Lines expected_list;
  const char* words[] = {"Mouse", "Mouse", "Mouse", "Mouse", "Keyboard", "Mouse"};
  int mice = 0;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const std::string handle = std::to_string(devices[i].Handle());
    expected_list.push_back(std::to_string(i) + " " + handle + "  " + words[i]);
    if (std::string(words[i]) == "Mouse") expected_list.push_back("Amouse[" + std::to_string(mice++) + "] = " + handle);
  }
  const Lines memo = s.Memo();
  const Lines head(memo.begin(), memo.begin() + static_cast<long>(std::min(memo.size(), expected_list.size())));
  Check("evdev: the event devices are listed in node order under their device numbers, the mice in the table",
        head == expected_list, "got " + Join(head));

  const Lines expected_records = {
      Record(0, 0, 0, 0, 5, -3),
      Record(1, 0, 0x0001, 0, 2, 0),
      Record(1, 0, 0x0002, 0, 0, 0),
      Record(1, 0, 0x0400, 0xff88, 0, 0),
      Record(1, 0, 0x0004 | 0x0010, 0, 0, 0),
      Record(2, 0, 0x0400, 60, 0, 0),
      Record(2, 0, 0x0040, 0, 0, 4),
      Record(2, 0, 0x0200 | 0x0800, 120, 0, 0),
      Record(3, 0, 0, 0, 40, 60),
      Record(4, 1, 0, 0, 32769, 65535),
      Record(4, 1, 0x0004, 0, 32769, 65535),
  };
  s.WaitRecords(expected_records.size());
  // Each device's packets keep their order; between devices the order is the replay's.
  const Lines shown = s.Records();
  for (int index = 0; index < 5; ++index) {
    const char* what[] = {"evdev: mouse A's frame is one relative motion (num 0)",
                          "evdev: mouse B's left button, motion, wheel, right and middle; none for a frame cut by dropped events (num 1)",
                          "evdev: mouse C's high-resolution wheels, side and extra buttons (num 2)",
                          "evdev: mouse E's motion (num 3)",
                          "evdev: the tablet's absolute position on 0..65535, with its button (num 4)"};
    Check(what[index], RecordsOf(shown, index) == RecordsOf(expected_records, index),
          "got " + Join(RecordsOf(shown, index)));
  }
  Check("evdev: no record from the keyboard, none left over", shown.size() == expected_records.size(),
        std::to_string(shown.size()) + " records");
  Check("evdev: tracks 1 to 3 follow mice B, C and E", s.Label("Label3") == "X = 122 , Y = 120" &&
        s.Label("Label4") == "X = 150 , Y = 154" && s.Label("Label5") == "X = 140 , Y = 160",
        s.Label("Label3") + " | " + s.Label("Label4") + " | " + s.Label("Label5"));
  // Track 3's trail, from (100, 100) to (140, 160), runs through (120, 130) in red.
  const std::uint32_t trail = s.x.Rgb(s.form, 120, 130);
  char rgb[16];
  std::snprintf(rgb, sizeof rgb, "%06x", trail);
  Check("evdev: track 3's trail is drawn in red", trail == 0xFF0000, rgb);

  // Plugged in while running: read, outside the table; unplugged: let go quietly.
  FakeDevice late = {7, "Velmora fake mouse D", {kEvSyn, kEvKey, kEvRel}, {kBtnLeft}, {kRelX, kRelY}, {},
                     "E: 1.100000 0002 0000 7\nE: 1.100000 0002 0001 7\nE: 1.100000 0000 0000 0\n"
                     "E: 2.100000 0002 0000 -1\nE: 2.100000 0000 0000 0\n"};
  Check("evdev: a mouse plugged in", bed.Add(late));
  // The node is a link to a pty; the program holds the pty while it reads the mouse.
  gchar* root = umockdev_testbed_get_root_dir(bed.bed);
  const fs::path node_a = std::string(root) + devices[0].Node();
  g_free(root);
  std::error_code ec;
  const fs::path pty_a = fs::read_symlink(node_a, ec);
  const auto holds = [&](const fs::path& target) {
    std::error_code e;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(s.program.pid) + "/fd", e)) {
      if (fs::read_symlink(fd.path(), e) == target) return true;
    }
    return false;
  };
  const bool held = !ec && holds(pty_a);
  // umockdev leaves the node behind; the kernel would not.
  umockdev_testbed_remove_device(bed.bed, devices[0].SysPath().c_str());
  fs::remove(node_a, ec);
  const Lines after = s.WaitRecords(expected_records.size() + 2);
  const Lines late_records = RecordsOf(after, -1);
  Check("evdev: a mouse plugged in while running is read, as num -1",
        late_records == (Lines{Record(-1, 0, 0, 0, 7, 7), Record(-1, 0, 0, 0, -1, 0)}), "got " + Join(late_records));
  Check("evdev: an unplugged mouse's node is closed", held && !holds(pty_a),
        pty_a.string() + (held ? " still open" : " was not open before"));

  const Lines final_shown = s.Records();
  Check("evdev: SIGTERM ends the program with exit status 0", s.Stop(), s.program.Describe());
  CheckLogMatchesMemo("evdev: log.txt holds every record shown after SIGTERM", s, final_shown);
  // One line for the dropped events, naming the device; nothing for the unplugged mouse.
  const std::string err_text = ReadFile(s.program.outdir / "stderr.txt");
  const Lines err = Split(err_text, "\n");
  Check("evdev: dropped events give one line on stderr naming the device, an unplugged mouse none",
        err.size() == 1 && err_text.ends_with("\n") && err[0].find("/dev/input/event2") != std::string::npos &&
            err[0].find("Velmora fake mouse B") != std::string::npos,
        "'" + Join(err) + "'");

  // The recording beside log.txt. umockdev hands out made-up times: only their presence counts.
  CheckRecording("evdev: log.csv holds log.txt's records, each with a time, from devices devices.csv names", s,
                 "--named");
  const std::string listed = ReadFile(s.File("devices.csv"));
  const std::string b = std::to_string(devices[1].Handle());
  Check("evdev: devices.csv holds each device's name and ids, a name with a comma and quotes as CSV writes it",
        listed.find("\n" + std::to_string(devices[0].Handle()) + ",0,Mouse,\"Velmora fake mouse A\",046d,c077,1\n") !=
                std::string::npos &&
            listed.find(",2,Mouse,\"Velmora fake mouse C, \"\"Pro\"\"\",1234,5678,1\n") != std::string::npos &&
            listed.find(",-1,Keyboard,\"Velmora fake keyboard\",1234,5678,1\n") != std::string::npos,
        listed);
  Check("evdev: mouse B's dropped events leave a row with its time and no packet fields",
        ReadFile(s.File("log.csv")).find("," + b + ",1,,,,,,,,\n") != std::string::npos);
  return failures ? 1 : 0;
}

// A mouse whose node the user cannot read: XInput2 as before, and one line on
// stderr that says how to get evdev. Root runs the program as nobody for this.
int RunEvdevDenied(const std::string& exe, const fs::path& dir) {
  if (geteuid() != 0) {
    std::printf("SKIP evdev-denied: needs root, to run the program as another user\n");
    return 0;
  }
  Screen x;
  if (!Connect(x)) return 1;
  fs::create_directories(dir / "bed");
  Testbed bed;
  bed.dir = dir / "bed";
  const FakeDevice mouse = {1, "Velmora fake mouse A", {kEvSyn, kEvKey, kEvRel}, {kBtnLeft}, {kRelX, kRelY}, {}, ""};
  const bool added = bed.Add(mouse);
  // Everything readable to the other user but the device itself (a link to a pty).
  gchar* root = umockdev_testbed_get_root_dir(bed.bed);
  const fs::path node = fs::path(root) / ("dev/input/event" + std::to_string(mouse.number));
  g_free(root);
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(node.parent_path().parent_path().parent_path(), ec)) {
    if (!e.is_symlink()) fs::permissions(e.path(), fs::perms::all, fs::perm_options::add, ec);
  }
  fs::permissions(node.parent_path().parent_path().parent_path(), fs::perms::all, fs::perm_options::add, ec);
  fs::permissions(node, fs::perms::none, ec);  // follows the link
  fs::permissions(dir, fs::perms::all, fs::perm_options::add, ec);
  const fs::path wrapper = dir / "as-nobody.sh";
  std::ofstream(wrapper) << "#!/bin/sh\nexec setpriv --reuid=65534 --regid=65534 --clear-groups '" << exe << "'\n";
  fs::permissions(wrapper, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec, ec);
  Check("evdev-denied: umockdev holds an unreadable fake mouse", added && !ec, ec.message());

  Session s(x);
  if (!StartOnFakeDevices(s, wrapper.string(), dir) || !WaitFor([&] { return s.Focused(); })) {
    return Check("evdev-denied: program starts", false, s.program.Describe()), 1;
  }
  const Expected expected = ExpectedDevices(x.display());
  Lines head;
  WaitFor([&] {
    const Lines memo = s.Memo();
    head.assign(memo.begin(), memo.begin() + static_cast<long>(std::min(memo.size(), expected.lines.size())));
    return head == expected.lines;
  });
  Check("evdev-denied: the XInput2 service runs, with the X server's devices", head == expected.lines,
        "got " + Join(head));
  Check("evdev-denied: SIGTERM ends the program with exit status 0", s.Stop(), s.program.Describe());
  const std::string err = ReadFile(s.program.outdir / "stderr.txt");
  Check("evdev-denied: one line on stderr names the input group and a udev uaccess rule",
        Split(err, "\n").size() == 1 && err.ends_with("\n") && err.find("input group") != std::string::npos &&
            err.find("uaccess") != std::string::npos,
        "'" + err + "'");
  return failures ? 1 : 0;
}

#else

int RunEvdev(const std::string&, const fs::path&) {
  std::printf("SKIP evdev: built without libumockdev\n");
  return 0;
}

int RunEvdevDenied(const std::string&, const fs::path&) {
  std::printf("SKIP evdev-denied: built without libumockdev\n");
  return 0;
}

#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: %s session|close-wm|close-kill|two-copies|wm-move|evdev|evdev-denied VELMORA WORKDIR\n",
                 argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "session") return RunSession(argv[2], argv[3]);
  if (mode == "close-wm" || mode == "close-kill") return RunClose(mode, argv[2], argv[3]);
  if (mode == "two-copies") return RunTwoCopies(argv[2], argv[3]);
  if (mode == "wm-move") return RunWindowManager(argv[2], argv[3]);
  if (mode == "evdev") return RunEvdev(argv[2], argv[3]);
  if (mode == "evdev-denied") return RunEvdevDenied(argv[2], argv[3]);
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
