// report.html: one self-contained page with the table and, for each device,
// its rate over time, interval histogram and path, drawn by the charting
// library inlined into it.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "report/report_output.h"

namespace report {

void write_page(std::ostream& out, const std::vector<DeviceReport>& reports, const std::string& recording);

// Text for HTML: &, <, >, " and ' as entities.
std::string html_escape(std::string_view text);

// A device's colour on the page: its track's colour at table indices 1 to 3.
std::string device_colour(std::int64_t index, std::size_t position);

}  // namespace report
