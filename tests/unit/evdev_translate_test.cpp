// The evdev stand-in's device kinds, its frame -> mouse record translation, its
// device list, and the choice between the two Linux services.
#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <climits>
#include <cstring>
#include <vector>

#include "rawinput/evdev/evdev_logic.h"
#include "rawinput/linux/contracts.h"

namespace {

using namespace rawinput;
using namespace rawinput::evdev;

Caps Mouse() {
  Caps c;
  c.rel_x = c.rel_y = c.rel_wheel = c.rel_hwheel = c.left_button = true;
  return c;
}

Caps Tablet() {
  Caps c;
  c.abs_x = c.abs_y = c.left_button = c.rel_wheel = true;
  c.x = {0, 32767};
  c.y = {100, 1100};
  return c;
}

TEST(EvdevDevicesTest, KindsAndTypes) {
  Caps touchpad = Tablet();
  touchpad.finger = true;
  Caps joystick = Tablet();
  joystick.left_button = false;
  Caps keyboard;
  keyboard.keyboard_keys = true;
  Caps keyboard_with_pointer = Mouse();
  keyboard_with_pointer.keyboard_keys = true;
  Caps wheel_only;
  wheel_only.rel_wheel = true;
  Caps rel_x_only;
  rel_x_only.rel_x = true;
  const struct {
    const char* name;
    Caps caps;
    Kind kind;
    UINT type;
  } cases[] = {
      {"mouse", Mouse(), Kind::Mouse, RIM_TYPEMOUSE},
      {"tablet", Tablet(), Kind::AbsolutePointer, RIM_TYPEMOUSE},
      {"touchpad", touchpad, Kind::Other, RIM_TYPEHID},
      {"joystick", joystick, Kind::Other, RIM_TYPEHID},
      {"keyboard", keyboard, Kind::Keyboard, RIM_TYPEKEYBOARD},
      {"keyboard with a pointer", keyboard_with_pointer, Kind::Mouse, RIM_TYPEMOUSE},
      {"wheel alone", wheel_only, Kind::Other, RIM_TYPEHID},
      {"x alone", rel_x_only, Kind::Other, RIM_TYPEHID},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Classify(c.caps), c.kind) << c.name;
    EXPECT_EQ(TypeOf(Classify(c.caps)), c.type) << c.name;
  }
}

struct Record {
  std::uint16_t flags;  // usFlags
  std::uint16_t button_flags;
  std::int16_t button_data;
  std::int32_t x, y;
};

std::vector<Record> Frame(FrameTranslator& t, const std::vector<Event>& events) {
  std::vector<Record> records;
  std::vector<Event> all = events;
  all.push_back({EV_SYN, SYN_REPORT, 0});
  for (const Event& e : all) {
    RAWMOUSE out[FrameTranslator::kMaxRecords];
    std::memset(out, 0xAB, sizeof out);
    const int n = t.Feed(e, out);
    if (e.type != EV_SYN) {
      EXPECT_EQ(n, 0) << "a record before the frame's end";
    }
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(out[i].ulRawButtons, 0u);
      EXPECT_EQ(out[i].ulExtraInformation, 0u);
      records.push_back({out[i].usFlags, rawinput::ButtonFlags(out[i]), static_cast<std::int16_t>(ButtonData(out[i])),
                         out[i].lLastX, out[i].lLastY});
    }
  }
  return records;
}

bool operator==(const Record& a, const Record& b) {
  return a.flags == b.flags && a.button_flags == b.button_flags && a.button_data == b.button_data && a.x == b.x &&
         a.y == b.y;
}

std::ostream& operator<<(std::ostream& o, const Record& r) {
  return o << "{usFlags " << r.flags << ", buttons " << std::hex << r.button_flags << std::dec << ", data "
           << r.button_data << ", " << r.x << ", " << r.y << "}";
}

