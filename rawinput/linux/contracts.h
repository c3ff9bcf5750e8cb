// The raw-input entry points' contracts as both Linux stand-ins keep them: the
// device-list answer, the registration check, the packet store behind
// GetRawInputData and the device-info answer. Nothing here talks to a device or a
// server.
#pragma once

#include <cstdint>
#include <string>
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
  bool sink = false;  // RIDEV_INPUTSINK: also while another window has the focus
};

// Checks RegisterRawInputDevices' arguments. Only mice (usage page 1, usage 2)
// make packets; other usages are accepted and deliver nothing. Flags other than
// 0, RIDEV_REMOVE and RIDEV_INPUTSINK (which needs a target window) are refused.
Registration CheckRegistration(const RAWINPUTDEVICE* devices, UINT count, UINT size);

// The packet whose message is being handled. As on Windows, its handle is good
// only until that message has been handled (Release): a handle posted again later
// is refused like a made-up one. Handles are never given twice; 0 never.
class PacketStore {
 public:
  // time_us: when the packet came, on the service's clock.
  HRAWINPUT Put(HANDLE device, const RAWMOUSE& mouse, std::int64_t time_us);
  void Release() { current_ = 0; }
  // The current packet's time; false for any other handle.
  bool Time(HRAWINPUT handle, std::int64_t& time_us) const;
  // GetRawInputData's contract: RID_INPUT copies the whole packet, RID_HEADER its
  // header; null data stores the size and returns 0; a size too small, an unknown
  // handle, another command or header size give 0xFFFFFFFF and set error.
  UINT Get(HRAWINPUT handle, UINT command, void* data, UINT* size, UINT header_size, std::uint32_t& error) const;

 private:
  std::uintptr_t current_ = 0;  // 0: none
  std::uintptr_t last_ = 0;
  RAWINPUT packet_{};
  std::int64_t time_us_ = 0;
};

// What GetRawInputDeviceInfoA tells of one device.
struct DeviceDescription {
  std::string path;        // RIDI_DEVICENAME: an interface path (InterfacePath)
  std::string name;        // the device's own name, for the loader's ProductString
  RID_DEVICE_INFO info{};  // RIDI_DEVICEINFO: dwType and its part of the union
};

// An interface path in Windows' shape, "\\?\BUS#VID_vvvv&PID_pppp#instance" with
// the ids in lower-case hex, or "\\?\BUS#instance" when both ids are 0 (unknown).
std::string InterfacePath(const char* bus, std::uint16_t vendor, std::uint16_t product, const std::string& instance);

// RIDI_DEVICEINFO's records as Windows fills them for a HID mouse, a HID keyboard
// and another HID device. Only the last carries the ids.
RID_DEVICE_INFO MouseInfo(std::uint32_t buttons, bool wheel, bool horizontal_wheel);
RID_DEVICE_INFO KeyboardInfo();
RID_DEVICE_INFO HidInfo(std::uint16_t vendor, std::uint16_t product, std::uint16_t version);

// GetRawInputDeviceInfoA's contract over a device's description (null: no device
// has this handle). RIDI_DEVICENAME counts characters with the terminating zero,
// RIDI_DEVICEINFO bytes, and wants the caller's cbSize to be the record's size.
// Null data: stores the size needed, returns 0. Too small a size: stores the size
// needed, 0xFFFFFFFF, kErrorInsufficientBuffer. Otherwise copies and returns the
// size copied. Unknown handle: kErrorInvalidHandle; another command or a wrong
// cbSize: kErrorInvalidParameter; no size: kErrorNoAccess.
UINT AnswerDeviceInfo(const DeviceDescription* device, UINT command, void* data, UINT* size, std::uint32_t& error);

}  // namespace rawinput::stand_in
