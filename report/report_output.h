// The figures of each device with packets, as a table and as JSON.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "report/device_stats.h"
#include "report/recording.h"

namespace report {

struct DeviceReport {
  const Device* device;
  Figures figures;
};

// The devices with packets, in devices.csv's order.
std::vector<DeviceReport> device_reports(const Recording& recording);

void write_table(std::ostream& out, const std::vector<DeviceReport>& reports);
// {"devices": [{...}, ...]}
void write_json(std::ostream& out, const std::vector<DeviceReport>& reports);
// One device's figures as a JSON object.
void write_json_figures(std::ostream& out, const DeviceReport& report);

// A JSON string literal: quotes, backslashes and control characters escaped,
// "<", ">" and "&" too (so it may stand inside an HTML script element), and bytes
// that are not UTF-8 replaced by U+FFFD.
std::string json_string(std::string_view text);
// Fixed-point with at most `decimals` decimals, trailing zeros dropped.
std::string format_number(double value, int decimals);
// "1 ms" or "250 us".
std::string clock_text(std::int64_t clock_us);

}  // namespace report
