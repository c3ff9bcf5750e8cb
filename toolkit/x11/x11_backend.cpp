// The Xlib backend of the toolkit. Implements:
// - the form as a top-level window (WM_NAME and _NET_WM_NAME, position, a client
//   area the size a classic frame leaves of the description's outer size, clBtnFace);
// - each control as a child window whose WM_NAME mirrors its caption or text and
//   whose WM_CLASS instance is the control's name; labels size themselves to their
//   text; button, edit and memo drawn with the disabled look when disabled;
// - text anti-aliased through Xft in the form's font as fontconfig resolves it;
// - the memo: WM_NAME is its last line, _VELMORA_LINES holds its latest lines; it
//   shows the newest lines that fit, wrapped at spaces, without a scroll bar;
// - the canvas: lines and ellipses straight onto the form window, every pen mode
//   mapped to its GC function (copy GXcopy, XOR GXxor); nothing is retained;
// - the loop: the system pointer's motion -> WM_MOUSEMOVE, focus -> WM_ACTIVATE, WM_DELETE_WINDOW,
//   SIGINT, SIGTERM and SIGHUP -> WM_CLOSE, a lost server connection -> close; control
//   updates and drawing reach the server once per batch of events;
// - a _VELMORA_MESSAGE client message to the form window (format 32: message
//   number, wParam, lParam in data.l[0..2], each 32 bits on the wire) -> the form's
//   Dispatch, as a posted message would be: how another program posts one;
// - the hooks of x11_connection.h that feed XInput2 events and the readiness of
//   other descriptors (evdev devices) to the raw-input stand-ins;
// - ShowException on stderr; ShowCursor does nothing (X keeps no pointer counter).
#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "toolkit/backend.h"
#include "toolkit/text_layout.h"
#include "toolkit/x11/x11_colors.h"
#include "toolkit/x11/x11_connection.h"
#include "toolkit/x11/x11_font.h"

namespace tk::x11 {

namespace {

// A classic frame: 4-pixel borders and a 19-pixel caption. The window manager
// draws its own frame around the client area we ask for.
constexpr int kFrameWidth = 8;
constexpr int kFrameHeight = 27;
// Events handled before control updates and drawing go out to the server.
constexpr int kBatch = 512;

// The memo's text inset: its 2-pixel sunken frame and a pixel of margin.
constexpr int kMemoFrame = 2;
constexpr int kMemoMargin = 1;

int signal_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (write(signal_pipe[1], &byte, 1) < 0) {
    // A full pipe already holds a pending stop.
  }
  errno = saved;
}

struct ControlView {
  TControl* control = nullptr;
  Window win = 0;
  XftDraw* draw = nullptr;
  bool dirty = false;
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
  std::size_t property_lines = 0;
};

// The memo shows the record's text without the line end it carries.
std::size_t DisplayLength(const String& line) {
  std::size_t n = line.size();
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) --n;
  return n;
}
std::string DisplayLine(const String& line) { return line.substr(0, DisplayLength(line)); }

class X11Backend;
X11Backend* the_backend = nullptr;

class X11Backend : public Backend {
 public:
  X11Backend() { the_backend = this; }
  ~X11Backend() override;

  Display* EnsureDisplay();

  void CreateWindow(TForm& form) override;
  void CreateControl(TForm& form, TControl& control) override;
  void DestroyWindow(TForm& form) override;
  void TextChanged(TLabel& label) override { MarkDirty(label); }
  void EnabledChanged(TControl& control) override { MarkDirty(control); }
  void Hidden(TControl& control) override;
  void LineAppended(TMemo& memo, const String& line, std::size_t dropped) override;
  void Flush(TForm& form) override;
  int ClientWidth(const TForm& form) override;
  int ClientHeight(const TForm& form) override;
  void Line(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) override;
  void Ellipse(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) override;
  void Run(TForm& form) override;
  void Closed(TForm& form) override;
  void DefaultHandler(TForm&, TMessage&) override {}
  void ShowException(const Exception& e) override;
  void ShowCursor(bool) override {}

  void SetGenericHandler(int opcode, GenericEventHandler handler, void* context);
  void SetFdHandler(int fd, FdHandler handler, void* context);
  bool MainFormFocused() const { return main_ && main_->focused; }
  void DispatchToMain(TMessage& message);
  void BeginTrap();
  int EndTrap();
  int OnXError(XErrorEvent* error);
  void OnConnectionLost() { lost_ = true; }

 private:
  struct GenericHook {
    int opcode;
    GenericEventHandler handler;
    void* context;
  };

  FormView* ViewOf(const TForm& form) const { return static_cast<FormView*>(form.peer); }
  static ControlView* ViewOf(const TControl& control) { return static_cast<ControlView*>(control.peer); }
  FormView* FormByWindow(Window w) const;
  ControlView* ControlByWindow(Window w, FormView** owner) const;

  void MarkDirty(TControl& control);
  void FlushControls();
  void DrawControl(ControlView& view);
  void DrawLabel(ControlView& view, const TLabel& label);
  void DrawButton(ControlView& view, const TButton& button);
  void DrawEditFrame(ControlView& view, int width, int height);
  void DrawMemo(ControlView& view, const TMemo& memo, int width, int height);
  void LoadFont(const FontDesc& desc);
  int TextWidth(const String& text);
  int LineHeight() const { return font_ ? font_->ascent + font_->descent : 0; }
  void DrawText(ControlView& view, TColor color, int x, int baseline, std::string_view text);
  XftColor* TextColor(TColor c);
  // Edit and memo are white when enabled, the form's face when disabled.
  TColor FieldColor(const TControl& c) const { return c.Enabled() ? kWindow : c.Owner().Desc().color; }
  void ForgetDraws(FormView& form);
  void UpdateMemoProperty(FormView& form, ControlView& view, const TMemo& memo);
  void SetName(Window w, const std::string& text);
  void SetEnabledProperty(Window w, bool enabled);
  void Bevel(Window w, int x, int y, int width, int height, TColor top_left, TColor bottom_right);

