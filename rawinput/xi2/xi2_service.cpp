// The Linux stand-in for the raw-input service, over XInput2 raw events on the
// x11 toolkit's connection. Implements:
// - the loader (xi2::Load, Proc, LastError: loader_linux.cpp calls them when it
//   picks this service): "user32.dll", the three entry points, GetLastError;
// - GetRawInputDeviceList: the server's enabled slave devices, each under a handle
//   of its own for the run (DeviceHandles), followed through hierarchy events;
// - RegisterRawInputDevices: raw motion and button events of every device,
//   selected on the root window; refused when the server has no XInput 2;
// - GetRawInputData: the packet that the loop made from a raw event and is sending
//   to the form, while it holds the keyboard focus, as message 255.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <strings.h>

#include <cstring>

#include <cstdint>
#include <vector>

#include "rawinput/evdev/services.h"
#include "rawinput/xi2/xi2_logic.h"
#include "toolkit/x11/x11_connection.h"

namespace rawinput {

namespace {

struct Service {
  Display* display = nullptr;
  int xi_opcode = -1;
  bool has_xi2 = false;
  bool mouse_selected = false;
  std::uint32_t last_error = 0;
  xi2::Translator translator;
  xi2::DeviceHandles handles;
  xi2::PacketStore packets;
};

Service service;
char user32_module;

xi2::DeviceUse UseOf(int use) {
  switch (use) {
    case XIMasterPointer: return xi2::DeviceUse::MasterPointer;
    case XIMasterKeyboard: return xi2::DeviceUse::MasterKeyboard;
    case XISlavePointer: return xi2::DeviceUse::SlavePointer;
    case XISlaveKeyboard: return xi2::DeviceUse::SlaveKeyboard;
    default: return xi2::DeviceUse::FloatingSlave;
  }
}

// Devices of the server (id, or XIAllDevices); also teaches the translator which
// axes are absolute and the handles which devices are there.
std::vector<xi2::DeviceInfo> QueryDevices(int which = XIAllDevices) {
  std::vector<xi2::DeviceInfo> devices;
  if (!service.has_xi2) return devices;
  int n = 0;
  tk::x11::BeginErrorTrap();  // the device may be gone already
  XIDeviceInfo* info = XIQueryDevice(service.display, which, &n);
  tk::x11::EndErrorTrap();
  if (!info) return devices;
  for (int i = 0; i < n; ++i) {
    const XIDeviceInfo& d = info[i];
    service.handles.Arrived(d.deviceid);
    xi2::DeviceInfo out;
    out.id = d.deviceid;
    out.handle = service.handles.Of(d.deviceid);
    out.use = UseOf(d.use);
    out.enabled = d.enabled;
    xi2::Axis axes[2];
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
  xi2::RawKind kind;
  switch (cookie->evtype) {
    case XI_HierarchyChanged: OnHierarchy(*static_cast<const XIHierarchyEvent*>(cookie->data)); return;
    case XI_RawMotion: kind = xi2::RawKind::Motion; break;
    case XI_RawButtonPress: kind = xi2::RawKind::Press; break;
    case XI_RawButtonRelease: kind = xi2::RawKind::Release; break;
    default: return;
  }
  const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
  // Each motion comes once from its slave and again from the slave's master.
  if (raw->deviceid != raw->sourceid) return;
  // Like the real service with flags 0: only the window with the focus gets packets.
  if (!service.mouse_selected || !tk::x11::FormHasFocus()) return;

  xi2::RawEvent event;
  event.kind = kind;
  event.device = raw->sourceid;
  event.detail = raw->detail;
  event.mask = raw->valuators.mask;
  event.mask_len = raw->valuators.mask_len;
  event.raw_values = raw->raw_values;
  RAWMOUSE mouse;
  if (!service.translator.Translate(event, mouse)) return;
  const HANDLE device = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(service.handles.Of(raw->sourceid)));
  const HRAWINPUT handle = service.packets.Put(device, mouse);
  tk::TMessage message{tk::WM_INPUT, 0, reinterpret_cast<std::intptr_t>(handle), 0};
  tk::x11::DispatchToForm(message);
  service.packets.Release();
}

UINT RAWINPUT_API StandInGetRawInputDeviceList(RAWINPUTDEVICELIST* list, UINT* count, UINT size) {
  return xi2::AnswerDeviceList(QueryDevices(), list, count, size, service.last_error);
}

int RAWINPUT_API StandInRegisterRawInputDevices(const RAWINPUTDEVICE* devices, UINT count, UINT size) {
  const xi2::Registration r = xi2::CheckRegistration(devices, count, size);
  if (r.error != 0) {
    service.last_error = r.error;
    return 0;
  }
  if (!r.select_mouse && !r.remove_mouse) return 1;
  if (!service.has_xi2) {
    service.last_error = xi2::kErrorNotSupported;
    return 0;
  }
  if (r.select_mouse) QueryDevices();  // learn the absolute axes
  tk::x11::BeginErrorTrap();
  SelectEvents(r.select_mouse);
  if (tk::x11::EndErrorTrap() != 0) {
    service.last_error = xi2::kErrorNotSupported;
    return 0;
  }
  service.mouse_selected = r.select_mouse;
  return 1;
}

UINT RAWINPUT_API StandInGetRawInputData(HRAWINPUT input, UINT command, void* data, UINT* size, UINT header_size) {
  return service.packets.Get(input, command, data, size, header_size, service.last_error);
}

}  // namespace

namespace xi2 {

void* Load(const char* name) {
  if (name == nullptr || strcasecmp(name, "user32.dll") != 0) {
    service.last_error = xi2::kErrorModNotFound;
    return nullptr;
  }
  if (service.display == nullptr) {
    service.display = tk::x11::Connection();
    if (service.display == nullptr) {
      service.last_error = xi2::kErrorModNotFound;
      return nullptr;
    }
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
  }
  return &user32_module;
}

void* Proc(void* module, const char* name) {
  if (module != &user32_module || name == nullptr) return nullptr;
  if (strcmp(name, "RegisterRawInputDevices") == 0) return reinterpret_cast<void*>(&StandInRegisterRawInputDevices);
  if (strcmp(name, "GetRawInputData") == 0) return reinterpret_cast<void*>(&StandInGetRawInputData);
  if (strcmp(name, "GetRawInputDeviceList") == 0) return reinterpret_cast<void*>(&StandInGetRawInputDeviceList);
  return nullptr;
}

std::uint32_t LastError() { return service.last_error; }

}  // namespace xi2

}  // namespace rawinput
