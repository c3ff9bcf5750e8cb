// The Linux stand-in for the raw-input service, over XInput2 raw events on the
// x11 toolkit's connection. Implements:
// - the loader: LoadLibraryA("user32.dll"), GetProcAddress for the three entry
//   points, GetLastError;
// - GetRawInputDeviceList: the server's enabled slave devices, handle = device id;
// - RegisterRawInputDevices: raw motion and button events of every device,
//   selected on the root window; refused when the server has no XInput 2;
// - GetRawInputData: the packets that the loop made from raw events and sent to
//   the form, while it held the keyboard focus, as message 255.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <strings.h>

#include <cstring>

#include <cstdint>
#include <vector>

#include "rawinput/loader.h"
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

// The server's devices now; also teaches the translator which axes are absolute.
std::vector<xi2::DeviceInfo> QueryDevices() {
  std::vector<xi2::DeviceInfo> devices;
  if (!service.has_xi2) return devices;
  int n = 0;
  XIDeviceInfo* info = XIQueryDevice(service.display, XIAllDevices, &n);
  if (!info) return devices;
  for (int i = 0; i < n; ++i) {
    const XIDeviceInfo& d = info[i];
    xi2::DeviceInfo out;
    out.id = d.deviceid;
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

void OnRawEvent(void*, XGenericEventCookie* cookie) {
  xi2::RawKind kind;
  switch (cookie->evtype) {
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
  const HRAWINPUT handle =
      service.packets.Put(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(raw->sourceid)), mouse);
  tk::TMessage message{tk::WM_INPUT, 0, reinterpret_cast<std::intptr_t>(handle), 0};
  tk::x11::DispatchToForm(message);
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
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  if (r.select_mouse) {
    XISetMask(bits, XI_RawMotion);
    XISetMask(bits, XI_RawButtonPress);
    XISetMask(bits, XI_RawButtonRelease);
    QueryDevices();  // learn the absolute axes
  }
  XIEventMask mask = {XIAllDevices, static_cast<int>(sizeof bits), bits};
  tk::x11::BeginErrorTrap();
  XISelectEvents(service.display, DefaultRootWindow(service.display), &mask, 1);
  if (tk::x11::EndErrorTrap() != 0) {
    service.last_error = xi2::kErrorNotSupported;
    return 0;
  }
  service.mouse_selected = r.select_mouse;
  tk::x11::SetGenericEventHandler(service.xi_opcode, r.select_mouse ? OnRawEvent : nullptr, nullptr);
  return 1;
}

UINT RAWINPUT_API StandInGetRawInputData(HRAWINPUT input, UINT command, void* data, UINT* size, UINT header_size) {
  return service.packets.Get(input, command, data, size, header_size, service.last_error);
}

}  // namespace

void* LoadLibraryA(const char* name) {
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
  }
  return &user32_module;
}

void* GetProcAddress(void* module, const char* name) {
  if (module != &user32_module || name == nullptr) return nullptr;
  if (strcmp(name, "RegisterRawInputDevices") == 0) return reinterpret_cast<void*>(&StandInRegisterRawInputDevices);
  if (strcmp(name, "GetRawInputData") == 0) return reinterpret_cast<void*>(&StandInGetRawInputData);
  if (strcmp(name, "GetRawInputDeviceList") == 0) return reinterpret_cast<void*>(&StandInGetRawInputDeviceList);
  return nullptr;
}

std::uint32_t GetLastError() { return service.last_error; }

}  // namespace rawinput
