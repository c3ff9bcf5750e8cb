#include "rawinput/evdev/evdev_logic.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <utility>

namespace rawinput::evdev {

// ---- Devices ------------------------------------------------------------------

Kind Classify(const Caps& c) {
  if (c.rel_x && c.rel_y) return Kind::Mouse;
  if (c.abs_x && c.abs_y && !c.rel_x && !c.rel_y && !c.finger && c.left_button) return Kind::AbsolutePointer;
  if (c.keyboard_keys) return Kind::Keyboard;
  return Kind::Other;
}

UINT TypeOf(Kind kind) {
  switch (kind) {
    case Kind::Mouse:
    case Kind::AbsolutePointer: return RIM_TYPEMOUSE;
    case Kind::Keyboard: return RIM_TYPEKEYBOARD;
    case Kind::Other: break;
  }
  return RIM_TYPEHID;
}

std::vector<RAWINPUTDEVICELIST> ListEntries(const std::vector<ListedDevice>& devices) {
  std::vector<ListedDevice> sorted = devices;
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
  std::vector<RAWINPUTDEVICELIST> entries(sorted.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    entries[i].hDevice = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(sorted[i].handle));
    entries[i].dwType = TypeOf(sorted[i].kind);
  }
  return entries;
}

DeviceDescription Describe(int number, const Caps& caps, const Ids& ids, std::string name) {
  DeviceDescription d;
  d.path = InterfacePath("EVDEV", ids.vendor, ids.product, "event" + std::to_string(number));
  d.name = std::move(name);
  switch (Classify(caps)) {
    case Kind::Mouse:
    case Kind::AbsolutePointer:
      d.info = MouseInfo(static_cast<std::uint32_t>(caps.buttons), caps.rel_wheel || caps.rel_wheel_hi_res,
                         caps.rel_hwheel || caps.rel_hwheel_hi_res);
      break;
    case Kind::Keyboard: d.info = KeyboardInfo(); break;
    case Kind::Other: d.info = HidInfo(ids.vendor, ids.product, ids.version); break;
  }
  return d;
}

// ---- Frames -------------------------------------------------------------------

FrameTranslator::FrameTranslator(const Caps& caps) : caps_(caps), absolute_(Classify(caps) == Kind::AbsolutePointer) {}

void FrameTranslator::Resync(int x, int y) {
  dx_ = dy_ = wheel_ = hwheel_ = 0;
  moved_ = false;
  buttons_ = 0;
  x_ = x;
  y_ = y;
}

int FrameTranslator::Feed(const Event& e, RAWMOUSE (&out)[kMaxRecords]) {
  switch (e.type) {
    case EV_REL:
      switch (e.code) {
        case REL_X: dx_ += e.value; break;
        case REL_Y: dy_ += e.value; break;
        // A device with the high-resolution wheel reports it in 1/120 notches, as
        // Windows does, and the notch count besides: take one of the two.
        case REL_WHEEL: if (!caps_.rel_wheel_hi_res) wheel_ += std::int64_t{e.value} * WHEEL_DELTA; break;
        case REL_HWHEEL: if (!caps_.rel_hwheel_hi_res) hwheel_ += std::int64_t{e.value} * WHEEL_DELTA; break;
        case REL_WHEEL_HI_RES: wheel_ += e.value; break;
        case REL_HWHEEL_HI_RES: hwheel_ += e.value; break;
        default: break;
      }
      return 0;
    case EV_ABS:
      if (!absolute_) return 0;
      if (e.code == ABS_X) x_ = e.value, moved_ = true;
      if (e.code == ABS_Y) y_ = e.value, moved_ = true;
      return 0;
    case EV_KEY:
      // Autorepeat (2) is not a transition.
      if (e.code >= BTN_LEFT && e.code <= BTN_EXTRA && (e.value == 0 || e.value == 1)) {
        buttons_ |= ButtonFlag(static_cast<MouseButton>(e.code - BTN_LEFT), e.value == 1);
      }
      return 0;
    case EV_SYN:
      if (e.code != SYN_REPORT) return 0;
      break;
    default: return 0;
  }

  const bool motion = absolute_ ? moved_ : (dx_ != 0 || dy_ != 0);
  int n = 0;
  if (motion || buttons_ != 0 || wheel_ != 0 || hwheel_ != 0) {
    RAWMOUSE base{};
    if (absolute_) {
      base.usFlags = MOUSE_MOVE_ABSOLUTE;
      base.lLastX = NormalizeAbsolute(x_, caps_.x.min, caps_.x.max);
      base.lLastY = NormalizeAbsolute(y_, caps_.y.min, caps_.y.max);
    }
    out[0] = base;
    if (!absolute_) {
      out[0].lLastX = ClampTo<std::int32_t>(dx_);
      out[0].lLastY = ClampTo<std::int32_t>(dy_);
    }
    std::uint16_t flags = buttons_;
    std::int16_t data = 0;
    if (wheel_ != 0) {
      flags |= RI_MOUSE_WHEEL;
      data = ClampTo<std::int16_t>(wheel_);
    } else if (hwheel_ != 0) {
      flags |= RI_MOUSE_HWHEEL;
      data = ClampTo<std::int16_t>(hwheel_);
    }
    out[0].ulButtons = PackButtons(flags, data);
    n = 1;
    if (wheel_ != 0 && hwheel_ != 0) {
      out[1] = base;
      out[1].ulButtons = PackButtons(RI_MOUSE_HWHEEL, ClampTo<std::int16_t>(hwheel_));
      n = 2;
    }
  }
  Resync(x_, y_);
  return n;
}

// ---- Which service ------------------------------------------------------------

Choice ChooseService(int mice, int readable_mice) {
  Choice c;
  c.evdev = readable_mice > 0;
  if (!c.evdev && mice > 0) {
    c.remedy =
        "Velmora: the mice's event devices (/dev/input/event*) cannot be read, so XInput2 is used; to read them "
        "through evdev, join the input group (sudo usermod -aG input $USER, then log in again) or add a udev "
        "rule giving them TAG+=\"uaccess\"";
  }
  return c;
}

}  // namespace rawinput::evdev
