// How the session's window looks as it opens: caption, geometry, controls, the
// device list, the colours of labels and memo, and the form's font.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "toolkit/x11/x11_font.h"
#include "x11_e2e.h"

namespace e2e {
namespace {

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

}  // namespace

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

}  // namespace e2e
