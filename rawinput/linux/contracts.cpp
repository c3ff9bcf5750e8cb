#include "rawinput/linux/contracts.h"

#include <algorithm>
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
    } else {
      r.error = kErrorInvalidFlags;
      return r;
    }
  }
  return r;
}

HRAWINPUT PacketStore::Put(HANDLE device, const RAWMOUSE& mouse) {
  if (++last_ == 0) ++last_;
  current_ = last_;
  packet_.header.dwType = RIM_TYPEMOUSE;
  packet_.header.dwSize = sizeof(RAWINPUT);
  packet_.header.hDevice = device;
  packet_.header.wParam = 0;  // RIM_INPUT: the window was in the foreground
  packet_.data.mouse = mouse;
  return reinterpret_cast<HRAWINPUT>(current_);
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

}  // namespace rawinput::stand_in
