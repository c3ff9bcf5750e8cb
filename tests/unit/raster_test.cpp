// Pixel rules of the headless raster: line end points, raster modes, ellipse
// shape, and clipping of coordinates far off the surface.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <utility>

#include "toolkit/headless/headless.h"

namespace {

using tk::headless::Raster;
using Pixels = std::set<std::pair<int, int>>;

constexpr std::uint32_t kPen = 0x0000FF;
constexpr std::uint32_t kBrush = 0xFFFFFF;

Pixels Painted(const Raster& r, std::uint32_t background = 0) {
  Pixels out;
  for (int y = 0; y < r.Height(); ++y)
    for (int x = 0; x < r.Width(); ++x)
      if (r.At(x, y) != background) out.insert({x, y});
  return out;
}

Pixels LinePixels(int x1, int y1, int x2, int y2, int width = 1) {
  Raster r(64, 64, 0);
  r.Line(tk::pmCopy, kBrush, width, x1, y1, x2, y2);
  return Painted(r);
}

Raster Noise(int w, int h, unsigned seed) {
  Raster r(w, h, 0);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) r.Line(tk::pmCopy, rng() & 0xFFFFFF, 1, x, y, x + 1, y);
  return r;
}

// Ellipse on black with distinct pen and brush colours in XOR, so a pixel hit
// twice would show up as a third colour.
Raster EllipseOnBlack(int w, int h, int x1, int y1, int x2, int y2) {
  Raster r(w, h, 0);
  r.Ellipse(tk::pmXor, kPen, kBrush, x1, y1, x2, y2);
  return r;
}

// ---- Lines ----------------------------------------------------------------------

TEST(RasterLine, StartIsDrawnAndEndIsLeftOutInEveryDirection) {
  const struct { int x1, y1, x2, y2; } lines[] = {
      {2, 5, 9, 5},   {9, 5, 2, 5},     // horizontal
      {5, 2, 5, 9},   {5, 9, 5, 2},     // vertical
      {2, 2, 9, 9},   {9, 9, 2, 2},   {2, 9, 9, 2}, {9, 2, 2, 9},  // diagonals
      {2, 2, 20, 7},  {20, 7, 2, 2},    // shallow
      {3, 2, 7, 25},  {7, 25, 3, 2},    // steep
      {10, 10, 11, 10}, {10, 10, 10, 11},  // one pixel long
  };
  for (const auto& l : lines) {
    SCOPED_TRACE(testing::Message() << l.x1 << "," << l.y1 << " -> " << l.x2 << "," << l.y2);
    const Pixels p = LinePixels(l.x1, l.y1, l.x2, l.y2);
    EXPECT_EQ(p.size(), static_cast<std::size_t>(std::max(std::abs(l.x2 - l.x1), std::abs(l.y2 - l.y1))));
    EXPECT_TRUE(p.count({l.x1, l.y1}));
    EXPECT_FALSE(p.count({l.x2, l.y2}));
  }
  EXPECT_EQ(LinePixels(2, 5, 6, 5), (Pixels{{2, 5}, {3, 5}, {4, 5}, {5, 5}}));
  EXPECT_EQ(LinePixels(4, 4, 1, 1), (Pixels{{4, 4}, {3, 3}, {2, 2}}));
}

TEST(RasterLine, ZeroLengthDrawsNothing) {
  EXPECT_TRUE(LinePixels(7, 7, 7, 7).empty());
  EXPECT_TRUE(LinePixels(7, 7, 7, 7, 5).empty());
}

