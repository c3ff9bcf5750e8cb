#include "rawinput/device_info.h"

#include <cctype>
#include <vector>

#include "rawinput/loader.h"
#include "rawinput/rawinput.h"

namespace rawinput {

namespace {

// The device's interface path, or "" when the service has no name for it.
std::string interface_path(HANDLE device) {
  const GetRawInputDeviceInfoAFn info = raw_input_state.GetRawInputDeviceInfoA_f;
  if (info == nullptr) return "";
  UINT chars = 0;
  if (info(device, RIDI_DEVICENAME, nullptr, &chars) != 0 || chars == 0 || chars > 32768) return "";
  std::vector<char> name(chars + 1, '\0');
  UINT room = chars;
  const UINT copied = info(device, RIDI_DEVICENAME, name.data(), &room);
  if (copied == kQueryFailed || copied == 0) return "";
  return std::string(name.data());  // the zero the service wrote, or the spare one
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

}  // namespace

std::int32_t path_id(const std::string& path, const char* key) {
  const std::string k(key);
  for (std::size_t at = 0; at + k.size() + 4 <= path.size(); ++at) {
    bool match = true;
    for (std::size_t i = 0; i < k.size() && match; ++i) {
      match = std::toupper(static_cast<unsigned char>(path[at + i])) == k[i];
    }
    if (!match) continue;
    std::int32_t id = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const int d = hex_digit(path[at + k.size() + i]);
      if (d < 0) return -1;
      id = id * 16 + d;
    }
    return id;
  }
  return -1;
}

packetlog::DeviceRow describe_device(HANDLE device, UINT type) {
  packetlog::DeviceRow row;
  row.handle = device;
  row.index = find_mouse(device);
  row.type = type;
  row.clock_us = PacketClockUs();
  const std::string path = interface_path(device);
  row.vendor = path_id(path, "VID_");
  row.product = path_id(path, "PID_");
  if (path.empty() || !ProductString(path.c_str(), row.name) || row.name.empty()) row.name = path;
  return row;
}

}  // namespace rawinput
