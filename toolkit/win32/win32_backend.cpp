// The Win32 backend: the form is an overlapped window, each control a real child
// window (STATIC, BUTTON, EDIT), and the canvas draws with GDI on the form's client
// area. What it provides:
//   - form window: class registration (a DC of its own, kept for the form's life),
//     window procedure feeding every message to TForm::Dispatch, default handling
//     (label colours, button clicks, DefWindowProc)
//   - controls in description order, focusable ones in tab order, one shared font
//   - labels sized to their caption, from creation on; enable, hide
//   - the memo: a panel of its own class that paints only the newest lines that
//     fit, wrapped at word breaks, with the disabled look of a read-only edit box;
//     WM_GETTEXT and WM_GETTEXTLENGTH answer with all the lines the memo keeps
//   - label and memo changes reach their windows once the queue drains, or every
//     16 ms while it never does, not once per message
//   - canvas Line and Ellipse at once, with the pen's colour, width and all 16 pen
//     modes, the white stock brush
//   - message loop with Esc for the cancel button; close, error box, pointer counter
#include "toolkit/backend.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <string>
#include <vector>

// windows.h turns CreateWindow into a macro, which would rename the Backend member.
#undef CreateWindow

namespace tk {
namespace {

constexpr char kFormClass[] = "VelmoraForm";
constexpr char kPanelClass[] = "VelmoraPanel";
constexpr UINT kTextFlags = DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS | DT_EDITCONTROL;
constexpr int kPanelMargin = 1;
constexpr char kErrorCaption[] = "Velmora";
constexpr int kFirstControlId = 100;

HWND HwndOf(const void* peer) { return static_cast<HWND>(const_cast<void*>(peer)); }

COLORREF Resolve(TColor c) {
  return IsSystemColor(c) ? ::GetSysColor(static_cast<int>(c & 0xFF)) : static_cast<COLORREF>(c);
}

// The toolkit's pen modes 0..15 in order: black, white, nop, not, copy, not copy,
// merge pen not, mask pen not, merge not pen, mask not pen, merge, not merge,
// mask, not mask, xor, not xor.
int RopOf(TPenMode mode) {
  static constexpr int kRops[16] = {
      R2_BLACK,       R2_WHITE,       R2_NOP,         R2_NOT,       R2_COPYPEN,    R2_NOTCOPYPEN,
      R2_MERGEPENNOT, R2_MASKPENNOT,  R2_MERGENOTPEN, R2_MASKNOTPEN, R2_MERGEPEN,   R2_NOTMERGEPEN,
      R2_MASKPEN,     R2_NOTMASKPEN,  R2_XORPEN,      R2_NOTXORPEN};
  return mode >= 0 && mode < 16 ? kRops[mode] : R2_COPYPEN;
}
static_assert(pmCopy == 4 && pmXor == 14);
static_assert(kDefaultBrush == clWhite, "the canvas uses the white stock brush");

// Native updates while messages keep coming: at most this often.
constexpr ULONGLONG kFlushIntervalMs = 16;

// The memo's text as other programs read it: every line it keeps, CR LF between
// them, each without the line end of its own that a record carries.
String ShownLine(const String& line) {
  constexpr char kBreak[] = "\r\n";
  if (line.size() >= 2 && line.compare(line.size() - 2, 2, kBreak) == 0) return line.substr(0, line.size() - 2);
  return line;
}

String MemoText(const TMemo& memo, std::size_t first) {
  String text;
  const auto& lines = memo.Lines();
  for (std::size_t i = first; i < lines.size(); ++i) {
    if (i != first) text += "\r\n";
    text += ShownLine(lines[i]);
  }
  return text;
}

class Win32Backend final : public Backend {
 public:
  Win32Backend() = default;
  ~Win32Backend() override;
  Win32Backend(const Win32Backend&) = delete;
  Win32Backend& operator=(const Win32Backend&) = delete;

  void CreateWindow(TForm& form) override;
  void CreateControl(TForm& form, TControl& control) override;
  void DestroyWindow(TForm& form) override;
  void TextChanged(TLabel& label) override;
  void EnabledChanged(TControl& control) override;
  void Hidden(TControl& control) override;
  void LineAppended(TMemo& memo, const String& line, std::size_t dropped) override;
  void Flush(TForm& form) override;
  int ClientWidth(const TForm& form) override;
  int ClientHeight(const TForm& form) override;
  void Line(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) override;
  void Ellipse(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) override;
  void Run(TForm& form) override;
  void Closed(TForm& form) override;
  void DefaultHandler(TForm& form, TMessage& message) override;
  void ShowException(const Exception& e) override;
  void ShowCursor(bool show) override;