// One pixel per step along the major axis, never more than half a pixel off the
// true line, and the same pixels whichever way the line is drawn.
TEST(RasterLine, FollowsTheTrueLineTheSameWayInBothDirections) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> coord(0, 63);
  for (int n = 0; n < 3000; ++n) {
    const int x1 = coord(rng), y1 = coord(rng), x2 = coord(rng), y2 = coord(rng);
    if (x1 == x2 && y1 == y2) continue;
    SCOPED_TRACE(testing::Message() << x1 << "," << y1 << " -> " << x2 << "," << y2);
    const Pixels p = LinePixels(x1, y1, x2, y2);
    const long dx = x2 - x1, dy = y2 - y1;
    const bool x_major = std::abs(dx) >= std::abs(dy);
    const long du = x_major ? std::abs(dx) : std::abs(dy);
    std::set<int> majors;
    for (auto [x, y] : p) {
      const long i = x_major ? std::abs(x - x1) : std::abs(y - y1);
      majors.insert(static_cast<int>(i));
      // Twice du times the distance along the minor axis, kept in integers.
      const long off = x_major ? 2 * du * (y - y1) - 2 * i * dy : 2 * du * (x - x1) - 2 * i * dx;
      ASSERT_LE(std::abs(off), du);
    }
    ASSERT_EQ(majors.size(), p.size());
    ASSERT_EQ(static_cast<long>(p.size()), du);

    Pixels forward = p, backward = LinePixels(x2, y2, x1, y1);
    forward.insert({x2, y2});
    backward.insert({x1, y1});
    ASSERT_EQ(forward, backward);
  }
}

// A 40 x 30 raster must show exactly the window of a large one at the same place.
TEST(RasterLine, ClippingShowsExactlyTheVisiblePart) {
  constexpr int kOx = 130, kOy = 135;
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> coord(0, 299);
  for (int n = 0; n < 1500; ++n) {
    const int x1 = coord(rng), y1 = coord(rng), x2 = coord(rng), y2 = coord(rng);
    Raster big(300, 300, 0), small(40, 30, 0);
    big.Line(tk::pmCopy, kBrush, 1, x1, y1, x2, y2);
    small.Line(tk::pmCopy, kBrush, 1, x1 - kOx, y1 - kOy, x2 - kOx, y2 - kOy);
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 40; ++x)
        ASSERT_EQ(small.At(x, y), big.At(x + kOx, y + kOy))
            << x1 << "," << y1 << " -> " << x2 << "," << y2 << " at " << x << "," << y;
  }
}

TEST(RasterLine, ExtremeCoordinatesClipWithoutOverflow) {
  Pixels row;
  for (int x = 0; x < 64; ++x) row.insert({x, 5});
  EXPECT_EQ(LinePixels(INT_MIN, 5, INT_MAX, 5), row);
  EXPECT_EQ(LinePixels(INT_MAX, 5, INT_MIN, 5), row);

  Pixels column;
  for (int y = 0; y < 64; ++y) column.insert({9, y});
  EXPECT_EQ(LinePixels(9, INT_MAX, 9, INT_MIN), column);

  Pixels diagonal;
  for (int k = 0; k < 64; ++k) diagonal.insert({k, k});
  EXPECT_EQ(LinePixels(INT_MAX, INT_MAX, INT_MIN, INT_MIN), diagonal);

  // Slope 1 - 1/(2^32 - 1): near x = 0 the true line runs just over half a
  // pixel above y = x, where i * dy already needs all 64 bits.
  Pixels near_diagonal;
  for (int x = 1; x < 64; ++x) near_diagonal.insert({x, x - 1});
  EXPECT_EQ(LinePixels(INT_MIN, INT_MIN, INT_MAX, INT_MAX - 1), near_diagonal);

  EXPECT_TRUE(LinePixels(-100, -100, -5, -50).empty());
  EXPECT_TRUE(LinePixels(INT_MIN, -1, INT_MAX, -1).empty());
  EXPECT_TRUE(LinePixels(-20, 19, 19, -20).empty());  // passes just outside the corner
  EXPECT_EQ(LinePixels(-20, 20, 20, -20), (Pixels{{0, 0}}));
}

// ---- Raster modes ---------------------------------------------------------------

TEST(RasterModes, CopyPaintsAndXorCombinesOnAKnownBackground) {
  Raster r(8, 1, 0x123456);
  r.Line(tk::pmCopy, 0xFF00FF, 1, 0, 0, 4, 0);
  r.Line(tk::pmXor, 0xFF00FF, 1, 4, 0, 8, 0);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(r.At(x, 0), 0xFF00FFu);
  for (int x = 4; x < 8; ++x) EXPECT_EQ(r.At(x, 0), 0x123456u ^ 0xFF00FFu);
  EXPECT_EQ(Raster::MasksFor(tk::pmCopy, 0xFF00FF).a, 0u);
  EXPECT_EQ(Raster::MasksFor(tk::pmCopy, 0xFF00FF).b, 0xFF00FFu);
  EXPECT_EQ(Raster::MasksFor(tk::pmXor, 0xFF00FF).a, ~0u);
  EXPECT_EQ(Raster::MasksFor(tk::pmXor, 0xFF00FF).b, 0xFF00FFu);
}

