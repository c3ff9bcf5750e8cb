// The recording's format, in one place: log.csv's and devices.csv's columns and
// header lines, and what the mouse fields' flags mean. The CSV writer, the OSC
// stream, velmora-report's reader and the recording generator all read it; the
// test scripts read the column lists from this file too, so keep each list on
// its own lines as it stands.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "rawinput/records.h"

namespace recording {

// log.csv: one row per packet; a drop row fills the first three and leaves the rest empty.
inline constexpr std::string_view kLogColumns[] = {
    "time_us", "handle", "index", "usFlags", "ulButtons", "usButtonFlags", "usButtonData", "ulRawButtons",
    "lLastX", "lLastY", "ulExtraInformation",
};
inline constexpr std::size_t kLogColumnCount = std::size(kLogColumns);
// The columns a drop row fills.
inline constexpr std::size_t kDropColumnCount = 3;

// devices.csv: one row per device.
inline constexpr std::string_view kDeviceColumns[] = {
    "handle", "index", "type", "name", "vendor", "product", "clock_us",
};
inline constexpr std::size_t kDeviceColumnCount = std::size(kDeviceColumns);

// devices.csv's type column.
inline constexpr std::string_view kTypeMouse = "Mouse";
inline constexpr std::string_view kTypeKeyboard = "Keyboard";
inline constexpr std::string_view kTypeHid = "HID";

// usButtonFlags: Windows' mouse button flags.
inline constexpr std::uint16_t RI_MOUSE_LEFT_BUTTON_DOWN = 0x0001;
inline constexpr std::uint16_t RI_MOUSE_LEFT_BUTTON_UP = 0x0002;
inline constexpr std::uint16_t RI_MOUSE_RIGHT_BUTTON_DOWN = 0x0004;
inline constexpr std::uint16_t RI_MOUSE_RIGHT_BUTTON_UP = 0x0008;
inline constexpr std::uint16_t RI_MOUSE_MIDDLE_BUTTON_DOWN = 0x0010;
inline constexpr std::uint16_t RI_MOUSE_MIDDLE_BUTTON_UP = 0x0020;
inline constexpr std::uint16_t RI_MOUSE_BUTTON_4_DOWN = 0x0040;
inline constexpr std::uint16_t RI_MOUSE_BUTTON_4_UP = 0x0080;
inline constexpr std::uint16_t RI_MOUSE_BUTTON_5_DOWN = 0x0100;
inline constexpr std::uint16_t RI_MOUSE_BUTTON_5_UP = 0x0200;
inline constexpr std::uint16_t RI_MOUSE_WHEEL = 0x0400;
inline constexpr std::uint16_t RI_MOUSE_HWHEEL = 0x0800;
// With either wheel flag, usButtonData is a signed count of WHEEL_DELTA units;
// otherwise it is a plain 16-bit value.
inline constexpr std::uint16_t kWheelFlags = RI_MOUSE_WHEEL | RI_MOUSE_HWHEEL;
inline constexpr std::int16_t WHEEL_DELTA = 120;
// The down flags of buttons 1 to 5.
inline constexpr std::uint16_t kButtonDownFlags[] = {RI_MOUSE_LEFT_BUTTON_DOWN, RI_MOUSE_RIGHT_BUTTON_DOWN,
                                                     RI_MOUSE_MIDDLE_BUTTON_DOWN, RI_MOUSE_BUTTON_4_DOWN,
                                                     RI_MOUSE_BUTTON_5_DOWN};

// usFlags: lLastX and lLastY are a position, not a motion.
inline constexpr std::uint16_t MOUSE_MOVE_ABSOLUTE = 0x0001;

inline constexpr bool IsWheel(std::uint32_t button_flags) { return (button_flags & kWheelFlags) != 0; }

// Windows keeps handle values within 32 bits; the panel prints the same number.
inline std::int32_t HandleValue(rawinput::HANDLE h) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h)));
}

// A packet's values as log.csv's row holds them, one member per column.
struct PacketFields {
  std::int64_t time_us;
  std::int32_t handle;
  std::int32_t index;
  std::uint16_t usFlags;
  std::uint32_t ulButtons;
  std::uint16_t usButtonFlags;
  std::int32_t usButtonData;  // signed for the wheels, 0..65535 otherwise
  std::uint32_t ulRawButtons;
  std::int32_t lLastX;
  std::int32_t lLastY;
  std::uint32_t ulExtraInformation;
};

inline PacketFields FieldsOf(std::int64_t time_us, rawinput::HANDLE device, std::int32_t index,
                             const rawinput::RAWMOUSE& m) {
  const std::uint16_t flags = rawinput::ButtonFlags(m);
  const std::uint16_t data = rawinput::ButtonData(m);
  return {time_us,       HandleValue(device),
          index,         m.usFlags,
          m.ulButtons,   flags,
          IsWheel(flags) ? static_cast<std::int16_t>(data) : static_cast<std::int32_t>(data),
          m.ulRawButtons, m.lLastX,
          m.lLastY,      m.ulExtraInformation};
}

// Hands each value to visit in the columns' order: the one order every writer follows.
template <class Visit>
void ForEachField(const PacketFields& f, Visit&& visit) {
  visit(f.time_us);
  visit(f.handle);
  visit(f.index);
  visit(f.usFlags);
  visit(f.ulButtons);
  visit(f.usButtonFlags);
  visit(f.usButtonData);
  visit(f.ulRawButtons);
  visit(f.lLastX);
  visit(f.lLastY);
  visit(f.ulExtraInformation);
}
static_assert(kLogColumnCount == 11, "ForEachField visits one value per column");

namespace detail {
template <std::size_t N>
constexpr std::size_t HeaderLength(const std::string_view (&columns)[N]) {
  std::size_t n = 0;
  for (const std::string_view c : columns) n += c.size() + 1;  // a comma or the line's end
  return n;
}

template <std::size_t Length, std::size_t N>
constexpr std::array<char, Length> JoinHeader(const std::string_view (&columns)[N]) {
  std::array<char, Length> line{};
  std::size_t at = 0;
  for (const std::string_view c : columns) {
    if (at != 0) line[at++] = ',';
    for (const char ch : c) line[at++] = ch;
  }
  line[at] = '\n';
  return line;
}

inline constexpr auto kLogHeaderLine = JoinHeader<HeaderLength(kLogColumns)>(kLogColumns);
inline constexpr auto kDevicesHeaderLine = JoinHeader<HeaderLength(kDeviceColumns)>(kDeviceColumns);
}  // namespace detail

// The header lines, without and with the line's end.
inline constexpr std::string_view kLogHeader(detail::kLogHeaderLine.data(), detail::kLogHeaderLine.size() - 1);
inline constexpr std::string_view kLogHeaderLine(detail::kLogHeaderLine.data(), detail::kLogHeaderLine.size());
inline constexpr std::string_view kDevicesHeader(detail::kDevicesHeaderLine.data(),
                                                 detail::kDevicesHeaderLine.size() - 1);
inline constexpr std::string_view kDevicesHeaderLine(detail::kDevicesHeaderLine.data(),
                                                     detail::kDevicesHeaderLine.size());

}  // namespace recording
