// The X11 backend's canvas: colours as the visual's pixels, pens as GC
// functions, lines and ellipses onto the form window at the next flush, in
// order; nothing retained.
#include <algorithm>
#include <utility>

#include "toolkit/x11/x11_platform.h"

namespace tk::x11 {

namespace {

// The toolkit's pen modes, in their order, as X raster operations on
// (src = pen, dst).
int GcFunction(TPenMode mode) {
  static_assert(pmBlack == 0 && pmCopy == 4 && pmXor == 14 && pmNotXor == kPenModes - 1);
  static const int kFunctions[kPenModes] = {GXclear,      GXset,        GXnoop,       GXinvert,
                                            GXcopy,       GXcopyInverted, GXorReverse, GXandReverse,
                                            GXorInverted, GXandInverted, GXor,        GXnor,
                                            GXand,        GXnand,       GXxor,        GXequiv};
  return mode >= 0 && mode < kPenModes ? kFunctions[mode] : GXcopy;
}

bool SamePen(const TPen& a, const TPen& b) {
  return a.Color() == b.Color() && a.Width() == b.Width() && a.Mode() == b.Mode();
}

// Every pixel a figure can touch, with room for a wide pen's outline.
Box FigureBounds(bool ellipse, int width, int x1, int y1, int x2, int y2) {
  const int pad = (ellipse ? 1 : 0) + std::max(width, 1) / 2 + 1;
  return {std::min(x1, x2) - pad, std::min(y1, y2) - pad, std::max(x1, x2) + pad, std::max(y1, y2) + pad};
}

bool Overlap(const Box& a, const Box& b) {
  return a.left <= b.right && b.left <= a.right && a.top <= b.bottom && b.top <= a.bottom;
}

// Whether the segment passes through the box (Liang-Barsky clipping).
bool Crosses(int x1, int y1, int x2, int y2, const Box& b) {
  const double p[] = {-double(x2 - x1), double(x2 - x1), -double(y2 - y1), double(y2 - y1)};
  const double q[] = {double(x1 - b.left), double(b.right - x1), double(y1 - b.top), double(b.bottom - y1)};
  double enter = 0, leave = 1;
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0) {
      if (q[i] < 0) return false;
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0) enter = std::max(enter, t);
    else leave = std::min(leave, t);
    if (enter > leave) return false;
  }
  return true;
}

}  // namespace

PixelMapper::Channel::Channel(unsigned long mask) {
  if (mask == 0) return;
  while (!(mask & 1)) {
    mask >>= 1;
    ++shift;
  }
  max = mask;
}

void PixelMapper::Init(const Visual* visual) {
  true_color_ = visual->c_class == TrueColor || visual->c_class == DirectColor;
  red_ = Channel(visual->red_mask);
  green_ = Channel(visual->green_mask);
  blue_ = Channel(visual->blue_mask);
}

unsigned long PixelMapper::Pixel(Display* display, Colormap colormap, TColor rgb) {
  const unsigned r = rgb & 0xFF, g = (rgb >> 8) & 0xFF, b = (rgb >> 16) & 0xFF;
  if (true_color_) return red_.Place(r) | green_.Place(g) | blue_.Place(b);
  const auto found = cache_.find(rgb);
  if (found != cache_.end()) return found->second;
  XColor color = {};
  color.red = static_cast<unsigned short>(r * 257);
  color.green = static_cast<unsigned short>(g * 257);
  color.blue = static_cast<unsigned short>(b * 257);
  color.flags = DoRed | DoGreen | DoBlue;
  const unsigned long pixel = XAllocColor(display, colormap, &color) ? color.pixel : BlackPixel(display, 0);
  cache_.emplace(rgb, pixel);
  return pixel;
}

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

Box X11Backend::Drawn::Bounds() const {
  return FigureBounds(ellipse, pen.Width(), x1, y1, x2, y2);
}

// Whether the figure can touch a pixel of the box: a line's pixels lie within
// its pad of the ideal segment.
bool X11Backend::Drawn::Touches(const Box& box) const {
  if (!Overlap(Bounds(), box)) return false;
  if (ellipse) return true;
  const int pad = std::max(pen.Width(), 1) / 2 + 1;
  return Crosses(x1, y1, x2, y2, {box.left - pad, box.top - pad, box.right + pad, box.bottom + pad});
}

void X11Backend::Line(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) {
  FormView* v = ViewOf(form);
  if (!v || lost_) return;
  if (x1 == x2 && y1 == y2 && pen.Width() <= 1) return;  // nothing before the end point
  drawn_.push_back({false, pen, v->win, x1, y1, x2, y2});
}

void X11Backend::Ellipse(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) {
  FormView* v = ViewOf(form);
  if (!v || lost_) return;
  const Drawn figure{true, pen, v->win, x1, y1, x2, y2};
  if (pen.Mode() == pmXor && TakeBackXor(figure)) return;
  drawn_.push_back(figure);
}

