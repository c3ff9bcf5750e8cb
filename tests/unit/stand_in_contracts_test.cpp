// The raw-input entry points' contracts as both Linux stand-ins keep them:
// registration, GetRawInputData with each packet's time, and
// GetRawInputDeviceInfoA, with their failure values and codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "rawinput/linux/contracts.h"

namespace {

using namespace rawinput;
using namespace rawinput::stand_in;

constexpr UINT kHeader = sizeof(RAWINPUTHEADER);

RAWINPUTDEVICE Device(std::uint16_t page, std::uint16_t usage, std::uint32_t flags = 0, void* target = nullptr) {
  RAWINPUTDEVICE d{};
  d.usUsagePage = page;
  d.usUsage = usage;
  d.dwFlags = flags;
  d.hwndTarget = target;
  return d;
}

TEST(RegistrationTest, MiceAreSelectedOtherUsagesAccepted) {
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

TEST(RegistrationTest, MalformedRequestsAreRefused) {
  const RAWINPUTDEVICE mouse = Device(1, 2);
  EXPECT_EQ(CheckRegistration(&mouse, 1, 12).error, kErrorInvalidParameter);
  EXPECT_EQ(CheckRegistration(&mouse, 0, sizeof mouse).error, kErrorInvalidParameter);
  EXPECT_EQ(CheckRegistration(nullptr, 1, sizeof mouse).error, kErrorInvalidParameter);
  const RAWINPUTDEVICE sink = Device(1, 2, RIDEV_INPUTSINK);
  EXPECT_EQ(CheckRegistration(&sink, 1, sizeof sink).error, kErrorInvalidParameter);  // no target
  const RAWINPUTDEVICE other = Device(1, 2, 0x200);
  EXPECT_EQ(CheckRegistration(&other, 1, sizeof other).error, kErrorInvalidFlags);
  int window = 0;
  const RAWINPUTDEVICE sink_to_window = Device(1, 2, RIDEV_INPUTSINK, &window);
  const Registration s = CheckRegistration(&sink_to_window, 1, sizeof sink_to_window);
  EXPECT_EQ(s.error, 0u);
  EXPECT_TRUE(s.select_mouse && s.sink);
  const RAWINPUTDEVICE remove_with_target = Device(1, 2, RIDEV_REMOVE, &window);
  EXPECT_EQ(CheckRegistration(&remove_with_target, 1, sizeof sink).error, kErrorInvalidParameter);
  const RAWINPUTDEVICE remove = Device(1, 2, RIDEV_REMOVE);
  const Registration r = CheckRegistration(&remove, 1, sizeof remove);
  EXPECT_EQ(r.error, 0u);
  EXPECT_TRUE(r.remove_mouse);
  EXPECT_FALSE(r.select_mouse);
}

class PacketStoreTest : public ::testing::Test {
 protected:
  HRAWINPUT PutMotion(std::uintptr_t device, std::int32_t dx, std::int32_t dy, std::int64_t time_us = 0) {
    RAWMOUSE m{};
    m.lLastX = dx;
    m.lLastY = dy;
    return store_.Put(reinterpret_cast<HANDLE>(device), m, time_us);
  }
  PacketStore store_;
  std::uint32_t error_ = 0;
};

TEST_F(PacketStoreTest, SizeQueryThenFetch) {
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

TEST_F(PacketStoreTest, HeaderOnly) {
  const HRAWINPUT h = PutMotion(14, 1, 1);
  UINT size = 0;
  EXPECT_EQ(store_.Get(h, RID_HEADER, nullptr, &size, kHeader, error_), 0u);
  EXPECT_EQ(size, kHeader);
  RAWINPUTHEADER header{};
  EXPECT_EQ(store_.Get(h, RID_HEADER, &header, &size, kHeader, error_), kHeader);
  EXPECT_EQ(header.hDevice, reinterpret_cast<HANDLE>(14));
}

TEST_F(PacketStoreTest, TooSmallABufferIsNotWritten) {
  const HRAWINPUT h = PutMotion(14, 1, 1);
  unsigned char buffer[sizeof(RAWINPUT)];
  std::memset(buffer, 0x11, sizeof buffer);
  UINT size = sizeof(RAWINPUT) - 1;
  EXPECT_EQ(store_.Get(h, RID_INPUT, buffer, &size, kHeader, error_), kQueryFailed);
  EXPECT_EQ(error_, kErrorInsufficientBuffer);
  EXPECT_EQ(buffer[0], 0x11);
}

TEST_F(PacketStoreTest, UnknownHandlesAndBadArgumentsFail) {
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
// is refused, whether another packet came since or not. Its time goes with it.
TEST_F(PacketStoreTest, HandlesAreGoodOnlyUntilReleased) {
  const HRAWINPUT first = PutMotion(14, 1, 0, 5000);
  std::int64_t time_us = 0;
  EXPECT_TRUE(store_.Time(first, time_us));
  EXPECT_EQ(time_us, 5000);
  store_.Release();
  EXPECT_FALSE(store_.Time(first, time_us));
  UINT size = 0;
  EXPECT_EQ(store_.Get(first, RID_INPUT, nullptr, &size, kHeader, error_), kQueryFailed);
  EXPECT_EQ(error_, kErrorInvalidHandle);

  const HRAWINPUT second = PutMotion(15, 42, 0, -7);
  EXPECT_NE(second, first);
  EXPECT_EQ(store_.Get(first, RID_INPUT, nullptr, &size, kHeader, error_), kQueryFailed);
  EXPECT_FALSE(store_.Time(first, time_us));
  EXPECT_TRUE(store_.Time(second, time_us));
  EXPECT_EQ(time_us, -7);
  RAWINPUT packet{};
  size = sizeof packet;
  EXPECT_EQ(store_.Get(second, RID_INPUT, &packet, &size, kHeader, error_), sizeof packet);
  EXPECT_EQ(packet.data.mouse.lLastX, 42);
  store_.Release();
  EXPECT_EQ(store_.Get(second, RID_INPUT, nullptr, &size, kHeader, error_), kQueryFailed);
}

TEST(InterfacePathTest, IdsWhenTheSystemHasThem) {
  EXPECT_EQ(InterfacePath("EVDEV", 0x046D, 0xC077, "event5"), "\\\\?\\EVDEV#VID_046d&PID_c077#event5");
  EXPECT_EQ(InterfacePath("XI2", 0, 0x0001, "12"), "\\\\?\\XI2#VID_0000&PID_0001#12");
  EXPECT_EQ(InterfacePath("XI2", 0, 0, "268"), "\\\\?\\XI2#268");
}

// GetRawInputDeviceInfoA, asked as a program asks it: the size, then the answer.
TEST(DeviceInfoTest, NamesAndRecordsWithTheirFailures) {
  DeviceDescription mouse;
  mouse.path = "\\\\?\\EVDEV#VID_046d&PID_c077#event5";
  mouse.info = MouseInfo(5, true, true);
  const UINT name_size = static_cast<UINT>(mouse.path.size() + 1);
  constexpr UINT kInfo = sizeof(RID_DEVICE_INFO);
  constexpr UINT kUnset = 0xABABABAB;
  const struct {
    const char* what;
    const DeviceDescription* device;
    UINT command;
    bool data;           // a buffer, or null
    UINT size;           // *size on the way in; kUnset: no size at all
    std::uint32_t cb;    // the record's cbSize, set by the caller
    UINT result, size_out;
    std::uint32_t error;  // 0: unchanged
  } cases[] = {
      {"name size query", &mouse, RIDI_DEVICENAME, false, 0, 0, 0, name_size, 0},
      {"name: room for all but the zero", &mouse, RIDI_DEVICENAME, true, name_size - 1, 0, kQueryFailed, name_size,
       kErrorInsufficientBuffer},
      {"name", &mouse, RIDI_DEVICENAME, true, name_size, 0, name_size, name_size, 0},
      {"record size query", &mouse, RIDI_DEVICEINFO, false, 0, kInfo, 0, kInfo, 0},
      {"record: too small", &mouse, RIDI_DEVICEINFO, true, kInfo - 1, kInfo, kQueryFailed, kInfo, kErrorInsufficientBuffer},
      {"record", &mouse, RIDI_DEVICEINFO, true, 64, kInfo, kInfo, 64, 0},
      {"record: cbSize not set", &mouse, RIDI_DEVICEINFO, true, kInfo, 0, kQueryFailed, kInfo, kErrorInvalidParameter},
      {"unknown handle", nullptr, RIDI_DEVICENAME, false, 0, 0, kQueryFailed, 0, kErrorInvalidHandle},
      {"another command", &mouse, 0x20000005, true, 256, kInfo, kQueryFailed, 256, kErrorInvalidParameter},
      {"no size", &mouse, RIDI_DEVICENAME, true, kUnset, 0, kQueryFailed, kUnset, kErrorNoAccess},
  };
  for (const auto& c : cases) {
    unsigned char buffer[256];
    std::memset(buffer, 0x5A, sizeof buffer);
    std::memcpy(buffer, &c.cb, sizeof c.cb);
    const std::string before(reinterpret_cast<const char*>(buffer), sizeof buffer);
    UINT size = c.size;
    std::uint32_t error = 0;
    EXPECT_EQ(AnswerDeviceInfo(c.device, c.command, c.data ? buffer : nullptr, c.size == kUnset ? nullptr : &size, error),
              c.result)
        << c.what;
    EXPECT_EQ(size, c.size_out) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
    const std::string after(reinterpret_cast<const char*>(buffer), sizeof buffer);
    if (c.result == kQueryFailed || !c.data) {
      EXPECT_EQ(after, before) << c.what << ": nothing written";
    } else if (c.command == RIDI_DEVICENAME) {
      EXPECT_EQ(after.substr(0, name_size), mouse.path + '\0') << c.what;
    } else {
      RID_DEVICE_INFO info;
      std::memcpy(&info, buffer, sizeof info);
      EXPECT_EQ(info.cbSize, kInfo);
      EXPECT_EQ(info.dwType, RIM_TYPEMOUSE);
      EXPECT_EQ(info.mouse.dwNumberOfButtons, 5u);
      EXPECT_EQ(info.mouse.fHasHorizontalWheel, 1);
      EXPECT_EQ(after.substr(kInfo), before.substr(kInfo)) << "nothing past the record";
    }
  }
}

}  // namespace
