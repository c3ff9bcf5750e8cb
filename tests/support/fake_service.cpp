#include "tests/support/fake_service.h"

#include <cstdlib>
#include <cstring>

#include "rawinput/loader.h"

namespace fake {

using rawinput::UINT;

namespace {

Service the_service;
char user32_module;

int RAWINPUT_API fake_register(const rawinput::RAWINPUTDEVICE* devices, UINT count, UINT size) {
  Service& s = the_service;
  s.register_size = size;
  s.registered.assign(devices, devices + count);
  if (s.register_refused) {
    s.last_error = s.register_error;
    return 0;
  }
  return 1;
}

UINT RAWINPUT_API fake_list(rawinput::RAWINPUTDEVICELIST* list, UINT* count, UINT size) {
  Service& s = the_service;
  if (size != sizeof(rawinput::RAWINPUTDEVICELIST)) return rawinput::kQueryFailed;
  if (list == nullptr) {
    *count = static_cast<UINT>(s.devices.size());
    return s.count_query_result;
  }
  if (s.list_query_fails) return rawinput::kQueryFailed;
  UINT n = s.stored.value_or(static_cast<UINT>(s.devices.size()));
  if (n > *count) n = *count;
  if (n > s.devices.size()) n = static_cast<UINT>(s.devices.size());
  if (n > 0) std::memcpy(list, s.devices.data(), n * sizeof *list);
  return n;
}

UINT RAWINPUT_API fake_data(rawinput::HRAWINPUT input, UINT command, void* data, UINT* size, UINT header) {
  Service& s = the_service;
  if (command != rawinput::RID_INPUT || header != sizeof(rawinput::RAWINPUTHEADER)) return rawinput::kQueryFailed;
  const auto found = s.packets.find(reinterpret_cast<std::uintptr_t>(input));
  if (data == nullptr) {
    ++s.size_queries;
    if (found == s.packets.end()) return rawinput::kQueryFailed;
    *size = s.size_query_size.value_or(static_cast<UINT>(found->second.size()));
    return s.size_query_result.value_or(0);
  }
  ++s.fetches;
  if (found == s.packets.end()) return rawinput::kQueryFailed;
  const std::vector<unsigned char>& bytes = found->second;
  // Like the real service: never writes more than the caller says it has room for.
  if (*size < bytes.size()) return rawinput::kQueryFailed;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return s.fetch_result.value_or(static_cast<UINT>(bytes.size()));
}

UINT RAWINPUT_API fake_info(rawinput::HANDLE device, UINT command, void* data, UINT* size) {
  Service& s = the_service;
  const auto found = s.paths.find(reinterpret_cast<std::uintptr_t>(device));
  if (command != rawinput::RIDI_DEVICENAME || size == nullptr || found == s.paths.end()) return rawinput::kQueryFailed;
  const auto chars = static_cast<UINT>(found->second.size() + 1);
  if (data == nullptr) {
    *size = chars;
    return 0;
  }
  if (*size < chars) {
    *size = chars;
    return rawinput::kQueryFailed;
  }
  std::memcpy(data, found->second.c_str(), chars);
  return chars;
}

}  // namespace

Service& service() { return the_service; }
void reset() { the_service = Service{}; }

std::vector<unsigned char> mouse_packet(rawinput::HANDLE device, const rawinput::RAWMOUSE& mouse) {
  rawinput::RAWINPUT packet = {};
  packet.header.dwType = rawinput::RIM_TYPEMOUSE;
  packet.header.dwSize = sizeof packet;
  packet.header.hDevice = device;
  packet.data.mouse = mouse;
  std::vector<unsigned char> bytes(sizeof packet);
  std::memcpy(bytes.data(), &packet, sizeof packet);
  return bytes;
}

std::vector<unsigned char> other_packet(rawinput::HANDLE device, std::uint32_t type) {
  std::vector<unsigned char> bytes = mouse_packet(device, rawinput::RAWMOUSE{});
  rawinput::RAWINPUTHEADER header;
  std::memcpy(&header, bytes.data(), sizeof header);
  header.dwType = type;
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes;
}

}  // namespace fake

namespace rawinput {

void* LoadLibraryA(const char* name) {
  if (fake::the_service.load_fails || std::strcmp(name, "user32.dll") != 0) return nullptr;
  return &fake::user32_module;
}

void* GetProcAddress(void* module, const char* name) {
  if (module != &fake::user32_module || fake::the_service.missing_entry == name) return nullptr;
  if (std::strcmp(name, "RegisterRawInputDevices") == 0) return reinterpret_cast<void*>(&fake::fake_register);
  if (std::strcmp(name, "GetRawInputData") == 0) return reinterpret_cast<void*>(&fake::fake_data);
  if (std::strcmp(name, "GetRawInputDeviceList") == 0) return reinterpret_cast<void*>(&fake::fake_list);
  if (std::strcmp(name, "GetRawInputDeviceInfoA") == 0) return reinterpret_cast<void*>(&fake::fake_info);
  return nullptr;
}

std::uint32_t GetLastError() { return fake::the_service.last_error; }

std::int64_t PacketTime(HRAWINPUT handle) {
  const auto found = fake::the_service.times.find(reinterpret_cast<std::uintptr_t>(handle));
  return found == fake::the_service.times.end() ? 0 : found->second;
}

std::uint32_t PacketClockUs() { return fake::the_service.clock_us; }

bool ProductString(const char* interface_path, std::string& name) {
  const auto found = fake::the_service.products.find(interface_path);
  if (found == fake::the_service.products.end()) return false;
  name = found->second;
  return true;
}

void* mem_alloc(std::size_t count, std::size_t size) {
  return fake::the_service.alloc_fails ? nullptr : std::calloc(count, size);
}

void* mem_realloc(void* block, std::size_t size) {
  ++fake::the_service.reallocs;
  fake::the_service.last_realloc_size = size;
  return fake::the_service.realloc_fails ? nullptr : std::realloc(block, size);
}

void mem_free(void* block) { std::free(block); }

}  // namespace rawinput
