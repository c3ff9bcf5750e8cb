// The Win32 backend's private types, shared by its files. Its parts:
//   win32_window.cpp  the form's window class and procedure, the controls,
//                     labels, enable and hide, deferred control updates
//   win32_panel.cpp   the memo's panel: its class, painting and text
//   win32_canvas.cpp  pens on the form's own DC, lines and ellipses
//   win32_loop.cpp    the message loop, Esc, default handling, errors, cursor
#pragma once

#include <windows.h>

#include <exception>
#include <vector>

#include "toolkit/backend.h"
#include "toolkit/loop_pacing.h"
#include "toolkit/text_layout.h"

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
  void LineAppended(TMemo& memo, const String&, std::size_t) override { MarkPending(memo); }
  void Flush(TForm&) override { FlushControls(); }

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
  HBRUSH FormBrush(const TForm& form) const;
  void PlaceInTabOrder(const TForm& form, const TControl& control);
  void ForgetWindows(TForm& form);
  void ShowLabel(TLabel& label);
  void MarkPending(TControl& control);
  void FlushControls();

  // ---- win32_panel.cpp ----
  static LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
  void RegisterPanelClass(HCURSOR cursor);
  void PaintPanel(HWND hwnd, const TMemo& memo);
  void MeasureFont(HDC dc);
  void ShowMemo(TMemo& memo);

  // ---- win32_canvas.cpp ----
  // The form's own DC with the pen's colour, width and mode selected; null
  // before the window exists.
  HDC PenDC(const TForm& form, const TPen& pen);

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
  // What the form's own DC has selected now, so that a draw changes only what differs.
  HDC dc_ = nullptr;
  HPEN wide_pen_ = nullptr;
  int dc_width_ = -1;
  COLORREF dc_color_ = CLR_INVALID;
  int dc_rop_ = 0;
};

}  // namespace tk::win32
