// What the Linux loader asks of each raw-input service (evdev, XInput2), and what
// a service calls to hand its packets to the form. loader.cpp holds the module
// shell both services share; each service's file holds its own device side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rawinput/linux/contracts.h"
#include "rawinput/records.h"

namespace rawinput::stand_in {

struct Service {
  // Whether the service can run here. When it cannot, remedy may hold one line
  // for stderr that says how to make it.
  bool (*usable)(std::string& remedy);
  // At each load of "user32.dll" until it succeeds: false while the service has
  // nothing to read from.
  bool (*start)();
  // The devices as GetRawInputDeviceList lists them, in list order.
  std::vector<RAWINPUTDEVICELIST> (*devices)();
  // Starts (true) or stops mouse packets for a registration; 0, or the code for
  // GetLastError when the service refuses.
  std::uint32_t (*select_mice)(bool on);
  // What GetRawInputDeviceInfoA tells of the device under handle; false when no
  // device has it.
  bool (*describe)(HANDLE device, DeviceDescription& out);
  // The resolution of the packets' times in microseconds.
  std::uint32_t clock_us;
};

// The services, in the order the loader tries them.
extern const Service kEvdevService;
extern const Service kXi2Service;

// Whether mouse packets reach the form right now: mice are registered and, as
// with the real service's flags 0, the form holds the keyboard focus, or they
// are registered with RIDEV_INPUTSINK, which delivers whatever has the focus.
bool Delivering();
// Sends one mouse packet of device to the form as message 255, while Delivering;
// its handle is good until the message has been handled. time_us: when it came, in
// microseconds since the service started, on the service's clock.
void Deliver(HANDLE device, const RAWMOUSE& mouse, std::int64_t time_us);
// Tells the program that the service lost events of device at time_us, while
// Delivering, in order with the packets.
void ReportLost(HANDLE device, std::int64_t time_us);

}  // namespace rawinput::stand_in
