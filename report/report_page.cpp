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
table{border-collapse:collapse;margin:8px 0}th,td{border:1px solid #bbb;padding:2px 6px;text-align:right}
td{white-space:nowrap}td.name,td.id{text-align:left;white-space:pre}.swatch{display:inline-block;width:12px;height:12px;margin-right:6px}
.charts{display:flex;gap:8px}canvas{border:1px solid #ddd}h2{font-size:16px;margin:20px 0 6px;white-space:pre}
.notes{color:#555;max-width:60em})";

// Draws each device's three charts from the data element; every canvas gets
// data-box (its place on the page) once it is drawn.
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
  function drawn(canvas) {
    var r = canvas.getBoundingClientRect();
    canvas.dataset.box = [r.left + window.scrollX, r.top + window.scrollY, r.width, r.height].map(Math.round).join(',');
  }
  data.devices.forEach(function (d, i) {
    var c = document.querySelectorAll('[data-device="' + i + '"] canvas');
    new Chart(c[0], {type: 'line',
      data: {datasets: [{data: points(d.rate), borderColor: d.colour, backgroundColor: d.colour,
                         borderWidth: 2, pointRadius: 0, spanGaps: false}]},
      options: options('rate over time (inside runs)', {title: 'seconds', scale: {type: 'linear'}},
                       {title: 'Hz', scale: {beginAtZero: true}})});
    drawn(c[0]);
    // An empty bar each side, so that a lone bar does not fill the chart; none
    // below zero, where no interval can be.
    var pad = d.histogram.start >= d.histogram.bin ? [0] : [];
    var h = {start: d.histogram.start - pad.length * d.histogram.bin, bin: d.histogram.bin,
             counts: pad.concat(d.histogram.counts, [0])};
    new Chart(c[1], {type: 'bar',
      data: {labels: h.counts.map(function (n, k) { return h.start + k * h.bin; }),
             datasets: [{data: h.counts.map(function (n) { return n > 0 ? n : null; }), backgroundColor: d.colour,
                         borderColor: d.colour, barPercentage: 1, categoryPercentage: 1}]},
      options: options('intervals inside runs, ' + h.bin + ' \u00b5s bars',
                       {title: 'interval (\u00b5s)', scale: {}},
                       {title: 'count', scale: {type: 'logarithmic', min: 0.5}})});
    drawn(c[1]);
    new Chart(c[2], {type: 'scatter',
      data: {datasets: [{data: points(d.path), showLine: true, borderColor: d.colour, backgroundColor: d.colour,
                         borderWidth: 2, pointRadius: 0}]},
      options: options('path (summed counts)', {title: 'x', scale: {}}, {title: 'y', scale: {reverse: true}})});
    drawn(c[2]);
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

void write_html_table(std::ostream& out, const std::vector<DeviceReport>& reports) {
  static constexpr const char* kHeads[] = {"index", "handle", "name", "vendor", "product", "packets", "seconds",
                                           "rate (Hz)", "poll rate (Hz)", "busy (%)", "median interval (&micro;s)", "p1 (&micro;s)", "p99 (&micro;s)",
                                           "jitter (%)", "longest interval (&micro;s)", "drops", "presses",
                                           "wheel notches"};
  out << "<table><tr>";
  for (const char* head : kHeads) out << "<th>" << head << "</th>";
  out << "</tr>\n";
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const Device& d = *reports[i].device;
    const Figures& f = reports[i].figures;
    const std::string missing = f.clock_too_coarse ? "n/a (" + clock_text(d.clock_us) + " clock)" : "-";
    const auto cell = [&](const auto& value, int decimals) {
      return "<td>" + (value ? format_number(static_cast<double>(*value), decimals) : missing) + "</td>";
    };
    out << "<tr><td>" << d.index << "</td><td>" << d.handle << "</td><td class=\"name\"><span class=\"swatch\" style=\"background:"
        << device_colour(d.index, i) << "\"></span>" << html_escape(d.name) << "</td><td class=\"id\">"
        << html_escape(d.vendor) << "</td><td class=\"id\">" << html_escape(d.product) << "</td><td>" << f.packets
        << "</td><td>" << format_number(f.seconds, 3) << "</td><td>"
        << (f.rate_hz ? format_number(*f.rate_hz, 1) : f.too_short ? "n/a (too short)" : "-") << "</td>"
        << (f.too_short ? "<td>n/a (too short)</td><td>n/a (too short)</td>"
                        : cell(f.poll_hz, 1) + cell(f.busy_pct, 1))
        << cell(f.interval_median_us, 1)
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
  write_html_table(out, reports);
  out << "<p class=\"notes\">A run is a stretch of a device's packets with no pause of 100 ms or more; the rate, "
         "intervals and jitter use only the intervals inside runs. Where a device's clock is coarser than a tenth "
         "of its median interval, the interval figures are not given (n/a).</p>\n";
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const Device& d = *reports[i].device;
    out << "<div class=\"device\" data-device=\"" << i << "\"><h2><span class=\"swatch\" style=\"background:"
        << device_colour(d.index, i) << "\"></span>index " << d.index << ": " << html_escape(d.name)
        << "</h2><div class=\"charts\">"
        << "<canvas width=\"420\" height=\"280\"></canvas><canvas width=\"420\" height=\"280\"></canvas>"
        << "<canvas width=\"420\" height=\"280\"></canvas></div></div>\n";
  }
  out << "<script type=\"application/json\" id=\"velmora-data\">";
  write_plot_data(out, reports);
  out << "</script>\n<script>";
  out.write(reinterpret_cast<const char*>(kChartJs), static_cast<std::streamsize>(kChartJsSize));
  out << "</script>\n<script>" << kScript << "</script>\n</body>\n</html>\n";
}

}  // namespace report
