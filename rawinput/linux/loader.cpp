// The loader of the Linux program: "user32.dll" is the first service of the table
// that can run here (evdev when a mouse's event node can be read, else XInput2),
// chosen once, at the first LoadLibraryA. The module shell around it (entry
// points, GetLastError, registration, the packet store and its times, device
// names) is the same for both.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "rawinput/linux/contracts.h"
#include "rawinput/linux/stand_in.h"
#include "rawinput/loader.h"
#include "rawinput/rawinput.h"
#include "toolkit/x11/x11_connection.h"

namespace rawinput {

namespace stand_in {

namespace {

const Service* const kServices[] = {&kEvdevService, &kXi2Service};

struct Shell {
  const Service* service = nullptr;  // chosen at the first load
  bool started = false;
  bool mouse_selected = false;
  bool sink = false;  // registered with RIDEV_INPUTSINK: the focus does not matter
  std::uint32_t last_error = 0;
  PacketStore packets;
  std::map<std::string, std::string> names;  // by interface path, as described
};

Shell shell;
char user32_module;

const Service& Choose() {
  for (const Service* s : kServices) {
    std::string remedy;
    if (s->usable(remedy)) return *s;
    if (!remedy.empty()) {
      std::fprintf(stderr, "%s\n", remedy.c_str());
      std::fflush(stderr);
    }
  }
  return *kServices[std::size(kServices) - 1];
}

UINT RAWINPUT_API StandInGetRawInputDeviceList(RAWINPUTDEVICELIST* list, UINT* count, UINT size) {
  return AnswerList(shell.service->devices(), list, count, size, shell.last_error);
}

int RAWINPUT_API StandInRegisterRawInputDevices(const RAWINPUTDEVICE* devices, UINT count, UINT size) {
  const Registration r = CheckRegistration(devices, count, size);
  if (r.error != 0) {
    shell.last_error = r.error;
    return 0;
  }
  if (!r.select_mouse && !r.remove_mouse) return 1;
  if (const std::uint32_t error = shell.service->select_mice(r.select_mouse); error != 0) {
    shell.last_error = error;
    return 0;
  }
  shell.mouse_selected = r.select_mouse;
  shell.sink = r.select_mouse && r.sink;
  return 1;
}

UINT RAWINPUT_API StandInGetRawInputData(HRAWINPUT input, UINT command, void* data, UINT* size, UINT header_size) {
  return shell.packets.Get(input, command, data, size, header_size, shell.last_error);
}

UINT RAWINPUT_API StandInGetRawInputDeviceInfoA(HANDLE device, UINT command, void* data, UINT* size) {
  DeviceDescription d;
  const bool known = shell.service->describe(device, d);
  if (known) shell.names[d.path] = d.name;
  return AnswerDeviceInfo(known ? &d : nullptr, command, data, size, shell.last_error);
}

}  // namespace

bool Delivering() { return shell.mouse_selected && (shell.sink || tk::x11::FormHasFocus()); }

void Deliver(HANDLE device, const RAWMOUSE& mouse, std::int64_t time_us) {
  if (!Delivering()) return;
  const HRAWINPUT handle = shell.packets.Put(device, mouse, time_us);
  tk::TMessage message{tk::WM_INPUT, 0, reinterpret_cast<std::intptr_t>(handle), 0};
  tk::x11::DispatchToForm(message);
  shell.packets.Release();
}

void ReportLost(HANDLE device, std::int64_t time_us) {
  if (Delivering()) report_lost_events(device, time_us);
}

}  // namespace stand_in

using stand_in::shell;

void* LoadLibraryA(const char* name) {
  if (shell.service == nullptr) shell.service = &stand_in::Choose();
  if (name == nullptr || strcasecmp(name, "user32.dll") != 0) {
    shell.last_error = stand_in::kErrorModNotFound;
    return nullptr;
  }
  if (!shell.started) shell.started = shell.service->start();
  if (!shell.started) {
    shell.last_error = stand_in::kErrorModNotFound;
    return nullptr;
  }
  return &stand_in::user32_module;
}

void* GetProcAddress(void* module, const char* name) {
  if (module != &stand_in::user32_module || name == nullptr) return nullptr;
  if (std::strcmp(name, "RegisterRawInputDevices") == 0) {
    return reinterpret_cast<void*>(&stand_in::StandInRegisterRawInputDevices);
  }
  if (std::strcmp(name, "GetRawInputData") == 0) return reinterpret_cast<void*>(&stand_in::StandInGetRawInputData);
  if (std::strcmp(name, "GetRawInputDeviceList") == 0) {
    return reinterpret_cast<void*>(&stand_in::StandInGetRawInputDeviceList);
  }
  if (std::strcmp(name, "GetRawInputDeviceInfoA") == 0) {
    return reinterpret_cast<void*>(&stand_in::StandInGetRawInputDeviceInfoA);
  }
  return nullptr;
}

std::uint32_t GetLastError() { return shell.last_error; }

std::int64_t PacketTime(HRAWINPUT handle) {
  std::int64_t time_us = 0;
  return shell.packets.Time(handle, time_us) ? time_us : 0;
}

std::uint32_t PacketClockUs() { return shell.service != nullptr ? shell.service->clock_us : 1; }

// The name of a device this loader described under that path.
bool ProductString(const char* interface_path, std::string& name) {
  if (interface_path == nullptr) return false;
  const auto it = shell.names.find(interface_path);
  if (it == shell.names.end() || it->second.empty()) return false;
  name = it->second;
  return true;
}

}  // namespace rawinput
