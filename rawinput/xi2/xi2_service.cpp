// The XInput2 service of the Linux stand-in, over raw events on the x11 toolkit's
// connection (the loader's last choice, usable wherever X runs):
// - start: the toolkit's display, with XInput 2 where the server has it;
// - devices: the server's enabled slave devices, each under a handle of its own
//   for the run (DeviceHandles), followed through hierarchy events;
// - mice: raw motion and button events of every device, selected on the root
//   window; refused when the server has no XInput 2;
// - each raw event of a slave is one packet for the form.
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
    Axis axes[2];
    for (int c = 0; c < d.num_classes; ++c) {
      const XIAnyClassInfo* cls = d.classes[c];
      if (cls->type == XIKeyClass) out.has_keys = true;
      if (cls->type == XIButtonClass) out.has_pointer = true;
      if (cls->type == XIValuatorClass) {
        out.has_pointer = true;
        const auto* v = reinterpret_cast<const XIValuatorClassInfo*>(cls);
        if (v->number == 0 || v->number == 1) axes[v->number] = {v->mode == XIModeAbsolute, v->min, v->max};
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
  stand_in::Deliver(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(service.handles.Of(raw->sourceid))), mouse);
}

bool Usable(std::string&) { return true; }

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

}  // namespace

}  // namespace rawinput::xi2

namespace rawinput::stand_in {

const Service kXi2Service = {xi2::Usable, xi2::Start, xi2::Devices, xi2::SelectMice};

}  // namespace rawinput::stand_in
