// The classic Windows look, for backends that have no system palette or window
// frame of their own to ask: the system colours and the frame's size.
#pragma once

#include "toolkit/toolkit.h"

namespace tk::classic {

// System colours, 0x00BBGGRR.
constexpr TColor kWindow = 0xFFFFFF;
constexpr TColor kButtonFace = 0xC0C0C0;
constexpr TColor kShadow = 0x808080;
constexpr TColor kGrayText = 0x808080;
constexpr TColor kHighlight = 0xFFFFFF;
constexpr TColor kLight = 0xC0C0C0;
constexpr TColor kDarkShadow = 0x000000;
constexpr TColor kText = 0x000000;

// A system colour's classic value; any other colour as it is.
constexpr TColor Color(TColor c) {
  if (!IsSystemColor(c)) return c & 0xFFFFFF;
  switch (c & 0xFF) {
    case 5: return kWindow;
    case 15: return kButtonFace;
    case 16: return kShadow;
    case 17: return kGrayText;
    case 20: return kHighlight;
    case 22: return kLight;
    default: return kText;  // window text, button text, 3D dark shadow
  }
}

// A sizable window's frame: 4-pixel borders and a 19-pixel caption. The client
// area is the description's outer size less these.
constexpr int kBorder = 4;
constexpr int kCaption = 19;
constexpr int kFrameWidth = 2 * kBorder;
constexpr int kFrameHeight = 2 * kBorder + kCaption;

}  // namespace tk::classic
