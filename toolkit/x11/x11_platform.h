// The Xlib backend of the toolkit.
// What it implements, [x], and leaves out, [ ]:
//   [x] form window: caption, position, client area, background colour
//   [x] controls as native child windows: label, button, edit, memo (WM_NAME and WM_CLASS name them)
//   [ ] tab order of the focusable controls
//   [x] labels sized to their text; enable, disabled look, hide
//   [x] text in the form's font (Xft)
//   [x] memo panel: the newest whole rows inside edit-box margins (text_layout.h)
//   [x] memo lines readable by other programs (_VELMORA_LINES)
//   [x] control updates deferred to a drained queue or a flood's interval
//   [x] canvas: Line and Ellipse with the pen's colour, width and 16 modes (GC functions),
//       queued until the flush: a run of lines in one pen goes as one request
//   [x] message loop: every message through TForm::Dispatch
//   [x] idle hook: on a drained queue and every 100 ms of a flood
//   [x] Esc presses the form's cancel button
//   [x] system pointer motion -> WM_MOUSEMOVE
//   [x] keyboard focus -> WM_ACTIVATE (from focus events, in order)
//   [x] close box -> WM_CLOSE
//   [x] stop signals (SIGINT, SIGTERM, SIGHUP) -> WM_CLOSE
//   [x] messages posted by other programs (_VELMORA_MESSAGE client messages)
//   [x] raw input reaching the form (the hooks of x11_connection.h)
//   [x] ShowException shown to the user (on stderr)
//   [ ] ShowCursor's display counter (X keeps no counter)
//
// This header holds its private types: the views behind forms and controls, and
// the backend class. Its parts:
//   x11_init.cpp    the display, atoms, error trap and teardown
//   x11_window.cpp  form and control windows, their properties, deferred updates
//   x11_paint.cpp   control painting and Xft text
//   x11_canvas.cpp  pens, lines, ellipses and their masks
//   x11_loop.cpp    the loop, descriptor hooks, signals, events, focus, the
//                   pointer, client messages and the hooks of x11_connection.h
#pragma once

#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <poll.h>
#include <signal.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "toolkit/backend.h"
#include "toolkit/classic_look.h"
#include "toolkit/loop_pacing.h"
#include "toolkit/text_layout.h"
#include "toolkit/x11/x11_connection.h"

namespace tk::x11 {

// On TrueColor visuals a pixel is the channels shifted into the visual's masks,
// so XOR on pixels is XOR on colours; other visuals allocate colours once each.
class PixelMapper {
 public:
  void Init(const Visual* visual);
  unsigned long Pixel(Display* display, Colormap colormap, TColor rgb);

 private:
  struct Channel {
    Channel() = default;
    explicit Channel(unsigned long mask);
    unsigned long Place(unsigned v) const { return ((v * max + 127) / 255) << shift; }
    int shift = 0;
    unsigned long max = 0;
  };

  bool true_color_ = false;
  Channel red_, green_, blue_;
  std::unordered_map<TColor, unsigned long> cache_;
};

struct ControlView {
  TControl* control = nullptr;
  Window win = 0;
  XftDraw* draw = nullptr;
};

struct FormView {
  TForm* form = nullptr;
  Window win = 0;
  int client_width = 0;
  int client_height = 0;
  bool focused = false;
  bool mapped = false;
  std::vector<ControlView*> controls;
  // Memo lines not yet appended to _VELMORA_LINES, and how many it holds.
  std::string pending_lines;
  std::size_t pending_line_count = 0;  // the line ends in pending_lines
  std::size_t property_lines = 0;
  std::string rewritten;  // the property's whole text when rewritten, kept for its capacity
};

// Pixels from (left, top) to (right, bottom), both included.
struct Box {
  int left, top, right, bottom;
};

class X11Backend : public Backend {
 public:
  X11Backend();
  ~X11Backend() override;

