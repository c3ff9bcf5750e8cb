// The XInput2 service of the Linux stand-in, over raw events on the x11 toolkit's
// connection (the loader's last choice, usable wherever X runs):
// - start: the toolkit's display, with XInput 2 where the server has it;
// - devices: the server's enabled slave devices, each under a handle of its own
//   for the run (DeviceHandles), followed through hierarchy events;
// - mice: raw motion and button events of every device, selected on the root
//   window; refused when the server has no XInput 2;
// - each raw event of a slave is one packet for the form, timed by the server;
// - a device's description: its X name, and its ids where the server's driver
//   gives them ("Device Product ID").
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <cstdint>
#include <string>
#include <vector>

#include "rawinput/linux/stand_in.h"
#include "rawinput/xi2/xi2_logic.h"
#include "toolkit/x11/x11_connection.h"

namespace rawinput::xi2 {

namespace {

struct Service {
  Display* display = nullptr;
  int xi_opcode = -1;
  bool has_xi2 = false;
  std::uint32_t start_time = 0;  // the server's time at the start, the packets' time 0
  Translator translator;
  DeviceHandles handles;
};

Service service;

DeviceUse UseOf(int use) {
  switch (use) {
    case XIMasterPointer: return DeviceUse::MasterPointer;
    case XIMasterKeyboard: return DeviceUse::MasterKeyboard;
    case XISlavePointer: return DeviceUse::SlavePointer;
    case XISlaveKeyboard: return DeviceUse::SlaveKeyboard;
    default: return DeviceUse::FloatingSlave;
  }
}

// Devices of the server (id, or XIAllDevices); also teaches the translator which
// axes are absolute and the handles which devices are there.
std::vector<DeviceInfo> QueryDevices(int which = XIAllDevices) {
  std::vector<DeviceInfo> devices;
  if (!service.has_xi2) return devices;
  int n = 0;
  tk::x11::BeginErrorTrap();  // the device may be gone already
  XIDeviceInfo* info = XIQueryDevice(service.display, which, &n);
  tk::x11::EndErrorTrap();
  if (!info) return devices;
  for (int i = 0; i < n; ++i) {
    const XIDeviceInfo& d = info[i];
    service.handles.Arrived(d.deviceid);
    DeviceInfo out;
    out.id = d.deviceid;
    out.handle = service.handles.Of(d.deviceid);
    out.use = UseOf(d.use);
    out.enabled = d.enabled;
    out.name = d.name ? d.name : "";
    Axis axes[2];
    for (int c = 0; c < d.num_classes; ++c) {
      const XIAnyClassInfo* cls = d.classes[c];
      if (cls->type == XIKeyClass) out.has_keys = true;
      if (cls->type == XIButtonClass) {
        out.has_pointer = true;
        out.buttons = reinterpret_cast<const XIButtonClassInfo*>(cls)->num_buttons;
      }
      if (cls->type == XIValuatorClass) {
        out.has_pointer = true;
        const auto* v = reinterpret_cast<const XIValuatorClassInfo*>(cls);
        if (v->number == 0 || v->number == 1) axes[v->number] = {v->mode == XIModeAbsolute, v->min, v->max, v->value};
      }
    }
    service.translator.SetAxes(d.deviceid, axes[0], axes[1]);
    devices.push_back(out);
  }
  XIFreeDeviceInfo(info);
  return devices;
}

// Hierarchy events are selected from the start, so a device that leaves and one
// that comes later under its id are told apart, whenever the packets start.
void SelectEvents(bool raw) {
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(bits, XI_HierarchyChanged);
  if (raw) {
    XISetMask(bits, XI_RawMotion);
    XISetMask(bits, XI_RawButtonPress);
    XISetMask(bits, XI_RawButtonRelease);
  }
  XIEventMask mask = {XIAllDevices, static_cast<int>(sizeof bits), bits};
  XISelectEvents(service.display, DefaultRootWindow(service.display), &mask, 1);
}

void OnHierarchy(const XIHierarchyEvent& event) {
  for (int i = 0; i < event.num_info; ++i) {
    if (event.info[i].flags & (XIMasterRemoved | XISlaveRemoved)) service.handles.Left(event.info[i].deviceid);
  }
  for (int i = 0; i < event.num_info; ++i) {
    if (event.info[i].flags & (XIMasterAdded | XISlaveAdded)) QueryDevices(event.info[i].deviceid);
  }
}

void OnXiEvent(void*, XGenericEventCookie* cookie) {
  RawKind kind;
  switch (cookie->evtype) {
    case XI_HierarchyChanged: OnHierarchy(*static_cast<const XIHierarchyEvent*>(cookie->data)); return;
    case XI_RawMotion: kind = RawKind::Motion; break;
    case XI_RawButtonPress: kind = RawKind::Press; break;
    case XI_RawButtonRelease: kind = RawKind::Release; break;
    default: return;
  }
  const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
  // Each motion comes once from its slave and again from the slave's master.
  if (raw->deviceid != raw->sourceid) return;
  // Nothing is translated while nothing is delivered: no sub-count motion is kept
  // from events the form never got.
  if (!stand_in::Delivering()) return;

  RawEvent event;
  event.kind = kind;
  event.device = raw->sourceid;
  event.detail = raw->detail;
  event.mask = raw->valuators.mask;
  event.mask_len = raw->valuators.mask_len;
  event.raw_values = raw->raw_values;
  RAWMOUSE mouse;
  if (!service.translator.Translate(event, mouse)) return;
  stand_in::Deliver(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(service.handles.Of(raw->sourceid))), mouse,
                    ServerTimeUs(static_cast<std::uint32_t>(raw->time), service.start_time));
}

bool Usable(std::string&) { return true; }

// The server's time now: that of the PropertyNotify a zero-length append to a
// property of a window of our own makes (the server stamps it; nothing local is).
std::uint32_t ServerTimeNow() {
  Display* d = service.display;
  XSetWindowAttributes attributes = {};
  attributes.event_mask = PropertyChangeMask;
  const Window w = XCreateWindow(d, DefaultRootWindow(d), -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent,
                                 CWEventMask, &attributes);
  const Atom property = XInternAtom(d, "_VELMORA_START", False);
  XChangeProperty(d, w, property, XA_STRING, 8, PropModeAppend, nullptr, 0);
  XEvent event;
  XWindowEvent(d, w, PropertyChangeMask, &event);
  XDestroyWindow(d, w);
  return static_cast<std::uint32_t>(event.xproperty.time);
}

// The vendor and product ids the server's driver puts in "Device Product ID".
void ReadIds(DeviceInfo& device) {
  const Atom property = XInternAtom(service.display, "Device Product ID", True);
  if (property == None) return;  // no device has it
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  tk::x11::BeginErrorTrap();  // the device may be gone already
  const Status status = XIGetProperty(service.display, device.id, property, 0, 2, False, XA_INTEGER, &type, &format,
                                      &items, &after, &data);
  tk::x11::EndErrorTrap();
  if (status == Success && data != nullptr && type == XA_INTEGER && format == 32 && items == 2) {
    // XInput 2 keeps 32-bit items 32 bits wide (unlike XGetWindowProperty's longs).
    const auto* ids = reinterpret_cast<const std::uint32_t*>(data);
    device.vendor = static_cast<std::uint16_t>(ids[0]);
    device.product = static_cast<std::uint16_t>(ids[1]);
  }
  if (data != nullptr) XFree(data);
}

bool Start() {
  service.display = tk::x11::Connection();
  if (service.display == nullptr) return false;
  int event = 0, error = 0;
  if (XQueryExtension(service.display, "XInputExtension", &service.xi_opcode, &event, &error)) {
    int major = 2, minor = 2;
    service.has_xi2 = XIQueryVersion(service.display, &major, &minor) == Success && major >= 2;
  }
  if (service.has_xi2) {
    tk::x11::SetGenericEventHandler(service.xi_opcode, OnXiEvent, nullptr);
    tk::x11::BeginErrorTrap();
    SelectEvents(false);
    tk::x11::EndErrorTrap();
    QueryDevices();  // the devices there at start keep their ids as handles
  }
  service.start_time = ServerTimeNow();
  return true;
}

std::vector<RAWINPUTDEVICELIST> Devices() { return ListEntries(QueryDevices()); }

std::uint32_t SelectMice(bool on) {
  if (!service.has_xi2) return kErrorNotSupported;
  if (on) QueryDevices();  // learn the absolute axes
  tk::x11::BeginErrorTrap();
  SelectEvents(on);
  if (tk::x11::EndErrorTrap() != 0) return kErrorNotSupported;
  return 0;
}

// A listed device that is still there under this handle.
bool DescribeDevice(HANDLE device, DeviceDescription& out) {
  const auto handle = reinterpret_cast<std::uintptr_t>(device);
  const int id = static_cast<int>(handle % DeviceHandles::kIds);
  if (handle > UINT32_MAX || service.handles.Of(id) != handle) return false;
  std::vector<DeviceInfo> found = QueryDevices(id);
  if (found.size() != 1 || found[0].handle != handle || DeviceType(found[0]) < 0) return false;
  ReadIds(found[0]);
  out = Describe(found[0]);
  return true;
}

}  // namespace

}  // namespace rawinput::xi2

namespace rawinput::stand_in {

const Service kXi2Service = {.usable = xi2::Usable,
                              .start = xi2::Start,
                              .devices = xi2::Devices,
                              .select_mice = xi2::SelectMice,
                              .describe = xi2::DescribeDevice,
                              .clock_us = 1000};  // server time counts milliseconds

}  // namespace rawinput::stand_in
