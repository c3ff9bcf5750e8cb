// The X-free half of the XInput2 stand-in for the raw-input service: the device
// list contract, registration checks, raw event -> mouse record, and the packet
// store behind GetRawInputData. xi2_service.cpp feeds it from the server.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rawinput/records.h"
#include "rawinput/stand_in.h"

namespace rawinput::xi2 {

// The codes and flags every stand-in shares.
using namespace rawinput::stand_in;

// ---- Devices ------------------------------------------------------------------

enum class DeviceUse { MasterPointer, MasterKeyboard, SlavePointer, SlaveKeyboard, FloatingSlave };

struct DeviceInfo {
  int id = 0;
  std::uint32_t handle = 0;  // what the list gives for it (DeviceHandles)
  DeviceUse use = DeviceUse::SlavePointer;
  bool enabled = true;
  bool has_keys = false;     // a key class
  bool has_pointer = false;  // a button or valuator class
};

// Raw-input type of a device (0 mouse, 1 keyboard, 2 other), or -1 for one the
// list leaves out: masters, which only merge their slaves, and disabled devices.
int DeviceType(const DeviceInfo& device);

// GetRawInputDeviceList over a snapshot of the server's devices (any order; the
// list is in id order). Null list: stores the count, returns 0.
// Wrong entry size or null count: 0xFFFFFFFF, kErrorInvalidParameter. Too small a
// count: 0xFFFFFFFF, *count = the number needed, kErrorInsufficientBuffer.
// Otherwise fills the list and returns the number of entries stored.
UINT AnswerDeviceList(const std::vector<DeviceInfo>& devices, RAWINPUTDEVICELIST* list, UINT* count, UINT size,
                      std::uint32_t& error);

// X gives the id of a removed device to the next one made, but a handle must name
// one device for the whole run: a device that comes under an id already used
// gets id + 256 * k, the first such value not given yet; any other keeps its id.
class DeviceHandles {
 public:
  static constexpr int kIds = 256;  // X device ids are below this

  // The device is there (at start, or just added); nothing changes for one
  // already known to be there.
  void Arrived(int id);
  void Left(int id);
  std::uint32_t Of(int id) const;

 private:
  struct Id {
    bool present = false;
    std::uint32_t devices = 0;  // devices seen under this id so far
  };
  std::array<Id, kIds> ids_{};
};

// ---- Registration -------------------------------------------------------------

struct Registration {
  std::uint32_t error = 0;  // 0: the request is well formed
  bool select_mouse = false;
  bool remove_mouse = false;
};

// Checks RegisterRawInputDevices' arguments. Only mice (usage page 1, usage 2)
// make packets; other usages are accepted and deliver nothing. Flags other than
// 0 and RIDEV_REMOVE are refused.
Registration CheckRegistration(const RAWINPUTDEVICE* devices, UINT count, UINT size);

// ---- Events -------------------------------------------------------------------

enum class RawKind { Motion, Press, Release };

// The fields of an XInput2 raw event that a mouse record needs.
struct RawEvent {
  RawKind kind = RawKind::Motion;
  int device = 0;                       // the slave that sent it
  int detail = 0;                       // button number
  const unsigned char* mask = nullptr;  // valuator mask
  int mask_len = 0;                     // bytes in mask
  const double* raw_values = nullptr;   // one per set bit of mask, in bit order
};

struct Axis {
  bool absolute = false;
  double min = 0;
  double max = 0;
};

class Translator {
 public:
  static constexpr int kMaxDevices = 256;

  // Axes 0 and 1 of a device; devices never described are relative.
  void SetAxes(int device, Axis x, Axis y);
  // The mouse record for one raw event, or false when the event makes none
  // (releases of wheel buttons, buttons past 9, motion without x or y).
  bool Translate(const RawEvent& event, RAWMOUSE& out);

 private:
  struct DeviceState {
    Axis x, y;
    double rest_x = 0, rest_y = 0;  // motion not yet reported, below one count
  };
  std::int32_t Relative(double value, double& rest);
  static std::int32_t Normalized(double value, const Axis& axis);

  std::array<DeviceState, kMaxDevices> devices_{};
};

// ---- Packets ------------------------------------------------------------------

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

}  // namespace rawinput::xi2