TEST(RasterModes, EveryBinaryModeMatchesItsBooleanDefinition) {
  using F = std::function<std::uint32_t(std::uint32_t p, std::uint32_t d)>;
  const F modes[16] = {
      [](auto, auto) { return 0u; },          [](auto, auto) { return ~0u; },
      [](auto, auto d) { return d; },         [](auto, auto d) { return ~d; },
      [](auto p, auto) { return p; },         [](auto p, auto) { return ~p; },
      [](auto p, auto d) { return p | ~d; },  [](auto p, auto d) { return p & ~d; },
      [](auto p, auto d) { return ~p | d; },  [](auto p, auto d) { return ~p & d; },
      [](auto p, auto d) { return p | d; },   [](auto p, auto d) { return ~(p | d); },
      [](auto p, auto d) { return p & d; },   [](auto p, auto d) { return ~(p & d); },
      [](auto p, auto d) { return p ^ d; },   [](auto p, auto d) { return ~(p ^ d); },
  };
  const std::uint32_t values[] = {0x000000, 0xFFFFFF, 0x123456, 0xF0F00F, 0xA5C3E1};
  for (int mode = 0; mode < 16; ++mode) {
    for (std::uint32_t pen : values) {
      for (std::uint32_t dst : values) {
        Raster r(3, 1, dst);
        r.Line(mode, pen, 1, 0, 0, 2, 0);
        EXPECT_EQ(r.At(0, 0), modes[mode](pen, dst) & 0xFFFFFF) << "mode " << mode;
        EXPECT_EQ(r.At(2, 0), dst) << "mode " << mode;
      }
    }
  }
}

TEST(RasterModes, UnknownModeLeavesTheSurfaceAlone) {
  Raster r(8, 8, 0x445566);
  r.Line(16, kPen, 1, 0, 0, 7, 7);
  r.Line(-1, kPen, 1, 0, 7, 7, 0);
  r.Ellipse(99, kPen, kBrush, 0, 0, 8, 8);
  EXPECT_TRUE(Painted(r, 0x445566).empty());
}

TEST(RasterModes, XorFiguresDrawnTwiceRestoreTheSurface) {
  Raster r = Noise(50, 40, 3);
  const auto before = r.Pixels();
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> coord(-20, 70);
  std::uniform_int_distribution<int> width(0, 6);
  for (int n = 0; n < 400; ++n) {
    const int x1 = coord(rng), y1 = coord(rng), x2 = coord(rng), y2 = coord(rng), w = width(rng);
    const std::uint32_t color = rng() & 0xFFFFFF;
    const bool ellipse = n % 2 == 0;
    for (int pass = 0; pass < 2; ++pass) {
      if (ellipse) r.Ellipse(tk::pmXor, color, kBrush, x1, y1, x2, y2);
      else r.Line(tk::pmXor, color, w, x1, y1, x2, y2);
    }
    ASSERT_EQ(r.Pixels(), before) << (ellipse ? "ellipse " : "line ") << x1 << "," << y1 << " " << x2 << ","
                                  << y2 << " width " << w;
  }
}

// ---- Ellipses -------------------------------------------------------------------

