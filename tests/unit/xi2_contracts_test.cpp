// The XInput2 stand-in keeps the raw-input service's contracts: the device list,
// registration and GetRawInputData, with their failure values and codes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rawinput/xi2/xi2_logic.h"

namespace {

using namespace rawinput;
using namespace rawinput::xi2;

constexpr UINT kEntry = sizeof(RAWINPUTDEVICELIST);
constexpr UINT kHeader = sizeof(RAWINPUTHEADER);

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

RAWINPUTDEVICE Device(std::uint16_t page, std::uint16_t usage, std::uint32_t flags = 0, void* target = nullptr) {
  RAWINPUTDEVICE d{};
  d.usUsagePage = page;
  d.usUsage = usage;
  d.dwFlags = flags;
  d.hwndTarget = target;
  return d;
}

TEST(Xi2RegistrationTest, MiceAreSelectedOtherUsagesAccepted) {
  const RAWINPUTDEVICE mouse = Device(1, 2);
  Registration r = CheckRegistration(&mouse, 1, sizeof mouse);
  EXPECT_EQ(r.error, 0u);
  EXPECT_TRUE(r.select_mouse);
  EXPECT_FALSE(r.remove_mouse);

  const RAWINPUTDEVICE keyboard_and_mouse[] = {Device(1, 6), Device(1, 2)};
  EXPECT_TRUE(CheckRegistration(keyboard_and_mouse, 2, sizeof(RAWINPUTDEVICE)).select_mouse);
  const RAWINPUTDEVICE keyboard = Device(1, 6);
  r = CheckRegistration(&keyboard, 1, sizeof keyboard);
  EXPECT_EQ(r.error, 0u);
  EXPECT_FALSE(r.select_mouse);
}

TEST(Xi2RegistrationTest, MalformedRequestsAreRefused) {
  const RAWINPUTDEVICE mouse = Device(1, 2);
  EXPECT_EQ(CheckRegistration(&mouse, 1, 12).error, kErrorInvalidParameter);
  EXPECT_EQ(CheckRegistration(&mouse, 0, sizeof mouse).error, kErrorInvalidParameter);
  EXPECT_EQ(CheckRegistration(nullptr, 1, sizeof mouse).error, kErrorInvalidParameter);
  const RAWINPUTDEVICE sink = Device(1, 2, 0x100);
  EXPECT_EQ(CheckRegistration(&sink, 1, sizeof sink).error, kErrorInvalidFlags);
  int window = 0;
  const RAWINPUTDEVICE remove_with_target = Device(1, 2, RIDEV_REMOVE, &window);
  EXPECT_EQ(CheckRegistration(&remove_with_target, 1, sizeof sink).error, kErrorInvalidParameter);
  const RAWINPUTDEVICE remove = Device(1, 2, RIDEV_REMOVE);
  const Registration r = CheckRegistration(&remove, 1, sizeof remove);
  EXPECT_EQ(r.error, 0u);
  EXPECT_TRUE(r.remove_mouse);
  EXPECT_FALSE(r.select_mouse);
}

class Xi2PacketStoreTest : public ::testing::Test {
 protected:
  HRAWINPUT PutMotion(std::uintptr_t device, std::int32_t dx, std::int32_t dy) {
    RAWMOUSE m{};
    m.lLastX = dx;
    m.lLastY = dy;
    return store_.Put(reinterpret_cast<HANDLE>(device), m);
  }
  PacketStore store_;
  std::uint32_t error_ = 0;
};

TEST_F(Xi2PacketStoreTest, SizeQueryThenFetch) {
  const HRAWINPUT h = PutMotion(14, -3, 9);
  ASSERT_NE(h, nullptr);
  UINT size = 0;
  EXPECT_EQ(store_.Get(h, RID_INPUT, nullptr, &size, kHeader, error_), 0u);
  ASSERT_EQ(size, sizeof(RAWINPUT));

  RAWINPUT packet;
  std::memset(&packet, 0xEE, sizeof packet);
  EXPECT_EQ(store_.Get(h, RID_INPUT, &packet, &size, kHeader, error_), sizeof(RAWINPUT));
  EXPECT_EQ(packet.header.dwType, RIM_TYPEMOUSE);
  EXPECT_EQ(packet.header.dwSize, sizeof(RAWINPUT));
  EXPECT_EQ(packet.header.hDevice, reinterpret_cast<HANDLE>(14));
  EXPECT_EQ(packet.header.wParam, 0u);
  EXPECT_EQ(packet.data.mouse.lLastX, -3);
  EXPECT_EQ(packet.data.mouse.lLastY, 9);
  EXPECT_EQ(packet.data.mouse.ulButtons, 0u);
}

TEST_F(Xi2PacketStoreTest, HeaderOnly) {
  const HRAWINPUT h = PutMotion(14, 1, 1);
  UINT size = 0;
  EXPECT_EQ(store_.Get(h, RID_HEADER, nullptr, &size, kHeader, error_), 0u);
  EXPECT_EQ(size, kHeader);
  RAWINPUTHEADER header{};
  EXPECT_EQ(store_.Get(h, RID_HEADER, &header, &size, kHeader, error_), kHeader);
  EXPECT_EQ(header.hDevice, reinterpret_cast<HANDLE>(14));
}

TEST_F(Xi2PacketStoreTest, TooSmallABufferIsNotWritten) {
  const HRAWINPUT h = PutMotion(14, 1, 1);
  unsigned char buffer[sizeof(RAWINPUT)];
  std::memset(buffer, 0x11, sizeof buffer);
  UINT size = sizeof(RAWINPUT) - 1;
  EXPECT_EQ(store_.Get(h, RID_INPUT, buffer, &size, kHeader, error_), kQueryFailed);
  EXPECT_EQ(error_, kErrorInsufficientBuffer);
  EXPECT_EQ(buffer[0], 0x11);
}

TEST_F(Xi2PacketStoreTest, UnknownHandlesAndBadArgumentsFail) {
  const HRAWINPUT h = PutMotion(14, 1, 1);
  UINT size = 0;
  for (std::uintptr_t made_up : {std::uintptr_t{0}, std::uintptr_t{12345}, reinterpret_cast<std::uintptr_t>(h) + 1}) {
    error_ = 0;
    EXPECT_EQ(store_.Get(reinterpret_cast<HRAWINPUT>(made_up), RID_INPUT, nullptr, &size, kHeader, error_),
              kQueryFailed)
        << made_up;
    EXPECT_EQ(error_, kErrorInvalidHandle);
  }
  EXPECT_EQ(store_.Get(h, RID_INPUT, nullptr, &size, 16 + 1, error_), kQueryFailed);
  EXPECT_EQ(error_, kErrorInvalidParameter);
  EXPECT_EQ(store_.Get(h, 0x10000001, nullptr, &size, kHeader, error_), kQueryFailed);
  EXPECT_EQ(store_.Get(h, RID_INPUT, nullptr, nullptr, kHeader, error_), kQueryFailed);
}

// A handle is good only while its message is handled: posted again afterwards it
// is refused, whether another packet came since or not.
TEST_F(Xi2PacketStoreTest, HandlesAreGoodOnlyUntilReleased) {
  const HRAWINPUT first = PutMotion(14, 1, 0);
  store_.Release();
  UINT size = 0;
  EXPECT_EQ(store_.Get(first, RID_INPUT, nullptr, &size, kHeader, error_), kQueryFailed);
  EXPECT_EQ(error_, kErrorInvalidHandle);

  const HRAWINPUT second = PutMotion(15, 42, 0);
  EXPECT_NE(second, first);
  EXPECT_EQ(store_.Get(first, RID_INPUT, nullptr, &size, kHeader, error_), kQueryFailed);
  RAWINPUT packet{};
  size = sizeof packet;
  EXPECT_EQ(store_.Get(second, RID_INPUT, &packet, &size, kHeader, error_), sizeof packet);
  EXPECT_EQ(packet.data.mouse.lLastX, 42);
  store_.Release();
  EXPECT_EQ(store_.Get(second, RID_INPUT, nullptr, &size, kHeader, error_), kQueryFailed);
}

}  // namespace
