// The part of the evdev stand-in for the raw-input service that needs no device:
// what kind of device a set of event codes makes, one evdev frame -> mouse
// records, the device list's entries, and whether this service is the one to run.
// evdev_service.cpp feeds it from libevdev.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rawinput/linux/codes.h"
#include "rawinput/linux/contracts.h"
#include "rawinput/records.h"

namespace rawinput::evdev {

using namespace rawinput::stand_in;

// ---- Devices ------------------------------------------------------------------

struct AbsRange {
  int min = 0, max = 0;
};

// What a device reports, as far as its kind and its records go.
struct Caps {
  bool rel_x = false, rel_y = false;
  bool rel_wheel = false, rel_wheel_hi_res = false;
  bool rel_hwheel = false, rel_hwheel_hi_res = false;
  bool abs_x = false, abs_y = false;
  AbsRange x, y;  // of abs_x and abs_y
  bool left_button = false;  // BTN_LEFT: what tells a tablet from a joystick
  int buttons = 0;           // of BTN_LEFT to BTN_TASK
  bool finger = false;       // BTN_TOOL_FINGER or INPUT_PROP_POINTER: a touchpad
  bool keyboard_keys = false;  // the first row of keys, Esc to D, as a keyboard has
};

enum class Kind { Mouse, AbsolutePointer, Keyboard, Other };

Kind Classify(const Caps& caps);
// Raw-input type: 0 for both kinds of mouse, 1 keyboard, 2 other.
UINT TypeOf(Kind kind);

struct ListedDevice {
  int number = 0;            // N of /dev/input/eventN
  std::uint32_t handle = 0;  // non-zero
  Kind kind = Kind::Other;
};

// The device list's entries for the readable devices (any order): in node order.
std::vector<RAWINPUTDEVICELIST> ListEntries(const std::vector<ListedDevice>& devices);

// The ids the kernel gives a device; 0 where it has none.
struct Ids {
  std::uint16_t vendor = 0, product = 0, version = 0;
};

// What GetRawInputDeviceInfoA tells of /dev/input/eventN: the interface path
// "\\?\EVDEV#VID_vvvv&PID_pppp#eventN" and its kind's device record.
DeviceDescription Describe(int number, const Caps& caps, const Ids& ids, std::string name);

// ---- Frames -------------------------------------------------------------------

struct Event {
  std::uint16_t type = 0, code = 0;
  std::int32_t value = 0;
};

// Turns a device's events into mouse records, one per frame (up to SYN_REPORT).
// A frame that turns both wheels gives a second record for the horizontal one:
// usButtonData holds one wheel's turn.
class FrameTranslator {
 public:
  static constexpr int kMaxRecords = 2;

  explicit FrameTranslator(const Caps& caps = {});
  // Feeds one event; at the frame's end stores its records in out and returns
  // how many (0 when the frame changed nothing a record shows).
  int Feed(const Event& event, RAWMOUSE (&out)[kMaxRecords]);
  // Forgets the frame in progress (events were dropped); an absolute pointer
  // takes its position from the device's state.
  void Resync(int x, int y);

 private:
  Caps caps_;
  bool absolute_ = false;
  std::int64_t dx_ = 0, dy_ = 0;
  std::int64_t wheel_ = 0, hwheel_ = 0;
  bool moved_ = false;
  std::uint16_t buttons_ = 0;
  int x_ = 0, y_ = 0;  // an absolute pointer's position
};

// ---- Which service ------------------------------------------------------------

struct Choice {
  bool evdev = false;
  std::string remedy;  // one line for stderr, or empty
};

// evdev when at least one mouse's node can be read; otherwise XInput2, with a
// line that says how to get the evdev one when mice were there but unreadable.
Choice ChooseService(int mice, int readable_mice);

}  // namespace rawinput::evdev
