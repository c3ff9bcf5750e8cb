// The memo's panel. An edit control lays out its whole text on every change, at
// a cost that grows with the text; the panel paints only what shows, laid out
// as the X11 backend lays it out. Other programs (screen readers, test tools)
// read its text with WM_GETTEXT and get every line the memo keeps.
#include <algorithm>

#include "toolkit/win32/win32_platform.h"

namespace tk::win32 {

namespace {

// The memo's text as other programs read it: every line it keeps, CR LF between
// them, each without the line end of its own that a record carries.
String MemoText(const TMemo& memo) {
  String text;
  bool first = true;
  for (const String& line : memo.Lines()) {
    if (!first) text += "\r\n";
    first = false;
    text += LineText(line);
  }
  return text;
}

}  // namespace

void Win32Backend::RegisterPanelClass(HCURSOR cursor) {
  WNDCLASSEXA panel = {};
  panel.cbSize = sizeof panel;
  panel.lpfnWndProc = &Win32Backend::PanelProc;
  panel.hInstance = instance_;
  panel.hCursor = cursor;
  panel.lpszClassName = kPanelClass;
  if (!::RegisterClassExA(&panel)) throw Exception("Cannot register the panel class");
  panel_registered_ = true;
}

LRESULT CALLBACK Win32Backend::PanelProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  const auto* memo = reinterpret_cast<const TMemo*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!memo) return ::DefWindowProcA(hwnd, msg, wparam, lparam);
  switch (msg) {
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(MemoText(*memo).size());
    case WM_GETTEXT: {
      if (wparam == 0 || lparam == 0) return 0;
      const String text = MemoText(*memo);
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

// GDI's TextOut adds up the characters' advances, as the layout does.
void Win32Backend::MeasureFont(HDC dc) {
  if (row_height_ > 0) return;
  INT widths[256] = {};
  if (::GetCharWidth32A(dc, 0, 255, widths)) std::copy(std::begin(widths), std::end(widths), advances_.begin());
  TEXTMETRICA tm = {};
  ::GetTextMetricsA(dc, &tm);
  row_height_ = std::max(1, static_cast<int>(tm.tmHeight));
}

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
  MeasureFont(dc);

  const int width = client.right - client.left, height = client.bottom - client.top;
  const TextBox box = PanelTextBox(advances_, width, height, row_height_);
  const RECT clip = {box.left, box.top, box.left + box.width, box.top + box.height};
  const PanelRows shown = LayOutPanel(memo.Lines(), advances_, width, height, row_height_);
  int y = shown.top;
  for (const std::string_view row : shown.rows) {
    ::ExtTextOutA(dc, shown.left, y, ETO_CLIPPED, &clip, row.data(), static_cast<UINT>(row.size()), nullptr);
    y += row_height_;
  }
  ::SelectObject(dc, old_font);
  ::EndPaint(hwnd, &ps);
}

void Win32Backend::ShowMemo(TMemo& memo) {
  if (HWND hwnd = HwndOf(memo.peer)) ::InvalidateRect(hwnd, nullptr, FALSE);
}

}  // namespace tk::win32
