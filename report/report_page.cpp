// report.html: the table and each device's charts in one self-contained page.
#include "report/report_page.h"

#include <cmath>

#include "report/chart_js.h"

namespace report {
namespace {

// Table indices 1, 2 and 3 drive the blue, green and red tracks.
constexpr const char* kTrackColours[] = {"rgb(0,0,255)", "rgb(0,128,0)", "rgb(255,0,0)"};
constexpr const char* kOtherColours[] = {"rgb(128,0,160)", "rgb(230,120,0)", "rgb(0,140,140)", "rgb(140,70,20)",
                                         "rgb(90,90,90)"};

constexpr const char* kStyle = R"(body{font:14px sans-serif;margin:16px;color:#222;background:#fff}
table{border-collapse:collapse;margin:8px 0;font-size:13px}th,td{border:1px solid #bbb;padding:2px 4px;text-align:right}
th{font-weight:600;vertical-align:bottom}td{white-space:nowrap}td.id{text-align:left}
td.name{text-align:left;white-space:pre-wrap;min-width:8em;max-width:16em}
.swatch{display:inline-block;width:12px;height:12px;margin-right:6px}sup{font-size:75%}
.charts{display:flex;gap:8px}canvas{border:1px solid #ddd}h2{font-size:16px;margin:20px 0 6px;white-space:pre-wrap}
.notes{color:#555;max-width:60em}.notes p{margin:4px 0})";

// The charts' size: three side by side fit a window 1280 px wide.
constexpr int kChartWidth = 390;
constexpr int kChartHeight = 270;

// Draws each device's three charts from the data element.
constexpr const char* kScript = R"((function () {
  var data = JSON.parse(document.getElementById('velmora-data').textContent);
  var plain = {animation: false, responsive: false, plugins: {legend: {display: false}}};
  function options(title, x, y) {
    return Object.assign({}, plain, {
      plugins: {legend: {display: false}, title: {display: true, text: title}},
      scales: {x: Object.assign({title: {display: true, text: x.title}}, x.scale),
               y: Object.assign({title: {display: true, text: y.title}}, y.scale)}});
  }
  function points(list) { return list.map(function (p) { return {x: p[0], y: p[1]}; }); }
  // A point with no drawn neighbour is not on any line: left out, so that it
  // does not stretch the axes (one bucket holding a single short interval reads
  // thousands of Hz). Where no point has a neighbour, all are shown as dots.
  function drawnRate(list) {
    function known(k) { return k >= 0 && k < list.length && list[k][1] !== null; }
    var kept = list.filter(function (p, k) { return p[1] === null || known(k - 1) || known(k + 1); });
    var lines = kept.some(function (p) { return p[1] !== null; });
    var timed = list.filter(function (p) { return p[1] !== null; });
    return {points: points(lines ? kept : timed), dots: !lines};
  }
  function isPowerOfTen(v) { var e = Math.log10(v); return v > 0 && Math.abs(e - Math.round(e)) < 1e-9; }
  // Where each chart and the table stand on the page, and the y axis each chart
  // ended with: what a reader of the page sees, for checking it.
  function placed(element) {
    var r = element.getBoundingClientRect();
    element.dataset.box = [r.left + window.scrollX, r.top + window.scrollY, r.width, r.height].map(Math.round).join(',');
  }
  function drawn(chart) {
    placed(chart.canvas);
    var y = chart.scales.y;
    chart.canvas.dataset.yMax = y.max;
    chart.canvas.dataset.yTicks = y.ticks.map(function (t) { return t.label; })
        .filter(function (label) { return label !== ''; }).join('|');
  }
  document.querySelectorAll('table').forEach(placed);
  data.devices.forEach(function (d, i) {
    var c = document.querySelectorAll('[data-device="' + i + '"] canvas');
    var rate = drawnRate(d.rate);
    drawn(new Chart(c[0], {type: 'line',
      data: {datasets: [{data: rate.points, borderColor: d.colour, backgroundColor: d.colour,
                         borderWidth: 2, pointRadius: rate.dots ? 2 : 0, spanGaps: false}]},
      options: options('rate over time (inside runs)' + (rate.points.length ? '' : ': n/a, too short'),
                       {title: 'seconds', scale: {type: 'linear'}},
                       {title: 'Hz', scale: {beginAtZero: true, grace: '5%'}})}));
    // An empty bar each side, so that a lone bar does not fill the chart; none
    // below zero, where no interval can be.
    var pad = d.histogram.start >= d.histogram.bin ? [0] : [];
    var h = {start: d.histogram.start - pad.length * d.histogram.bin, bin: d.histogram.bin,
             counts: pad.concat(d.histogram.counts, [0])};
    // Counts on a log axis from 0.5 (so that a bar of 1 shows) to the power of
    // ten above the tallest bar, labelled at 1, 10, 100...
    var top = Math.max.apply(null, h.counts.concat([1]));
    var countAxis = {type: 'logarithmic', min: 0.5, max: Math.pow(10, Math.max(1, Math.ceil(Math.log10(top)))),
                     ticks: {autoSkip: false,
                             callback: function (v) { return isPowerOfTen(v) ? Number(v).toLocaleString('en-US') : ''; }}};
    drawn(new Chart(c[1], {type: 'bar',
      data: {labels: h.counts.map(function (n, k) { return h.start + k * h.bin; }),
             datasets: [{data: h.counts.map(function (n) { return n > 0 ? n : null; }), backgroundColor: d.colour,
                         borderColor: d.colour, barPercentage: 1, categoryPercentage: 1}]},
      options: options('intervals inside runs, ' + h.bin + ' \u00b5s bars',
                       {title: 'interval (\u00b5s)', scale: {}}, {title: 'count', scale: countAxis})}));
    drawn(new Chart(c[2], {type: 'scatter',
      data: {datasets: [{data: points(d.path), showLine: true, borderColor: d.colour, backgroundColor: d.colour,
                         borderWidth: 2, pointRadius: 0}]},
      options: options('path (summed counts)', {title: 'x', scale: {}}, {title: 'y', scale: {reverse: true}})}));
  });
})();
)";

void write_points(std::ostream& out, const std::vector<PlotPoint>& points, int x_decimals, int y_decimals) {
  out << '[';
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i) out << ',';
    out << '[' << format_number(points[i].x, x_decimals) << ',' << format_number(points[i].y, y_decimals) << ']';
  }
  out << ']';
}

