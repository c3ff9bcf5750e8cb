// libFuzzer target: both Linux device translators, the evdev frame translator
// and the XInput2 raw-event translation, each checked against a model of what
// its records must say, not only for crashes.
//
// Input layout (little-endian; reading past the end yields zeros):
//   u8: bit 0 picks the translator, 0 evdev, 1 XInput2.
// evdev:
//   u16 capabilities, bit 0 up: rel_x, rel_y, rel_wheel, rel_wheel_hi_res,
//       rel_hwheel, rel_hwheel_hi_res, abs_x, abs_y, left_button, finger,
//       keyboard_keys
//   i32 x min, x max, y min, y max; i32 x, y the device's position at start
//   events until the input ends: u8 op, u16 code, i32 value. Bits 0-4 of op are
//   the event type; with bit 7 set it is a resync to (code, value) instead.
// XInput2, operations until the input ends, each u8 op:
//   bits 0-1: 0 motion, 1 press, 2 release, 3 describe the device's axes
//   bit 2 no mask at all; bit 3 a device past the translator's table.
//   describe: u8 device, then per axis u8 absolute (bit 0), value min, max, position.
//   events: u8 device, u8 button, u8 mask length (% 9), the mask's bytes, then
//   a value per set bit of the mask.
//   A value: u8 tag; bit 7 set: f64 that follows; below 16: one of kSpecial;
//   else the whole number tag - 72.
// tests/fuzz/make_stand_in_seeds.py writes the seed corpus in this layout.
#include <linux/input-event-codes.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "rawinput/evdev/evdev_logic.h"
#include "rawinput/xi2/xi2_logic.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using rawinput::RAWMOUSE;
using namespace rawinput::stand_in;

constexpr std::uint16_t kButtonFlags = 0x03FF;  // the five buttons' downs and ups

std::uint16_t Flags(const RAWMOUSE& m) { return static_cast<std::uint16_t>(m.ulButtons & 0xFFFF); }
std::int16_t Data(const RAWMOUSE& m) { return static_cast<std::int16_t>(m.ulButtons >> 16); }

