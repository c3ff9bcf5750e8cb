// The raster canvas of the headless backend: lines and ellipses with the GDI
// pixel rules, clipped before any pixel is visited so that far-off coordinates
// cost nothing.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "toolkit/headless/headless.h"

namespace tk::headless {

namespace {

using i64 = std::int64_t;
using u64 = std::uint64_t;

constexpr std::uint32_t kRgb = 0x00FFFFFF;

// Every binary raster mode is, for a fixed pen colour, a per-bit choice of
// 0, 1, dst or NOT dst, which (dst AND a) XOR b expresses exactly.
Rop RopFor(TPenMode mode, TColor color) {
  const std::uint32_t p = color & kRgb;
  const std::uint32_t np = ~color & kRgb;
  const std::uint32_t all = ~0u;
  switch (mode) {
    case pmBlack: return {0, 0};
    case pmWhite: return {0, kRgb};
    case pmNop: return {all, 0};
    case pmNot: return {all, kRgb};
    case pmCopy: return {0, p};
    case pmNotCopy: return {0, np};
    case pmMergePenNot: return {np, kRgb};
    case pmMaskPenNot: return {p, p};
    case pmMergeNotPen: return {p, np};
    case pmMaskNotPen: return {np, 0};
    case pmMerge: return {np, p};
    case pmNotMerge: return {np, np};
    case pmMask: return {p, 0};
    case pmNotMask: return {p, kRgb};
    case pmXor: return {all, p};
    case pmNotXor: return {all, np};
    default: return {all, 0};  // unknown modes leave the surface alone
  }
}

inline void Plot(std::uint32_t* px, Rop rop) { *px = (*px & rop.a) ^ rop.b; }

inline void Run(std::uint32_t* px, i64 n, Rop rop) {
  for (i64 i = 0; i < n; ++i) px[i] = (px[i] & rop.a) ^ rop.b;
}

// Thin line along a major axis u with minor axis v. Pixel i (0 <= i < du) sits at
// u0 + su*i on the major axis and v0 + sv*m(i) on the minor one, where m(i) is
// i*dv/du rounded, ties going to the smaller coordinate, so that a line and its
// reverse cover the same pixels apart from the left-out end points.
struct ThinLine {
  i64 u0, v0, du, dv;
  int su, sv;
  i64 bias;  // added to 2*i*dv before the division by 2*du

  // m(i) and the remainder that Bresenham's stepping carries from there on.
  // i*dv < 2^64 because both are below 2^32.
  i64 Minor(i64 i, i64* rem) const {
    const u64 prod = static_cast<u64>(i) * static_cast<u64>(dv);
    const i64 q = static_cast<i64>(prod / static_cast<u64>(du));
    const i64 r = static_cast<i64>(prod % static_cast<u64>(du));
    const i64 num = 2 * r + bias;  // below 3*du
    const i64 carry = num >= 2 * du ? 1 : 0;
    if (rem) *rem = num - carry * 2 * du;
    return q + carry;
  }
};

}  // namespace

Raster::Raster(int width, int height, std::uint32_t fill)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      pixels_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), fill & kRgb) {}

std::uint32_t Raster::At(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
}

void Raster::Fill(std::uint32_t color) { std::fill(pixels_.begin(), pixels_.end(), color & kRgb); }

Rop Raster::MasksFor(TPenMode mode, std::uint32_t color) { return RopFor(mode, color); }

