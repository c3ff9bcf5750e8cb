// The Win32 backend's windows: the form's class and procedure, each control a
// real child window (STATIC, BUTTON, EDIT, the panel), in tab order, and the
// deferred updates that bring labels and the panel up to date.
#include <algorithm>
#include <string>

#include "toolkit/win32/win32_platform.h"

namespace tk {

namespace win32 {

namespace {
constexpr int kFirstControlId = 100;
}  // namespace

Win32Backend::~Win32Backend() {
  if (wide_pen_) ::DeleteObject(wide_pen_);
  if (font_) ::DeleteObject(font_);
  if (owned_brush_) ::DeleteObject(owned_brush_);
  if (class_registered_) ::UnregisterClassA(kFormClass, instance_);
  if (panel_registered_) ::UnregisterClassA(kPanelClass, instance_);
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
    if (!backend.pending_exception_) backend.pending_exception_ = std::current_exception();
    m.Result = 0;
  }
  backend.dispatching_ = outer;
  if (msg == WM_NCDESTROY) ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  return static_cast<LRESULT>(m.Result);
}

HBRUSH Win32Backend::FormBrush(const TForm& form) const {
  const TColor c = form.Desc().color;
  return IsSystemColor(c) ? ::GetSysColorBrush(static_cast<int>(c & 0xFF)) : owned_brush_;
}

HICON Win32Backend::ProgramIcon(int width_metric, int height_metric) const {
  return static_cast<HICON>(::LoadImageA(instance_, MAKEINTRESOURCEA(1), IMAGE_ICON, ::GetSystemMetrics(width_metric),
                                         ::GetSystemMetrics(height_metric), LR_DEFAULTCOLOR | LR_SHARED));
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
  // The program's own icon (resource 1), in the title bar's and the taskbar's
  // sizes; a build without it keeps the system's.
  wc.hIcon = ProgramIcon(SM_CXICON, SM_CYICON);
  wc.hIconSm = ProgramIcon(SM_CXSMICON, SM_CYSMICON);
  // A system colour's brush is its index plus one.
  wc.hbrBackground = IsSystemColor(color)
                         ? reinterpret_cast<HBRUSH>(static_cast<INT_PTR>((color & 0xFF) + 1))
                         : owned_brush_;
  wc.lpszClassName = kFormClass;
  if (!::RegisterClassExA(&wc)) throw Exception("Cannot register the window class");
  class_registered_ = true;
  RegisterPanelClass(wc.hCursor);
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
  // The window's own icons too, so that WM_GETICON answers with them.
  if (HICON big = ProgramIcon(SM_CXICON, SM_CYICON)) ::SendMessageA(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  if (HICON small = ProgramIcon(SM_CXSMICON, SM_CYSMICON)) {
    ::SendMessageA(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  }
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
  pending_.Forget(form);
  drawn_.clear();
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

void Win32Backend::CaptionChanged(TForm& form) {
  if (HWND hwnd = HwndOf(form.peer)) ::SetWindowTextA(hwnd, form.Caption());
}

void Win32Backend::Hidden(TControl& control) {
  if (HWND hwnd = HwndOf(control.peer)) ::ShowWindow(hwnd, SW_HIDE);
}

void Win32Backend::MarkPending(TControl& control) {
  if (!control.peer) return;
  StartBehind();
  pending_.Mark(control);
}

void Win32Backend::FlushControls() {
  HWND form = nullptr;
  for (TControl* c : pending_.Take()) {
    if (c->Desc().kind == ControlKind::Label) ShowLabel(static_cast<TLabel&>(*c));
    if (c->Desc().kind == ControlKind::Memo) ShowMemo(static_cast<TMemo&>(*c));
    form = HwndOf(c->Owner().peer);
  }
  // Paint now: while messages keep coming, WM_PAINT would wait for the queue.
  if (form) ::RedrawWindow(form, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  last_flush_ = ::GetTickCount64();
}

}  // namespace win32

std::unique_ptr<Backend> MakeBackend() { return std::make_unique<win32::Win32Backend>(); }

}  // namespace tk