  void HandleEvent(XEvent& event);
  void HandleGeneric(XEvent& event);
  void SelectPointerMotion(Window w, long event_mask);
  void StopXiEvents();
  void PointerMoved(const XIDeviceEvent& event);
  void DispatchMove(FormView& form, int x, int y, unsigned state);
  void UpdateFocus(FormView& form, const XFocusChangeEvent& event);
  void DrainSignals();
  void InstallSignals();
  void RestoreSignals();

  unsigned long Pixel(TColor c) { return colors_.Pixel(display_, colormap_, ClassicColor(c)); }
  void PreparePen(const TPen& pen);
  bool PrepareEllipseMasks(Drawable on, int w, int h, int line);

  Display* display_ = nullptr;
  bool open_failed_ = false;
  bool lost_ = false;
  Colormap colormap_ = 0;
  PixelMapper colors_;
  XftFont* font_ = nullptr;
  Advances advances_ = {};
  std::unordered_map<TColor, XftColor> text_colors_;
  GC pen_gc_ = nullptr;
  GC brush_gc_ = nullptr;
  GC text_gc_ = nullptr;
  GC outline_gc_ = nullptr;
  GC mask_gc_ = nullptr;  // for the 1-bit masks
  struct EllipseMasks {
    int w = -1, h = -1, line = -1;
    int margin = 0;  // room for a wide pen's outline around the box
    unsigned width = 0, height = 0;
    Pixmap inside = 0, outline = 0;
  } ellipse_;
  Atom wm_protocols_ = 0, wm_delete_ = 0, net_wm_name_ = 0, utf8_string_ = 0;
  Atom lines_atom_ = 0, enabled_atom_ = 0, post_message_ = 0;

  std::vector<FormView*> forms_;
  FormView* main_ = nullptr;
  std::vector<ControlView*> dirty_;
  std::vector<GenericHook> hooks_;
  struct FdHook {
    int fd;
    FdHandler handler;
    void* context;
  };
  std::vector<FdHook> fd_hooks_;
  std::vector<pollfd> poll_fds_;  // kept: the loop fills it at every turn
  void CallReadyFds(const std::vector<pollfd>& fds, std::size_t first);
  int xi_opcode_ = -1;
  int core_pointer_ = 0;  // the first master pointer; 0: no XInput 2, core motion
  bool running_closed_ = false;
  bool trapping_ = false;
  int trapped_error_ = 0;
  struct sigaction old_int_ = {}, old_term_ = {}, old_hup_ = {}, old_pipe_ = {};
  bool signals_installed_ = false;
};

extern "C" int XErrorTrampoline(Display*, XErrorEvent* error) {
  return the_backend ? the_backend->OnXError(error) : 0;
}

extern "C" void XConnectionLost(Display*, void*) {
  // Returning leaves the display marked broken: later Xlib calls do nothing, and
  // the loop closes the form so that the close handler still runs.
  if (the_backend) the_backend->OnConnectionLost();
}

extern "C" int XIOErrorQuiet(Display*) { return 0; }

X11Backend::~X11Backend() {
  StopXiEvents();
  for (FormView* f : forms_) {
    ForgetDraws(*f);
    for (ControlView* c : f->controls) delete c;
    delete f;
  }
  RestoreSignals();
  // After a lost connection Xlib sends nothing, but still frees its own memory.
  if (display_) {
    const int screen = DefaultScreen(display_);
    for (auto& [rgb, color] : text_colors_) {
      XftColorFree(display_, DefaultVisual(display_, screen), colormap_, &color);
    }
    if (font_) XftFontClose(display_, font_);
    XFreeGC(display_, pen_gc_);
    XFreeGC(display_, brush_gc_);
    XFreeGC(display_, text_gc_);
    XFreeGC(display_, outline_gc_);
    if (mask_gc_) XFreeGC(display_, mask_gc_);
    if (ellipse_.inside) {
      XFreePixmap(display_, ellipse_.inside);
      XFreePixmap(display_, ellipse_.outline);
    }
    XCloseDisplay(display_);
    // Xft freed its fonts with the display; fontconfig's configuration would
    // otherwise stay allocated to the end.
    if (font_) FcFini();
  }
  if (the_backend == this) the_backend = nullptr;
}

Display* X11Backend::EnsureDisplay() {
  if (display_ || open_failed_) return display_;
  display_ = XOpenDisplay(nullptr);
  if (!display_) {
    open_failed_ = true;
    return nullptr;
  }
  XSetErrorHandler(XErrorTrampoline);
  XSetIOErrorHandler(XIOErrorQuiet);
  XSetIOErrorExitHandler(display_, XConnectionLost, nullptr);

  const int screen = DefaultScreen(display_);
  colormap_ = DefaultColormap(display_, screen);
  colors_.Init(DefaultVisual(display_, screen));
  const Window root = RootWindow(display_, screen);
  pen_gc_ = XCreateGC(display_, root, 0, nullptr);
  brush_gc_ = XCreateGC(display_, root, 0, nullptr);
  text_gc_ = XCreateGC(display_, root, 0, nullptr);
  outline_gc_ = XCreateGC(display_, root, 0, nullptr);
  XSetLineAttributes(display_, pen_gc_, 0, LineSolid, CapNotLast, JoinMiter);

  wm_protocols_ = XInternAtom(display_, "WM_PROTOCOLS", False);
  wm_delete_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
  net_wm_name_ = XInternAtom(display_, "_NET_WM_NAME", False);
  utf8_string_ = XInternAtom(display_, "UTF8_STRING", False);
  lines_atom_ = XInternAtom(display_, "_VELMORA_LINES", False);
  enabled_atom_ = XInternAtom(display_, "_VELMORA_ENABLED", False);
  post_message_ = XInternAtom(display_, "_VELMORA_MESSAGE", False);
  return display_;
}

