// The raw-input service's records and entry points, laid out as the platform
// publishes them: handles are pointer-sized, so the records are 8/16/12 bytes on
// 32-bit builds and 16/24/16 on 64-bit ones.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define RAWINPUT_API __stdcall
#else
#define RAWINPUT_API
#endif

namespace rawinput {

using HANDLE = void*;
using HRAWINPUT = void*;
using UINT = std::uint32_t;

constexpr UINT RIM_TYPEMOUSE = 0;
constexpr UINT RIM_TYPEKEYBOARD = 1;
constexpr UINT RIM_TYPEHID = 2;
constexpr UINT RID_INPUT = 0x10000003;
constexpr UINT RIDI_DEVICENAME = 0x20000007;
constexpr UINT RIDI_DEVICEINFO = 0x2000000b;
constexpr UINT kQueryFailed = 0xFFFFFFFFu;
// Input also while another window has the focus; wants a target window.
constexpr std::uint32_t RIDEV_INPUTSINK = 0x00000100;

struct RAWINPUTDEVICELIST {
  HANDLE hDevice;
  UINT dwType;
};

struct RAWINPUTDEVICE {
  std::uint16_t usUsagePage;
  std::uint16_t usUsage;
  std::uint32_t dwFlags;
  void* hwndTarget;
};

struct RAWINPUTHEADER {
  std::uint32_t dwType;
  std::uint32_t dwSize;
  HANDLE hDevice;
  std::uintptr_t wParam;
};

// usButtonFlags is the low half of ulButtons, usButtonData the high half.
struct RAWMOUSE {
  std::uint16_t usFlags;
  std::uint32_t ulButtons;
  std::uint32_t ulRawButtons;
  std::int32_t lLastX;
  std::int32_t lLastY;
  std::uint32_t ulExtraInformation;
};

inline std::uint16_t ButtonFlags(const RAWMOUSE& m) { return static_cast<std::uint16_t>(m.ulButtons & 0xFFFF); }
inline std::uint16_t ButtonData(const RAWMOUSE& m) { return static_cast<std::uint16_t>(m.ulButtons >> 16); }

struct RAWKEYBOARD {
  std::uint16_t MakeCode, Flags, Reserved, VKey;
  std::uint32_t Message, ExtraInformation;
};

struct RAWHID {
  std::uint32_t dwSizeHid, dwCount;
  std::uint8_t bRawData[1];
};

struct RAWINPUT {
  RAWINPUTHEADER header;
  union {
    RAWMOUSE mouse;
    RAWKEYBOARD keyboard;
    RAWHID hid;
  } data;
};

// What RIDI_DEVICEINFO answers. A mouse or a keyboard carries no vendor or product
// ids here; those come from the device's interface path.
struct RID_DEVICE_INFO_MOUSE {
  std::uint32_t dwId, dwNumberOfButtons, dwSampleRate;
  std::int32_t fHasHorizontalWheel;
};
struct RID_DEVICE_INFO_KEYBOARD {
  std::uint32_t dwType, dwSubType, dwKeyboardMode, dwNumberOfFunctionKeys, dwNumberOfIndicators,
      dwNumberOfKeysTotal;
};
struct RID_DEVICE_INFO_HID {
  std::uint32_t dwVendorId, dwProductId, dwVersionNumber;
  std::uint16_t usUsagePage, usUsage;
};
struct RID_DEVICE_INFO {
  std::uint32_t cbSize;
  std::uint32_t dwType;
  union {
    RID_DEVICE_INFO_MOUSE mouse;
    RID_DEVICE_INFO_KEYBOARD keyboard;
    RID_DEVICE_INFO_HID hid;
  };
};

// Smallest packet that holds every mouse field.
constexpr std::size_t kMousePacketSize = offsetof(RAWINPUT, data) + sizeof(RAWMOUSE);

static_assert(sizeof(RAWINPUTDEVICELIST) == (sizeof(void*) == 4 ? 8 : 16));
static_assert(sizeof(RAWINPUTHEADER) == (sizeof(void*) == 4 ? 16 : 24));
static_assert(sizeof(RAWINPUTDEVICE) == (sizeof(void*) == 4 ? 12 : 16));
static_assert(sizeof(RAWMOUSE) == 24);
static_assert(sizeof(RID_DEVICE_INFO) == 32);
static_assert(offsetof(RAWMOUSE, ulButtons) == 4);

using RegisterRawInputDevicesFn = int(RAWINPUT_API*)(const RAWINPUTDEVICE* devices, UINT count, UINT size);
using GetRawInputDataFn = UINT(RAWINPUT_API*)(HRAWINPUT input, UINT command, void* data, UINT* size,
                                              UINT header_size);
using GetRawInputDeviceListFn = UINT(RAWINPUT_API*)(RAWINPUTDEVICELIST* list, UINT* count, UINT size);
// RIDI_DEVICENAME counts characters with the terminating zero, RIDI_DEVICEINFO bytes.
using GetRawInputDeviceInfoAFn = UINT(RAWINPUT_API*)(HANDLE device, UINT command, void* data, UINT* size);

}  // namespace rawinput
