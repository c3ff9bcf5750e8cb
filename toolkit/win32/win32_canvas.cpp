// The Win32 backend's canvas: GDI on the form's own DC, with the pen's colour,
// width and mode, and the white stock brush; drawn in order when the windows
// catch up with the program, nothing retained.
#include <algorithm>

#include "toolkit/win32/win32_platform.h"

namespace tk::win32 {

namespace {

// The toolkit's pen modes, in their order, as binary raster operations.
int RopOf(TPenMode mode) {
  static_assert(pmBlack == 0 && pmCopy == 4 && pmXor == 14 && pmNotXor == kPenModes - 1);
  static constexpr int kRops[kPenModes] = {
      R2_BLACK,       R2_WHITE,      R2_NOP,         R2_NOT,        R2_COPYPEN,  R2_NOTCOPYPEN,
      R2_MERGEPENNOT, R2_MASKPENNOT, R2_MERGENOTPEN, R2_MASKNOTPEN, R2_MERGEPEN, R2_NOTMERGEPEN,
      R2_MASKPEN,     R2_NOTMASKPEN, R2_XORPEN,      R2_NOTXORPEN};
  return mode >= 0 && mode < kPenModes ? kRops[mode] : R2_COPYPEN;
}
static_assert(kDefaultBrush == clWhite, "the canvas uses the white stock brush");

}  // namespace

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

HDC Win32Backend::PenDC(const TPen& pen) {
  if (!dc_) return nullptr;
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
  if (!dc_ || !form.peer) return;
  StartBehind();
  drawn_.push_back({false, pen, x1, y1, x2, y2});
}

void Win32Backend::Ellipse(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) {
  if (!dc_ || !form.peer) return;
  StartBehind();
  drawn_.push_back({true, pen, x1, y1, x2, y2});
}

void Win32Backend::FlushCanvas() {
  for (const Drawn& d : drawn_) {
    HDC dc = PenDC(d.pen);
    if (!dc) break;
    if (d.ellipse) {
      ::Ellipse(dc, d.x1, d.y1, d.x2, d.y2);
    } else {
      ::MoveToEx(dc, d.x1, d.y1, nullptr);
      ::LineTo(dc, d.x2, d.y2);
    }
  }
  drawn_.clear();
}

}  // namespace tk::win32
