#include "rawinput/linux/contracts.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace rawinput::stand_in {

UINT AnswerList(const std::vector<RAWINPUTDEVICELIST>& entries, RAWINPUTDEVICELIST* list, UINT* count, UINT size,
                std::uint32_t& error) {
  if (size != sizeof(RAWINPUTDEVICELIST) || count == nullptr) {
    error = kErrorInvalidParameter;
    return kQueryFailed;
  }
  const auto n = static_cast<UINT>(entries.size());
  if (list == nullptr) {
    *count = n;
    return 0;
  }
  if (*count < n) {
    *count = n;
    error = kErrorInsufficientBuffer;
    return kQueryFailed;
  }
  std::copy(entries.begin(), entries.end(), list);
  return n;
}

Registration CheckRegistration(const RAWINPUTDEVICE* devices, UINT count, UINT size) {
  Registration r;
  if (devices == nullptr || count == 0 || size != sizeof(RAWINPUTDEVICE)) {
    r.error = kErrorInvalidParameter;
    return r;
  }
  for (UINT i = 0; i < count; ++i) {
    const RAWINPUTDEVICE& d = devices[i];
    const bool mouse = d.usUsagePage == 1 && d.usUsage == 2;
    if (d.dwFlags == 0) {
      r.select_mouse = r.select_mouse || mouse;
    } else if (d.dwFlags == RIDEV_REMOVE) {
      // Windows wants no target window with a removal.
      if (d.hwndTarget != nullptr) {
        r.error = kErrorInvalidParameter;
        return r;
      }
      r.remove_mouse = r.remove_mouse || mouse;
    } else if (d.dwFlags == RIDEV_INPUTSINK) {
      if (d.hwndTarget == nullptr) {
        r.error = kErrorInvalidParameter;
        return r;
      }
      r.select_mouse = r.select_mouse || mouse;
      r.sink = r.sink || mouse;
    } else {
      r.error = kErrorInvalidFlags;
      return r;
    }
  }
  return r;
}

HRAWINPUT PacketStore::Put(HANDLE device, const RAWMOUSE& mouse, std::int64_t time_us) {
  if (++last_ == 0) ++last_;
  current_ = last_;
  packet_.header.dwType = RIM_TYPEMOUSE;
  packet_.header.dwSize = sizeof(RAWINPUT);
  packet_.header.hDevice = device;
  packet_.header.wParam = 0;  // RIM_INPUT: the window was in the foreground
  packet_.data.mouse = mouse;
  time_us_ = time_us;
  return reinterpret_cast<HRAWINPUT>(current_);
}

bool PacketStore::Time(HRAWINPUT handle, std::int64_t& time_us) const {
  const auto h = reinterpret_cast<std::uintptr_t>(handle);
  if (h == 0 || h != current_) return false;
  time_us = time_us_;
  return true;
}

UINT PacketStore::Get(HRAWINPUT handle, UINT command, void* data, UINT* size, UINT header_size,
                      std::uint32_t& error) const {
  if ((command != RID_INPUT && command != RID_HEADER) || header_size != sizeof(RAWINPUTHEADER) || size == nullptr) {
    error = kErrorInvalidParameter;
    return kQueryFailed;
  }
  const auto h = reinterpret_cast<std::uintptr_t>(handle);
  if (h == 0 || h != current_) {
    error = kErrorInvalidHandle;
    return kQueryFailed;
  }
  const UINT needed = command == RID_INPUT ? static_cast<UINT>(sizeof(RAWINPUT)) : static_cast<UINT>(sizeof(RAWINPUTHEADER));
  if (data == nullptr) {
    *size = needed;
    return 0;
  }
  if (*size < needed) {
    error = kErrorInsufficientBuffer;
    return kQueryFailed;
  }
  std::memcpy(data, &packet_, needed);
  return needed;
}

std::string InterfacePath(const char* bus, std::uint16_t vendor, std::uint16_t product, const std::string& instance) {
  std::string path = std::string("\\\\?\\") + bus + "#";
  if (vendor != 0 || product != 0) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "VID_%04x&PID_%04x#", vendor, product);
    path += ids;
  }
  return path + instance;
}

RID_DEVICE_INFO MouseInfo(std::uint32_t buttons, bool wheel, bool horizontal_wheel) {
  constexpr std::uint32_t kMouseHid = 0x80, kWheelMouseHid = 0x100;
  RID_DEVICE_INFO info{};
  info.dwType = RIM_TYPEMOUSE;
  info.mouse.dwId = wheel ? kWheelMouseHid : kMouseHid;
  info.mouse.dwNumberOfButtons = buttons;
  info.mouse.dwSampleRate = 0;  // a HID mouse has none to tell
  info.mouse.fHasHorizontalWheel = horizontal_wheel ? 1 : 0;
  return info;
}

RID_DEVICE_INFO KeyboardInfo() {
  RID_DEVICE_INFO info{};
  info.dwType = RIM_TYPEKEYBOARD;
  info.keyboard = {0x51, 0, 1, 12, 3, 264};  // HID keyboard, 12 function keys, 3 lights, 264 keys
  return info;
}

RID_DEVICE_INFO HidInfo(std::uint16_t vendor, std::uint16_t product, std::uint16_t version) {
  RID_DEVICE_INFO info{};
  info.dwType = RIM_TYPEHID;
  info.hid.dwVendorId = vendor;
  info.hid.dwProductId = product;
  info.hid.dwVersionNumber = version;
  return info;
}

UINT AnswerDeviceInfo(const DeviceDescription* device, UINT command, void* data, UINT* size, std::uint32_t& error) {
  if (size == nullptr) {
    error = kErrorNoAccess;
    return kQueryFailed;
  }
  if (device == nullptr) {
    error = kErrorInvalidHandle;
    return kQueryFailed;
  }
  if (command != RIDI_DEVICENAME && command != RIDI_DEVICEINFO) {
    error = kErrorInvalidParameter;
    return kQueryFailed;
  }
  const bool name = command == RIDI_DEVICENAME;
  const UINT needed = name ? static_cast<UINT>(device->path.size() + 1) : static_cast<UINT>(sizeof(RID_DEVICE_INFO));
  if (data == nullptr) {
    *size = needed;
    return 0;
  }
  if (*size < needed) {
    *size = needed;
    error = kErrorInsufficientBuffer;
    return kQueryFailed;
  }
  if (name) {
    std::memcpy(data, device->path.c_str(), needed);
    return needed;
  }
  RID_DEVICE_INFO info = device->info;
  std::memcpy(&info.cbSize, data, sizeof info.cbSize);
  if (info.cbSize != sizeof(RID_DEVICE_INFO)) {
    error = kErrorInvalidParameter;
    return kQueryFailed;
  }
  std::memcpy(data, &info, needed);
  return needed;
}

}  // namespace rawinput::stand_in
