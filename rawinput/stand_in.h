// What the Linux stand-ins for the raw-input service share: the Windows codes
// they report and how a mouse record's buttons, wheel and absolute position are
// written, so that every stand-in writes them the same way.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "rawinput/records.h"

namespace rawinput::stand_in {

// The Windows codes GetLastError reports.
constexpr std::uint32_t kErrorInvalidHandle = 0x06;
constexpr std::uint32_t kErrorNotSupported = 0x32;
constexpr std::uint32_t kErrorInvalidParameter = 0x57;
constexpr std::uint32_t kErrorInsufficientBuffer = 0x7A;
constexpr std::uint32_t kErrorModNotFound = 0x7E;
constexpr std::uint32_t kErrorInvalidFlags = 0x3EC;

constexpr UINT RID_HEADER = 0x10000005;
constexpr std::uint32_t RIDEV_REMOVE = 0x00000001;

// The device-list query as the service answers it: the count with a null list,
// the entries when there is room, else the count and a failure.
inline UINT AnswerList(const std::vector<RAWINPUTDEVICELIST>& entries, RAWINPUTDEVICELIST* list, UINT* count,
                       UINT size, std::uint32_t& error) {
  if (size != sizeof(RAWINPUTDEVICELIST) || count == nullptr) {
    error = kErrorInvalidParameter;
    return kQueryFailed;
  }
  const auto n = static_cast<UINT>(entries.size());
  if (list == nullptr) {
    *count = n;
    return 0;
  }
  if (*count < n) {
    *count = n;
    error = kErrorInsufficientBuffer;
    return kQueryFailed;
  }
  std::copy(entries.begin(), entries.end(), list);
  return n;
}

// Windows' mouse button flags.
constexpr std::uint16_t RI_MOUSE_LEFT_BUTTON_DOWN = 0x0001;
constexpr std::uint16_t RI_MOUSE_LEFT_BUTTON_UP = 0x0002;
constexpr std::uint16_t RI_MOUSE_RIGHT_BUTTON_DOWN = 0x0004;
constexpr std::uint16_t RI_MOUSE_RIGHT_BUTTON_UP = 0x0008;
constexpr std::uint16_t RI_MOUSE_MIDDLE_BUTTON_DOWN = 0x0010;
constexpr std::uint16_t RI_MOUSE_MIDDLE_BUTTON_UP = 0x0020;
constexpr std::uint16_t RI_MOUSE_BUTTON_4_DOWN = 0x0040;
constexpr std::uint16_t RI_MOUSE_BUTTON_4_UP = 0x0080;
constexpr std::uint16_t RI_MOUSE_BUTTON_5_DOWN = 0x0100;
constexpr std::uint16_t RI_MOUSE_BUTTON_5_UP = 0x0200;
constexpr std::uint16_t RI_MOUSE_WHEEL = 0x0400;
constexpr std::uint16_t RI_MOUSE_HWHEEL = 0x0800;
constexpr std::int16_t WHEEL_DELTA = 120;
constexpr std::uint16_t MOUSE_MOVE_ABSOLUTE = 0x0001;

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

inline std::int32_t ClampToInt32(double v) {
  constexpr double lo = std::numeric_limits<std::int32_t>::min();
  constexpr double hi = std::numeric_limits<std::int32_t>::max();
  if (!(v >= lo)) return std::numeric_limits<std::int32_t>::min();  // also NaN
  if (v > hi) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(v);
}

// Windows reports absolute devices on 0..65535 across the axis range.
inline std::int32_t NormalizeAbsolute(double value, double min, double max) {
  if (!(max > min)) return ClampToInt32(std::nearbyint(value));
  const double n = (value - min) * 65535.0 / (max - min);
  return ClampToInt32(std::nearbyint(std::clamp(n, 0.0, 65535.0)));
}

}  // namespace rawinput::stand_in