void write_plot_data(std::ostream& out, const std::vector<DeviceReport>& reports) {
  out << "{\"devices\": [";
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const Device& d = *reports[i].device;
    const Plots plots = d.stats.plots();
    out << (i ? ",\n" : "\n") << "{\"colour\": " << json_string(device_colour(d.index, i)) << ", \"rate\": ";
    write_points(out, plots.rate, 4, 1);
    out << ", \"histogram\": {\"start\": " << plots.histogram_start_us << ", \"bin\": " << plots.histogram_bin_us
        << ", \"counts\": [";
    for (std::size_t k = 0; k < plots.histogram.size(); ++k) out << (k ? "," : "") << plots.histogram[k];
    out << "]}, \"path\": ";
    write_points(out, plots.path, 0, 0);
    out << ", \"figures\": ";
    write_json_figures(out, reports[i]);
    out << '}';
  }
  out << "]}";
}

// Why figures are missing: one note for each reason, naming its devices.
class MissingNotes {
 public:
  // The cell for a missing figure: "n/a", marked with its note's number.
  std::string cell(const std::string& reason, std::int64_t index) {
    std::size_t k = 0;
    while (k < notes_.size() && notes_[k].reason != reason) ++k;
    if (k == notes_.size()) notes_.push_back({reason, {}});
    std::vector<std::int64_t>& indices = notes_[k].indices;
    if (indices.empty() || indices.back() != index) indices.push_back(index);
    return "n/a<sup>" + std::to_string(k + 1) + "</sup>";
  }
  void write(std::ostream& out) const {
    for (std::size_t k = 0; k < notes_.size(); ++k) {
      out << "<p><sup>" << k + 1 << "</sup> n/a for index";
      if (notes_[k].indices.size() > 1) out << "es";
      for (std::size_t i = 0; i < notes_[k].indices.size(); ++i) {
        out << (i == 0 ? " " : i + 1 == notes_[k].indices.size() ? " and " : ", ") << notes_[k].indices[i];
      }
      out << ": " << notes_[k].reason << "</p>\n";
    }
  }

 private:
  struct Note {
    std::string reason;
    std::vector<std::int64_t> indices;
  };
  std::vector<Note> notes_;
};

std::string coarse_clock_reason(std::int64_t clock_us) {
  return "a " + clock_text(clock_us) +
         " clock is coarser than a tenth of the median interval, too coarse to time the intervals.";
}
constexpr const char* kTooShortReason =
    "too short for a rate: under 100 ticks of the clock timed inside runs, or fewer than 10 intervals.";

