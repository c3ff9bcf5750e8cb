// Per-device statistics over a stream of packets: runs, the exact interval
// histogram, rate over time and the thinned path, in memory bounded by the
// device, never by the length of the recording.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace report {

// A pause of this length or more ends a run; timing figures use only the
// intervals inside runs, so every one of them is shorter than this.
constexpr std::int64_t kRunBreakUs = 100000;

// One packet of log.csv, the fields the figures need.
struct Packet {
  std::int64_t time_us = 0;
  std::uint32_t flags = 0;         // usFlags
  std::uint32_t button_flags = 0;  // usButtonFlags
  std::int32_t button_data = 0;    // usButtonData, signed for the wheels
  std::int32_t x = 0;              // lLastX
  std::int32_t y = 0;              // lLastY
};

// The figures of one device; the optional ones are absent where they cannot be
// given (no intervals, or a clock too coarse for them).
struct Figures {
  std::uint64_t packets = 0;
  double seconds = 0;
  std::optional<double> rate_hz;
  // The rate the device reports at when every poll carries a packet, and the
  // share of its polls that did (rate_hz over poll_hz).
  std::optional<double> poll_hz;
  std::optional<double> busy_pct;
  std::optional<double> interval_median_us;
  std::optional<std::int64_t> interval_p1_us;
  std::optional<std::int64_t> interval_p99_us;
  std::optional<double> jitter_pct;
  std::optional<std::int64_t> longest_interval_us;
  std::uint64_t drops = 0;
  std::uint64_t presses = 0;
  double wheel_notches = 0;
  // The interval figures were left out: the clock is coarser than a tenth of the median.
  bool clock_too_coarse = false;
  // No rate: the time timed inside runs is under kShortestTicks of the clock,
  // or there are fewer than kFewestIntervals intervals.
  bool too_short = false;
};

constexpr std::int64_t kShortestTicks = 100;
constexpr std::uint64_t kFewestIntervals = 10;

// What the page plots, thinned and aggregated to a bounded number of points.
struct PlotPoint {
  double x;
  double y;
};
struct Plots {
  std::vector<PlotPoint> rate;  // seconds since the program started, Hz (NaN: no run there)
  // Counts of intervals in contiguous bars of equal width, the first at histogram_start_us.
  std::vector<std::uint64_t> histogram;
  std::int64_t histogram_start_us = 0;
  std::int64_t histogram_bin_us = 1;
  std::vector<PlotPoint> path;  // summed counts (absolute positions for absolute pointers)
};

class DeviceStats {
 public:
  explicit DeviceStats(std::int64_t clock_us = 1);
  void add_packet(const Packet& packet);
  // The service lost events here: counted, and the interval across it is not timed.
  void add_drop(std::int64_t time_us);

  Figures figures() const;
  Plots plots() const;
  std::uint64_t packets() const { return packets_; }

 private:
  void add_interval(std::int64_t end_us, std::int64_t interval_us);
  void add_rate_sample(std::int64_t end_us, std::int64_t interval_us);
  struct RateBucket;
  static void merge_rate_pairs(std::vector<RateBucket>& buckets, std::int64_t& width_us);
  void add_path_point(double x, double y);
  std::int64_t rank(std::uint64_t k) const;  // the k-th smallest interval, 0-based
  std::uint64_t count_at(std::int64_t interval_us) const;
  std::uint64_t count_below(std::int64_t interval_us) const;
  std::int64_t poll_search_start(double median_us) const;
  double poll_period_us(std::int64_t start_us) const;

  std::int64_t clock_us_;
  std::uint64_t packets_ = 0;
  std::uint64_t drops_ = 0;
  std::uint64_t presses_ = 0;
  std::int64_t wheel_units_ = 0;
  std::int64_t first_us_ = 0;  // earliest and latest packet
  std::int64_t last_us_ = 0;
  std::int64_t previous_us_ = 0;  // the packet before, in file order
  bool in_run_ = false;           // the next packet's interval is timed

  // Intervals inside runs: an exact histogram at 1 us, in pages of bins made
  // when first needed (intervals cluster), with each page's total; and Welford's
  // running mean and variance.
  std::vector<std::vector<std::uint64_t>> histogram_;
  std::vector<std::uint64_t> page_totals_;
  std::uint64_t intervals_ = 0;
  std::int64_t interval_sum_us_ = 0;
  std::int64_t longest_us_ = 0;
  double mean_ = 0;
  double m2_ = 0;

  // Rate over time: buckets from the first packet, widened by merging pairs.
  struct RateBucket {
    std::uint64_t intervals = 0;
    std::int64_t sum_us = 0;
  };
  std::vector<RateBucket> rate_;
  std::int64_t rate_origin_us_ = 0;  // the first packet in file order
  std::int64_t rate_width_us_ = 10000;

  // Path: every stride-th point, the stride doubled whenever the kept points fill up.
  double path_x_ = 0;
  double path_y_ = 0;
  std::vector<PlotPoint> path_;
  std::uint64_t path_stride_ = 1;
  std::uint64_t path_seen_ = 0;
  PlotPoint path_last_{0, 0};
};

}  // namespace report
