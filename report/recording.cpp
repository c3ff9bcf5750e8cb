// Reading a recording's devices.csv and log.csv.
#include "report/recording.h"

#include <limits>
#include <string_view>

#include "log/recording_format.h"
#include "report/csv_reader.h"

namespace report {
namespace {

using recording::kLogColumns;
constexpr std::size_t kLogFieldCount = recording::kLogColumnCount;
constexpr std::size_t kDeviceFieldCount = recording::kDeviceColumnCount;

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kUint32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::int64_t kUint16Max = std::numeric_limits<std::uint16_t>::max();

std::int64_t number(const LineReader& reader, std::string_view field, std::string_view what, std::int64_t low,
                    std::int64_t high) {
  std::int64_t value = 0;
  if (!parse_int(field, low, high, value)) {
    reader.fail(std::string(what) + " is not a number from " + std::to_string(low) + " to " + std::to_string(high) +
                ": " + quote_for_message(field));
  }
  return value;
}

bool is_hex_id(std::string_view field) {
  if (field.empty()) return true;
  if (field.size() != 4) return false;
  for (const char c : field) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

Device parse_device(const LineReader& reader, const std::vector<std::string_view>& fields) {
  Device d;
  d.handle = number(reader, fields[0], "handle", kInt32Min, kInt32Max);
  d.index = number(reader, fields[1], "index", -1, kInt32Max);
  d.type = fields[2];
  d.name = fields[3];
  if (!is_hex_id(fields[4])) reader.fail("vendor is not 4 hex digits: " + quote_for_message(fields[4]));
  if (!is_hex_id(fields[5])) reader.fail("product is not 4 hex digits: " + quote_for_message(fields[5]));
  d.vendor = fields[4];
  d.product = fields[5];
  d.clock_us = number(reader, fields[6], "clock_us", 1, 1000000);
  d.stats = DeviceStats(d.clock_us);
  return d;
}

bool is_drop_row(const std::string_view (&fields)[kLogFieldCount + 1]) {
  for (std::size_t i = recording::kDropColumnCount; i < kLogFieldCount; ++i) {
    if (!fields[i].empty()) return false;
  }
  return true;
}

void expect_header(LineReader& reader, CsvFile file) {
  std::string_view line;
  if (!reader.next(line)) {
    throw InputError(reader.name() + (reader.cut_off() ? ": cut off inside its header" : ": empty, no header"));
  }
  check_header(reader, line, file);
}

}  // namespace

void report_cut_off(const LineReader& reader, std::ostream& warnings) {
  if (!reader.cut_off()) return;
  warnings << "velmora-report: " << reader.name() << " line " << reader.line_number()
           << ": the last row is cut off (the recording ended mid-row); skipped\n";
}

void check_header(const LineReader& reader, std::string_view line, CsvFile file) {
  const std::string_view header = file == CsvFile::kDevices ? recording::kDevicesHeader : recording::kLogHeader;
  // A spreadsheet may save the file with a byte-order mark before the header.
  constexpr std::string_view kByteOrderMark = "\xef\xbb\xbf";
  if (line.substr(0, kByteOrderMark.size()) == kByteOrderMark) line.remove_prefix(kByteOrderMark.size());
  if (line == header) return;
  // Say where it differs: the difference may be a character a terminal does not show.
  std::size_t at = 0;
  while (at < line.size() && at < header.size() && line[at] == header[at]) ++at;
  reader.fail("not the header " + std::string(header) + " (from character " + std::to_string(at + 1) + " it reads " +
              (at == line.size() ? std::string("nothing") : quote_for_message(line.substr(at))) + ")");
}

void add_device_row(const LineReader& reader, std::string_view line, Recording& recording) {
  std::vector<std::string_view> fields;
  std::string storage;
  if (!split_fields(line, fields, storage)) reader.fail("a quote is not closed where its field ends");
  if (fields.size() != kDeviceFieldCount) {
    reader.fail(std::to_string(fields.size()) + " fields, a row has " + std::to_string(kDeviceFieldCount));
  }
  Device device = parse_device(reader, fields);
  // A handle listed twice keeps its first row.
  if (recording.by_handle.emplace(device.handle, recording.devices.size()).second) {
    recording.devices.push_back(std::move(device));
  }
}

void read_devices(std::FILE* file, const std::string& name, Recording& recording, std::ostream& warnings) {
  LineReader reader(file, name);
  expect_header(reader, CsvFile::kDevices);
  std::string_view line;
  while (reader.next(line)) add_device_row(reader, line, recording);
  report_cut_off(reader, warnings);
}

void fail_unknown_device(const LineReader& reader, std::string_view line) {
  std::string_view f[kLogFieldCount + 1];
  split_plain(line, f);
  reader.fail("device " + std::to_string(number(reader, f[1], "handle", kInt32Min, kInt32Max)) +
              " is not in devices.csv");
}

bool add_log_row(const LineReader& reader, std::string_view line, Recording& recording, LogRow& row) {
  std::string_view f[kLogFieldCount + 1];
  const std::size_t count = split_plain(line, f);
  if (count != kLogFieldCount) {
    const std::string want = std::to_string(kLogFieldCount);
    reader.fail((count > kLogFieldCount ? "more than " + want : std::to_string(count)) + " fields, a row has " + want);
  }
  const std::int64_t time_us = number(reader, f[0], "time_us", std::numeric_limits<std::int64_t>::min(),
                                      std::numeric_limits<std::int64_t>::max());
  const std::int64_t handle = number(reader, f[1], "handle", kInt32Min, kInt32Max);
  number(reader, f[2], "index", -1, kInt32Max);
  if (!row.cached || handle != row.cached_handle) {
    const auto found = recording.by_handle.find(handle);
    if (found == recording.by_handle.end()) return false;
    row.device = found->second;
    row.cached_handle = handle;
    row.cached = true;
  }
  row.time_us = time_us;
  row.drop = is_drop_row(f);
  DeviceStats& stats = recording.devices[row.device].stats;
  if (row.drop) {
    stats.add_drop(time_us);
    return true;
  }
  Packet p;
  p.time_us = time_us;
  p.flags = static_cast<std::uint32_t>(number(reader, f[3], kLogColumns[3], 0, kUint16Max));
  number(reader, f[4], kLogColumns[4], 0, kUint32Max);
  p.button_flags = static_cast<std::uint32_t>(number(reader, f[5], kLogColumns[5], 0, kUint16Max));
  // The wheels' data is a signed count; other data is unsigned.
  const bool wheel = recording::IsWheel(p.button_flags);
  p.button_data = static_cast<std::int32_t>(number(reader, f[6], kLogColumns[6], wheel ? -32768 : 0,
                                                   wheel ? 32767 : kUint16Max));
  number(reader, f[7], kLogColumns[7], 0, kUint32Max);
  p.x = static_cast<std::int32_t>(number(reader, f[8], kLogColumns[8], kInt32Min, kInt32Max));
  p.y = static_cast<std::int32_t>(number(reader, f[9], kLogColumns[9], kInt32Min, kInt32Max));
  number(reader, f[10], kLogColumns[10], 0, kUint32Max);
  stats.add_packet(p);
  return true;
}

void read_log(std::FILE* file, const std::string& name, Recording& recording, std::ostream& warnings) {
  LineReader reader(file, name);
  expect_header(reader, CsvFile::kLog);
  std::string_view line;
  LogRow row;
  while (reader.next(line)) {
    if (!add_log_row(reader, line, recording, row)) fail_unknown_device(reader, line);
  }
  report_cut_off(reader, warnings);
}

}  // namespace report