// Inside its box and touching all four sides; every row and column one
// unbroken run of pen or brush colour (a pixel hit twice in XOR would leave a
// third colour or a hole); mirror-symmetric; the outline closes the fill in.
TEST(RasterEllipse, FillsItsBoxSymmetricallyWithAClosedOutline) {
  std::vector<std::pair<int, int>> sizes = {{100, 3}, {3, 100}, {2, 40}, {40, 2}, {120, 90}};
  for (int w = 1; w <= 30; ++w)
    for (int h = 1; h <= 30; ++h) sizes.push_back({w, h});
  for (const auto& size : sizes) {
    const int w = size.first, h = size.second;  // clang 14 lambdas cannot capture structured bindings
    SCOPED_TRACE(testing::Message() << w << " x " << h);
    // One pixel of margin all round, which must stay black.
    const Raster r = EllipseOnBlack(w + 2, h + 2, 1, 1, w + 1, h + 1);
    bool left = false, right = false, top = false, bottom = false;
    for (int y = 0; y < h + 2; ++y) {
      for (int x = 0; x < w + 2; ++x) {
        const std::uint32_t c = r.At(x, y);
        ASSERT_TRUE(c == 0 || c == kPen || c == kBrush) << x << "," << y;
        ASSERT_EQ(c, r.At(w + 1 - x, y)) << x << "," << y;
        ASSERT_EQ(c, r.At(x, h + 1 - y)) << x << "," << y;
        if (c == 0) continue;
        ASSERT_TRUE(x >= 1 && x <= w && y >= 1 && y <= h) << x << "," << y;
        left |= x == 1;
        right |= x == w;
        top |= y == 1;
        bottom |= y == h;
        if (c == kBrush) {
          ASSERT_NE(r.At(x - 1, y), 0u);
          ASSERT_NE(r.At(x + 1, y), 0u);
          ASSERT_NE(r.At(x, y - 1), 0u);
          ASSERT_NE(r.At(x, y + 1), 0u);
        }
      }
    }
    EXPECT_TRUE(left && right && top && bottom);
    auto one_run_each = [&](bool rows) {
      for (int a = 0; a < (rows ? h + 2 : w + 2); ++a) {
        int count = 0;
        std::uint32_t last = 0;
        for (int b = 0; b < (rows ? w + 2 : h + 2); ++b) {
          const std::uint32_t c = rows ? r.At(b, a) : r.At(a, b);
          if (c != 0 && last == 0) ++count;
          last = c;
        }
        if (count > 1) return false;
      }
      return true;
    };
    ASSERT_TRUE(one_run_each(true));
    ASSERT_TRUE(one_run_each(false));
  }
}

TEST(RasterEllipse, MarkerBoxesGiveRoundOutlinedDiscs) {
  auto picture = [](int size) {
    const Raster r = EllipseOnBlack(size, size, 0, 0, size, size);
    std::string s;
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) s += r.At(x, y) == kPen ? 'o' : r.At(x, y) == kBrush ? '#' : '.';
      s += '\n';
    }
    return s;
  };
  EXPECT_EQ(picture(6),
            ".oooo.\n"
            "o####o\n"
            "o####o\n"
            "o####o\n"
            "o####o\n"
            ".oooo.\n");
  EXPECT_EQ(picture(5),
            ".ooo.\n"
            "o###o\n"
            "o###o\n"
            "o###o\n"
            ".ooo.\n");
}

TEST(RasterEllipse, ShapeDependsOnlyOnTheBoxNotOnEarlierDrawing) {
  Raster shared(80, 80, 0);
  const int sizes[][2] = {{6, 6}, {5, 5}, {6, 6}, {6, 5}, {30, 20}, {20, 30}, {70, 70}, {6, 6}, {70, 70}};
  for (const auto& s : sizes) {
    shared.Fill(0);
    shared.Ellipse(tk::pmXor, kPen, kBrush, 2, 3, 2 + s[0], 3 + s[1]);
    EXPECT_EQ(shared.Pixels(), EllipseOnBlack(80, 80, 2, 3, 2 + s[0], 3 + s[1]).Pixels()) << s[0] << " x " << s[1];
  }
}

TEST(RasterEllipse, InvertedBoxIsTheSameBoxAndEmptyBoxDrawsNothing) {
  const Raster straight = EllipseOnBlack(30, 30, 3, 4, 20, 15);
  EXPECT_EQ(EllipseOnBlack(30, 30, 20, 15, 3, 4).Pixels(), straight.Pixels());
  EXPECT_EQ(EllipseOnBlack(30, 30, 20, 4, 3, 15).Pixels(), straight.Pixels());
  EXPECT_TRUE(Painted(EllipseOnBlack(30, 30, 5, 5, 5, 20)).empty());
  EXPECT_TRUE(Painted(EllipseOnBlack(30, 30, 5, 5, 20, 5)).empty());
}