// ---- Windows and controls -----------------------------------------------------

void X11Backend::CreateWindow(TForm& form) {
  if (!EnsureDisplay()) {
    const char* name = XDisplayName(nullptr);
    throw Exception(std::string("cannot open the X display \"") + (name ? name : "") + "\"");
  }
  // From here on a stop signal waits for the loop, which closes the form properly.
  InstallSignals();
  const FormDesc& desc = form.Desc();
  if (!font_) LoadFont(desc.font);
  auto* view = new FormView;
  view->form = &form;
  view->client_width = std::max(1, desc.width - kFrameWidth);
  view->client_height = std::max(1, desc.height - kFrameHeight);

  const int screen = DefaultScreen(display_);
  XSetWindowAttributes attrs = {};
  attrs.background_pixel = Pixel(desc.color);
  attrs.event_mask = ExposureMask | StructureNotifyMask | FocusChangeMask | KeyPressMask;
  view->win = XCreateWindow(display_, RootWindow(display_, screen), desc.left, desc.top,
                            static_cast<unsigned>(view->client_width), static_cast<unsigned>(view->client_height), 0,
                            CopyFromParent, InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &attrs);
  SelectPointerMotion(view->win, attrs.event_mask);

  XSizeHints* hints = XAllocSizeHints();
  if (hints) {
    hints->flags = USPosition | USSize | PPosition | PSize;
    hints->x = desc.left;
    hints->y = desc.top;
    hints->width = view->client_width;
    hints->height = view->client_height;
    XSetWMNormalHints(display_, view->win, hints);
    XFree(hints);
  }
  XWMHints* wm = XAllocWMHints();
  if (wm) {
    wm->flags = InputHint | StateHint;
    wm->input = True;
    wm->initial_state = NormalState;
    XSetWMHints(display_, view->win, wm);
    XFree(wm);
  }
  XClassHint cls = {const_cast<char*>("velmora"), const_cast<char*>("Velmora")};
  XSetClassHint(display_, view->win, &cls);
  XSetWMProtocols(display_, view->win, &wm_delete_, 1);
  SetName(view->win, desc.caption ? desc.caption : "");
  const std::string caption = desc.caption ? desc.caption : "";
  XChangeProperty(display_, view->win, net_wm_name_, utf8_string_, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(caption.data()), static_cast<int>(caption.size()));

  form.peer = view;
  forms_.push_back(view);
  if (!main_) main_ = view;
}

void X11Backend::CreateControl(TForm& form, TControl& control) {
  FormView* owner = ViewOf(form);
  const ControlDesc& d = control.Desc();
  auto* view = new ControlView;
  view->control = &control;

  XSetWindowAttributes attrs = {};
  const bool field = d.kind == ControlKind::Edit || d.kind == ControlKind::Memo;
  attrs.background_pixel = Pixel(field ? FieldColor(control) : form.Desc().color);
  attrs.event_mask = ExposureMask;
  view->win = XCreateWindow(display_, owner->win, d.left, d.top, static_cast<unsigned>(std::max(1, d.width)),
                            static_cast<unsigned>(std::max(1, d.height)), 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWBackPixel | CWEventMask, &attrs);
  const char* kind = d.kind == ControlKind::Label    ? "Label"
                     : d.kind == ControlKind::Button ? "Button"
                     : d.kind == ControlKind::Edit   ? "Edit"
                                                     : "Memo";
  XClassHint cls = {const_cast<char*>(d.name), const_cast<char*>(kind)};
  XSetClassHint(display_, view->win, &cls);
  const int screen = DefaultScreen(display_);
  view->draw = XftDrawCreate(display_, view->win, DefaultVisual(display_, screen), colormap_);
  XMapWindow(display_, view->win);

  control.peer = view;
  owner->controls.push_back(view);
  MarkDirty(control);
}

void X11Backend::DestroyWindow(TForm& form) {
  FormView* view = ViewOf(form);
  if (!view) return;
  ForgetDraws(*view);
  if (display_ && !lost_) {
    XDestroyWindow(display_, view->win);
    XFlush(display_);
  }
  const auto owned = [&](ControlView* c) {
    return std::find(view->controls.begin(), view->controls.end(), c) != view->controls.end();
  };
  dirty_.erase(std::remove_if(dirty_.begin(), dirty_.end(), owned), dirty_.end());
  for (ControlView* c : view->controls) {
    c->control->peer = nullptr;
    delete c;
  }
  forms_.erase(std::find(forms_.begin(), forms_.end(), view));
  if (main_ == view) main_ = nullptr;
  form.peer = nullptr;
  delete view;
}

void X11Backend::Hidden(TControl& control) {
  if (ControlView* v = ViewOf(control); v && !lost_) XUnmapWindow(display_, v->win);
}

void X11Backend::LineAppended(TMemo& memo, const String& line, std::size_t) {
  if (FormView* f = ViewOf(memo.Owner())) {
    f->pending_lines.append(line, 0, DisplayLength(line));
    f->pending_lines += '\n';
  }
  MarkDirty(memo);
}

void X11Backend::MarkDirty(TControl& control) {
  ControlView* v = ViewOf(control);
  if (!v || v->dirty) return;
  v->dirty = true;
  dirty_.push_back(v);
}

FormView* X11Backend::FormByWindow(Window w) const {
  for (FormView* f : forms_) {
    if (f->win == w) return f;
  }
  return nullptr;
}

ControlView* X11Backend::ControlByWindow(Window w, FormView** owner) const {
  for (FormView* f : forms_) {
    for (ControlView* c : f->controls) {
      if (c->win == w) {
        *owner = f;
        return c;
      }
    }
  }
  return nullptr;
}