void Raster::Line(TPenMode mode, std::uint32_t color, int width, int x1, int y1, int x2, int y2) {
  if (x1 == x2 && y1 == y2) return;
  if (width_ == 0 || height_ == 0) return;
  const Rop rop = RopFor(mode, color);
  if (width > 1) {
    WideLine(rop, width, x1, y1, x2, y2);
    return;
  }

  const i64 dx = static_cast<i64>(x2) - x1;
  const i64 dy = static_cast<i64>(y2) - y1;
  const bool x_major = std::abs(dx) >= std::abs(dy);
  ThinLine l{};
  l.u0 = x_major ? x1 : y1;
  l.v0 = x_major ? y1 : x1;
  const i64 du_signed = x_major ? dx : dy;
  const i64 dv_signed = x_major ? dy : dx;
  l.du = std::abs(du_signed);
  l.dv = std::abs(dv_signed);
  l.su = du_signed < 0 ? -1 : 1;
  l.sv = dv_signed < 0 ? -1 : 1;
  l.bias = l.sv > 0 ? l.du - 1 : l.du;
  const i64 u_limit = x_major ? width_ : height_;
  const i64 v_limit = x_major ? height_ : width_;

  // Indices whose major coordinate lies on the surface.
  i64 lo = 0;
  i64 hi = l.du - 1;
  if (l.su > 0) {
    lo = std::max(lo, -l.u0);
    hi = std::min(hi, u_limit - 1 - l.u0);
  } else {
    lo = std::max(lo, l.u0 - u_limit + 1);
    hi = std::min(hi, l.u0);
  }
  if (lo > hi) return;

  // m(i) never decreases, so the indices whose minor coordinate is on the
  // surface form one run; find its ends by bisection.
  const i64 m_lo = l.sv > 0 ? -l.v0 : l.v0 - v_limit + 1;
  const i64 m_hi = l.sv > 0 ? v_limit - 1 - l.v0 : l.v0;
  if (l.Minor(lo, nullptr) < m_lo) {
    if (l.Minor(hi, nullptr) < m_lo) return;
    i64 a = lo, b = hi;  // m(a) < m_lo <= m(b)
    while (b - a > 1) {
      const i64 mid = a + (b - a) / 2;
      (l.Minor(mid, nullptr) < m_lo ? a : b) = mid;
    }
    lo = b;
  }
  if (l.Minor(hi, nullptr) > m_hi) {
    if (l.Minor(lo, nullptr) > m_hi) return;
    i64 a = lo, b = hi;  // m(a) <= m_hi < m(b)
    while (b - a > 1) {
      const i64 mid = a + (b - a) / 2;
      (l.Minor(mid, nullptr) > m_hi ? b : a) = mid;
    }
    hi = a;
  }

  i64 rem = 0;
  const i64 m = l.Minor(lo, &rem);
  const i64 u = l.u0 + l.su * lo;
  const i64 v = l.v0 + l.sv * m;
  const i64 x = x_major ? u : v;
  const i64 y = x_major ? v : u;
  const std::ptrdiff_t u_step = x_major ? l.su : l.su * static_cast<std::ptrdiff_t>(width_);
  const std::ptrdiff_t v_step = x_major ? l.sv * static_cast<std::ptrdiff_t>(width_) : l.sv;
  std::uint32_t* px = pixels_.data() + static_cast<std::ptrdiff_t>(y * width_ + x);
  const i64 two_du = 2 * l.du;
  const i64 two_dv = 2 * l.dv;
  for (i64 i = lo;; ++i) {
    Plot(px, rop);
    if (i == hi) break;
    px += u_step;
    rem += two_dv;
    if (rem >= two_du) {
      rem -= two_du;
      px += v_step;
    }
  }
}

// Wide pens paint every pixel whose sample point lies closer than width/2 to
// the segment: a capsule with round caps at both ends, end point included. For
// even widths the sample points sit half a pixel off so that the band is
// exactly `width` pixels across. One run per row, so no pixel is hit twice.
void Raster::WideLine(Rop rop, int width, int x1, int y1, int x2, int y2) {
  const double r = width / 2.0;
  const double off = width % 2 == 0 ? 0.5 : 0.0;
  const double ax = x1, ay = y1, bx = x2, by = y2;
  const double dx = bx - ax, dy = by - ay;
  const double len2 = dx * dx + dy * dy;
  const double len = std::sqrt(len2);

  const double top = std::min(ay, by) - r - off;
  const double bottom = std::max(ay, by) + r - off;
  const i64 row_lo = std::max<i64>(0, static_cast<i64>(std::floor(std::max(top, -2.0))) + 1);
  const i64 row_hi = std::min<i64>(height_ - 1, static_cast<i64>(std::ceil(std::min(bottom, height_ + 2.0))) - 1);

  for (i64 py = row_lo; py <= row_hi; ++py) {
    const double sy = static_cast<double>(py) + off;
    double lo = HUGE_VAL, hi = -HUGE_VAL;
    auto take = [&](double a, double b) {
      if (a < b) {
        lo = std::min(lo, a);
        hi = std::max(hi, b);
      }
    };
    auto cap = [&](double cx, double cy) {
      const double d = sy - cy;
      if (std::abs(d) < r) {
        const double h = std::sqrt(r * r - d * d);
        take(cx - h, cx + h);
      }
    };
    cap(ax, ay);
    cap(bx, by);
    // The band along the segment: perpendicular distance below r and the
    // projection inside the segment; both bounds are linear in sx.
    const double ey = sy - ay;
    if (dy == 0) {
      if (std::abs(ey) < r) take(std::min(ax, bx), std::max(ax, bx));
    } else {
      const double c = dx * ey;
      double p_lo = (c - r * len) / dy, p_hi = (c + r * len) / dy;
      if (p_lo > p_hi) std::swap(p_lo, p_hi);
      double q_lo, q_hi;
      if (dx == 0) {
        const double t = dy * ey;
        q_lo = (t >= 0 && t <= len2) ? -HUGE_VAL : HUGE_VAL;
        q_hi = -q_lo;
      } else {
        q_lo = -dy * ey / dx;
        q_hi = (len2 - dy * ey) / dx;
        if (q_lo > q_hi) std::swap(q_lo, q_hi);
      }
      take(ax + std::max(p_lo, q_lo), ax + std::min(p_hi, q_hi));
    }
    if (!(lo < hi)) continue;
    lo = std::max(lo - off, -2.0);
    hi = std::min(hi - off, width_ + 2.0);
    const i64 first = std::max<i64>(0, static_cast<i64>(std::floor(lo)) + 1);
    const i64 last = std::min<i64>(width_ - 1, static_cast<i64>(std::ceil(hi)) - 1);
    if (first <= last) Run(pixels_.data() + static_cast<std::ptrdiff_t>(py * width_ + first), last - first + 1, rop);
  }
}

