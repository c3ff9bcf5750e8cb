#include "rawinput/rawinput.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/principal.h"
#include "log/osc_stream.h"
#include "log/packet_log.h"
#include "log/recording.h"
#include "rawinput/device_info.h"
#include "rawinput/loader.h"

namespace rawinput {

RawInputState raw_input_state = {};

namespace {

RawInputState& S() { return raw_input_state; }

// Windows keeps handle values within 32 bits, so the low half is the whole value.
std::string handle_text(HANDLE h) {
  return std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h))));
}

const char* type_word(UINT type) {
  switch (type) {
    case RIM_TYPEMOUSE: return "Mouse";
    case RIM_TYPEKEYBOARD: return "Keyboard";
    case RIM_TYPEHID: return "HID";
    default: return "";
  }
}

template <class Fn>
Fn bind(void* module, const char* name) {
  return reinterpret_cast<Fn>(GetProcAddress(module, name));
}

void list_devices(TForm1& form, const RAWINPUTDEVICELIST* list, UINT n) {
  S().count = 0;
  for (UINT i = 0; i < n && i < static_cast<UINT>(kMaxMice); ++i) {
    const RAWINPUTDEVICELIST& entry = list[i];
    form.Memo1->Append(std::to_string(i) + " " + handle_text(entry.hDevice) + "  " + type_word(entry.dwType));
    if (entry.hDevice != nullptr && entry.dwType == RIM_TYPEMOUSE) {
      S().mice[S().count] = entry.hDevice;
      ++S().count;
      form.Memo1->Append("Amouse[" + std::to_string(S().count - 1) + "] = " + handle_text(entry.hDevice));
    }
  }
}

// A device's row in devices.csv, and its message on the stream.
void record_device(const packetlog::DeviceRow& row) {
  packetlog::recording_write_device(row);
  osc::stream_device(row);
}

// Every device the service lists goes to devices.csv, not only the ten the panel shows.
void record_devices(const RAWINPUTDEVICELIST* list, UINT n) {
  for (UINT i = 0; i < n; ++i) record_device(describe_device(list[i].hDevice, list[i].dwType));
}

// A device that was not listed at start gets its row when it first sends.
void record_if_new(HANDLE device) {
  if (packetlog::recording_knows(device)) return;
  packetlog::DeviceRow row = describe_device(device, RIM_TYPEMOUSE);
  row.index = -1;
  record_device(row);
}

int fail_before_registration(void* list) {
  mem_free(list);
  raw_input_reset();
  return 0;
}

void report_size_mismatch() {
  std::printf("GetRawInputData doesn't return correct size!\n");
  std::fflush(stdout);
}

}  // namespace

void raw_input_reset() {
  mem_free(S().buffer);
  S() = RawInputState{};
}

