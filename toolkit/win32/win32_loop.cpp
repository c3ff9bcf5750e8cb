// The Win32 backend's message loop: every message through the form's
// procedure, Esc for the cancel button, controls and the idle hook brought up
// to date when the queue drains; default handling, the error box, the cursor.
#include <exception>

#include "toolkit/win32/win32_platform.h"

namespace tk::win32 {

namespace {

// Native updates while messages keep coming: at most this often.
constexpr ULONGLONG kFlushIntervalMs = 16;
constexpr char kErrorCaption[] = "Velmora";

bool IsEscapeFor(const MSG& msg, HWND form) {
  return msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE && form &&
         (msg.hwnd == form || ::IsChild(form, msg.hwnd));
}

}  // namespace

void Win32Backend::RethrowPending() {
  if (!pending_exception_) return;
  std::exception_ptr e = pending_exception_;
  pending_exception_ = nullptr;
  std::rethrow_exception(e);
}

// The windows take the latest state and the idle hook runs: at once when the
// queue has drained, else when their intervals have passed.
void Win32Backend::CatchUp(bool drained) {
  const ULONGLONG now = ::GetTickCount64();
  const bool behind = !pending_.Empty() || !drawn_.empty();
  if (behind && (drained || now - last_flush_ >= kFlushIntervalMs)) {
    FlushCanvas();
    FlushControls();
  }
  if (drained) {
    idle_.Drained(now);
    return;
  }
  idle_.Busy(now);
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
  bool busy = false;  // messages came since the last catch-up on a drained queue
  for (;;) {
    if (busy && !::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      CatchUp(true);
      busy = false;
      continue;
    }
    if (!busy) {
      const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
      if (got == 0 || got == -1) break;
    } else if (msg.message == WM_QUIT) {
      break;
    }
    busy = true;
    if (IsEscapeFor(msg, HwndOf(form.peer)) && form.PressCancel()) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
    RethrowPending();
    CatchUp(false);
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

}  // namespace tk::win32