namespace {

// Largest X >= 0 with X^2 h^2 <= (h^2 - Y^2) w^2: the doubled half-width of the
// ellipse's row whose centre is Y half-pixels from the middle. Exact for the
// box sizes anyone draws, a close estimate beyond.
i64 HalfWidth(i64 w, i64 h, i64 Y) {
  const double wd = static_cast<double>(w), hd = static_cast<double>(h), yd = static_cast<double>(Y);
  i64 x = static_cast<i64>(wd * std::sqrt((hd - yd) * (hd + yd)) / hd);
  if (w <= 32768 && h <= 32768) {
    const u64 rhs = static_cast<u64>((h - Y) * (h + Y)) * static_cast<u64>(w * w);
    const u64 h2 = static_cast<u64>(h * h);
    while (x > 0 && static_cast<u64>(x * x) * h2 > rhs) --x;
    while (static_cast<u64>((x + 1) * (x + 1)) * h2 <= rhs) ++x;
  }
  return std::clamp<i64>(x, 0, w);
}

// First pixel of row j of a w x h box; the row runs to w-1-RowStart. Rows
// sample the ellipse at pixel centres; the middle row(s) always span the box
// and no row is empty, so the figure touches all four sides of its box.
i64 RowStart(i64 w, i64 h, i64 j) {
  const i64 Y = std::abs(2 * j + 1 - h);
  if (Y <= 1) return 0;
  const i64 n = w - 1 - HalfWidth(w, h, Y);
  const i64 start = std::max<i64>(0, (n + 1) / 2);
  return start > w - 1 - start ? (w - 1) / 2 : start;
}

}  // namespace

i64 Raster::EllipseRowStart(i64 w, i64 h, i64 row) {
  if (h > kCachedRows) return RowStart(w, h, row);
  if (w != cached_w_ || h != cached_h_) {
    for (i64 j = 0; j < h; ++j) cached_rows_[j] = RowStart(w, h, j);
    cached_w_ = w;
    cached_h_ = h;
  }
  return cached_rows_[row];
}

void Raster::Ellipse(TPenMode mode, std::uint32_t pen, std::uint32_t brush, int x1, int y1, int x2, int y2) {
  // Like GDI, an inverted box is the same box.
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  const i64 w = static_cast<i64>(x2) - x1;
  const i64 h = static_cast<i64>(y2) - y1;
  if (w == 0 || h == 0 || width_ == 0 || height_ == 0) return;
  const Rop outline = RopFor(mode, pen);
  const Rop fill = RopFor(mode, brush);

  const i64 j_lo = std::max<i64>(0, -static_cast<i64>(y1));
  const i64 j_hi = std::min<i64>(h - 1, height_ - 1 - static_cast<i64>(y1));
  if (j_lo > j_hi || static_cast<i64>(x1) >= width_ || x2 <= 0) return;

  auto paint = [&](i64 row, i64 from, i64 to, Rop rop) {  // box columns from..to
    const i64 a = std::max<i64>(from + x1, 0);
    const i64 b = std::min<i64>(to + x1, width_ - 1);
    if (a <= b) Run(pixels_.data() + static_cast<std::ptrdiff_t>(row * width_ + a), b - a + 1, rop);
  };

  const i64 kOpen = w;  // no row beyond the box: all of a row next to it is outline
  i64 prev = j_lo > 0 ? EllipseRowStart(w, h, j_lo - 1) : kOpen;
  i64 cur = EllipseRowStart(w, h, j_lo);
  for (i64 j = j_lo; j <= j_hi; ++j) {
    const i64 next = j + 1 < h ? EllipseRowStart(w, h, j + 1) : kOpen;
    const i64 row = static_cast<i64>(y1) + j;
    const i64 right = w - 1 - cur;
    // A pixel is outline when a 4-neighbour is outside the figure; the narrower
    // neighbouring row decides how far the outline reaches in from each end.
    const i64 edge = std::max(cur, std::max(prev, next) - 1);
    if (edge + 1 >= w - 1 - edge) {
      paint(row, cur, right, outline);
    } else {
      paint(row, cur, edge, outline);
      paint(row, edge + 1, w - 2 - edge, fill);
      paint(row, w - 1 - edge, right, outline);
    }
    prev = cur;
    cur = next;
  }
}

}  // namespace tk::headless
