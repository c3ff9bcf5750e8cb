// The XInput2 stand-in's device list: which of the server's devices it lists, in
// which order and under which handles, through the list query's contract; how it
// describes them, and its packets' times.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rawinput/linux/contracts.h"
#include "rawinput/xi2/xi2_logic.h"

namespace {

using namespace rawinput;
using namespace rawinput::xi2;
using rawinput::stand_in::AnswerList;

constexpr UINT kEntry = sizeof(RAWINPUTDEVICELIST);

DeviceInfo Dev(int id, DeviceUse use, bool enabled = true, bool keys = false, bool pointer = false) {
  DeviceInfo d;
  d.id = id;
  d.handle = static_cast<std::uint32_t>(id);
  d.use = use;
  d.enabled = enabled;
  d.has_keys = keys;
  d.has_pointer = pointer;
  return d;
}

// What an Xvfb with one extra master looks like, in the server's own order.
std::vector<DeviceInfo> Server() {
  return {Dev(2, DeviceUse::MasterPointer),  Dev(3, DeviceUse::MasterKeyboard), Dev(10, DeviceUse::SlavePointer),
          Dev(4, DeviceUse::SlavePointer),   Dev(5, DeviceUse::SlaveKeyboard),  Dev(6, DeviceUse::SlavePointer, false),
          Dev(7, DeviceUse::SlaveKeyboard),  Dev(8, DeviceUse::MasterPointer),  Dev(11, DeviceUse::SlaveKeyboard)};
}

UINT AnswerDeviceList(const std::vector<DeviceInfo>& devices, RAWINPUTDEVICELIST* list, UINT* count, UINT size,
                      std::uint32_t& error) {
  return AnswerList(ListEntries(devices), list, count, size, error);
}

std::uintptr_t Id(const RAWINPUTDEVICELIST& e) { return reinterpret_cast<std::uintptr_t>(e.hDevice); }

TEST(Xi2DeviceListTest, TypesFollowTheDeviceUseAndClasses) {
  EXPECT_EQ(DeviceType(Dev(4, DeviceUse::SlavePointer)), 0);
  EXPECT_EQ(DeviceType(Dev(5, DeviceUse::SlaveKeyboard)), 1);
  EXPECT_EQ(DeviceType(Dev(9, DeviceUse::FloatingSlave, true, false, true)), 0);
  EXPECT_EQ(DeviceType(Dev(9, DeviceUse::FloatingSlave, true, true, true)), 1);
  EXPECT_EQ(DeviceType(Dev(9, DeviceUse::FloatingSlave, true, false, false)), 2);
  EXPECT_EQ(DeviceType(Dev(2, DeviceUse::MasterPointer)), -1);
  EXPECT_EQ(DeviceType(Dev(3, DeviceUse::MasterKeyboard)), -1);
  EXPECT_EQ(DeviceType(Dev(6, DeviceUse::SlavePointer, false)), -1);
}

TEST(Xi2DeviceListTest, CountQueryThenListInIdOrder) {
  std::uint32_t error = 0;
  UINT count = 99;
  EXPECT_EQ(AnswerDeviceList(Server(), nullptr, &count, kEntry, error), 0u);
  ASSERT_EQ(count, 5u);

  std::vector<RAWINPUTDEVICELIST> list(count);
  EXPECT_EQ(AnswerDeviceList(Server(), list.data(), &count, kEntry, error), 5u);
  const std::uintptr_t ids[] = {4, 5, 7, 10, 11};
  const UINT types[] = {0, 1, 1, 0, 1};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(Id(list[i]), ids[i]) << i;
    EXPECT_EQ(list[i].dwType, types[i]) << i;
  }
  EXPECT_EQ(error, 0u);
}

// X gave a removed device's id to a new one: the list names the new one by the
// fresh handle, still in id order.
TEST(Xi2DeviceListTest, ListedUnderTheirHandlesInIdOrder) {
  std::vector<DeviceInfo> devices = Server();
  devices[2].handle = 10 + 256;
  std::uint32_t error = 0;
  RAWINPUTDEVICELIST list[5];
  UINT count = 5;
  ASSERT_EQ(AnswerDeviceList(devices, list, &count, kEntry, error), 5u);
  EXPECT_EQ(Id(list[3]), 266u);
  EXPECT_EQ(Id(list[4]), 11u);
}

