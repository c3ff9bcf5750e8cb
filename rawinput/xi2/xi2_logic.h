// The X-free half of the XInput2 stand-in for the raw-input service: which of the
// server's devices are listed, under which handles and how they are described,
// raw event -> mouse record, and server time -> packet time. xi2_service.cpp feeds
// it from the server.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rawinput/linux/codes.h"
#include "rawinput/linux/contracts.h"
#include "rawinput/records.h"

namespace rawinput::xi2 {

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
  // For its description:
  std::string name;
  int buttons = 0;  // X's count, wheel buttons 4 to 7 among them
  std::uint16_t vendor = 0, product = 0;  // the "Device Product ID" property; 0 without
};

// Raw-input type of a device (0 mouse, 1 keyboard, 2 other), or -1 for one the
// list leaves out: masters, which only merge their slaves, and disabled devices.
int DeviceType(const DeviceInfo& device);

// The device list's entries for a snapshot of the server's devices (any order):
// the listed ones, in id order.
std::vector<RAWINPUTDEVICELIST> ListEntries(const std::vector<DeviceInfo>& devices);

// What GetRawInputDeviceInfoA tells of a listed device: the interface path
// "\\?\XI2#VID_vvvv&PID_pppp#handle" and its type's device record.
DeviceDescription Describe(const DeviceInfo& device);

// A raw event's server time (milliseconds, wrapping at 32 bits) in microseconds
// since the server time start.
std::int64_t ServerTimeUs(std::uint32_t time, std::uint32_t start);

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
  double value = 0;  // an absolute axis's position when the device was described
};

class Translator {
 public:
  static constexpr int kMaxDevices = 256;

  // Axes 0 and 1 of a device; devices never described are relative.
  void SetAxes(int device, Axis x, Axis y);
  // The mouse record for one raw event, or false when the event makes none: it
  // has no x or y and nothing else a record shows (a motion, a wheel button's
  // release, a button past 9). A NaN
  // valuator counts as not sent. A device with an absolute axis reports both
  // axes' positions in every record, the last one of an axis the event leaves
  // out (the server sends only the valuators that changed).
  bool Translate(const RawEvent& event, RAWMOUSE& out);

 private:
  struct DeviceState {
    Axis x, y;  // an absolute axis's value is its last position
    double rest_x = 0, rest_y = 0;  // motion not yet reported, below one count
  };
  std::int32_t Relative(double value, double& rest);
  static std::int32_t Normalized(double value, const Axis& axis);

  std::array<DeviceState, kMaxDevices> devices_{};
};

}  // namespace rawinput::xi2