void X11Backend::SetName(Window w, const std::string& text) {
  XChangeProperty(display_, w, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
}

void X11Backend::SetEnabledProperty(Window w, bool enabled) {
  const long value = enabled ? 1 : 0;
  XChangeProperty(display_, w, enabled_atom_, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&value), 1);
}

// Names, sizes and pictures of the controls that changed since the last batch.
void X11Backend::FlushControls() {
  if (lost_) {
    for (ControlView* v : dirty_) v->dirty = false;
    dirty_.clear();
    return;
  }
  for (ControlView* v : dirty_) {
    v->dirty = false;
    TControl& c = *v->control;
    SetEnabledProperty(v->win, c.Enabled());
    switch (c.Desc().kind) {
      case ControlKind::Label: {
        const auto& label = static_cast<const TLabel&>(c);
        SetName(v->win, label.GetText());
        const int width = TextWidth(label.GetText());
        const int height = font_ ? LineHeight() : c.Desc().height;
        XResizeWindow(display_, v->win, static_cast<unsigned>(std::max(1, width)),
                      static_cast<unsigned>(std::max(1, height)));
        break;
      }
      case ControlKind::Button: SetName(v->win, static_cast<const TButton&>(c).GetText()); break;
      case ControlKind::Edit:
        SetName(v->win, static_cast<const TEdit&>(c).GetText());
        XSetWindowBackground(display_, v->win, Pixel(FieldColor(c)));
        break;
      case ControlKind::Memo: {
        XSetWindowBackground(display_, v->win, Pixel(FieldColor(c)));
        FormView* owner = ViewOf(c.Owner());
        const auto& memo = static_cast<const TMemo&>(c);
        SetName(v->win, memo.Lines().empty() ? std::string() : DisplayLine(memo.Lines().back()));
        if (owner) UpdateMemoProperty(*owner, *v, memo);
        break;
      }
    }
    DrawControl(*v);
  }
  dirty_.clear();
}

void X11Backend::Flush(TForm&) {
  FlushControls();
  if (display_ && !lost_) XFlush(display_);
}

// _VELMORA_LINES: the memo's lines, oldest first, each ending in "\n". New lines
// are appended; once it holds twice the memo's bound it is rewritten with the
// memo's own lines, so it always holds at least the lines the memo keeps.
void X11Backend::UpdateMemoProperty(FormView& form, ControlView& view, const TMemo& memo) {
  if (form.pending_lines.empty()) return;
  const auto added = static_cast<std::size_t>(std::count(form.pending_lines.begin(), form.pending_lines.end(), '\n'));
  if (form.property_lines + added > 2 * TMemo::kMaxLines) {
    std::string all;
    for (const String& line : memo.Lines()) {
      all.append(line, 0, DisplayLength(line));
      all += '\n';
    }
    XChangeProperty(display_, view.win, lines_atom_, utf8_string_, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(all.data()), static_cast<int>(all.size()));
    form.property_lines = memo.Lines().size();
  } else {
    XChangeProperty(display_, view.win, lines_atom_, utf8_string_, 8, PropModeAppend,
                    reinterpret_cast<const unsigned char*>(form.pending_lines.data()),
                    static_cast<int>(form.pending_lines.size()));
    form.property_lines += added;
  }
  form.pending_lines.clear();
}

void X11Backend::DrawControl(ControlView& view) {
  // Anti-aliased text drawn twice over itself darkens its edges: always start clean.
  XClearWindow(display_, view.win);
  TControl& c = *view.control;
  const int width = c.Desc().width;
  const int height = c.Desc().height;
  switch (c.Desc().kind) {
    case ControlKind::Label: DrawLabel(view, static_cast<const TLabel&>(c)); break;
    case ControlKind::Button: DrawButton(view, static_cast<const TButton&>(c)); break;
    case ControlKind::Edit: DrawEditFrame(view, width, height); break;
    case ControlKind::Memo:
      DrawEditFrame(view, width, height);
      DrawMemo(view, static_cast<const TMemo&>(c), width, height);
      break;
  }
}

void X11Backend::DrawLabel(ControlView& view, const TLabel& label) {
  if (!font_) return;
  DrawText(view, label.Enabled() ? label.Desc().font_color : kGrayText, 0, font_->ascent, label.GetText());
}

void X11Backend::Bevel(Window w, int x, int y, int width, int height, TColor top_left, TColor bottom_right) {
  XSetForeground(display_, text_gc_, Pixel(top_left));
  XDrawLine(display_, w, text_gc_, x, y, x + width - 1, y);
  XDrawLine(display_, w, text_gc_, x, y, x, y + height - 1);
  XSetForeground(display_, text_gc_, Pixel(bottom_right));
  XDrawLine(display_, w, text_gc_, x, y + height - 1, x + width - 1, y + height - 1);
  XDrawLine(display_, w, text_gc_, x + width - 1, y, x + width - 1, y + height - 1);
}

void X11Backend::DrawButton(ControlView& view, const TButton& button) {
  const ControlDesc& d = button.Desc();
  XSetFunction(display_, text_gc_, GXcopy);
  XSetClipMask(display_, text_gc_, None);
  Bevel(view.win, 0, 0, d.width, d.height, kHighlight, kDarkShadow);
  Bevel(view.win, 1, 1, d.width - 2, d.height - 2, kLight, kShadow);
  if (!font_) return;
  const String& text = button.GetText();
  const int x = (d.width - TextWidth(text)) / 2;
  const int y = (d.height - LineHeight()) / 2 + font_->ascent;
  // Disabled, the text is etched: a highlight one pixel down and right, then grey.
  if (!button.Enabled()) DrawText(view, kHighlight, x + 1, y + 1, text);
  DrawText(view, button.Enabled() ? d.font_color : kGrayText, x, y, text);
}