  // ---- x11_init.cpp ----
  Display* EnsureDisplay();
  void BeginTrap();
  int EndTrap();
  int OnXError(XErrorEvent* error);
  void OnConnectionLost() { lost_ = true; }
  void ShowException(const Exception& e) override;
  void ShowCursor(bool) override {}

  // ---- x11_window.cpp ----
  void CreateWindow(TForm& form) override;
  void CreateControl(TForm& form, TControl& control) override;
  void DestroyWindow(TForm& form) override;
  void TextChanged(TLabel& label) override { pending_.Mark(label); }
  void EnabledChanged(TControl& control) override { pending_.Mark(control); }
  void Hidden(TControl& control) override;
  void CaptionChanged(TForm& form) override;
  void LineAppended(TMemo& memo, const String& line, std::size_t dropped) override;
  void Flush(TForm& form) override;

  // ---- x11_canvas.cpp ----
  int ClientWidth(const TForm& form) override;
  int ClientHeight(const TForm& form) override;
  void Line(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) override;
  void Ellipse(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) override;

  // ---- x11_loop.cpp ----
  void Run(TForm& form) override;
  void Closed(TForm& form) override;
  void DefaultHandler(TForm&, TMessage&) override {}
  void SetGenericHandler(int opcode, GenericEventHandler handler, void* context);
  void SetFdHandler(int fd, FdHandler handler, void* context);
  bool MainFormFocused() const { return main_ && main_->focused; }
  void DispatchToMain(TMessage& message);

 private:
  struct GenericHook {
    int opcode;
    GenericEventHandler handler;
    void* context;
  };
  struct FdHook {
    int fd;
    FdHandler handler;
    void* context;
  };
  // The masks of the last ellipse size, kept: the program draws the same marker
  // over and over.
  struct EllipseMasks {
    int w = -1, h = -1, line = -1;
    int margin = 0;  // room for a wide pen's outline around the box
    unsigned width = 0, height = 0;
    Pixmap inside = 0, outline = 0;
  };

  static FormView* ViewOf(const TForm& form) { return static_cast<FormView*>(form.peer); }
  static ControlView* ViewOf(const TControl& control) { return static_cast<ControlView*>(control.peer); }
  unsigned long Pixel(TColor c) { return colors_.Pixel(display_, colormap_, classic::Color(c)); }
  // Edit and memo are white when enabled, the form's face when disabled.
  static TColor FieldColor(const TControl& c) { return c.Enabled() ? classic::kWindow : c.Owner().Desc().color; }

  // ---- x11_init.cpp ----
  void InternAtoms();
  void FreeResources();

  // ---- x11_window.cpp ----
  void SetFormHints(FormView& view, const FormDesc& desc);
  FormView* FormByWindow(Window w) const;
  ControlView* ControlByWindow(Window w) const;
  void FlushControls();
  void UpdateControl(ControlView& view);
  void UpdateMemoProperty(FormView& form, ControlView& view, const TMemo& memo);
  void SetName(Window w, const std::string& text);
  // WM_NAME and _NET_WM_NAME: the title a window manager shows.
  void SetTitle(Window w, const std::string& caption);
  void SetEnabledProperty(Window w, bool enabled);

  // ---- x11_paint.cpp ----
  void DrawControl(ControlView& view);
  void DrawLabel(ControlView& view, const TLabel& label);
  void DrawButton(ControlView& view, const TButton& button);
  void DrawEditFrame(ControlView& view, int width, int height);
  void DrawMemo(ControlView& view, const TMemo& memo, int width, int height);
  void Bevel(Window w, int x, int y, int width, int height, TColor top_left, TColor bottom_right);
  void LoadFont(const FontDesc& desc);
  int TextWidth(const String& text);
  int LineHeight() const { return font_ ? font_->ascent + font_->descent : 0; }
  void DrawText(ControlView& view, TColor color, int x, int baseline, std::string_view text);
  XftColor* TextColor(TColor c);
  void ForgetDraws(FormView& form);

