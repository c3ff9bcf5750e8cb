// Per-device statistics over a stream of packets.
#include "report/device_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "log/recording_format.h"

namespace report {
namespace {
constexpr std::size_t kRateBuckets = 1000;
constexpr std::int64_t kRateBucketIntervals = 4;
constexpr std::size_t kPathPoints = 4000;
constexpr std::size_t kHistogramBars = 400;
constexpr std::size_t kPageBins = 1000;
constexpr std::size_t kPages = kRunBreakUs / kPageBins;

constexpr double kWheelUnitsPerNotch = recording::WHEEL_DELTA;
constexpr int kPollSteps = 200;
// Intervals this many times shorter than the median are packets handed over
// together, not polls.
constexpr double kBunchedFraction = 32;
}  // namespace

DeviceStats::DeviceStats(std::int64_t clock_us) : clock_us_(clock_us) {}

void DeviceStats::add_packet(const Packet& packet) {
  const std::int64_t t = packet.time_us;
  if (packets_ == 0) {
    first_us_ = last_us_ = rate_origin_us_ = t;
  } else {
    first_us_ = std::min(first_us_, t);
    last_us_ = std::max(last_us_, t);
    // A step back in time cannot be timed; it starts a new run like a pause.
    // (Unsigned: times may be anywhere in the 64-bit range.)
    if (in_run_ && t >= previous_us_) {
      const std::uint64_t interval = static_cast<std::uint64_t>(t) - static_cast<std::uint64_t>(previous_us_);
      if (interval < static_cast<std::uint64_t>(kRunBreakUs)) add_interval(t, static_cast<std::int64_t>(interval));
    }
  }
  previous_us_ = t;
  in_run_ = true;
  ++packets_;

  for (const std::uint32_t down : recording::kButtonDownFlags) {
    if (packet.button_flags & down) ++presses_;
  }
  // The vertical wheel only: notches are turns of that wheel.
  if (packet.button_flags & recording::RI_MOUSE_WHEEL) wheel_units_ += packet.button_data;

  if (packet.flags & recording::MOUSE_MOVE_ABSOLUTE) {
    path_x_ = packet.x;
    path_y_ = packet.y;
  } else {
    path_x_ += packet.x;
    path_y_ += packet.y;
  }
  add_path_point(path_x_, path_y_);
}

void DeviceStats::add_drop(std::int64_t time_us) {
  ++drops_;
  // The interval across lost events would be longer than any the mouse sent.
  in_run_ = false;
  (void)time_us;
}

void DeviceStats::add_interval(std::int64_t end_us, std::int64_t interval_us) {
  if (histogram_.empty()) {
    histogram_.resize(kPages);
    page_totals_.assign(kPages, 0);
  }
  const std::size_t page = static_cast<std::size_t>(interval_us) / kPageBins;
  if (histogram_[page].empty()) histogram_[page].assign(kPageBins, 0);
  ++histogram_[page][static_cast<std::size_t>(interval_us) % kPageBins];
  ++page_totals_[page];
  ++intervals_;
  interval_sum_us_ += interval_us;
  longest_us_ = std::max(longest_us_, interval_us);
  const double delta = static_cast<double>(interval_us) - mean_;
  mean_ += delta / static_cast<double>(intervals_);
  m2_ += delta * (static_cast<double>(interval_us) - mean_);
  add_rate_sample(end_us, interval_us);
}

void DeviceStats::add_rate_sample(std::int64_t end_us, std::int64_t interval_us) {
  // Buckets start at the first packet; a packet out of order counts in the first.
  const std::uint64_t offset =
      end_us > rate_origin_us_ ? static_cast<std::uint64_t>(end_us) - static_cast<std::uint64_t>(rate_origin_us_) : 0;
  const auto width = [this] { return static_cast<std::uint64_t>(rate_width_us_); };
  while (offset / width() >= kRateBuckets) {
    merge_rate_pairs(rate_, rate_width_us_);
  }
  const std::size_t bucket = static_cast<std::size_t>(offset / width());
  if (rate_.size() <= bucket) rate_.resize(bucket + 1);
  ++rate_[bucket].intervals;
  rate_[bucket].sum_us += interval_us;
}

void DeviceStats::merge_rate_pairs(std::vector<RateBucket>& buckets, std::int64_t& width_us) {
  for (std::size_t i = 0; i < buckets.size(); i += 2) {
    RateBucket merged = buckets[i];
    if (i + 1 < buckets.size()) {
      merged.intervals += buckets[i + 1].intervals;
      merged.sum_us += buckets[i + 1].sum_us;
    }
    buckets[i / 2] = merged;
  }
  buckets.resize((buckets.size() + 1) / 2);
  width_us *= 2;
}

void DeviceStats::add_path_point(double x, double y) {
  path_last_ = {x, y};
  if (path_seen_++ % path_stride_ != 0) return;
  if (path_.size() == kPathPoints) {
    for (std::size_t i = 0; i < kPathPoints / 2; ++i) path_[i] = path_[2 * i];
    path_.resize(kPathPoints / 2);
    path_stride_ *= 2;
    if ((path_seen_ - 1) % path_stride_ != 0) return;
  }
  path_.push_back({x, y});
}

std::int64_t DeviceStats::rank(std::uint64_t k) const {
  std::uint64_t below = 0;
  for (std::size_t page = 0; page < page_totals_.size(); ++page) {
    if (below + page_totals_[page] <= k) {
      below += page_totals_[page];
      continue;
    }
    for (std::size_t bin = 0; bin < kPageBins; ++bin) {
      below += histogram_[page][bin];
      if (below > k) return static_cast<std::int64_t>(page * kPageBins + bin);
    }
  }
  return longest_us_;
}

std::uint64_t DeviceStats::count_at(std::int64_t interval_us) const {
  const std::vector<std::uint64_t>& page = histogram_[static_cast<std::size_t>(interval_us) / kPageBins];
  return page.empty() ? 0 : page[static_cast<std::size_t>(interval_us) % kPageBins];
}

std::uint64_t DeviceStats::count_below(std::int64_t interval_us) const {
  std::uint64_t below = 0;
  const std::size_t whole_pages = std::min(static_cast<std::size_t>(interval_us) / kPageBins, kPages);
  for (std::size_t page = 0; page < whole_pages; ++page) below += page_totals_[page];
  for (std::int64_t v = static_cast<std::int64_t>(whole_pages * kPageBins); v < interval_us && v < kRunBreakUs; ++v) {
    below += count_at(v);
  }
  return below;
}

// The 1st percentile of the intervals, leaving out those far shorter than the
// median: packets that the system handed over together (the program was busy)
// are microseconds apart, and a few percent of them would start the search
// for the poll period there.
std::int64_t DeviceStats::poll_search_start(double median_us) const {
  const std::uint64_t bunched = count_below(static_cast<std::int64_t>(std::ceil(median_us / kBunchedFraction)));
  const std::uint64_t rest = intervals_ - bunched;
  return rank(bunched + (rest + 99) / 100 - 1);
}

// The centre of the shortest cluster of intervals, the ones between polls that
// both carried a packet. From start_us (about the 1st percentile) it takes the
// mean of the intervals within half a period of the period, until it settles. The
// mean, not the median: a late packet shortens the next interval by as much as
// it lengthened its own, so the mean keeps the period where the median of a
// two-valued jitter would pick one side. The window is symmetric, so a cluster
// that starts from its low tail climbs to its centre, and stops short of the
// packets that came two polls apart.
double DeviceStats::poll_period_us(std::int64_t start_us) const {
  double period = static_cast<double>(start_us);
  std::int64_t low = -1, high = -1;
  for (int step = 0; step < kPollSteps; ++step) {
    const std::int64_t new_low = static_cast<std::int64_t>(std::ceil(period / 2));
    const std::int64_t new_high = std::min(static_cast<std::int64_t>(std::floor(period * 3 / 2)), kRunBreakUs - 1);
    if (new_low == low && new_high == high) break;
    low = new_low;
    high = new_high;
    std::uint64_t count = 0;
    double sum = 0;
    for (std::int64_t v = low; v <= high; ++v) {
      const std::uint64_t n = count_at(v);
      count += n;
      sum += static_cast<double>(n) * static_cast<double>(v);
    }
    if (count == 0) break;
    period = sum / static_cast<double>(count);
  }
  return period;
}

Figures DeviceStats::figures() const {
  Figures f;
  f.packets = packets_;
  f.seconds = (static_cast<double>(last_us_) - static_cast<double>(first_us_)) / 1e6;
  f.drops = drops_;
  f.presses = presses_;
  f.wheel_notches = static_cast<double>(wheel_units_) / kWheelUnitsPerNotch;
  // Fewer ticks than this cannot time a rate: 40 packets inside one tick of a
  // 1 ms clock would read 39,000 Hz.
  f.too_short = intervals_ < kFewestIntervals || interval_sum_us_ < kShortestTicks * clock_us_;
  if (intervals_ == 0) return f;
  if (!f.too_short) f.rate_hz = static_cast<double>(intervals_) * 1e6 / static_cast<double>(interval_sum_us_);
  const std::uint64_t n = intervals_;
  const double median = (static_cast<double>(rank((n - 1) / 2)) + static_cast<double>(rank(n / 2))) / 2;
  // A clock coarser than a tenth of the typical interval cannot time it.
  if (static_cast<double>(clock_us_) * 10 > median) {
    f.clock_too_coarse = true;
    return f;
  }
  f.interval_median_us = median;
  // Nearest rank: the smallest interval with at least p% of them at or below it.
  f.interval_p1_us = rank((n + 99) / 100 - 1);
  f.interval_p99_us = rank((99 * n + 99) / 100 - 1);
  f.longest_interval_us = longest_us_;
  if (mean_ > 0) f.jitter_pct = std::sqrt(m2_ / static_cast<double>(n)) / mean_ * 100;
  if (f.rate_hz) {
    const double period = poll_period_us(poll_search_start(median));
    if (period > 0) {
      f.poll_hz = 1e6 / period;
      f.busy_pct = *f.rate_hz / *f.poll_hz * 100;
    }
  }
  return f;
}

Plots DeviceStats::plots() const {
  Plots p;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Buckets a few typical intervals wide, so that a slow device's rate is a line
  // rather than buckets of one interval each between empty ones, and wide enough
  // for the clock to time; a bucket with too little timed time has no rate, as
  // a device has none.
  std::vector<RateBucket> rate = rate_;
  std::int64_t width_us = rate_width_us_;
  const std::int64_t typical_us = intervals_ > 0 ? rank((intervals_ - 1) / 2) : 0;
  const std::int64_t shortest_us = kShortestTicks * clock_us_;
  while ((width_us < kRateBucketIntervals * typical_us || width_us < shortest_us) && rate.size() > 1) {
    merge_rate_pairs(rate, width_us);
  }
  for (std::size_t i = 0; i < rate.size(); ++i) {
    const double middle_us = static_cast<double>(rate_origin_us_) + (static_cast<double>(i) + 0.5) * static_cast<double>(width_us);
    const RateBucket& b = rate[i];
    const double hz =
        b.sum_us > 0 && b.sum_us >= shortest_us ? static_cast<double>(b.intervals) * 1e6 / static_cast<double>(b.sum_us) : nan;
    p.rate.push_back({middle_us / 1e6, hz});
  }

  // The narrowest bars, in whole clock steps (1, 2, 5 times a power of ten),
  // that span the shortest to the longest interval in a bounded count.
  if (intervals_ > 0) {
    const std::int64_t shortest = rank(0);
    const auto bars = [&](std::int64_t w) { return longest_us_ / w - shortest / w + 1; };
    const auto fits = [&](std::int64_t w) { return bars(w) <= static_cast<std::int64_t>(kHistogramBars); };
    std::int64_t width = clock_us_;
    for (std::int64_t decade = 1; !fits(width); decade *= 10) {
      for (const std::int64_t step : {1, 2, 5}) {
        width = step * decade * clock_us_;
        if (fits(width)) break;
      }
    }
    p.histogram_bin_us = width;
    p.histogram_start_us = shortest / width * width;
    p.histogram.assign(static_cast<std::size_t>(bars(width)), 0);
    for (std::int64_t v = shortest; v <= longest_us_; ++v) {
      p.histogram[static_cast<std::size_t>(v / width - shortest / width)] += count_at(v);
    }
  }

  p.path = path_;
  // The path always ends where the device stopped.
  if (packets_ > 0 && (path_seen_ - 1) % path_stride_ != 0) p.path.push_back(path_last_);
  return p;
}

}  // namespace report