void X11Backend::DrawEditFrame(ControlView& view, int width, int height) {
  XSetFunction(display_, text_gc_, GXcopy);
  XSetClipMask(display_, text_gc_, None);
  Bevel(view.win, 0, 0, width, height, kShadow, kHighlight);
  Bevel(view.win, 1, 1, width - 2, height - 2, kDarkShadow, kLight);
}

// The newest lines that fit, wrapped at spaces, as the Windows panel shows them:
// from the top while they fit, bottom-aligned once they overflow.
void X11Backend::DrawMemo(ControlView& view, const TMemo& memo, int width, int height) {
  if (!font_ || !view.draw) return;
  const int inner_w = width - 2 * kMemoFrame;
  const int inner_h = height - 2 * kMemoFrame;
  if (inner_w <= 0 || inner_h <= 0) return;
  XRectangle clip = {kMemoFrame, kMemoFrame, static_cast<unsigned short>(inner_w), static_cast<unsigned short>(inner_h)};
  XftDrawSetClipRectangles(view.draw, 0, 0, &clip, 1);
  const TColor color = memo.Enabled() ? memo.Desc().font_color : kGrayText;
  const int line_height = LineHeight();
  const PanelRows shown = LayOutPanel(memo.Lines(), advances_, inner_w - 2 * kMemoMargin, inner_h, line_height);
  int y = kMemoFrame + shown.top + font_->ascent;
  for (const std::string_view row : shown.rows) {
    DrawText(view, color, kMemoFrame + kMemoMargin, y, row);
    y += line_height;
  }
  XftDrawSetClip(view.draw, nullptr);
}

// ---- Text -----------------------------------------------------------------------

void X11Backend::LoadFont(const FontDesc& desc) {
  font_ = OpenFormFont(display_, DefaultScreen(display_), desc.name, desc.height);
  if (!font_) return;
  // Xft does not kern, so a string's width is the sum of its characters' advances.
  for (int c = 0; c < 256; ++c) {
    const FcChar8 ch = static_cast<FcChar8>(c);
    XGlyphInfo info = {};
    XftTextExtents8(display_, font_, &ch, 1, &info);
    advances_[static_cast<std::size_t>(c)] = info.xOff;
  }
}

int X11Backend::TextWidth(const String& text) {
  if (!font_ || text.empty()) return 0;
  XGlyphInfo info = {};
  XftTextExtents8(display_, font_, reinterpret_cast<const FcChar8*>(text.data()), static_cast<int>(text.size()), &info);
  return info.xOff;
}

XftColor* X11Backend::TextColor(TColor c) {
  const TColor rgb = ClassicColor(c);
  if (const auto found = text_colors_.find(rgb); found != text_colors_.end()) return &found->second;
  XRenderColor value = {static_cast<unsigned short>((rgb & 0xFF) * 257),
                        static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 257),
                        static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 257), 0xFFFF};
  XftColor color = {};
  const int screen = DefaultScreen(display_);
  if (!XftColorAllocValue(display_, DefaultVisual(display_, screen), colormap_, &value, &color)) return nullptr;
  return &text_colors_.emplace(rgb, color).first->second;
}

void X11Backend::DrawText(ControlView& view, TColor color, int x, int baseline, std::string_view text) {
  if (!font_ || !view.draw || text.empty()) return;
  if (XftColor* c = TextColor(color)) {
    XftDrawString8(view.draw, c, font_, x, baseline, reinterpret_cast<const FcChar8*>(text.data()),
                   static_cast<int>(text.size()));
  }
}

// Before the windows go: a draw holds a picture of its window.
void X11Backend::ForgetDraws(FormView& form) {
  for (ControlView* c : form.controls) {
    if (c->draw) XftDrawDestroy(c->draw);
    c->draw = nullptr;
  }
}

// ---- Canvas ---------------------------------------------------------------------

int X11Backend::ClientWidth(const TForm& form) {
  const FormView* v = ViewOf(form);
  return v ? v->client_width : 0;
}

int X11Backend::ClientHeight(const TForm& form) {
  const FormView* v = ViewOf(form);
  return v ? v->client_height : 0;
}

void X11Backend::PreparePen(const TPen& pen) {
  XSetFunction(display_, pen_gc_, GcFunction(pen.Mode()));
  XSetForeground(display_, pen_gc_, Pixel(pen.Color()));
  // Width 0 or 1 is the thin line; CapNotLast leaves out its end point.
  const int width = pen.Width() <= 1 ? 0 : pen.Width();
  XSetLineAttributes(display_, pen_gc_, static_cast<unsigned>(width), LineSolid, width == 0 ? CapNotLast : CapRound,
                     width == 0 ? JoinMiter : JoinRound);
}

void X11Backend::Line(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) {
  FormView* v = ViewOf(form);
  if (!v || lost_) return;
  if (x1 == x2 && y1 == y2 && pen.Width() <= 1) return;  // nothing before the end point
  PreparePen(pen);
  XDrawLine(display_, v->win, pen_gc_, x1, y1, x2, y2);
}

void X11Backend::Ellipse(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) {
  FormView* v = ViewOf(form);
  if (!v || lost_) return;
  if (x2 < x1) std::swap(x1, x2);
  if (y2 < y1) std::swap(y1, y2);
  // The arc's path runs through pixel centres x1 .. x2 - 1: the box's right and
  // bottom edges stay out.
  const int w = x2 - x1 - 1;
  const int h = y2 - y1 - 1;
  if (w < 0 || h < 0) return;
  const int line = pen.Width() <= 1 ? 0 : pen.Width();
  if (!PrepareEllipseMasks(v->win, w, h, line)) return;
  // Inside and outline through masks that do not overlap: as with GDI, every
  // pixel is painted once, which an XOR figure needs to show the right colours.
  const int ox = x1 - ellipse_.margin, oy = y1 - ellipse_.margin;
  const int function = GcFunction(pen.Mode());
  XSetFunction(display_, brush_gc_, function);
  XSetForeground(display_, brush_gc_, Pixel(kDefaultBrush));
  XSetClipOrigin(display_, brush_gc_, ox, oy);
  XFillRectangle(display_, v->win, brush_gc_, ox, oy, ellipse_.width, ellipse_.height);
  XSetFunction(display_, outline_gc_, function);
  XSetForeground(display_, outline_gc_, Pixel(pen.Color()));
  XSetClipOrigin(display_, outline_gc_, ox, oy);
  XFillRectangle(display_, v->win, outline_gc_, ox, oy, ellipse_.width, ellipse_.height);
}