  // ---- x11_canvas.cpp ----
  struct Drawn {
    bool ellipse;
    TPen pen;
    Window win;
    int x1, y1, x2, y2;
    Box Bounds() const;
    bool Touches(const Box& box) const;
  };
  bool TakeBackXor(const Drawn& figure);
  // Sends what was drawn since the last flush, in its order.
  void FlushCanvas();
  void ForgetCanvas(Window win);
  void DrawEllipse(const Drawn& figure);
  void PreparePen(const TPen& pen);
  bool PrepareEllipseMasks(Drawable on, int w, int h, int line);
  Pixmap XorPicture(Drawable on, unsigned long inside, unsigned long outline);
  void FreeXorPictures();

  // ---- x11_loop.cpp ----
  bool HandleBatch(bool& busy);
  int WaitForWork(int timeout_ms, bool& stop_requested);
  int ServeReady(int n, bool& stop_requested);
  void SendChanges();
  void ShowChanges(std::uint64_t now_ms);
  void HandleEvent(XEvent& event);
  void HandleFormEvent(FormView& form, XEvent& event);
  void HandleClientMessage(FormView& form, const XClientMessageEvent& event);
  void HandleGeneric(XEvent& event);
  void SelectPointerMotion(Window w, long event_mask);
  void StopXiEvents();
  void PointerMoved(const XIDeviceEvent& event);
  void DispatchMove(FormView& form, int x, int y, unsigned state);
  void UpdateFocus(FormView& form, const XFocusChangeEvent& event);
  void CallReadyFds(const std::vector<pollfd>& fds, std::size_t first);
  void InstallSignals();
  void RestoreSignals();

  // The connection (x11_init.cpp).
  Display* display_ = nullptr;
  bool open_failed_ = false;
  bool lost_ = false;
  bool trapping_ = false;
  int trapped_error_ = 0;
  Colormap colormap_ = 0;
  PixelMapper colors_;
  Atom wm_protocols_ = 0, wm_delete_ = 0, net_wm_name_ = 0, utf8_string_ = 0;
  Atom lines_atom_ = 0, enabled_atom_ = 0, post_message_ = 0;

  // Windows (x11_window.cpp).
  std::vector<FormView*> forms_;
  FormView* main_ = nullptr;
  PendingControls pending_;

  // Text (x11_paint.cpp).
  XftFont* font_ = nullptr;
  Advances advances_ = {};
  std::unordered_map<TColor, XftColor> text_colors_;
  GC text_gc_ = nullptr;

  // Canvas (x11_canvas.cpp).
  GC pen_gc_ = nullptr;
  GC brush_gc_ = nullptr;
  GC outline_gc_ = nullptr;
  GC mask_gc_ = nullptr;  // for the 1-bit masks
  EllipseMasks ellipse_;
  struct XorPictureEntry {
    int w, h, line;
    unsigned long inside, outline;
    Pixmap pixmap;
  };
  static constexpr std::size_t kXorPictures = 8;
  std::vector<XorPictureEntry> xor_pictures_;
  GC xor_gc_ = nullptr;
  std::vector<Drawn> drawn_;  // since the last flush
  static constexpr std::size_t kXorLookBack = 16;
  std::vector<XSegment> segments_;  // kept: filled at every flush

  // Loop (x11_loop.cpp).
  std::vector<GenericHook> hooks_;
  std::vector<FdHook> fd_hooks_;
  std::vector<pollfd> poll_fds_;  // kept: the loop fills it at every turn
  IdleHook idle_;
  std::uint64_t last_shown_ms_ = 0;  // when ShowChanges last ran
  std::int64_t last_fds_us_ = 0;     // when the watched descriptors were last served
  int xi_opcode_ = -1;
  int core_pointer_ = 0;  // the first master pointer; 0: no XInput 2, core motion
  bool running_closed_ = false;
  struct sigaction old_int_ = {}, old_term_ = {}, old_hup_ = {}, old_pipe_ = {};
  bool signals_installed_ = false;
};

// The one backend there is, for Xlib's callbacks and the hooks of x11_connection.h.
extern X11Backend* the_backend;

}  // namespace tk::x11
