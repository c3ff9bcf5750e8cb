// The program's icon as _NET_WM_ICON takes it, made from packaging/velmora.svg
// at build time: for each size, width, height, then width * height ARGB pixels,
// top row first. Empty (length 0) in a build without the icon tools.
#pragma once

#include <cstddef>

namespace tk::x11 {
extern const unsigned long kProgramIcon[];
extern const std::size_t kProgramIconLength;
}  // namespace tk::x11