// The masks of the last ellipse size, kept: the program draws the same marker
// over and over.
bool X11Backend::PrepareEllipseMasks(Drawable on, int w, int h, int line) {
  EllipseMasks& m = ellipse_;
  if (m.inside && m.w == w && m.h == h && m.line == line) return true;
  if (m.inside) {
    XFreePixmap(display_, m.inside);
    XFreePixmap(display_, m.outline);
    m.inside = m.outline = 0;
  }
  m.margin = line / 2 + 1;
  const long width = static_cast<long>(w) + 1 + 2 * m.margin, height = static_cast<long>(h) + 1 + 2 * m.margin;
  if (width > 0x7FFF || height > 0x7FFF) return false;  // beyond what X can address
  m.width = static_cast<unsigned>(width);
  m.height = static_cast<unsigned>(height);
  m.inside = XCreatePixmap(display_, on, m.width, m.height, 1);
  m.outline = XCreatePixmap(display_, on, m.width, m.height, 1);
  if (!mask_gc_) mask_gc_ = XCreateGC(display_, m.inside, 0, nullptr);
  XSetLineAttributes(display_, mask_gc_, static_cast<unsigned>(line), LineSolid, line == 0 ? CapNotLast : CapRound,
                     line == 0 ? JoinMiter : JoinRound);
  const auto uw = static_cast<unsigned>(w), uh = static_cast<unsigned>(h);
  XSetForeground(display_, mask_gc_, 0);
  XFillRectangle(display_, m.outline, mask_gc_, 0, 0, m.width, m.height);
  XFillRectangle(display_, m.inside, mask_gc_, 0, 0, m.width, m.height);
  XSetForeground(display_, mask_gc_, 1);
  XDrawArc(display_, m.outline, mask_gc_, m.margin, m.margin, uw, uh, 0, 360 * 64);
  XFillArc(display_, m.inside, mask_gc_, m.margin, m.margin, uw, uh, 0, 360 * 64);
  XSetForeground(display_, mask_gc_, 0);
  XDrawArc(display_, m.inside, mask_gc_, m.margin, m.margin, uw, uh, 0, 360 * 64);
  XSetClipMask(display_, brush_gc_, m.inside);
  XSetClipMask(display_, outline_gc_, m.outline);
  m.w = w;
  m.h = h;
  m.line = line;
  return true;
}

// ---- Loop -----------------------------------------------------------------------

void X11Backend::InstallSignals() {
  if (signals_installed_) return;
  if (signal_pipe[0] < 0 && pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    signal_pipe[0] = signal_pipe[1] = -1;
    return;
  }
  struct sigaction sa = {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &old_int_);
  sigaction(SIGTERM, &sa, &old_term_);
  // A closed terminal or ended ssh session; unless started under nohup, which
  // asked for the program to outlive it.
  sigaction(SIGHUP, nullptr, &old_hup_);
  if (old_hup_.sa_handler != SIG_IGN) sigaction(SIGHUP, &sa, nullptr);
  // A write to a server that went away must fail with EPIPE, not end the program.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &old_pipe_);
  signals_installed_ = true;
}

void X11Backend::RestoreSignals() {
  if (!signals_installed_) return;
  sigaction(SIGINT, &old_int_, nullptr);
  sigaction(SIGTERM, &old_term_, nullptr);
  sigaction(SIGHUP, &old_hup_, nullptr);
  sigaction(SIGPIPE, &old_pipe_, nullptr);
  signals_installed_ = false;
}

void X11Backend::DrainSignals() {
  char buf[64];
  while (read(signal_pipe[0], buf, sizeof buf) > 0) {
  }
}

void X11Backend::Run(TForm& form) {
  FormView* view = ViewOf(form);
  if (!view || form.Closed()) return;
  InstallSignals();
  running_closed_ = false;
  XMapWindow(display_, view->win);
  XFlush(display_);

  const int xfd = ConnectionNumber(display_);
  bool stop_requested = false;
  while (!running_closed_) {
    int handled = 0;
    while (!running_closed_ && !lost_ && handled < kBatch && XEventsQueued(display_, QueuedAfterReading) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      HandleEvent(event);
      ++handled;
    }
    if (running_closed_) break;
    if (lost_ || stop_requested) {
      // The same path as the window's close box: the close handler closes the log.
      TMessage close{WM_CLOSE, 0, 0, 0};
      form.Dispatch(close);
      if (!form.Closed()) stop_requested = false;
      if (lost_) break;
      continue;
    }
    FlushControls();
    XFlush(display_);
    // Events can arrive while the flush writes; those are read already and poll
    // would not wake for them. Under a flood the loop never waits below, but a
    // stop request and the other descriptors must not wait for the queue to run dry.
    const bool more = handled == kBatch || XEventsQueued(display_, QueuedAfterReading) > 0;
    std::vector<pollfd>& fds = poll_fds_;
    fds.clear();
    fds.push_back({xfd, POLLIN, 0});
    fds.push_back({signal_pipe[0], POLLIN, 0});  // a negative fd is left out by poll
    for (const FdHook& h : fd_hooks_) fds.push_back({h.fd, POLLIN, 0});
    const int n = poll(fds.data(), fds.size(), more ? 0 : -1);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    if (signal_pipe[0] >= 0 && (fds[1].revents & POLLIN)) {
      DrainSignals();
      stop_requested = true;
    }
    CallReadyFds(fds, 2);
  }
  FlushControls();
  if (!lost_) XFlush(display_);
}

