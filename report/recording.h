// Reading a recording: devices.csv whole (one row a device), then log.csv one
// row at a time into each device's statistics.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "report/device_stats.h"

namespace report {

struct Device {
  std::int64_t handle = 0;
  std::int64_t index = -1;
  std::string type;
  std::string name;
  std::string vendor;   // 4 hex digits, or empty
  std::string product;  // 4 hex digits, or empty
  std::int64_t clock_us = 1;
  DeviceStats stats;
};

struct Recording {
  std::vector<Device> devices;  // in devices.csv's order
  std::unordered_map<std::int64_t, std::size_t> by_handle;
};

// Each throws InputError naming the file and line. A cut-off last row is
// skipped and said on warnings.
void read_devices(std::FILE* file, const std::string& name, Recording& recording, std::ostream& warnings);
void read_log(std::FILE* file, const std::string& name, Recording& recording, std::ostream& warnings);

}  // namespace report