TEST(EvdevFrameTest, RelativeFrames) {
  Caps hi_res = Mouse();
  hi_res.rel_wheel_hi_res = hi_res.rel_hwheel_hi_res = true;
  const struct {
    const char* name;
    Caps caps;
    std::vector<Event> events;
    std::vector<Record> records;
  } cases[] = {
      {"motion is summed", Mouse(), {{EV_REL, REL_X, 3}, {EV_REL, REL_Y, -1}, {EV_REL, REL_X, 2}}, {{0, 0, 0, 5, -1}}},
      {"motion that sums to nothing", Mouse(), {{EV_REL, REL_X, 3}, {EV_REL, REL_X, -3}}, {}},
      {"an empty frame", Mouse(), {{EV_MSC, MSC_SCAN, 90001}}, {}},
      {"left down with motion", Mouse(), {{EV_KEY, BTN_LEFT, 1}, {EV_REL, REL_X, -1}}, {{0, 0x0001, 0, -1, 0}}},
      {"left up", Mouse(), {{EV_KEY, BTN_LEFT, 0}}, {{0, 0x0002, 0, 0, 0}}},
      {"right, middle", Mouse(), {{EV_KEY, BTN_RIGHT, 1}, {EV_KEY, BTN_MIDDLE, 0}}, {{0, 0x0004 | 0x0020, 0, 0, 0}}},
      {"side and extra", Mouse(), {{EV_KEY, BTN_SIDE, 1}, {EV_KEY, BTN_EXTRA, 0}}, {{0, 0x0040 | 0x0200, 0, 0, 0}}},
      {"side up, extra down", Mouse(), {{EV_KEY, BTN_SIDE, 0}, {EV_KEY, BTN_EXTRA, 1}}, {{0, 0x0080 | 0x0100, 0, 0, 0}}},
      {"autorepeat and other buttons", Mouse(), {{EV_KEY, BTN_LEFT, 2}, {EV_KEY, BTN_FORWARD, 1}}, {}},
      {"wheel notches", Mouse(), {{EV_REL, REL_WHEEL, -2}}, {{0, 0x0400, -240, 0, 0}}},
      {"horizontal wheel", Mouse(), {{EV_REL, REL_HWHEEL, 1}}, {{0, 0x0800, 120, 0, 0}}},
      {"high resolution wheel only", hi_res, {{EV_REL, REL_WHEEL_HI_RES, 30}, {EV_REL, REL_WHEEL, 1}}, {{0, 0x0400, 30, 0, 0}}},
      {"high resolution, a whole notch", hi_res, {{EV_REL, REL_HWHEEL, -1}, {EV_REL, REL_HWHEEL_HI_RES, -120}},
       {{0, 0x0800, -120, 0, 0}}},
      {"both wheels: two records", Mouse(), {{EV_REL, REL_X, 1}, {EV_KEY, BTN_LEFT, 1}, {EV_REL, REL_WHEEL, 1}, {EV_REL, REL_HWHEEL, -1}},
       {{0, 0x0401, 120, 1, 0}, {0, 0x0800, -120, 0, 0}}},
      {"wheel past usButtonData", Mouse(), {{EV_REL, REL_WHEEL, 1000}}, {{0, 0x0400, 32767, 0, 0}}},
      {"motion past 32 bits", Mouse(), {{EV_REL, REL_X, 0x7FFFFFFF}, {EV_REL, REL_X, 5}}, {{0, 0, 0, 0x7FFFFFFF, 0}}},
      {"absolute axes on a mouse", Mouse(), {{EV_ABS, ABS_X, 40}}, {}},
  };
  for (const auto& c : cases) {
    FrameTranslator t(c.caps);
    EXPECT_EQ(Frame(t, c.events), c.records) << c.name;
    // Nothing is left over for the next frame.
    EXPECT_EQ(Frame(t, {}), std::vector<Record>{}) << c.name;
  }
}

TEST(EvdevFrameTest, AbsoluteFrames) {
  FrameTranslator t(Tablet());
  t.Resync(0, 100);
  EXPECT_EQ(Frame(t, {{EV_ABS, ABS_X, 32767}, {EV_ABS, ABS_Y, 600}}), (std::vector<Record>{{1, 0, 0, 65535, 32768}}));
  // A button alone carries the position kept from before; so does a frame that
  // moves one axis.
  EXPECT_EQ(Frame(t, {{EV_KEY, BTN_LEFT, 1}}), (std::vector<Record>{{1, 0x0001, 0, 65535, 32768}}));
  EXPECT_EQ(Frame(t, {{EV_ABS, ABS_Y, 2000}}), (std::vector<Record>{{1, 0, 0, 65535, 65535}}));
  EXPECT_EQ(Frame(t, {{EV_REL, REL_WHEEL, 1}}), (std::vector<Record>{{1, 0x0400, 120, 65535, 65535}}));
  EXPECT_EQ(Frame(t, {{EV_REL, REL_X, 5}}), std::vector<Record>{}) << "relative motion of an absolute pointer";
  // After dropped events the frame in progress is gone and the device's state holds.
  RAWMOUSE out[FrameTranslator::kMaxRecords];
  t.Feed({EV_KEY, BTN_RIGHT, 1}, out);
  t.Resync(32767, 100);
  EXPECT_EQ(Frame(t, {}), std::vector<Record>{});
  EXPECT_EQ(Frame(t, {{EV_KEY, BTN_LEFT, 0}}), (std::vector<Record>{{1, 0x0002, 0, 65535, 0}}));
}