 private:
  static LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
  void PaintPanel(HWND hwnd, const TMemo& memo);
  void RegisterFormClass(const TForm& form);
  // The form's own DC with the pen's colour, width and mode selected; null
  // before the window exists.
  HDC PenDC(const TForm& form, const TPen& pen);
  void MarkDirty(TControl& control);
  void FlushControls();
  void ShowLabel(TLabel& label);
  void ShowMemo(TMemo& memo);
  HBRUSH FormBrush(const TForm& form) const;
  void PlaceInTabOrder(const TForm& form, const TControl& control);
  void ForgetWindows(TForm& form);
  // An exception from a handler must not unwind through the system's frames; it is
  // kept here and thrown again once control is back in our own code.
  void RethrowPending();

  HINSTANCE instance_ = ::GetModuleHandleA(nullptr);
  bool class_registered_ = false;
  HFONT font_ = nullptr;
  HBRUSH owned_brush_ = nullptr;  // only when the form colour is not a system colour
  HWND dispatching_ = nullptr;    // the form window whose message is being dispatched
  std::exception_ptr pending_;
  bool panel_registered_ = false;
  // Controls whose windows lag behind the toolkit's state, and when the windows
  // last caught up.
  std::vector<TControl*> dirty_;
  ULONGLONG last_flush_ = 0;
  // What the form's own DC has selected now, so that a draw changes only what differs.
  HDC dc_ = nullptr;
  HPEN wide_pen_ = nullptr;
  int dc_width_ = -1;
  COLORREF dc_color_ = CLR_INVALID;
  int dc_rop_ = 0;
};

Win32Backend::~Win32Backend() {
  if (wide_pen_) ::DeleteObject(wide_pen_);
  if (font_) ::DeleteObject(font_);
  if (owned_brush_) ::DeleteObject(owned_brush_);
  if (class_registered_) ::UnregisterClassA(kFormClass, instance_);
  if (panel_registered_) ::UnregisterClassA(kPanelClass, instance_);
}

void Win32Backend::RethrowPending() {
  if (!pending_) return;
  std::exception_ptr e = pending_;
  pending_ = nullptr;
  std::rethrow_exception(e);
}

LRESULT CALLBACK Win32Backend::FormProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_NCCREATE) {
    // Messages sent while CreateWindowEx runs must already find the form.
    auto* created = static_cast<TForm*>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams);
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
    created->peer = hwnd;
  }
  auto* form = reinterpret_cast<TForm*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!form) return ::DefWindowProcA(hwnd, msg, wparam, lparam);

  auto& backend = static_cast<Win32Backend&>(form->Platform());
  TMessage m{msg, static_cast<std::uintptr_t>(wparam), static_cast<std::intptr_t>(lparam), 0};
  HWND outer = backend.dispatching_;
  backend.dispatching_ = hwnd;
  try {
    form->Dispatch(m);
  } catch (...) {
    if (!backend.pending_) backend.pending_ = std::current_exception();
    m.Result = 0;
  }
  backend.dispatching_ = outer;
  if (msg == WM_NCDESTROY) ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  return static_cast<LRESULT>(m.Result);
}

// The memo's panel. An edit control lays out its whole text on every change, at
// a cost that grows with the text; the panel paints only what shows. Other
// programs (screen readers, test tools) read its text with WM_GETTEXT and get
// every line the memo keeps.
LRESULT CALLBACK Win32Backend::PanelProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  const auto* memo = reinterpret_cast<const TMemo*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!memo) return ::DefWindowProcA(hwnd, msg, wparam, lparam);
  switch (msg) {
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(MemoText(*memo, 0).size());
    case WM_GETTEXT: {
      if (wparam == 0 || lparam == 0) return 0;
      const String text = MemoText(*memo, 0);
      const std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(wparam) - 1);
      char* out = reinterpret_cast<char*>(lparam);
      std::copy_n(text.data(), n, out);
      out[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case WM_SETTEXT: return TRUE;  // the memo's lines are its text
    case WM_ERASEBKGND: return 1;  // painted whole in WM_PAINT, without flicker
    case WM_PAINT:
      static_cast<Win32Backend&>(memo->Owner().Platform()).PaintPanel(hwnd, *memo);
      return 0;
    default: return ::DefWindowProcA(hwnd, msg, wparam, lparam);
  }
}