void X11Backend::CallReadyFds(const std::vector<pollfd>& fds, std::size_t first) {
  for (std::size_t i = first; i < fds.size(); ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    // A handler may remove its own hook, or another's.
    auto it = std::find_if(fd_hooks_.begin(), fd_hooks_.end(), [&](const FdHook& h) { return h.fd == fds[i].fd; });
    if (it != fd_hooks_.end()) it->handler(it->context, it->fd);
  }
}

void X11Backend::Closed(TForm& form) {
  FormView* v = ViewOf(form);
  if (v && display_ && !lost_) {
    XUnmapWindow(display_, v->win);
    XFlush(display_);
  }
  if (v == main_) running_closed_ = true;
}

// With several master pointers (one cursor per mouse) core motion comes from
// each of them; the mouse position is the system pointer's, as on Windows, so
// only the first master's motion is taken, through XInput 2.
void X11Backend::SelectPointerMotion(Window w, long event_mask) {
  if (xi_opcode_ < 0) {
    int event = 0, error = 0, major = 2, minor = 2;  // the version the raw-input stand-in asks for
    xi_opcode_ = 0;
    if (XQueryExtension(display_, "XInputExtension", &xi_opcode_, &event, &error) &&
        XIQueryVersion(display_, &major, &minor) == Success && major >= 2) {
      int n = 0;
      XIDeviceInfo* info = XIQueryDevice(display_, XIAllMasterDevices, &n);
      for (int i = 0; i < n; ++i) {
        if (info[i].use == XIMasterPointer && (core_pointer_ == 0 || info[i].deviceid < core_pointer_)) {
          core_pointer_ = info[i].deviceid;
        }
      }
      if (info) XIFreeDeviceInfo(info);
    }
  }
  if (core_pointer_ == 0) {
    XSelectInput(display_, w, event_mask | PointerMotionMask);
    return;
  }
  unsigned char bits[XIMaskLen(XI_Motion)] = {};
  XISetMask(bits, XI_Motion);
  XIEventMask mask = {core_pointer_, static_cast<int>(sizeof bits), bits};
  XISelectEvents(display_, w, &mask, 1);
}

// XCloseDisplay runs Xft's hook after XInput's: a round trip there that reads an
// XInput event re-enters Xlib for XInput's lost state and hangs on the display's
// lock. So no XInput event may be on the way when the display closes.
void X11Backend::StopXiEvents() {
  if (!display_ || lost_ || core_pointer_ == 0) return;
  unsigned char none[4] = {};
  XIEventMask all = {XIAllDevices, static_cast<int>(sizeof none), none};
  XISelectEvents(display_, DefaultRootWindow(display_), &all, 1);  // the raw-input stand-in's
  for (FormView* f : forms_) {
    XIEventMask motion = {core_pointer_, static_cast<int>(sizeof none), none};
    XISelectEvents(display_, f->win, &motion, 1);
  }
  XSync(display_, True);
}

void X11Backend::PointerMoved(const XIDeviceEvent& event) {
  if (event.deviceid != core_pointer_) return;
  FormView* form = FormByWindow(event.event);
  if (!form) return;
  unsigned state = static_cast<unsigned>(event.mods.effective) & (ShiftMask | ControlMask);
  const unsigned buttons[] = {Button1Mask, Button2Mask, Button3Mask};
  for (int b = 1; b <= 3; ++b) {
    if (b < event.buttons.mask_len * 8 && XIMaskIsSet(event.buttons.mask, b)) state |= buttons[b - 1];
  }
  DispatchMove(*form, static_cast<int>(std::floor(event.event_x)), static_cast<int>(std::floor(event.event_y)), state);
}

void X11Backend::DispatchMove(FormView& form, int x, int y, unsigned state) {
  std::uintptr_t keys = 0;
  if (state & Button1Mask) keys |= 0x0001;  // MK_LBUTTON
  if (state & Button3Mask) keys |= 0x0002;  // MK_RBUTTON
  if (state & ShiftMask) keys |= 0x0004;    // MK_SHIFT
  if (state & ControlMask) keys |= 0x0008;  // MK_CONTROL
  if (state & Button2Mask) keys |= 0x0010;  // MK_MBUTTON
  const auto lparam = static_cast<std::intptr_t>((static_cast<std::uint32_t>(x) & 0xFFFF) |
                                                 ((static_cast<std::uint32_t>(y) & 0xFFFF) << 16));
  TMessage move{WM_MOUSEMOVE, keys, lparam, 0};
  form.form->Dispatch(move);
}

// Focus is followed from the focus events themselves, in event order, so that
// raw events queued behind a FocusOut never count as focused.
void X11Backend::UpdateFocus(FormView& form, const XFocusChangeEvent& event) {
  // Pointer-root focus is not the window's own, and focus moving between the
  // form and its children keeps it on the form.
  if (event.detail == NotifyPointer || event.detail == NotifyPointerRoot || event.detail == NotifyDetailNone) return;
  if (event.type == FocusOut && event.detail == NotifyInferior) return;
  // A keyboard grab (a window manager moving or resizing the window) leaves the
  // focus where it was, and Windows keeps sending raw input then; a focus change
  // made during a grab comes as NotifyWhileGrabbed and counts.
  if (event.mode == NotifyGrab || event.mode == NotifyUngrab) return;
  const bool now = event.type == FocusIn;
  if (now == form.focused) return;
  form.focused = now;
  TMessage activate{WM_ACTIVATE, now ? 1u : 0u, 0, 0};
  form.form->Dispatch(activate);
}