// XORed twice, a figure leaves every pixel as it was: a track erases its marker
// with the packet after the one that drew it. The pair goes unsent when what
// was queued between them is XOR as well (XORs commute) or cannot touch the
// figure's pixels.
bool X11Backend::TakeBackXor(const Drawn& figure) {
  const Box box = figure.Bounds();
  const std::size_t stop = drawn_.size() > kXorLookBack ? drawn_.size() - kXorLookBack : 0;
  for (std::size_t i = drawn_.size(); i-- > stop;) {
    const Drawn& d = drawn_[i];
    if (d.ellipse && d.win == figure.win && SamePen(d.pen, figure.pen) && d.x1 == figure.x1 && d.y1 == figure.y1 &&
        d.x2 == figure.x2 && d.y2 == figure.y2) {
      drawn_.erase(drawn_.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
    if (d.pen.Mode() != pmXor && d.win == figure.win && d.Touches(box)) return false;
  }
  return false;
}

// The queued figures, in order; a run of lines in one pen is one request.
void X11Backend::FlushCanvas() {
  // A request can find the connection gone; Xlib must not be called after that.
  for (std::size_t i = 0; i < drawn_.size() && !lost_;) {
    const Drawn& first = drawn_[i];
    if (first.ellipse) {
      DrawEllipse(first);
      ++i;
      continue;
    }
    segments_.clear();
    for (; i < drawn_.size() && !drawn_[i].ellipse && drawn_[i].win == first.win && SamePen(drawn_[i].pen, first.pen);
         ++i) {
      // The protocol's coordinates are 16 bits, as XDrawLine sends them too.
      const Drawn& d = drawn_[i];
      segments_.push_back({static_cast<short>(d.x1), static_cast<short>(d.y1), static_cast<short>(d.x2),
                           static_cast<short>(d.y2)});
    }
    PreparePen(first.pen);
    XDrawSegments(display_, first.win, pen_gc_, segments_.data(), static_cast<int>(segments_.size()));
  }
  drawn_.clear();
}

void X11Backend::ForgetCanvas(Window win) {
  std::erase_if(drawn_, [win](const Drawn& d) { return d.win == win; });
}

void X11Backend::DrawEllipse(const Drawn& figure) {
  int x1 = figure.x1, y1 = figure.y1, x2 = figure.x2, y2 = figure.y2;
  const TPen& pen = figure.pen;
  if (x2 < x1) std::swap(x1, x2);
  if (y2 < y1) std::swap(y1, y2);
  // The arc's path runs through pixel centres x1 .. x2 - 1: the box's right and
  // bottom edges stay out.
  const int w = x2 - x1 - 1;
  const int h = y2 - y1 - 1;
  if (w < 0 || h < 0) return;
  const int line = pen.Width() <= 1 ? 0 : pen.Width();
  if (!PrepareEllipseMasks(figure.win, w, h, line)) return;
  // Inside and outline through masks that do not overlap: as with GDI, every
  // pixel is painted once, which an XOR figure needs to show the right colours.
  const int ox = x1 - ellipse_.margin, oy = y1 - ellipse_.margin;
  const int function = GcFunction(pen.Mode());
  // An XOR figure (the tracks' markers) is the same as its picture, inside and
  // outline in their colours and 0 around, XORed on: one request for the server
  // instead of four.
  if (function == GXxor) {
    if (const Pixmap picture = XorPicture(figure.win, Pixel(kDefaultBrush), Pixel(pen.Color()))) {
      XCopyArea(display_, picture, figure.win, xor_gc_, 0, 0, ellipse_.width, ellipse_.height, ox, oy);
      return;
    }
  }
  XSetFunction(display_, brush_gc_, function);
  XSetForeground(display_, brush_gc_, Pixel(kDefaultBrush));
  XSetClipOrigin(display_, brush_gc_, ox, oy);
  XFillRectangle(display_, figure.win, brush_gc_, ox, oy, ellipse_.width, ellipse_.height);
  XSetFunction(display_, outline_gc_, function);
  XSetForeground(display_, outline_gc_, Pixel(pen.Color()));
  XSetClipOrigin(display_, outline_gc_, ox, oy);
  XFillRectangle(display_, figure.win, outline_gc_, ox, oy, ellipse_.width, ellipse_.height);
}

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

// The current masks' figure as a picture for XOR: inside and outline in their
// pixels, 0 around them; kept for the few figures a form draws.
Pixmap X11Backend::XorPicture(Drawable on, unsigned long inside, unsigned long outline) {
  const EllipseMasks& m = ellipse_;
  for (const XorPictureEntry& e : xor_pictures_) {
    if (e.w == m.w && e.h == m.h && e.line == m.line && e.inside == inside && e.outline == outline) return e.pixmap;
  }
  if (xor_pictures_.size() >= kXorPictures) FreeXorPictures();
  if (!xor_gc_) {
    xor_gc_ = XCreateGC(display_, on, 0, nullptr);
    XSetFunction(display_, xor_gc_, GXxor);
    XSetGraphicsExposures(display_, xor_gc_, False);
  }
  const Pixmap p = XCreatePixmap(display_, on, m.width, m.height,
                                 static_cast<unsigned>(DefaultDepth(display_, DefaultScreen(display_))));
  const GC g = XCreateGC(display_, p, 0, nullptr);
  XSetForeground(display_, g, 0);
  XFillRectangle(display_, p, g, 0, 0, m.width, m.height);
  const std::pair<Pixmap, unsigned long> parts[] = {{m.inside, inside}, {m.outline, outline}};
  for (const auto& [mask, pixel] : parts) {
    XSetClipMask(display_, g, mask);
    XSetForeground(display_, g, pixel);
    XFillRectangle(display_, p, g, 0, 0, m.width, m.height);
  }
  XFreeGC(display_, g);
  xor_pictures_.push_back({m.w, m.h, m.line, inside, outline, p});
  return p;
}

void X11Backend::FreeXorPictures() {
  for (const XorPictureEntry& e : xor_pictures_) XFreePixmap(display_, e.pixmap);
  xor_pictures_.clear();
}

}  // namespace tk::x11