// The newest lines that fit, oldest of them first, as an edit box scrolled to its
// end shows them: from the top while they fit, bottom-aligned once they overflow.
void Win32Backend::PaintPanel(HWND hwnd, const TMemo& memo) {
  PAINTSTRUCT ps;
  HDC dc = ::BeginPaint(hwnd, &ps);
  if (!dc) return;
  RECT client;
  ::GetClientRect(hwnd, &client);
  // The parent picks the colours, as it does for a read-only edit box.
  auto brush = reinterpret_cast<HBRUSH>(::SendMessageA(::GetParent(hwnd), WM_CTLCOLORSTATIC,
                                                        reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(hwnd)));
  ::FillRect(dc, &client, brush ? brush : ::GetSysColorBrush(COLOR_BTNFACE));
  if (!::IsWindowEnabled(hwnd)) ::SetTextColor(dc, ::GetSysColor(COLOR_GRAYTEXT));
  ::SetBkMode(dc, TRANSPARENT);
  HGDIOBJ old_font = ::SelectObject(dc, font_);

  const int width = static_cast<int>(client.right) - 2 * kPanelMargin;
  struct Shown { String text; int height; };
  std::vector<Shown> shown;
  int total = 0;
  const auto& lines = memo.Lines();
  for (auto it = lines.rbegin(); it != lines.rend() && total < client.bottom; ++it) {
    Shown line{ShownLine(*it), 0};
    RECT r = {0, 0, width, 0};
    ::DrawTextA(dc, line.text.empty() ? " " : line.text.c_str(), -1, &r, kTextFlags | DT_CALCRECT);
    line.height = r.bottom - r.top;
    total += line.height;
    shown.push_back(std::move(line));
  }
  int y = std::min(0, static_cast<int>(client.bottom) - total);
  for (auto it = shown.rbegin(); it != shown.rend(); ++it) {
    RECT r = {kPanelMargin, y, kPanelMargin + width, y + it->height};
    ::DrawTextA(dc, it->text.c_str(), -1, &r, kTextFlags);
    y += it->height;
  }
  ::SelectObject(dc, old_font);
  ::EndPaint(hwnd, &ps);
}

HBRUSH Win32Backend::FormBrush(const TForm& form) const {
  const TColor c = form.Desc().color;
  return IsSystemColor(c) ? ::GetSysColorBrush(static_cast<int>(c & 0xFF)) : owned_brush_;
}

void Win32Backend::RegisterFormClass(const TForm& form) {
  const TColor color = form.Desc().color;
  if (!IsSystemColor(color) && !owned_brush_) owned_brush_ = ::CreateSolidBrush(Resolve(color));
  if (class_registered_) return;
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  // Drawing comes with every packet; a DC of the form's own spares a GetDC each time.
  wc.style = CS_OWNDC;
  wc.lpfnWndProc = &Win32Backend::FormProc;
  wc.hInstance = instance_;
  wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  // A system colour's brush is its index plus one.
  wc.hbrBackground = IsSystemColor(color)
                         ? reinterpret_cast<HBRUSH>(static_cast<INT_PTR>((color & 0xFF) + 1))
                         : owned_brush_;
  wc.lpszClassName = kFormClass;
  if (!::RegisterClassExA(&wc)) throw Exception("Cannot register the window class");
  class_registered_ = true;

  WNDCLASSEXA panel = {};
  panel.cbSize = sizeof panel;
  panel.lpfnWndProc = &Win32Backend::PanelProc;
  panel.hInstance = instance_;
  panel.hCursor = wc.hCursor;
  panel.lpszClassName = kPanelClass;
  if (!::RegisterClassExA(&panel)) throw Exception("Cannot register the panel class");
  panel_registered_ = true;
}