void X11Backend::HandleGeneric(XEvent& event) {
  XGenericEventCookie* cookie = &event.xcookie;
  if (cookie->extension == xi_opcode_ && cookie->evtype == XI_Motion) {
    if (XGetEventData(display_, cookie)) {
      PointerMoved(*static_cast<const XIDeviceEvent*>(cookie->data));
      XFreeEventData(display_, cookie);
    }
    return;
  }
  for (const GenericHook& hook : hooks_) {
    if (hook.opcode != cookie->extension) continue;
    if (XGetEventData(display_, cookie)) {
      hook.handler(hook.context, cookie);
      XFreeEventData(display_, cookie);
    }
    return;
  }
}

void X11Backend::HandleEvent(XEvent& event) {
  if (event.type == GenericEvent) {
    HandleGeneric(event);
    return;
  }
  FormView* form = FormByWindow(event.xany.window);
  if (!form) {
    FormView* owner = nullptr;
    if (event.type == Expose && event.xexpose.count == 0) {
      if (ControlView* c = ControlByWindow(event.xexpose.window, &owner)) DrawControl(*c);
    }
    return;
  }
  switch (event.type) {
    case MotionNotify: {
      // Only the newest of a run of motions matters, as with WM_MOUSEMOVE.
      XEvent next;
      while (XEventsQueued(display_, QueuedAlready) > 0) {
        XPeekEvent(display_, &next);
        if (next.type != MotionNotify || next.xmotion.window != event.xmotion.window) break;
        XNextEvent(display_, &event);
      }
      DispatchMove(*form, event.xmotion.x, event.xmotion.y, event.xmotion.state);
      break;
    }
    case ConfigureNotify:
      form->client_width = event.xconfigure.width;
      form->client_height = event.xconfigure.height;
      break;
    case MapNotify:
      if (!form->mapped) {
        form->mapped = true;
        XSetInputFocus(display_, form->win, RevertToParent, CurrentTime);
      }
      break;
    case FocusIn:
    case FocusOut: UpdateFocus(*form, event.xfocus); break;
    case ClientMessage:
      if (event.xclient.message_type == wm_protocols_ && static_cast<Atom>(event.xclient.data.l[0]) == wm_delete_) {
        TMessage close{WM_CLOSE, 0, 0, 0};
        form->form->Dispatch(close);
      } else if (event.xclient.message_type == post_message_ && event.xclient.format == 32) {
        // X has no PostMessage; this is its stand-in, so the form must take whatever
        // another program sends, as it would on Windows.
        const long* l = event.xclient.data.l;
        TMessage posted{static_cast<std::uint32_t>(l[0]), static_cast<std::uint32_t>(l[1]),
                        static_cast<std::int32_t>(l[2]), 0};
        form->form->Dispatch(posted);
      }
      break;
    case KeyPress:
      if (XLookupKeysym(&event.xkey, 0) == XK_Escape) {
        for (ControlView* c : form->controls) {
          if (c->control->Desc().kind == ControlKind::Button && c->control->Desc().cancel) {
            static_cast<TButton*>(c->control)->Click();
          }
        }
      }
      break;
    default: break;
  }
}

void X11Backend::ShowException(const Exception& e) {
  std::fprintf(stderr, "Velmora: %s\n", e.Message().empty() ? "unknown error" : e.Message().c_str());
  std::fflush(stderr);
}

// ---- Hook -----------------------------------------------------------------------

void X11Backend::SetGenericHandler(int opcode, GenericEventHandler handler, void* context) {
  hooks_.erase(std::remove_if(hooks_.begin(), hooks_.end(), [&](const GenericHook& h) { return h.opcode == opcode; }),
               hooks_.end());
  if (handler) hooks_.push_back({opcode, handler, context});
}

void X11Backend::SetFdHandler(int fd, FdHandler handler, void* context) {
  fd_hooks_.erase(std::remove_if(fd_hooks_.begin(), fd_hooks_.end(), [&](const FdHook& h) { return h.fd == fd; }),
                  fd_hooks_.end());
  if (handler && fd >= 0) fd_hooks_.push_back({fd, handler, context});
}

void X11Backend::DispatchToMain(TMessage& message) {
  if (main_ && !main_->form->Closed()) main_->form->Dispatch(message);
}

void X11Backend::BeginTrap() {
  if (!display_) return;
  XSync(display_, False);
  trapping_ = true;
  trapped_error_ = 0;
}

int X11Backend::EndTrap() {
  if (!display_) return 0;
  XSync(display_, False);
  trapping_ = false;
  return trapped_error_;
}

int X11Backend::OnXError(XErrorEvent* error) {
  if (trapping_) {
    if (trapped_error_ == 0) trapped_error_ = error->error_code;
    return 0;
  }
  char text[128] = {};
  XGetErrorText(error->display, error->error_code, text, sizeof text);
  std::fprintf(stderr, "Velmora: X error: %s (request %d.%d)\n", text, error->request_code, error->minor_code);
  return 0;
}

}  // namespace

Display* Connection() { return the_backend ? the_backend->EnsureDisplay() : nullptr; }

void SetGenericEventHandler(int extension_opcode, GenericEventHandler handler, void* context) {
  if (the_backend) the_backend->SetGenericHandler(extension_opcode, handler, context);
}

void WatchFd(int fd, FdHandler handler, void* context) {
  if (the_backend) the_backend->SetFdHandler(fd, handler, context);
}

bool FormHasFocus() { return the_backend && the_backend->MainFormFocused(); }

void DispatchToForm(TMessage& message) {
  if (the_backend) the_backend->DispatchToMain(message);
}

void BeginErrorTrap() {
  if (the_backend) the_backend->BeginTrap();
}

int EndErrorTrap() { return the_backend ? the_backend->EndTrap() : 0; }

}  // namespace tk::x11

namespace tk {

std::unique_ptr<Backend> MakeBackend() { return std::make_unique<x11::X11Backend>(); }

}  // namespace tk
