// The charting library's minified script, embedded at build time.
#pragma once

#include <cstddef>

namespace report {
extern const unsigned char kChartJs[];
extern const std::size_t kChartJsSize;
}  // namespace report