void Win32Backend::CreateWindow(TForm& form) {
  const FormDesc& d = form.Desc();
  RegisterFormClass(form);
  if (!font_) {
    font_ = ::CreateFontA(d.font.height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_DONTCARE, d.font.name);
  }
  // Clipping the children keeps trails and markers off the controls.
  HWND hwnd = ::CreateWindowExA(0, kFormClass, d.caption, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, d.left,
                                d.top, d.width, d.height, nullptr, nullptr, instance_, &form);
  RethrowPending();
  if (!hwnd) throw Exception("Cannot create the window");
  form.peer = hwnd;
  dc_ = ::GetDC(hwnd);
  dc_width_ = -1;
  dc_color_ = CLR_INVALID;
  dc_rop_ = 0;
  if (dc_) ::SelectObject(dc_, ::GetStockObject(WHITE_BRUSH));
}

void Win32Backend::PlaceInTabOrder(const TForm& form, const TControl& control) {
  // The dialog manager tabs in z-order, and a new child goes to the bottom; move
  // it up in front of the topmost sibling that comes later in tab order.
  const int order = control.Desc().tab_order;
  if (order < 0) return;
  HWND self = HwndOf(control.peer);
  for (HWND h = ::GetWindow(self, GW_HWNDFIRST); h && h != self; h = ::GetWindow(h, GW_HWNDNEXT)) {
    for (const auto& other : form.Controls()) {
      if (HwndOf(other->peer) != h || other->Desc().tab_order <= order) continue;
      HWND before = ::GetWindow(h, GW_HWNDPREV);
      ::SetWindowPos(self, before ? before : HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      return;
    }
  }
}

void Win32Backend::CreateControl(TForm& form, TControl& control) {
  HWND parent = HwndOf(form.peer);
  if (!parent) return;
  const ControlDesc& d = control.Desc();
  const char* window_class = "STATIC";
  const char* text = "";
  DWORD style = WS_CHILD | WS_VISIBLE;
  DWORD ex_style = 0;
  switch (d.kind) {
    case ControlKind::Label:
      style |= SS_LEFT | SS_NOPREFIX;
      text = static_cast<TLabel&>(control).GetText().c_str();
      break;
    case ControlKind::Button:
      window_class = "BUTTON";
      style |= BS_PUSHBUTTON;
      text = static_cast<TButton&>(control).GetText().c_str();
      break;
    case ControlKind::Edit:
      window_class = "EDIT";
      style |= ES_LEFT | ES_AUTOHSCROLL;
      ex_style = WS_EX_CLIENTEDGE;
      text = static_cast<TEdit&>(control).GetText().c_str();
      break;
    case ControlKind::Memo:
      // The edit styles tell other programs what the panel is: multi-line, read-only.
      // Like the toolkit's memo by default, it wraps and has no scroll bar.
      window_class = kPanelClass;
      style |= ES_LEFT | ES_MULTILINE | ES_READONLY;
      ex_style = WS_EX_CLIENTEDGE;
      break;
  }
  if (!control.Enabled()) style |= WS_DISABLED;
  if (d.tab_order >= 0) style |= WS_TABSTOP;
  const int id = d.cancel ? IDCANCEL : kFirstControlId + static_cast<int>(form.Controls().size()) - 1;

  HWND hwnd = ::CreateWindowExA(ex_style, window_class, text, style, d.left, d.top, d.width, d.height, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
  RethrowPending();
  if (!hwnd) throw Exception(std::string("Cannot create control ") + d.name);
  control.peer = hwnd;
  ::SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  // A label takes its caption's size from the start, not only once the caption changes.
  if (d.kind == ControlKind::Label) ShowLabel(static_cast<TLabel&>(control));
  if (d.kind == ControlKind::Memo) {
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&control));
    ShowMemo(static_cast<TMemo&>(control));
  }
  PlaceInTabOrder(form, control);
}

void Win32Backend::ForgetWindows(TForm& form) {
  for (const auto& c : form.Controls()) c->peer = nullptr;
  dirty_.clear();
  form.peer = nullptr;
  dc_ = nullptr;
}

void Win32Backend::DestroyWindow(TForm& form) {
  HWND hwnd = HwndOf(form.peer);
  if (!hwnd) return;
  // The form is being torn down: its last messages go straight to the default.
  ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  ForgetWindows(form);
  ::DestroyWindow(hwnd);
}

void Win32Backend::TextChanged(TLabel& label) { MarkDirty(label); }