template <typename T>
T Saturate(__int128 v) {
  return static_cast<T>(std::clamp<__int128>(v, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
}

// ---- evdev --------------------------------------------------------------------

// Where a whole-number position lands on 0..65535, exactly: the nearest step,
// the even one of two equally near.
std::int32_t ExactAbsolute(std::int64_t value, std::int64_t min, std::int64_t max) {
  if (min == max) return 0;
  std::int64_t num = value - min, den = max - min;
  if (den < 0) num = -num, den = -den;
  if (num <= 0) return 0;
  if (num >= den) return 65535;
  const std::int64_t q = num * 65535 / den, r = num * 65535 % den;
  if (2 * r > den || (2 * r == den && q % 2 == 1)) return static_cast<std::int32_t>(q + 1);
  return static_cast<std::int32_t>(q);
}

// One frame as the records must tell it.
struct EvdevFrame {
  __int128 dx = 0, dy = 0, wheel = 0, hwheel = 0;
  std::uint16_t buttons = 0;
  bool moved = false;
};

void CheckEvdevRecords(const rawinput::evdev::Caps& caps, bool absolute, const EvdevFrame& f, std::int32_t x,
                       std::int32_t y, const RAWMOUSE* out, int n) {
  const bool motion = absolute ? f.moved : (f.dx != 0 || f.dy != 0);
  const bool any = motion || f.buttons != 0 || f.wheel != 0 || f.hwheel != 0;
  const int want = !any ? 0 : (f.wheel != 0 && f.hwheel != 0) ? 2 : 1;
  CHECK(n == want, "%d records for a frame that makes %d", n, want);
  for (int i = 0; i < n; ++i) {
    const RAWMOUSE& m = out[i];
    CHECK(m.ulRawButtons == 0 && m.ulExtraInformation == 0, "record %d", i);
    if (absolute) {
      CHECK(m.usFlags == MOUSE_MOVE_ABSOLUTE, "usFlags %u", m.usFlags);
      CHECK(m.lLastX == ExactAbsolute(x, caps.x.min, caps.x.max), "x %d of %d on [%d, %d]", m.lLastX, x, caps.x.min,
            caps.x.max);
      CHECK(m.lLastY == ExactAbsolute(y, caps.y.min, caps.y.max), "y %d of %d on [%d, %d]", m.lLastY, y, caps.y.min,
            caps.y.max);
    } else {
      CHECK(m.usFlags == 0, "usFlags %u", m.usFlags);
      CHECK(m.lLastX == (i == 0 ? Saturate<std::int32_t>(f.dx) : 0), "x %d", m.lLastX);
      CHECK(m.lLastY == (i == 0 ? Saturate<std::int32_t>(f.dy) : 0), "y %d", m.lLastY);
    }
  }
  if (n == 0) return;
  std::uint16_t wheel_flags = 0;
  if (f.wheel != 0) wheel_flags = RI_MOUSE_WHEEL;
  else if (f.hwheel != 0) wheel_flags = RI_MOUSE_HWHEEL;
  CHECK(Flags(out[0]) == (f.buttons | wheel_flags), "flags %x", Flags(out[0]));
  const __int128 turn = f.wheel != 0 ? f.wheel : f.hwheel;
  CHECK(Data(out[0]) == Saturate<std::int16_t>(turn), "wheel data %d", Data(out[0]));
  if (n == 2) {
    CHECK(Flags(out[1]) == RI_MOUSE_HWHEEL, "second record's flags %x", Flags(out[1]));
    CHECK(Data(out[1]) == Saturate<std::int16_t>(f.hwheel), "horizontal wheel data %d", Data(out[1]));
  }
}

void FuzzEvdev(Reader& in) {
  namespace ev = rawinput::evdev;
  const std::uint16_t bits = in.U16();
  ev::Caps caps;
  bool* const flags[] = {&caps.rel_x,       &caps.rel_y,         &caps.rel_wheel, &caps.rel_wheel_hi_res,
                         &caps.rel_hwheel,  &caps.rel_hwheel_hi_res, &caps.abs_x, &caps.abs_y,
                         &caps.left_button, &caps.finger,        &caps.keyboard_keys};
  for (std::size_t i = 0; i < std::size(flags); ++i) *flags[i] = (bits >> i) & 1;
  caps.x = {in.I32(), in.I32()};
  caps.y = {in.I32(), in.I32()};
  const bool absolute = ev::Classify(caps) == ev::Kind::AbsolutePointer;

  ev::FrameTranslator t(caps);
  std::int32_t x = in.I32(), y = in.I32();
  t.Resync(x, y);
  EvdevFrame frame;
  while (!in.Done()) {
    const std::uint8_t op = in.U8();
    const std::uint16_t code = in.U16();
    const std::int32_t value = in.I32();
    if (op & 0x80) {
      t.Resync(code, value);
      x = code, y = value;
      frame = {};
      continue;
    }
    const std::uint16_t type = op & 0x1F;
    RAWMOUSE out[ev::FrameTranslator::kMaxRecords];
    std::memset(out, 0xAB, sizeof out);
    const int n = t.Feed({type, code, value}, out);
    switch (type) {
      case EV_REL:
        if (code == REL_X) frame.dx += value;
        if (code == REL_Y) frame.dy += value;
        if (code == REL_WHEEL && !caps.rel_wheel_hi_res) frame.wheel += __int128{value} * WHEEL_DELTA;
        if (code == REL_HWHEEL && !caps.rel_hwheel_hi_res) frame.hwheel += __int128{value} * WHEEL_DELTA;
        if (code == REL_WHEEL_HI_RES) frame.wheel += value;
        if (code == REL_HWHEEL_HI_RES) frame.hwheel += value;
        break;
      case EV_ABS:
        if (absolute && code == ABS_X) x = value, frame.moved = true;
        if (absolute && code == ABS_Y) y = value, frame.moved = true;
        break;
      case EV_KEY:
        if (code >= BTN_LEFT && code <= BTN_EXTRA && (value == 0 || value == 1)) {
          frame.buttons |= ButtonFlag(static_cast<MouseButton>(code - BTN_LEFT), value == 1);
        }
        break;
      default: break;
    }
    if (type != EV_SYN || code != SYN_REPORT) {
      CHECK(n == 0, "a record before the frame's end (type %u code %u)", type, code);
      continue;
    }
    CheckEvdevRecords(caps, absolute, frame, x, y, out, n);
    frame = {};
  }
}

// ---- XInput2 ------------------------------------------------------------------

constexpr double kSpecial[] = {
    std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),  -std::numeric_limits<double>::infinity(),
    1e308,                                    -1e308,
    2147483647.5,                             -2147483648.5,
    0.5,                                      -0.5,
    0.3,                                      1e-300,
    65535,                                    std::numeric_limits<double>::denorm_min(),
    4294967296.0,                             -1.5,
};

double Value(Reader& in) {
  const std::uint8_t tag = in.U8();
  if (tag & 0x80) return in.F64();
  if (tag < std::size(kSpecial)) return kSpecial[tag];
  return tag - 72.0;
}

rawinput::xi2::Axis ReadAxis(Reader& in) {
  rawinput::xi2::Axis a;
  a.absolute = in.U8() & 1;
  a.min = Value(in);
  a.max = Value(in);
  a.value = Value(in);
  return a;
}

// What a device's records must follow from.
struct Xi2Device {
  rawinput::xi2::Axis x, y;  // value: the axis's last position
  double rest_x = 0, rest_y = 0;  // motion sent and not yet reported
  bool Absolute() const { return x.absolute || y.absolute; }
};

// An absolute position is within half a step of its place on 0..65535.
void CheckAbsolute(std::int32_t got, const rawinput::xi2::Axis& a, const char* axis) {
  CHECK(got >= 0 && got <= 65535, "%s %d", axis, got);
  long double want = 0;
  if (a.min != a.max) {
    const long double f = (static_cast<long double>(a.value) - a.min) / (static_cast<long double>(a.max) - a.min);
    if (!std::isnan(f)) want = std::clamp(f, 0.0L, 1.0L) * 65535;
  }
  CHECK(std::fabs(got - want) <= 0.5L + 1e-6L, "%s %d of %g on [%g, %g]", axis, got, a.value, a.min, a.max);
}

// Relative motion: what is reported is the whole count nearest to what was sent
// and not yet reported, held in 32 bits; a fraction below one count stays.
// The sum is a double's, as the translator keeps it: next to a 32-bit limit a
// wider sum can keep a fraction that the double's rounding has already spent.
void CheckRelative(std::int32_t got, bool sent, double value, double& rest, const char* axis) {
  if (!sent) {
    CHECK(got == 0, "%s %d with none sent", axis, got);
    return;
  }
  const double total = rest + value;
  if (total >= INT_MAX) {
    CHECK(got == INT_MAX, "%s %d for %g", axis, got, total);
  } else if (total <= INT_MIN) {
    CHECK(got == INT_MIN, "%s %d for %g", axis, got, total);
  } else {
    CHECK(std::fabs(total - got) <= 0.5 + 1e-3, "%s %d for %g", axis, got, total);
  }
  rest = total - got;
  if (!(std::fabs(rest) < 1)) rest = 0;
}

// A button's record carries its flag; one Windows has no flag for makes a
// record only for the motion it carries.
void CheckButton(const RAWMOUSE& m, bool translated, bool moved, rawinput::xi2::RawKind kind, int button) {
  const bool press = kind == rawinput::xi2::RawKind::Press;
  const bool known = (button >= 1 && button <= 3) || button == 8 || button == 9 || (press && button >= 4 && button <= 7);
  CHECK(translated == (known || moved), "button %d, press %d, moved %d, translated %d", button, press, moved,
        translated);
  if (!translated) return;
  const std::uint16_t flags = Flags(m);
  if (!known) {
    CHECK(m.ulButtons == 0, "button %d: %x", button, m.ulButtons);
    return;
  }
  CHECK(std::popcount(flags) == 1, "button %d: flags %x", button, flags);
  if (button >= 4 && button <= 7) {
    CHECK((flags & (RI_MOUSE_WHEEL | RI_MOUSE_HWHEEL)) && std::abs(Data(m)) == WHEEL_DELTA, "wheel %x %d", flags,
          Data(m));
  } else {
    CHECK((flags & kButtonFlags) && Data(m) == 0, "button %x %d", flags, Data(m));
    // Downs are the even bits, ups the odd ones.
    CHECK(((flags & 0x0155) != 0) == press, "button %d press %d: %x", button, press, flags);
  }
}

void FuzzXi2(Reader& in) {
  namespace xi = rawinput::xi2;
  static xi::Translator t;  // 256 devices' state: made once, reset below
  std::vector<Xi2Device> devices(xi::Translator::kMaxDevices);
  for (int d = 0; d < xi::Translator::kMaxDevices; ++d) t.SetAxes(d, {}, {});

  while (!in.Done()) {
    const std::uint8_t op = in.U8();
    const int device = in.U8() + ((op & 0x08) ? xi::Translator::kMaxDevices : 0);
    if ((op & 3) == 3) {
      const xi::Axis x = ReadAxis(in), y = ReadAxis(in);
      t.SetAxes(device, x, y);
      if (device < xi::Translator::kMaxDevices) devices[device] = {x, y, 0, 0};
      continue;
    }
    const auto kind = static_cast<xi::RawKind>(op & 3);
    const int button = in.U8();
    unsigned char mask[8] = {};
    const int mask_len = in.U8() % 9;
    std::vector<double> values;
    int set = 0;
    for (int i = 0; i < mask_len; ++i) set += std::popcount(mask[i] = in.U8());
    for (int i = 0; i < set; ++i) values.push_back(Value(in));
    xi::RawEvent e;
    e.kind = kind;
    e.device = device;
    e.detail = button;
    e.mask = (op & 0x04) ? nullptr : mask;
    e.mask_len = mask_len;
    e.raw_values = values.data();

    RAWMOUSE m;
    std::memset(&m, 0xAB, sizeof m);
    const bool translated = t.Translate(e, m);

    const bool sent_x = e.mask && mask_len > 0 && (mask[0] & 1);
    const bool sent_y = e.mask && mask_len > 0 && (mask[0] & 2);
    const double vx = sent_x ? values[0] : 0, vy = sent_y ? values[sent_x ? 1 : 0] : 0;
    const bool has_x = sent_x && !std::isnan(vx), has_y = sent_y && !std::isnan(vy);
    Xi2Device scratch;
    Xi2Device& d = device < xi::Translator::kMaxDevices ? devices[device] : scratch;
    if (kind == xi::RawKind::Motion) {
      CHECK(translated == (has_x || has_y), "motion with x %d y %d translated %d", has_x, has_y, translated);
      if (!translated) continue;
      CHECK(m.ulButtons == 0, "motion with buttons %x", m.ulButtons);
    } else {
      CheckButton(m, translated, has_x || has_y, kind, button);
      if (!translated) continue;
    }
    CHECK(m.ulRawButtons == 0 && m.ulExtraInformation == 0, "raw buttons or extra information");
    if (d.Absolute()) {
      CHECK(m.usFlags == MOUSE_MOVE_ABSOLUTE, "usFlags %u", m.usFlags);
      if (has_x) d.x.value = vx;
      if (has_y) d.y.value = vy;
      CheckAbsolute(m.lLastX, d.x, "x");
      CheckAbsolute(m.lLastY, d.y, "y");
    } else {
      CHECK(m.usFlags == 0, "usFlags %u", m.usFlags);
      CheckRelative(m.lLastX, has_x, vx, d.rest_x, "x");
      CheckRelative(m.lLastY, has_y, vy, d.rest_y, "y");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  if (in.U8() & 1) {
    FuzzXi2(in);
  } else {
    FuzzEvdev(in);
  }
  return 0;
}