int raw_input_init(TForm1& form) {
  if (S().RegisterRawInputDevices_f != nullptr) return 1;
  S().buffer = nullptr;
  S().capacity = 0;

  void* user32 = LoadLibraryA("user32.dll");
  if (user32 == nullptr) return fail_before_registration(nullptr);
  S().RegisterRawInputDevices_f = bind<RegisterRawInputDevicesFn>(user32, "RegisterRawInputDevices");
  S().GetRawInputData_f = bind<GetRawInputDataFn>(user32, "GetRawInputData");
  S().GetRawInputDeviceList_f = bind<GetRawInputDeviceListFn>(user32, "GetRawInputDeviceList");
  if (!S().RegisterRawInputDevices_f || !S().GetRawInputData_f || !S().GetRawInputDeviceList_f) {
    return fail_before_registration(nullptr);
  }
  S().GetRawInputDeviceInfoA_f = bind<GetRawInputDeviceInfoAFn>(user32, "GetRawInputDeviceInfoA");

  UINT n = 0;
  if (S().GetRawInputDeviceList_f(nullptr, &n, sizeof(RAWINPUTDEVICELIST)) != 0) {
    return fail_before_registration(nullptr);
  }
  // One spare entry so that an empty list is still a real block.
  auto* list = static_cast<RAWINPUTDEVICELIST*>(mem_alloc(n == 0 ? 1 : n, sizeof(RAWINPUTDEVICELIST)));
  if (list == nullptr) return fail_before_registration(nullptr);
  UINT stored_room = n;
  const UINT stored = S().GetRawInputDeviceList_f(list, &stored_room, sizeof(RAWINPUTDEVICELIST));
  if (stored == kQueryFailed) return fail_before_registration(list);
  // Walk only what the service says it stored.
  list_devices(form, list, stored < n ? stored : n);
  record_devices(list, stored < n ? stored : n);
  mem_free(list);

  RAWINPUTDEVICE mouse = {};
  mouse.usUsagePage = 1;
  mouse.usUsage = 2;
  // In the background the service needs the window that is to receive the input.
  mouse.dwFlags = run_options.background ? RIDEV_INPUTSINK : 0;
  mouse.hwndTarget = run_options.background ? form.peer : nullptr;
  if (S().RegisterRawInputDevices_f(&mouse, 1, sizeof(RAWINPUTDEVICE)) != 0) return 1;
  std::printf("RegisterRawInputDevices_f failed: 0x%08lx\n", static_cast<unsigned long>(GetLastError()));
  std::fflush(stdout);
  return 0;
}

std::int32_t find_mouse(HANDLE device) {
  for (std::int32_t i = 0; i < S().count && i < kMaxMice; ++i) {
    if (S().mice[i] == device) return i;
  }
  return -1;
}

void report_lost_events(HANDLE device, std::int64_t time_us) {
  record_if_new(device);
  const std::int32_t index = find_mouse(device);
  osc::stream_drop(time_us, device, index);
  packetlog::recording_write_drop(time_us, device, index);
}

int process_raw_input(TForm1& form, HRAWINPUT handle) {
  // A message 255 can come from anyone, even before the entry points are bound.
  if (S().GetRawInputData_f == nullptr) return 0;

  UINT size = 0;
  const UINT queried = S().GetRawInputData_f(handle, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER));
  if (queried == kQueryFailed || size < sizeof(RAWINPUTHEADER)) {
    report_size_mismatch();
    return 0;
  }
  if (size >= S().capacity) {
    void* grown = mem_realloc(S().buffer, size);
    if (grown == nullptr) return 0;
    S().buffer = static_cast<unsigned char*>(grown);
    S().capacity = size;
  }
  UINT fetched_size = size;
  if (S().GetRawInputData_f(handle, RID_INPUT, S().buffer, &fetched_size, sizeof(RAWINPUTHEADER)) != size) {
    report_size_mismatch();
    return 0;
  }

  RAWINPUTHEADER header;
  std::memcpy(&header, S().buffer, sizeof header);
  if (header.dwType != RIM_TYPEMOUSE) return 1;
  // A mouse packet too short for its fields would be read past its end.
  if (size < kMousePacketSize) {
    report_size_mismatch();
    return 0;
  }
  const std::int64_t time_us = PacketTime(handle);
  RAWMOUSE mouse;
  std::memcpy(&mouse, S().buffer + offsetof(RAWINPUT, data), sizeof mouse);

  const std::int32_t index = find_mouse(header.hDevice);
  // Streamed first, so that the receiver waits on no file write.
  record_if_new(header.hDevice);
  osc::stream_packet(time_us, header.hDevice, index, mouse);
  form.Label1->SetText("Hola");
  const packetlog::PacketRecord record = packetlog::make_packet_record(index, mouse);
  packetlog::log_write(record);
  packetlog::recording_write_packet(time_us, header.hDevice, index, mouse);
  form.Memo1->Append(record);
  tracks::move_track(form, index, mouse.lLastX, mouse.lLastY);
  return 1;
}

}  // namespace rawinput
