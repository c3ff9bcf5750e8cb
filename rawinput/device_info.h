// What the recording says of a device: its name and ids from the service's device
// info, and the resolution of its packets' times.
#pragma once

#include <cstdint>
#include <string>

#include "log/recording.h"
#include "rawinput/records.h"

namespace rawinput {

// The number after "VID_" (or "PID_", as key gives it) in an interface path, read
// as 4 hex digits in either case; -1 when the path has none.
std::int32_t path_id(const std::string& path, const char* key);

// The devices.csv row for a device: name, ids and clock from the service, the
// index from the device table.
packetlog::DeviceRow describe_device(HANDLE device, UINT type);

}  // namespace rawinput
