// The raw-input entry points' contracts as both Linux stand-ins keep them: the
// device-list answer, the registration check and the packet store behind
// GetRawInputData. Nothing here talks to a device or a server.
#pragma once

#include <cstdint>
#include <vector>

#include "rawinput/linux/codes.h"
#include "rawinput/records.h"

namespace rawinput::stand_in {

// GetRawInputDeviceList over the service's entries, already in list order.
// Null list: stores the count, returns 0. Wrong entry size or null count:
// 0xFFFFFFFF, kErrorInvalidParameter. Too small a count: 0xFFFFFFFF, *count = the
// number needed, kErrorInsufficientBuffer. Otherwise fills the list and returns
// the number of entries stored.
UINT AnswerList(const std::vector<RAWINPUTDEVICELIST>& entries, RAWINPUTDEVICELIST* list, UINT* count, UINT size,
                std::uint32_t& error);

struct Registration {
  std::uint32_t error = 0;  // 0: the request is well formed
  bool select_mouse = false;
  bool remove_mouse = false;
};

// Checks RegisterRawInputDevices' arguments. Only mice (usage page 1, usage 2)
// make packets; other usages are accepted and deliver nothing. Flags other than
// 0 and RIDEV_REMOVE are refused.
Registration CheckRegistration(const RAWINPUTDEVICE* devices, UINT count, UINT size);

// The packet whose message is being handled. As on Windows, its handle is good
// only until that message has been handled (Release): a handle posted again later
// is refused like a made-up one. Handles are never given twice; 0 never.
class PacketStore {
 public:
  HRAWINPUT Put(HANDLE device, const RAWMOUSE& mouse);
  void Release() { current_ = 0; }
  // GetRawInputData's contract: RID_INPUT copies the whole packet, RID_HEADER its
  // header; null data stores the size and returns 0; a size too small, an unknown
  // handle, another command or header size give 0xFFFFFFFF and set error.
  UINT Get(HRAWINPUT handle, UINT command, void* data, UINT* size, UINT header_size, std::uint32_t& error) const;

 private:
  std::uintptr_t current_ = 0;  // 0: none
  std::uintptr_t last_ = 0;
  RAWINPUT packet_{};
};

}  // namespace rawinput::stand_in