void write_html_table(std::ostream& out, const std::vector<DeviceReport>& reports, MissingNotes& notes) {
  static constexpr const char* kHeads[] = {"index", "handle", "name", "vendor", "product", "packets", "seconds",
                                           "rate (Hz)", "poll rate (Hz)", "busy (%)", "median (&micro;s)",
                                           "p1 (&micro;s)", "p99 (&micro;s)", "jitter (%)", "longest (&micro;s)",
                                           "drops", "presses", "wheel notches"};
  out << "<table><tr>";
  for (const char* head : kHeads) out << "<th>" << head << "</th>";
  out << "</tr>\n";
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const Device& d = *reports[i].device;
    const Figures& f = reports[i].figures;
    const auto cell = [&](const auto& value, int decimals, bool rate = false) {
      if (value) return "<td>" + format_number(static_cast<double>(*value), decimals) + "</td>";
      if (rate && f.too_short) return "<td>" + notes.cell(kTooShortReason, d.index) + "</td>";
      if (f.clock_too_coarse) return "<td>" + notes.cell(coarse_clock_reason(d.clock_us), d.index) + "</td>";
      return std::string("<td>-</td>");
    };
    out << "<tr><td>" << d.index << "</td><td>" << d.handle << "</td><td class=\"name\"><span class=\"swatch\" style=\"background:"
        << device_colour(d.index, i) << "\"></span>" << html_escape(d.name) << "</td><td class=\"id\">"
        << html_escape(d.vendor) << "</td><td class=\"id\">" << html_escape(d.product) << "</td><td>" << f.packets
        << "</td><td>" << format_number(f.seconds, 3) << "</td>";
    // rate_hz needs no fine clock, only a long enough time.
    out << (f.rate_hz ? "<td>" + format_number(*f.rate_hz, 1) + "</td>"
                      : f.too_short ? "<td>" + notes.cell(kTooShortReason, d.index) + "</td>" : "<td>-</td>")
        << cell(f.poll_hz, 1, true) << cell(f.busy_pct, 1, true) << cell(f.interval_median_us, 1)
        << cell(f.interval_p1_us, 0) << cell(f.interval_p99_us, 0) << cell(f.jitter_pct, 2)
        << cell(f.longest_interval_us, 0) << "<td>" << f.drops << "</td><td>" << f.presses << "</td><td>"
        << format_number(f.wheel_notches, 2) << "</td></tr>\n";
  }
  out << "</table>\n";
}

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string device_colour(std::int64_t index, std::size_t position) {
  if (index >= 1 && index <= 3) return kTrackColours[index - 1];
  return kOtherColours[position % std::size(kOtherColours)];
}

void write_page(std::ostream& out, const std::vector<DeviceReport>& reports, const std::string& recording) {
  out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Velmora report</title>\n<style>"
      << kStyle << "</style>\n</head>\n<body>\n<h1>Velmora report</h1>\n<p>Recording: " << html_escape(recording)
      << "</p>\n";
  MissingNotes notes;
  write_html_table(out, reports, notes);
  out << "<div class=\"notes\">\n";
  notes.write(out);
  out << "<p>A run is a stretch of a device's packets with no pause of 100 ms or more; the rates, intervals and "
         "jitter use only the intervals inside runs. The poll rate is the rate a device reports at when every poll "
         "carries a packet; busy is the share of its polls that did.</p>\n</div>\n";
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const Device& d = *reports[i].device;
    out << "<div class=\"device\" data-device=\"" << i << "\"><h2><span class=\"swatch\" style=\"background:"
        << device_colour(d.index, i) << "\"></span>index " << d.index << ": " << html_escape(d.name)
        << "</h2><div class=\"charts\">";
    for (int chart = 0; chart < 3; ++chart) {
      out << "<canvas width=\"" << kChartWidth << "\" height=\"" << kChartHeight << "\"></canvas>";
    }
    out << "</div></div>\n";
  }
  out << "<script type=\"application/json\" id=\"velmora-data\">";
  write_plot_data(out, reports);
  out << "</script>\n<script>";
  out.write(reinterpret_cast<const char*>(kChartJs), static_cast<std::streamsize>(kChartJsSize));
  out << "</script>\n<script>" << kScript << "</script>\n</body>\n</html>\n";
}

}  // namespace report
