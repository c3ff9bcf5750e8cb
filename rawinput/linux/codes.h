// The Windows codes the Linux stand-ins report, and how a mouse record's buttons,
// wheel and absolute position are written, so that every stand-in writes them alike.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "log/recording_format.h"
#include "rawinput/records.h"

namespace rawinput::stand_in {

// The Windows codes GetLastError reports.
constexpr std::uint32_t kErrorInvalidHandle = 0x06;
constexpr std::uint32_t kErrorNotSupported = 0x32;
constexpr std::uint32_t kErrorInvalidParameter = 0x57;
constexpr std::uint32_t kErrorInsufficientBuffer = 0x7A;
constexpr std::uint32_t kErrorModNotFound = 0x7E;
constexpr std::uint32_t kErrorInvalidFlags = 0x3EC;
constexpr std::uint32_t kErrorNoAccess = 0x3E6;

constexpr UINT RID_HEADER = 0x10000005;
constexpr std::uint32_t RIDEV_REMOVE = 0x00000001;

// Windows' mouse button flags, as the recording writes them.
using recording::MOUSE_MOVE_ABSOLUTE;
using recording::RI_MOUSE_BUTTON_4_DOWN;
using recording::RI_MOUSE_BUTTON_4_UP;
using recording::RI_MOUSE_BUTTON_5_DOWN;
using recording::RI_MOUSE_BUTTON_5_UP;
using recording::RI_MOUSE_HWHEEL;
using recording::RI_MOUSE_LEFT_BUTTON_DOWN;
using recording::RI_MOUSE_LEFT_BUTTON_UP;
using recording::RI_MOUSE_MIDDLE_BUTTON_DOWN;
using recording::RI_MOUSE_MIDDLE_BUTTON_UP;
using recording::RI_MOUSE_RIGHT_BUTTON_DOWN;
using recording::RI_MOUSE_RIGHT_BUTTON_UP;
using recording::RI_MOUSE_WHEEL;
using recording::WHEEL_DELTA;

// The five buttons Windows reports, in its order (and the kernel's, from BTN_LEFT).
enum class MouseButton { Left, Right, Middle, Side, Extra };

struct ButtonFlagPair {
  std::uint16_t down, up;
};
constexpr ButtonFlagPair kButtonFlags[] = {
    {RI_MOUSE_LEFT_BUTTON_DOWN, RI_MOUSE_LEFT_BUTTON_UP},     {RI_MOUSE_RIGHT_BUTTON_DOWN, RI_MOUSE_RIGHT_BUTTON_UP},
    {RI_MOUSE_MIDDLE_BUTTON_DOWN, RI_MOUSE_MIDDLE_BUTTON_UP}, {RI_MOUSE_BUTTON_4_DOWN, RI_MOUSE_BUTTON_4_UP},
    {RI_MOUSE_BUTTON_5_DOWN, RI_MOUSE_BUTTON_5_UP},
};

inline std::uint16_t ButtonFlag(MouseButton b, bool down) {
  const ButtonFlagPair& f = kButtonFlags[static_cast<int>(b)];
  return down ? f.down : f.up;
}

// usButtonFlags and usButtonData share ulButtons, as Windows' union lays them out.
inline std::uint32_t PackButtons(std::uint16_t flags, std::int16_t data) {
  return flags | (static_cast<std::uint32_t>(static_cast<std::uint16_t>(data)) << 16);
}

// v in T's range: a value past either end gives that end, NaN gives 0.
template <typename T>
T ClampTo(double v) {
  static_assert(sizeof(T) <= 4, "a double holds every value of T exactly");
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
  constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
  if (std::isnan(v)) return 0;
  if (v < lo) return std::numeric_limits<T>::min();
  if (v > hi) return std::numeric_limits<T>::max();
  return static_cast<T>(v);
}

// Windows reports absolute devices on 0..65535 across the axis range, so every
// value lands there. An inverted range (min > max) counts from min the other
// way, as a flipped axis would. A range without width (min == max, or bounds
// that are not numbers) has one place: 0. A NaN value gives 0 as well; the
// translators keep the last position instead of passing one on.
inline std::int32_t NormalizeAbsolute(double value, double min, double max) {
  if (min == max) return 0;
  const double width = max - min;
  double n = (value - min) * 65535.0 / width;  // exact for whole-number bounds
  if (!std::isfinite(n)) {
    // Far past an end, or bounds further apart than a double holds
    // (-1e308..1e308, taken in halves): as a fraction of the range.
    const double f = std::isfinite(width) ? (value - min) / width : (value / 2 - min / 2) / (max / 2 - min / 2);
    n = f * 65535.0;
  }
  if (std::isnan(n)) return 0;
  return static_cast<std::int32_t>(std::nearbyint(std::clamp(n, 0.0, 65535.0)));
}

}  // namespace rawinput::stand_in