void Win32Backend::ShowLabel(TLabel& label) {
  HWND hwnd = HwndOf(label.peer);
  if (!hwnd) return;
  const String& text = label.GetText();

  // Resize before the text changes: a static control paints its new text at once,
  // and at the old width it would wrap, leaving a stale strip behind.
  if (HDC dc = ::GetDC(hwnd)) {
    HGDIOBJ old_font = ::SelectObject(dc, font_);
    RECT r = {0, 0, 0, 0};
    // An empty caption keeps one line's height.
    ::DrawTextA(dc, text.empty() ? " " : text.c_str(), -1, &r, DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS);
    ::SelectObject(dc, old_font);
    ::ReleaseDC(hwnd, dc);
    const int width = text.empty() ? 0 : r.right - r.left;
    const int height = r.bottom - r.top;
    RECT now;
    ::GetWindowRect(hwnd, &now);
    if (now.right - now.left != width || now.bottom - now.top != height) {
      ::SetWindowPos(hwnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  ::SetWindowTextA(hwnd, text.c_str());
}

void Win32Backend::EnabledChanged(TControl& control) {
  if (HWND hwnd = HwndOf(control.peer)) ::EnableWindow(hwnd, control.Enabled() ? TRUE : FALSE);
}

void Win32Backend::Hidden(TControl& control) {
  if (HWND hwnd = HwndOf(control.peer)) ::ShowWindow(hwnd, SW_HIDE);
}

void Win32Backend::LineAppended(TMemo& memo, const String&, std::size_t) { MarkDirty(memo); }

void Win32Backend::ShowMemo(TMemo& memo) {
  if (HWND hwnd = HwndOf(memo.peer)) ::InvalidateRect(hwnd, nullptr, FALSE);
}

void Win32Backend::MarkDirty(TControl& control) {
  if (!control.peer) return;
  if (dirty_.empty()) last_flush_ = ::GetTickCount64();
  if (std::find(dirty_.begin(), dirty_.end(), &control) == dirty_.end()) dirty_.push_back(&control);
}

void Win32Backend::FlushControls() {
  // Taken first: a control's update may dispatch messages that mark it again.
  std::vector<TControl*> dirty;
  dirty.swap(dirty_);
  HWND form = nullptr;
  for (TControl* c : dirty) {
    if (c->Desc().kind == ControlKind::Label) ShowLabel(static_cast<TLabel&>(*c));
    if (c->Desc().kind == ControlKind::Memo) ShowMemo(static_cast<TMemo&>(*c));
    form = HwndOf(c->Owner().peer);
  }
  // Paint now: while messages keep coming, WM_PAINT would wait for the queue.
  if (form) ::RedrawWindow(form, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  last_flush_ = ::GetTickCount64();
}

void Win32Backend::Flush(TForm&) { FlushControls(); }

int Win32Backend::ClientWidth(const TForm& form) {
  RECT r = {0, 0, 0, 0};
  if (HWND hwnd = HwndOf(form.peer)) ::GetClientRect(hwnd, &r);
  return r.right - r.left;
}

int Win32Backend::ClientHeight(const TForm& form) {
  RECT r = {0, 0, 0, 0};
  if (HWND hwnd = HwndOf(form.peer)) ::GetClientRect(hwnd, &r);
  return r.bottom - r.top;
}

HDC Win32Backend::PenDC(const TForm& form, const TPen& pen) {
  if (!dc_ || !form.peer) return nullptr;
  const COLORREF color = Resolve(pen.Color());
  const int width = std::max(pen.Width(), 1);
  if (width == 1) {
    // The DC pen changes colour without a pen object made and freed per draw.
    if (dc_width_ != 1) ::SelectObject(dc_, ::GetStockObject(DC_PEN));
    if (dc_width_ != 1 || dc_color_ != color) ::SetDCPenColor(dc_, color);
  } else if (dc_width_ != width || dc_color_ != color) {
    HPEN made = ::CreatePen(PS_SOLID, width, color);
    ::SelectObject(dc_, made ? static_cast<HGDIOBJ>(made) : ::GetStockObject(DC_PEN));
    if (wide_pen_) ::DeleteObject(wide_pen_);
    wide_pen_ = made;
  }
  dc_width_ = width;
  dc_color_ = color;
  const int rop = RopOf(pen.Mode());
  if (rop != dc_rop_) ::SetROP2(dc_, rop);
  dc_rop_ = rop;
  return dc_;
}

void Win32Backend::Line(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) {
  HDC dc = PenDC(form, pen);
  if (!dc) return;
  ::MoveToEx(dc, x1, y1, nullptr);
  ::LineTo(dc, x2, y2);
}

void Win32Backend::Ellipse(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) {
  HDC dc = PenDC(form, pen);
  if (!dc) return;
  ::Ellipse(dc, x1, y1, x2, y2);
}

void Win32Backend::Run(TForm& form) {
  HWND hwnd = HwndOf(form.peer);
  if (!hwnd) return;
  ::ShowWindow(hwnd, SW_SHOWNORMAL);
  ::UpdateWindow(hwnd);
  // Raw-input packets follow the keyboard focus, which must rest on the form.
  ::SetForegroundWindow(hwnd);
  ::SetFocus(hwnd);
  RethrowPending();

  MSG msg;
  for (;;) {
    if (dirty_.empty()) {
      const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
      if (got == 0 || got == -1) break;
    } else if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      // The queue has drained: the windows take the latest state.
      FlushControls();
      continue;
    } else if (msg.message == WM_QUIT) {
      break;
    }
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE && form.peer &&
        (msg.hwnd == HwndOf(form.peer) || ::IsChild(HwndOf(form.peer), msg.hwnd))) {
      TButton* cancel = nullptr;
      for (const auto& c : form.Controls()) {
        if (c->Desc().kind == ControlKind::Button && c->Desc().cancel) cancel = static_cast<TButton*>(c.get());
      }
      if (cancel && cancel->Enabled() && cancel->Visible()) {
        cancel->Click();
        continue;
      }
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
    RethrowPending();
    if (!dirty_.empty() && ::GetTickCount64() - last_flush_ >= kFlushIntervalMs) FlushControls();
  }
}

void Win32Backend::Closed(TForm& form) {
  HWND hwnd = HwndOf(form.peer);
  ForgetWindows(form);
  if (hwnd) ::DestroyWindow(hwnd);
  ::PostQuitMessage(0);
}

void Win32Backend::DefaultHandler(TForm& form, TMessage& message) {
  HWND hwnd = dispatching_ ? dispatching_ : HwndOf(form.peer);
  if (!hwnd) {
    message.Result = 0;
    return;
  }
  const auto wparam = static_cast<WPARAM>(message.WParam);
  const auto lparam = static_cast<LPARAM>(message.LParam);
  auto control_of = [&form](LPARAM child) -> TControl* {
    for (const auto& c : form.Controls()) {
      if (c->peer && HwndOf(c->peer) == reinterpret_cast<HWND>(child)) return c.get();
    }
    return nullptr;
  };

  switch (message.Msg) {
    case WM_CTLCOLORSTATIC: {
      // Disabled and read-only edit boxes ask here too; they keep the system look.
      TControl* c = control_of(lparam);
      if (c && c->Desc().kind == ControlKind::Label) {
        HDC dc = reinterpret_cast<HDC>(wparam);
        ::SetTextColor(dc, Resolve(c->Desc().font_color));
        ::SetBkColor(dc, Resolve(form.Desc().color));
        message.Result = reinterpret_cast<LRESULT>(FormBrush(form));
        return;
      }
      break;
    }
    case WM_CTLCOLOREDIT: {
      message.Result = ::DefWindowProcA(hwnd, message.Msg, wparam, lparam);
      if (TControl* c = control_of(lparam)) {
        ::SetTextColor(reinterpret_cast<HDC>(wparam), Resolve(c->Desc().font_color));
      }
      return;
    }
    case WM_COMMAND:
      if (HIWORD(wparam) == BN_CLICKED && lparam != 0) {
        TControl* c = control_of(lparam);
        if (c && c->Desc().kind == ControlKind::Button) {
          static_cast<TButton*>(c)->Click();
          message.Result = 0;
          return;
        }
      }
      break;
    default:
      break;
  }
  message.Result = ::DefWindowProcA(hwnd, message.Msg, wparam, lparam);
}

void Win32Backend::ShowException(const Exception& e) {
  ::MessageBoxA(nullptr, e.Message().c_str(), kErrorCaption, MB_OK | MB_ICONERROR);
}

void Win32Backend::ShowCursor(bool show) { ::ShowCursor(show ? TRUE : FALSE); }

}  // namespace

std::unique_ptr<Backend> MakeBackend() { return std::make_unique<Win32Backend>(); }

}  // namespace tk
