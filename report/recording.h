// Reading a recording: devices.csv whole (one row a device), then log.csv one
// row at a time into each device's statistics.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>
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

class LineReader;

// Each throws InputError naming the file and line. A cut-off last row is
// skipped and said on warnings.
void read_devices(std::FILE* file, const std::string& name, Recording& recording, std::ostream& warnings);
void read_log(std::FILE* file, const std::string& name, Recording& recording, std::ostream& warnings);

// The same, a row at a time, for a recording read while it is written.
enum class CsvFile { kDevices, kLog };
// Throws unless line is the file's header.
void check_header(const LineReader& reader, std::string_view line, CsvFile file);
void add_device_row(const LineReader& reader, std::string_view line, Recording& recording);
// The last log row read: its device (a position in recording.devices) and time.
struct LogRow {
  std::size_t device = 0;
  std::int64_t time_us = 0;
  bool drop = false;
  std::int64_t cached_handle = 0;  // the device of the row before, looked up once
  bool cached = false;
};
// Adds one row of log.csv; false, with nothing added, when devices.csv does not
// name its device (yet). Throws on a row that is not one.
bool add_log_row(const LineReader& reader, std::string_view line, Recording& recording, LogRow& row);
// Throws the error of a row whose device devices.csv does not name.
[[noreturn]] void fail_unknown_device(const LineReader& reader, std::string_view line);
// Says on warnings that the reader's last row was cut off, if it was.
void report_cut_off(const LineReader& reader, std::ostream& warnings);

}  // namespace report
