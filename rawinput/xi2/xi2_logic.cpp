#include "rawinput/xi2/xi2_logic.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace rawinput::xi2 {

// ---- Devices ------------------------------------------------------------------

int DeviceType(const DeviceInfo& device) {
  if (!device.enabled) return -1;
  switch (device.use) {
    case DeviceUse::MasterPointer:
    case DeviceUse::MasterKeyboard: return -1;
    case DeviceUse::SlavePointer: return static_cast<int>(RIM_TYPEMOUSE);
    case DeviceUse::SlaveKeyboard: return static_cast<int>(RIM_TYPEKEYBOARD);
    case DeviceUse::FloatingSlave:
      if (device.has_pointer && !device.has_keys) return static_cast<int>(RIM_TYPEMOUSE);
      if (device.has_keys) return static_cast<int>(RIM_TYPEKEYBOARD);
      return static_cast<int>(RIM_TYPEHID);
  }
  return -1;
}

std::vector<RAWINPUTDEVICELIST> ListEntries(const std::vector<DeviceInfo>& devices) {
  std::vector<std::pair<int, RAWINPUTDEVICELIST>> listed;  // by id
  listed.reserve(devices.size());
  for (const DeviceInfo& d : devices) {
    const int type = DeviceType(d);
    if (type < 0) continue;
    RAWINPUTDEVICELIST entry{};
    entry.hDevice = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(d.handle));
    entry.dwType = static_cast<UINT>(type);
    listed.emplace_back(d.id, entry);
  }
  std::sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<RAWINPUTDEVICELIST> entries;
  entries.reserve(listed.size());
  for (const auto& l : listed) entries.push_back(l.second);
  return entries;
}

DeviceDescription Describe(const DeviceInfo& device) {
  DeviceDescription d;
  d.path = InterfacePath("XI2", device.vendor, device.product, std::to_string(device.handle));
  d.name = device.name;
  const int type = DeviceType(device);
  if (type == static_cast<int>(RIM_TYPEMOUSE)) {
    // Buttons 4 to 7 are the wheels' turns, not buttons Windows would count.
    const int n = device.buttons;
    const auto buttons = static_cast<std::uint32_t>(std::min(n, 3) + std::max(n - 7, 0));
    d.info = MouseInfo(buttons, n >= 5, n >= 7);
  } else if (type == static_cast<int>(RIM_TYPEKEYBOARD)) {
    d.info = KeyboardInfo();
  } else {
    d.info = HidInfo(device.vendor, device.product, 0);
  }
  return d;
}

std::int64_t ServerTimeUs(std::uint32_t time, std::uint32_t start) {
  return std::int64_t{static_cast<std::uint32_t>(time - start)} * 1000;
}

void DeviceHandles::Arrived(int id) {
  if (id < 0 || id >= kIds || ids_[id].present) return;
  ids_[id].present = true;
  ++ids_[id].devices;
}

void DeviceHandles::Left(int id) {
  if (id >= 0 && id < kIds) ids_[id].present = false;
}

std::uint32_t DeviceHandles::Of(int id) const {
  if (id < 0 || id >= kIds || ids_[id].devices == 0) return static_cast<std::uint32_t>(id);
  return static_cast<std::uint32_t>(id) + static_cast<std::uint32_t>(kIds) * (ids_[id].devices - 1);
}

// ---- Events -------------------------------------------------------------------

namespace {

bool MaskBit(const RawEvent& e, int bit) {
  return bit / 8 < e.mask_len && e.mask != nullptr && (e.mask[bit / 8] & (1u << (bit % 8))) != 0;
}

void Buttons(RAWMOUSE& out, std::uint16_t flags, std::int16_t data) { out.ulButtons = PackButtons(flags, data); }

void Button(RAWMOUSE& out, MouseButton b, bool down) { Buttons(out, ButtonFlag(b, down), 0); }

}  // namespace

void Translator::SetAxes(int device, Axis x, Axis y) {
  if (device < 0 || device >= kMaxDevices) return;
  devices_[device] = DeviceState{x, y, 0, 0};
}

// Fractions are kept per device, so slow sub-pixel motion still adds up.
std::int32_t Translator::Relative(double value, double& rest) {
  rest += value;
  const double whole = std::nearbyint(rest);
  const std::int32_t reported = ClampTo<std::int32_t>(whole);
  rest -= reported;
  if (!(std::fabs(rest) < 1.0)) rest = 0;  // a clamped or NaN value leaves nothing behind
  return reported;
}

std::int32_t Translator::Normalized(double value, const Axis& axis) {
  return NormalizeAbsolute(value, axis.min, axis.max);
}

bool Translator::Translate(const RawEvent& event, RAWMOUSE& out) {
  out = RAWMOUSE{};
  DeviceState scratch;
  DeviceState& state = event.device >= 0 && event.device < kMaxDevices ? devices_[event.device] : scratch;

  // raw_values holds one value per set bit, so x and y sit after any lower bits.
  const bool sent_x = MaskBit(event, 0);
  const double x = sent_x ? event.raw_values[0] : 0.0;
  const bool sent_y = MaskBit(event, 1);
  const double y = sent_y ? event.raw_values[sent_x ? 1 : 0] : 0.0;
  const bool has_x = sent_x && !std::isnan(x);
  const bool has_y = sent_y && !std::isnan(y);
  if (event.kind == RawKind::Motion && !has_x && !has_y) return false;
  if (state.x.absolute || state.y.absolute) {
    if (has_x) state.x.value = x;
    if (has_y) state.y.value = y;
    out.usFlags = MOUSE_MOVE_ABSOLUTE;
    out.lLastX = Normalized(state.x.value, state.x);
    out.lLastY = Normalized(state.y.value, state.y);
  } else {
    out.lLastX = has_x ? Relative(x, state.rest_x) : 0;
    out.lLastY = has_y ? Relative(y, state.rest_y) : 0;
  }
  const bool moved = has_x || has_y;
  if (event.kind == RawKind::Motion) return true;

  // A button Windows has no flag for, or a wheel button's release, still
  // reports the motion it carries.
  const bool down = event.kind == RawKind::Press;
  switch (event.detail) {
    case 1: Button(out, MouseButton::Left, down); return true;
    case 2: Button(out, MouseButton::Middle, down); return true;
    case 3: Button(out, MouseButton::Right, down); return true;
    // X sends each wheel notch as a click; Windows reports only the turn.
    case 4: if (!down) return moved; Buttons(out, RI_MOUSE_WHEEL, WHEEL_DELTA); return true;
    case 5: if (!down) return moved; Buttons(out, RI_MOUSE_WHEEL, -WHEEL_DELTA); return true;
    case 6: if (!down) return moved; Buttons(out, RI_MOUSE_HWHEEL, -WHEEL_DELTA); return true;
    case 7: if (!down) return moved; Buttons(out, RI_MOUSE_HWHEEL, WHEEL_DELTA); return true;
    case 8: Button(out, MouseButton::Side, down); return true;
    case 9: Button(out, MouseButton::Extra, down); return true;
    default: return moved;
  }
}

}  // namespace rawinput::xi2
