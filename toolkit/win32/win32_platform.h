// The Win32 backend of the toolkit.
// What it implements, [x], and leaves out, [ ]:
//   [x] form window: caption, position, client area, background colour
//   [x] controls as native child windows: label, button, edit, memo
//   [x] tab order of the focusable controls
//   [x] labels sized to their text; enable, disabled look, hide
//   [x] text in the form's font
//   [x] memo panel: the newest whole rows inside edit-box margins (text_layout.h)
//   [x] memo lines readable by other programs (WM_GETTEXT)
//   [x] control updates deferred to a drained queue or a flood's interval (16 ms)
//   [x] canvas: Line and Ellipse with the pen's colour, width and 16 modes (GDI on the form's own DC)
//   [x] message loop: every message through TForm::Dispatch
//   [x] idle hook: on a drained queue and every 100 ms of a flood
//   [x] Esc presses the form's cancel button
//   [x] system pointer motion -> WM_MOUSEMOVE
//   [x] keyboard focus -> WM_ACTIVATE
//   [x] close box -> WM_CLOSE
//   [ ] stop signals (SIGINT, SIGTERM, SIGHUP) -> WM_CLOSE (Windows ends a session with WM_ENDSESSION)
//   [x] messages posted by other programs (PostMessage)
//   [x] raw input reaching the form (WM_INPUT)
//   [x] ShowException shown to the user (a message box)
//   [x] ShowCursor's display counter
//
// This header holds its private types: the backend class. Its parts:
//   win32_window.cpp  the form's window class and procedure, the controls,
//                     labels, enable and hide, deferred control updates
//   win32_panel.cpp   the memo's panel: its class, painting and text
//   win32_canvas.cpp  pens on the form's own DC, lines and ellipses
//   win32_loop.cpp    the message loop, Esc, default handling, errors, cursor
#pragma once

// The toolkit first: windows.h defines macros named like its messages.
#include "toolkit/backend.h"
#include "toolkit/loop_pacing.h"
#include "toolkit/text_layout.h"

#include <windows.h>

#include <exception>
#include <vector>

// windows.h turns CreateWindow into a macro, which would rename the Backend member.
#undef CreateWindow

namespace tk::win32 {

constexpr char kFormClass[] = "VelmoraForm";
constexpr char kPanelClass[] = "VelmoraPanel";

inline HWND HwndOf(const void* peer) { return static_cast<HWND>(const_cast<void*>(peer)); }

inline COLORREF Resolve(TColor c) {
  return IsSystemColor(c) ? ::GetSysColor(static_cast<int>(c & 0xFF)) : static_cast<COLORREF>(c);
}

class Win32Backend final : public Backend {
 public:
  Win32Backend() = default;
  ~Win32Backend() override;
  Win32Backend(const Win32Backend&) = delete;
  Win32Backend& operator=(const Win32Backend&) = delete;

  // ---- win32_window.cpp ----
  void CreateWindow(TForm& form) override;
  void CreateControl(TForm& form, TControl& control) override;
  void DestroyWindow(TForm& form) override;
  void TextChanged(TLabel& label) override { MarkPending(label); }
  void EnabledChanged(TControl& control) override;
  void Hidden(TControl& control) override;
  void CaptionChanged(TForm& form) override;
  void LineAppended(TMemo& memo, const String&, std::size_t) override { MarkPending(memo); }
  void Flush(TForm&) override {
    FlushCanvas();
    FlushControls();
  }

  // ---- win32_canvas.cpp ----
  int ClientWidth(const TForm& form) override;
  int ClientHeight(const TForm& form) override;
  void Line(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) override;
  void Ellipse(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) override;

  // ---- win32_loop.cpp ----
  void Run(TForm& form) override;
  void Closed(TForm& form) override;
  void DefaultHandler(TForm& form, TMessage& message) override;
  void ShowException(const Exception& e) override;
  void ShowCursor(bool show) override;

 private:
  // ---- win32_window.cpp ----
  static LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
  void RegisterFormClass(const TForm& form);
  // The .exe's icon resource 1 at the size of these system metrics, or null.
  HICON ProgramIcon(int width_metric, int height_metric) const;
  HBRUSH FormBrush(const TForm& form) const;
  void PlaceInTabOrder(const TForm& form, const TControl& control);
  void ForgetWindows(TForm& form);
  void ShowLabel(TLabel& label);
  void MarkPending(TControl& control);
  void FlushControls();
  // The first change since the windows caught up starts the wait for the next catch-up.
  void StartBehind() {
    if (pending_.Empty() && drawn_.empty()) last_flush_ = ::GetTickCount64();
  }

  // ---- win32_panel.cpp ----
  static LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
  void RegisterPanelClass(HCURSOR cursor);
  void PaintPanel(HWND hwnd, const TMemo& memo);
  void MeasureFont(HDC dc);
  void ShowMemo(TMemo& memo);

  // ---- win32_canvas.cpp ----
  // The form's own DC with the pen's colour, width and mode selected; null
  // before the window exists.
  HDC PenDC(const TPen& pen);
  // Draws what the program drew since the last catch-up, in its order.
  void FlushCanvas();

  // ---- win32_loop.cpp ----
  // An exception from a handler must not unwind through the system's frames; it is
  // kept here and thrown again once control is back in our own code.
  void RethrowPending();
  void CatchUp(bool drained);

  HINSTANCE instance_ = ::GetModuleHandleA(nullptr);
  bool class_registered_ = false;
  bool panel_registered_ = false;
  HFONT font_ = nullptr;
  HBRUSH owned_brush_ = nullptr;  // only when the form colour is not a system colour
  HWND dispatching_ = nullptr;    // the form window whose message is being dispatched
  std::exception_ptr pending_exception_;
  // Controls whose windows lag behind the toolkit's state, and when the windows
  // last caught up.
  PendingControls pending_;
  ULONGLONG last_flush_ = 0;
  IdleHook idle_;
  // The font as the panel lays it out, measured once.
  Advances advances_ = {};
  int row_height_ = 0;
  // Lines and ellipses the program drew, kept until the windows catch up: under
  // Wine, a window drawn on between two messages costs a round trip to the X
  // server at the next one, so the drawing reaches the window in batches.
  struct Drawn {
    bool ellipse;
    TPen pen;
    int x1, y1, x2, y2;
  };
  std::vector<Drawn> drawn_;
  // What the form's own DC has selected now, so that a draw changes only what differs.
  HDC dc_ = nullptr;
  HPEN wide_pen_ = nullptr;
  int dc_width_ = -1;
  COLORREF dc_color_ = CLR_INVALID;
  int dc_rop_ = 0;
};

}  // namespace tk::win32
