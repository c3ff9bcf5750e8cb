// Fake event devices on umockdev for the evdev checks: a device's sysfs and udev
// description, the answers to the ioctls libevdev asks, and its evemu events or
// umockdev script.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <string>
#include <vector>

#include "e2e_common.h"

namespace e2e {

// One fake event device: its sysfs and udev description and the answers to the
// ioctls libevdev asks at open, each of the size it asks for.
struct FakeDevice {
  int number;  // /dev/input/eventN, device number 13:64+N
  std::string name;
  std::vector<int> ev, keys, rel, abs;
  std::string events;  // evemu events, replayed from the node's first opening
  std::uint16_t vendor = 0x1234, product = 0x5678;
  // Or a umockdev script of read blocks, which passes each event's time as written.
  std::string script = {};

  std::string Node() const { return "/dev/input/event" + std::to_string(number); }
  std::string SysPath() const { return "/sys/devices/virtual/input/input" + std::to_string(number); }
  int Handle() const { return 13 * 256 + 64 + number; }
};

constexpr int kEvSyn = 0, kEvKey = 1, kEvRel = 2, kEvAbs = 3;
constexpr int kBtnLeft = 0x110, kBtnRight = 0x111, kBtnMiddle = 0x112, kBtnSide = 0x113, kBtnExtra = 0x114;
constexpr int kRelX = 0, kRelY = 1, kRelHwheel = 6, kRelWheel = 8, kRelWheelHiRes = 11, kRelHwheelHiRes = 12;

struct Testbed {
  UMockdevTestbed* bed = umockdev_testbed_new();
  fs::path dir;
  ~Testbed() { g_object_unref(bed); }

  // Adds d, with its ioctl answers and events in files in dir.
  bool Add(const FakeDevice& d);
};

// The program, and it alone, runs on the testbed's fake devices.
bool StartOnFakeDevices(Session& s, const std::string& exe, const fs::path& dir);

}  // namespace e2e
