// The figures as a table and as JSON.
#include "report/report_output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace report {
namespace {

constexpr int kRateDecimals = 3;
constexpr int kIntervalDecimals = 1;
constexpr int kPercentDecimals = 3;
constexpr int kSecondsDecimals = 6;
constexpr int kWheelDecimals = 3;

// The length of the UTF-8 sequence at text[i], or 0 if it is not one.
std::size_t utf8_length(std::string_view text, std::size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  std::uint32_t lowest = 0;
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf) {
    length = 2;
    lowest = 0x80;
  } else if (c >= 0xe0 && c <= 0xef) {
    length = 3;
    lowest = 0x800;
  } else if (c >= 0xf0 && c <= 0xf4) {
    length = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  std::uint32_t code = c & (0x7f >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xc0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3f);
  }
  if (code < lowest || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  return length;
}

template <typename T>
std::string json_value(const std::optional<T>& value, int decimals) {
  return value ? format_number(static_cast<double>(*value), decimals) : "null";
}

std::string id_or_null(const std::string& id) { return id.empty() ? "null" : json_string(id); }

struct Column {
  const char* title;
  bool left;  // text aligned left, numbers right
};
constexpr Column kColumns[] = {
    {"index", false},      {"handle", false},     {"vendor", true},     {"product", true},
    {"packets", false},    {"seconds", false},    {"rate_hz", false},   {"poll_hz", false},
    {"busy_pct", false},   {"median_us", false},  {"p1_us", false},     {"p99_us", false},
    {"jitter_pct", false}, {"longest_us", false}, {"drops", false},     {"presses", false},
    {"wheel", false},      {"name", true}};
constexpr std::size_t kColumnCount = std::size(kColumns);

// A terminal shows the name as it is, but for control characters.
std::string printable(std::string name) {
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return name;
}

std::vector<std::string> table_row(const DeviceReport& r) {
  const Device& d = *r.device;
  const Figures& f = r.figures;
  // Interval figures the clock cannot give say why; those with no intervals are "-".
  const std::string missing = f.clock_too_coarse ? "n/a (" + clock_text(d.clock_us) + " clock)" : "-";
  const auto shown = [&](const auto& value, int decimals) {
    return value ? format_number(static_cast<double>(*value), decimals) : missing;
  };
  // A rate missing for want of time says so, ahead of the clock's reason.
  const std::string no_rate = f.too_short ? "n/a (too short)" : missing;
  const auto rate = [&](const std::optional<double>& value, int decimals) {
    return value ? format_number(*value, decimals) : no_rate;
  };
  return {std::to_string(d.index),
          std::to_string(d.handle),
          d.vendor.empty() ? "-" : d.vendor,
          d.product.empty() ? "-" : d.product,
          std::to_string(f.packets),
          format_number(f.seconds, 3),
          rate(f.rate_hz, 1),
          rate(f.poll_hz, 1),
          rate(f.busy_pct, 1),
          shown(f.interval_median_us, kIntervalDecimals),
          shown(f.interval_p1_us, 0),
          shown(f.interval_p99_us, 0),
          shown(f.jitter_pct, 2),
          shown(f.longest_interval_us, 0),
          std::to_string(f.drops),
          std::to_string(f.presses),
          format_number(f.wheel_notches, 2),
          printable(d.name)};
}

}  // namespace

std::vector<DeviceReport> device_reports(const Recording& recording) {
  std::vector<DeviceReport> reports;
  for (const Device& device : recording.devices) {
    if (device.stats.packets() > 0) reports.push_back({&device, device.stats.figures()});
  }
  return reports;
}

std::string format_number(double value, int decimals) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  std::string out = text;
  if (out.find('.') != std::string::npos) {
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
  }
  if (out == "-0") out = "0";
  return out;
}

std::string clock_text(std::int64_t clock_us) {
  if (clock_us % 1000 == 0) return std::to_string(clock_us / 1000) + " ms";
  return std::to_string(clock_us) + " us";
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_length(text, i);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (length > 1) {
      out.append(text.substr(i, length));
    } else if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == '<' || c == '>' || c == '&' || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
    i += length;
  }
  return out + "\"";
}

void write_json_figures(std::ostream& out, const DeviceReport& r) {
  const Device& d = *r.device;
  const Figures& f = r.figures;
  out << "{\"handle\": " << d.handle << ", \"index\": " << d.index << ", \"name\": " << json_string(d.name)
      << ", \"vendor\": " << id_or_null(d.vendor) << ", \"product\": " << id_or_null(d.product)
      << ", \"clock_us\": " << d.clock_us << ", \"packets\": " << f.packets
      << ", \"seconds\": " << format_number(f.seconds, kSecondsDecimals)
      << ", \"rate_hz\": " << json_value(f.rate_hz, kRateDecimals)
      << ", \"poll_hz\": " << json_value(f.poll_hz, kRateDecimals)
      << ", \"busy_pct\": " << json_value(f.busy_pct, kPercentDecimals)
      << ", \"interval_median_us\": " << json_value(f.interval_median_us, kIntervalDecimals)
      << ", \"interval_p1_us\": " << json_value(f.interval_p1_us, 0)
      << ", \"interval_p99_us\": " << json_value(f.interval_p99_us, 0)
      << ", \"jitter_pct\": " << json_value(f.jitter_pct, kPercentDecimals)
      << ", \"longest_interval_us\": " << json_value(f.longest_interval_us, 0) << ", \"drops\": " << f.drops
      << ", \"presses\": " << f.presses << ", \"wheel_notches\": " << format_number(f.wheel_notches, kWheelDecimals)
      << "}";
}

void write_json(std::ostream& out, const std::vector<DeviceReport>& reports) {
  out << "{\"devices\": [";
  for (std::size_t i = 0; i < reports.size(); ++i) {
    out << (i ? ",\n  " : "\n  ");
    write_json_figures(out, reports[i]);
  }
  out << (reports.empty() ? "]}\n" : "\n]}\n");
}

void write_table(std::ostream& out, const std::vector<DeviceReport>& reports) {
  std::vector<std::vector<std::string>> rows;
  rows.emplace_back();
  for (const Column& c : kColumns) rows.back().push_back(c.title);
  for (const DeviceReport& r : reports) rows.push_back(table_row(r));
  std::size_t widths[kColumnCount] = {};
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < kColumnCount; ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < kColumnCount; ++c) {
      const std::string& cell = row[c];
      if (c) line += "  ";
      // The name is last and shown whole, unpadded.
      if (c + 1 == kColumnCount) {
        line += cell;
      } else if (kColumns[c].left) {
        line += cell + std::string(widths[c] - cell.size(), ' ');
      } else {
        line += std::string(widths[c] - cell.size(), ' ') + cell;
      }
    }
    out << line << '\n';
  }
}

}  // namespace report
