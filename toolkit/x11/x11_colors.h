// Toolkit colours and pen modes on X: system colours resolved to the classic
// palette, 0x00BBGGRR turned into the visual's pixel values, pen modes into GC
// functions.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <unordered_map>

#include "toolkit/toolkit.h"

namespace tk::x11 {

// Classic system colours, 0x00BBGGRR.
constexpr TColor kWindow = 0xFFFFFF;
constexpr TColor kGrayText = 0x808080;
constexpr TColor kHighlight = 0xFFFFFF;
constexpr TColor kLight = 0xC0C0C0;
constexpr TColor kShadow = 0x808080;
constexpr TColor kDarkShadow = 0x000000;

// The toolkit's pen modes in their order (black, white, nop, not, copy, not copy,
// merge pen not, mask pen not, merge not pen, mask not pen, merge, not merge,
// mask, not mask, xor, not xor) as X raster operations on (src = pen, dst).
inline int GcFunction(TPenMode mode) {
  static const int kFunctions[16] = {GXclear,      GXset,         GXnoop, GXinvert, GXcopy, GXcopyInverted,
                                     GXorReverse,  GXandReverse,  GXorInverted, GXandInverted, GXor, GXnor,
                                     GXand,        GXnand,        GXxor, GXequiv};
  return mode >= 0 && mode < 16 ? kFunctions[mode] : GXcopy;
}

// On TrueColor visuals a pixel is the channels shifted into the visual's masks,
// so XOR on pixels is XOR on colours; other visuals allocate colours once each.
class PixelMapper {
 public:
  void Init(const Visual* visual) {
    true_color_ = visual->c_class == TrueColor || visual->c_class == DirectColor;
    red_ = Channel(visual->red_mask);
    green_ = Channel(visual->green_mask);
    blue_ = Channel(visual->blue_mask);
  }

  unsigned long Pixel(Display* display, Colormap colormap, TColor rgb) {
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

 private:
  struct Channel {
    Channel() = default;
    explicit Channel(unsigned long mask) {
      if (mask == 0) return;
      while (!(mask & 1)) {
        mask >>= 1;
        ++shift;
      }
      max = mask;
    }
    unsigned long Place(unsigned v) const { return ((v * max + 127) / 255) << shift; }
    int shift = 0;
    unsigned long max = 0;
  };

  bool true_color_ = false;
  Channel red_, green_, blue_;
  std::unordered_map<TColor, unsigned long> cache_;
};

}  // namespace tk::x11
