// The raw-input entry points' contracts as both Linux stand-ins keep them:
// registration and GetRawInputData, with their failure values and codes.
#include <gtest/gtest.h>

#include <cstring>

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

class PacketStoreTest : public ::testing::Test {
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
// is refused, whether another packet came since or not.
TEST_F(PacketStoreTest, HandlesAreGoodOnlyUntilReleased) {
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