TEST(Xi2DeviceHandlesTest, ReusedIdsGetHandlesNeverGivenBefore) {
  DeviceHandles handles;
  for (int id : {2, 4, 14, 18}) handles.Arrived(id);
  EXPECT_EQ(handles.Of(14), 14u);
  handles.Arrived(14);  // seen again while there: the same device
  EXPECT_EQ(handles.Of(14), 14u);

  handles.Left(14);
  handles.Arrived(14);
  EXPECT_EQ(handles.Of(14), 14u + 256);
  handles.Left(14);
  handles.Arrived(14);
  EXPECT_EQ(handles.Of(14), 14u + 512);
  EXPECT_EQ(handles.Of(18), 18u);

  // A new id keeps it; so does a device that left and never came back.
  handles.Arrived(30);
  EXPECT_EQ(handles.Of(30), 30u);
  handles.Left(18);
  EXPECT_EQ(handles.Of(18), 18u);
}

TEST(Xi2DeviceListTest, RoomToSpareStoresWhatThereIs) {
  std::uint32_t error = 0;
  RAWINPUTDEVICELIST list[8];
  std::memset(list, 0x5A, sizeof list);
  UINT count = 8;
  EXPECT_EQ(AnswerDeviceList(Server(), list, &count, kEntry, error), 5u);
  EXPECT_EQ(Id(list[4]), 11u);
  unsigned char untouched[sizeof list[5]];
  std::memset(untouched, 0x5A, sizeof untouched);
  EXPECT_EQ(std::memcmp(&list[5], untouched, sizeof untouched), 0);
}

TEST(Xi2DeviceListTest, TooSmallAListFailsAndSaysHowManyAreNeeded) {
  std::uint32_t error = 0;
  RAWINPUTDEVICELIST list[2] = {};
  UINT count = 2;
  EXPECT_EQ(AnswerDeviceList(Server(), list, &count, kEntry, error), kQueryFailed);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(error, kErrorInsufficientBuffer);
  EXPECT_EQ(list[0].hDevice, nullptr);
}

TEST(Xi2DeviceListTest, WrongEntrySizeOrNoCountFails) {
  std::uint32_t error = 0;
  UINT count = 0;
  EXPECT_EQ(AnswerDeviceList(Server(), nullptr, &count, 8, error), kQueryFailed);
  EXPECT_EQ(error, kErrorInvalidParameter);
  EXPECT_EQ(count, 0u);
  error = 0;
  EXPECT_EQ(AnswerDeviceList(Server(), nullptr, nullptr, kEntry, error), kQueryFailed);
  EXPECT_EQ(error, kErrorInvalidParameter);
}

TEST(Xi2DeviceListTest, NoDevicesIsAnEmptyList) {
  std::uint32_t error = 0;
  UINT count = 7;
  EXPECT_EQ(AnswerDeviceList({}, nullptr, &count, kEntry, error), 0u);
  EXPECT_EQ(count, 0u);
  RAWINPUTDEVICELIST one{};
  count = 1;
  EXPECT_EQ(AnswerDeviceList({}, &one, &count, kEntry, error), 0u);
}

// X counts the wheels' turns as buttons 4 to 7; Windows counts only buttons.
TEST(Xi2DeviceListTest, Descriptions) {
  DeviceInfo mouse = Dev(10, DeviceUse::SlavePointer);
  mouse.handle = 10 + 256;
  mouse.name = "Virtual core XTEST pointer";
  mouse.buttons = 10;
  DeviceInfo plain = mouse;
  plain.buttons = 3;
  plain.vendor = 0x046D;
  plain.product = 0xC077;
  DeviceInfo keyboard = Dev(5, DeviceUse::SlaveKeyboard);
  keyboard.vendor = 0x1234;
  DeviceInfo other = Dev(9, DeviceUse::FloatingSlave);
  other.vendor = 0x056A;
  other.product = 0x00B1;
  const struct {
    const DeviceInfo& device;
    const char* path;
    RID_DEVICE_INFO info;
  } cases[] = {
      {mouse, "\\\\?\\XI2#266", MouseInfo(6, true, true)},
      {plain, "\\\\?\\XI2#VID_046d&PID_c077#266", MouseInfo(3, false, false)},
      {keyboard, "\\\\?\\XI2#VID_1234&PID_0000#5", KeyboardInfo()},
      {other, "\\\\?\\XI2#VID_056a&PID_00b1#9", HidInfo(0x056A, 0x00B1, 0)},
  };
  for (const auto& c : cases) {
    const DeviceDescription d = Describe(c.device);
    EXPECT_EQ(d.path, c.path);
    EXPECT_EQ(d.name, c.device.name);
    EXPECT_EQ(std::memcmp(&d.info, &c.info, sizeof d.info), 0) << c.path;
  }
}

// Server time counts milliseconds in 32 bits and wraps after 49.7 days.
TEST(Xi2PacketTimeTest, MillisecondsSinceTheStartAcrossTheWrap) {
  EXPECT_EQ(ServerTimeUs(1500, 1000), 500000);
  EXPECT_EQ(ServerTimeUs(1000, 1000), 0);
  EXPECT_EQ(ServerTimeUs(5, 0xFFFFFFF0u), 21000);
}

}  // namespace