// Every position lands on 0..65535, whatever the range: an axis without width
// reports 0, an inverted one counts from its min the other way.
TEST(EvdevFrameTest, AbsoluteRanges) {
  const struct {
    AbsRange range;
    int value;
    std::int32_t x;
  } cases[] = {
      {{0, 0}, 589505315, 0},         {{252645135, 252645135}, 252645135, 0}, {{0, -49408}, 64, 0},
      {{0, -49408}, -24704, 32768},   {{1000, 0}, 250, 49151},                {{INT_MIN, INT_MAX}, 0, 32768},
      {{INT_MIN, INT_MAX}, INT_MAX, 65535}, {{0, 32767}, INT_MIN, 0},
  };
  for (const auto& c : cases) {
    Caps caps = Tablet();
    caps.x = c.range;
    FrameTranslator t(caps);
    t.Resync(c.value, 100);
    EXPECT_EQ(Frame(t, {{EV_KEY, BTN_LEFT, 1}}), (std::vector<Record>{{1, 0x0001, 0, c.x, 0}}))
        << c.value << " on [" << c.range.min << ", " << c.range.max << "]";
  }
}

TEST(EvdevDevicesTest, ListInNodeOrder) {
  const std::vector<ListedDevice> devices = {
      {12, 0x80000001u, Kind::Mouse}, {3, 3395, Kind::Keyboard}, {5, 3397, Kind::AbsolutePointer}, {4, 3396, Kind::Other}};
  std::uint32_t error = 0;
  UINT count = 0;
  EXPECT_EQ(AnswerList(ListEntries(devices), nullptr, &count, sizeof(RAWINPUTDEVICELIST), error), 0u);
  EXPECT_EQ(count, 4u);
  RAWINPUTDEVICELIST list[4] = {};
  UINT small = 3;
  EXPECT_EQ(AnswerList(ListEntries(devices), list, &small, sizeof(RAWINPUTDEVICELIST), error), kQueryFailed);
  EXPECT_EQ(error, kErrorInsufficientBuffer);
  EXPECT_EQ(small, 4u);
  EXPECT_EQ(AnswerList(ListEntries(devices), list, &count, 8, error), kQueryFailed);
  EXPECT_EQ(error, kErrorInvalidParameter);
  ASSERT_EQ(AnswerList(ListEntries(devices), list, &count, sizeof(RAWINPUTDEVICELIST), error), 4u);
  const std::uintptr_t handles[] = {3395, 3396, 3397, 0x80000001u};
  const UINT types[] = {RIM_TYPEKEYBOARD, RIM_TYPEHID, RIM_TYPEMOUSE, RIM_TYPEMOUSE};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(list[i].hDevice), handles[i]) << i;
    EXPECT_EQ(list[i].dwType, types[i]) << i;
  }
}

// A mouse's or a keyboard's record carries no ids, as on Windows; the path does.
TEST(EvdevDevicesTest, Descriptions) {
  Caps mouse = Mouse();
  mouse.buttons = 5;
  Caps tablet = Tablet();
  tablet.rel_wheel = false;
  tablet.buttons = 2;
  Caps keyboard;
  keyboard.keyboard_keys = true;
  const Ids ids{0x046D, 0xC077, 0x0111};
  const struct {
    Caps caps;
    Ids ids;
    const char* path;
    RID_DEVICE_INFO info;
  } cases[] = {
      {mouse, ids, "\\\\?\\EVDEV#VID_046d&PID_c077#event5", MouseInfo(5, true, true)},
      {tablet, {}, "\\\\?\\EVDEV#event5", MouseInfo(2, false, false)},
      {keyboard, ids, "\\\\?\\EVDEV#VID_046d&PID_c077#event5", KeyboardInfo()},
      {Caps{}, ids, "\\\\?\\EVDEV#VID_046d&PID_c077#event5", HidInfo(0x046D, 0xC077, 0x0111)},
  };
  for (const auto& c : cases) {
    const DeviceDescription d = Describe(5, c.caps, c.ids, "Velmora \"fake\", mouse");
    EXPECT_EQ(d.path, c.path);
    EXPECT_EQ(d.name, "Velmora \"fake\", mouse");
    EXPECT_EQ(std::memcmp(&d.info, &c.info, sizeof d.info), 0) << c.path << " type " << c.info.dwType;
  }
  EXPECT_EQ(HidInfo(1, 2, 3).hid.dwProductId, 2u);
}

TEST(EvdevChoiceTest, EvdevWhenAMouseCanBeRead) {
  const struct {
    int mice, readable;
    bool evdev, remedy;
  } cases[] = {{0, 0, false, false}, {2, 0, false, true}, {2, 1, true, false}, {1, 1, true, false}};
  for (const auto& c : cases) {
    const Choice choice = ChooseService(c.mice, c.readable);
    EXPECT_EQ(choice.evdev, c.evdev) << c.mice << " " << c.readable;
    EXPECT_EQ(!choice.remedy.empty(), c.remedy) << c.mice << " " << c.readable;
    if (c.remedy) {
      EXPECT_NE(choice.remedy.find("input group"), std::string::npos);
      EXPECT_NE(choice.remedy.find("uaccess"), std::string::npos);
    }
  }
}

}  // namespace