TEST(RasterEllipse, ClippingShowsExactlyTheVisiblePart) {
  constexpr int kOx = 100, kOy = 90;
  std::mt19937 rng(13);
  std::uniform_int_distribution<int> coord(0, 239);
  for (int n = 0; n < 600; ++n) {
    const int x1 = coord(rng), y1 = coord(rng), x2 = coord(rng), y2 = coord(rng);
    const Raster big = EllipseOnBlack(240, 240, x1, y1, x2, y2);
    const Raster small = EllipseOnBlack(40, 30, x1 - kOx, y1 - kOy, x2 - kOx, y2 - kOy);
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 40; ++x)
        ASSERT_EQ(small.At(x, y), big.At(x + kOx, y + kOy)) << x1 << "," << y1 << " " << x2 << "," << y2;
  }
}

TEST(RasterEllipse, ExtremeBoxesClipWithoutOverflow) {
  // The middle of the largest box is far inside the figure: all fill.
  Raster all(64, 48, 0);
  all.Ellipse(tk::pmCopy, kPen, kBrush, INT_MIN, INT_MIN, INT_MAX, INT_MAX);
  EXPECT_EQ(Painted(all, kBrush).size(), 0u);

  // A flat box across the whole range: only its own rows, outline at top and bottom.
  Raster flat(64, 48, 0);
  flat.Ellipse(tk::pmCopy, kPen, kBrush, INT_MIN, 10, INT_MAX, 20);
  for (auto [x, y] : Painted(flat)) ASSERT_TRUE(y >= 10 && y < 20) << x << "," << y;
  EXPECT_EQ(flat.At(30, 10), kPen);
  EXPECT_EQ(flat.At(30, 15), kBrush);
  EXPECT_EQ(flat.At(30, 19), kPen);

  EXPECT_TRUE(Painted(EllipseOnBlack(64, 48, INT_MAX - 6, 0, INT_MAX, 6)).empty());
  EXPECT_TRUE(Painted(EllipseOnBlack(64, 48, INT_MIN, INT_MIN, INT_MIN + 6, INT_MIN + 6)).empty());
  EXPECT_TRUE(Painted(EllipseOnBlack(64, 48, -6, 10, 0, 16)).empty());
  EXPECT_FALSE(Painted(EllipseOnBlack(64, 48, -6, 10, 1, 16)).empty());
}

// ---- Wide pens ------------------------------------------------------------------

TEST(RasterWideLine, BandIsAsManyPixelsAcrossAsThePenIsWide) {
  for (int width = 2; width <= 7; ++width) {
    SCOPED_TRACE(testing::Message() << "width " << width);
    const Pixels horizontal = LinePixels(10, 30, 40, 30, width);
    const Pixels vertical = LinePixels(30, 10, 30, 40, width);
    int rows = 0, columns = 0;
    for (int y = 0; y < 64; ++y) rows += horizontal.count({25, y}) ? 1 : 0;
    for (int x = 0; x < 64; ++x) columns += vertical.count({x, 25}) ? 1 : 0;
    EXPECT_EQ(rows, width);
    EXPECT_EQ(columns, width);
  }
  Pixels band;
  for (int y = 8; y <= 12; ++y)
    for (int x = 0; x < 64; ++x) band.insert({x, y});
  EXPECT_EQ(LinePixels(INT_MIN, 10, INT_MAX, 10, 5), band);
}

TEST(RasterWideLine, PaintsEachPixelAtMostOnce) {
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> coord(-10, 70);
  std::uniform_int_distribution<int> width(2, 9);
  for (int n = 0; n < 300; ++n) {
    const int x1 = coord(rng), y1 = coord(rng), x2 = coord(rng), y2 = coord(rng), w = width(rng);
    Raster r(60, 60, 0);
    r.Line(tk::pmXor, kPen, w, x1, y1, x2, y2);
    // One run per row of pen colour; a pixel hit twice would be black again.
    for (int y = 0; y < 60; ++y) {
      int runs = 0;
      std::uint32_t last = 0;
      for (int x = 0; x < 60; ++x) {
        const std::uint32_t c = r.At(x, y);
        ASSERT_TRUE(c == 0 || c == kPen);
        if (c != 0 && last == 0) ++runs;
        last = c;
      }
      ASSERT_LE(runs, 1) << x1 << "," << y1 << " " << x2 << "," << y2 << " width " << w;
    }
  }
}

}  // namespace
