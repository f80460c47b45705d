// The audit's report as one page of HTML: its frame and styles, the
// summary, the readers as they are, a section per day with its charts
// (inline SVG, drawn here from the day's totals), the tables by reader and
// kind of tap, and the anomalies by kind.
#include "office/report_html.h"

#include <algorithm>
#include <cstdarg>
#include <iterator>
#include <vector>

#include "core/packed_time.h"
#include "office/report.h"
#include "office/tap_kind.h"
#include "readers/network.h"

namespace {

// The width every chart is drawn at; the page scales it to its own.
constexpr int kChartWidth = 1044;

// The kinds of ride, as a heat map's rows name them, many and one.
const char* const kRidesMany[kRideKinds] = {"entries", "exits", "transfers", "settlements"};
const char* const kRidesOne[kRideKinds] = {"entry", "exit", "transfer", "settlement"};

// Nothing counted: a reader, a day of a reader, a day of the office.
const ReaderTotals kNoReader{};
const DayTotals kNoTaps{};
const DayLoaded kNoChanges{};

// printf into a string.
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  va_list args, again;
  va_start(args, pattern);
  va_copy(again, args);
  int length = vsnprintf(nullptr, 0, pattern, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) vsnprintf(&text[0], text.size() + 1, pattern, again);
  va_end(again);
  return text;
}

// A count or amount short enough for a chart: 987, 1.2k, 45k, 1.2M.
std::string compact(int64_t n) {
  if (n < 0) return "-" + compact(-n);
  if (n < 1000) return std::to_string(n);
  static const char* const units[] = {"k", "M", "G", "T"};
  double value = static_cast<double>(n) / 1000;
  int unit = 0;
  // As it is rounded to be shown: 999,960 is 1.0M, not 1000k.
  while (unit < 3 && value >= 999.5) {
    value /= 1000;
    unit++;
  }
  return format(value < 9.95 ? "%.1f%s" : "%.0f%s", value, units[unit]);
}

// "1 entry", "2 entries": a count, grouped, and its noun.
std::string counted(int64_t n, const char* one, const char* many) {
  return grouped(n) + " " + (n == 1 ? one : many);
}

// The step of an axis over `span` in about `ticks` steps: 1, 2 or 5 times
// a power of ten, at least 1.
int64_t niceStep(int64_t span, int ticks) {
  int64_t rough = std::max<int64_t>(1, (span + ticks - 1) / ticks);
  int64_t power = 1;
  while (power <= rough / 10) power *= 10;
  for (int64_t times : {1, 2, 5}) {
    if (times * power >= rough) return times * power;
  }
  return 10 * power;
}

// `value` rounded down, and up, to a multiple of `step` (> 0).
int64_t floorTo(int64_t value, int64_t step) {
  int64_t q = value / step;
  return (q * step > value ? q - 1 : q) * step;
}
int64_t ceilTo(int64_t value, int64_t step) {
  return -floorTo(-value, step);
}

// An hour of a day as the page names it: "2026-03-06 08:00".
std::string hourText(Day day, int hour) {
  return dayText(day) + format(" %02d:00", hour);
}

// The days `covered` in a title: "2026-03-06", "2026-03-06 to 2026-03-08".
std::string daysTitle(const AuditDays& covered) {
  if (covered.from == 0 && covered.to == 0) return "no day";
  if (covered.from == 0) return "up to " + dayText(covered.to);
  if (covered.to == 0) return "from " + dayText(covered.from);
  if (covered.from == covered.to) return dayText(covered.from);
  return dayText(covered.from) + " to " + dayText(covered.to);
}

// What `reader` counted, or nothing: a report made by hand may lack the
// readers of the network that an audit always has.
const ReaderTotals& totalsOf(const AuditReport& report, const std::string& reader) {
  auto found = report.readers.find(reader);
  return found != report.readers.end() ? found->second : kNoReader;
}

// What a reader counted on `day`, or nothing.
const DayTotals& dayOfReader(const ReaderTotals& totals, Day day) {
  auto found = totals.days.find(day);
  return found != totals.days.end() ? found->second : kNoTaps;
}

// What the office counted on `day` in `days`, or nothing.
const DayLoaded& dayOfOffice(const std::map<Day, DayLoaded>& days, Day day) {
  auto found = days.find(day);
  return found != days.end() ? found->second : kNoChanges;
}

}  // namespace

int64_t lastTapOfNetwork(const AuditReport& report) {
  int64_t latest = 0;
  for (const auto& entry : report.now) latest = std::max(latest, entry.second.last.time);
  return latest;
}

bool isQuiet(const AuditReport& report, const std::string& reader) {
  auto found = report.now.find(reader);
  int64_t last = found != report.now.end() ? found->second.last.time : 0;
  int64_t latest = lastTapOfNetwork(report);
  if (latest == 0) return false;
  if (last == 0) return true;
  if (makeTime(latest) - makeTime(last) <= kQuietSeconds) return false;
  // The taps the report counts in the hours after the last tap's hour, on
  // its day and every day after it.
  Day day = dayOf(last);
  int hour = static_cast<int>(last / 10000 % 100);
  int64_t after = 0;
  for (auto it = report.network.days.lower_bound(day); it != report.network.days.end(); ++it) {
    for (int h = it->first == day ? hour + 1 : 0; h < 24; h++) {
      after += it->second.hours[h].tally.taps;
    }
  }
  return after * 100 > kQuietPercent * report.network.all.taps;
}

std::string htmlText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

// The page's styles. The heat map's five shades darken in one hue, so
// that they keep their order in grey; every bar of more than one series
// has a pattern of its own besides its hue (the patterns are defined once,
// in kPatterns).
const char kStyles[] = R"(
body{font:14px/1.45 system-ui,sans-serif;color:#1a1a1a;background:#fff;margin:1.5em auto;max-width:1100px;padding:0 1em}
h1{font-size:1.6em;margin:0 0 .2em}
h2{font-size:1.25em;margin:1.8em 0 .5em;border-bottom:2px solid #444}
h3{font-size:1.05em;margin:1.4em 0 .4em}
p.made{color:#444;margin:.2em 0}
a{color:#1d4a87}
dl.figures{display:flex;flex-wrap:wrap;gap:.6em;margin:1em 0;padding:0}
dl.figures div{border:1px solid #999;padding:.35em .8em;min-width:8.5em}
dl.figures dt{color:#444;font-size:.85em}
dl.figures dd{margin:0;font-size:1.3em;font-weight:600}
dl.figures dd.note{font-size:.85em;font-weight:400;color:#444}
dl.figures div.alert{border:3px double #a0001c}
table{border-collapse:collapse;margin:.5em 0 1em}
th,td{border:1px solid #bbb;padding:.2em .55em;text-align:right;vertical-align:top}
th{background:#eee}
.text{text-align:left}
tr.attention td{font-weight:600;background:#fff1c2}
tr.total td{font-weight:600}
code{font:12px ui-monospace,monospace;word-break:break-all}
p.advice{border-left:4px solid #444;padding-left:.6em}
svg{max-width:100%;height:auto;display:block;margin:.3em 0 1em}
svg text{font:11px system-ui,sans-serif;fill:#1a1a1a}
svg text.title{font-weight:700;font-size:12px}
svg text.small{font-size:10px}
svg text.light{fill:#fff}
svg text{pointer-events:none}
svg .grid{stroke:#ccc;stroke-width:1}
svg .axis{stroke:#333;stroke-width:1}
svg .h1{fill:#dde7f3}
svg .h2{fill:#a9c2e0}
svg .h3{fill:#6f97c8}
svg .h4{fill:#3b68a6}
svg .h5{fill:#163d73}
svg .h0{fill:#f6f6f6}
svg.defs{position:absolute}
@media print{body{max-width:none;margin:0;print-color-adjust:exact;-webkit-print-color-adjust:exact}section.day,svg{break-inside:avoid}a{color:inherit;text-decoration:none}}
)";

// The patterns the bars of more than one series, and the money's steps,
// are filled with: each tells its series without colour too.
const char kPatterns[] =
    "<svg class=\"defs\" width=\"0\" height=\"0\" aria-hidden=\"true\"><defs>\n"
    "<pattern id=\"p-hatch\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#f4cfb3\"/>"
    "<rect width=\"2.5\" height=\"6\" fill=\"#9a4510\"/></pattern>\n"
    "<pattern id=\"p-cross\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\">"
    "<rect width=\"6\" height=\"6\" fill=\"#e2d5f0\"/><path d=\"M0 0L6 6M6 0L0 6\" "
    "stroke=\"#5b3a8a\" stroke-width=\"1.3\"/></pattern>\n"
    "<pattern id=\"p-dots\" width=\"5\" height=\"5\" patternUnits=\"userSpaceOnUse\">"
    "<rect width=\"5\" height=\"5\" fill=\"#d3e6f1\"/><circle cx=\"2.5\" cy=\"2.5\" r=\"1.4\" "
    "fill=\"#1f5f86\"/></pattern>\n"
    "<pattern id=\"p-down\" width=\"7\" height=\"7\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(-45)\"><rect width=\"7\" height=\"7\" fill=\"#f1c4c4\"/>"
    "<rect width=\"3\" height=\"7\" fill=\"#8f1d1d\"/></pattern>\n"
    "<pattern id=\"p-differs\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\">"
    "<rect width=\"8\" height=\"8\" fill=\"#fff\"/><path d=\"M0 0L8 8M8 0L0 8M4 0V8M0 4H8\" "
    "stroke=\"#a0001c\" stroke-width=\"1.2\"/></pattern>\n"
    "</defs></svg>\n";

// The opening of a chart `width` by `height`, named `name` for readers
// that cannot see it.
std::string svgOpen(int width, int height, const std::string& name) {
  return format("<svg viewBox=\"0 0 %d %d\" width=\"%d\" height=\"%d\" role=\"img\">", width,
                height, width, height) +
         "<title>" + htmlText(name) + "</title>\n";
}

// A text at (x, y), anchored `anchor` (start, middle, end), of class
// `type` (or none).
std::string svgText(int x, int y, const char* anchor, const std::string& text,
                    const char* type = "") {
  std::string cls = type[0] != '\0' ? std::string(" class=\"") + type + "\"" : "";
  return format("<text x=\"%d\" y=\"%d\" text-anchor=\"%s\"", x, y, anchor) + cls + ">" +
         htmlText(text) + "</text>";
}

// A legend's swatch at (x, y), filled `fill`, and its name after it; how
// wide the two are.
std::string swatch(int x, int y, const std::string& fill, const std::string& name, int* width) {
  *width = 22 + 7 * static_cast<int>(name.size()) + 16;
  return format("<rect x=\"%d\" y=\"%d\" width=\"16\" height=\"12\" fill=\"%s\" stroke=\"#333\"/>",
                x, y - 10, fill.c_str()) +
         svgText(x + 22, y, "start", name);
}

// One series of bars by hour: its name, its fill (a colour or a pattern),
// a value for each hour, and what each hour's bar says when pointed at.
struct Series {
  std::string name;
  std::string fill;
  int64_t values[24] = {};
  std::string titles[24];
};

// The left of the plot of every chart by hour, and its width.
constexpr int kPlotLeft = 112, kPlotWidth = kChartWidth - kPlotLeft - 20;

// The y-axis of a plot from `top` to `bottom` over [low, high] in steps
// of `step`: a grid line and a label at each step, and the axis's name.
std::string yAxis(int top, int bottom, int64_t low, int64_t high, int64_t step,
                  const std::string& name) {
  std::string svg;
  for (int64_t v = low; v <= high; v += step) {
    int y =
        bottom - static_cast<int>((bottom - top) * (v - low) / std::max<int64_t>(1, high - low));
    svg += format("<line class=\"grid\" x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\"/>", kPlotLeft,
                  kPlotLeft + kPlotWidth, y, y) +
           svgText(kPlotLeft - 6, y + 4, "end", grouped(v)) + "\n";
  }
  svg += format("<line class=\"axis\" x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\"/>", kPlotLeft,
                kPlotLeft, top, bottom);
  svg += format("<text x=\"14\" y=\"%d\" text-anchor=\"middle\" transform=\"rotate(-90 14 %d)\">",
                (top + bottom) / 2, (top + bottom) / 2) +
         htmlText(name) + "</text>\n";
  return svg;
}

// Bars by hour of one or more series side by side, on a y-axis named
// `axis` from 0; a single series has its values written above its bars,
// more have a legend. `name` names the chart.
std::string hourBars(const std::vector<Series>& series, const std::string& axis,
                     const std::string& name) {
  const int top = 16, bottom = 226, height = series.size() > 1 ? 296 : 272;
  int64_t most = 0;
  for (const Series& s : series) most = std::max(most, *std::max_element(s.values, s.values + 24));
  int64_t step = niceStep(most, 5), high = std::max(step, ceilTo(most, step));
  std::string svg = svgOpen(kChartWidth, height, name) + yAxis(top, bottom, 0, high, step, axis);
  const int slot = kPlotWidth / 24, group = slot * 4 / 5;
  const int width = group / static_cast<int>(series.size());
  for (int hour = 0; hour < 24; hour++) {
    int left = kPlotLeft + hour * slot + (slot - group) / 2;
    for (size_t i = 0; i < series.size(); i++) {
      int64_t v = series[i].values[hour];
      if (v == 0) continue;
      int h = std::max(1, static_cast<int>((bottom - top) * v / high));
      int x = left + static_cast<int>(i) * width;
      svg += format(
                 "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\" "
                 "stroke=\"#222\" stroke-width=\".6\"><title>",
                 x, bottom - h, width, h, series[i].fill.c_str()) +
             htmlText(series[i].titles[hour]) + "</title></rect>";
      if (series.size() == 1) {
        svg += svgText(x + width / 2, bottom - h - 4, "middle", compact(v), "small");
      }
      svg += "\n";
    }
    svg += svgText(kPlotLeft + hour * slot + slot / 2, bottom + 16, "middle", format("%02d", hour));
  }
  svg += format("<line class=\"axis\" x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\"/>", kPlotLeft,
                kPlotLeft + kPlotWidth, bottom, bottom);
  svg += svgText(kPlotLeft + kPlotWidth / 2, bottom + 36, "middle",
                 "hour of the day (each bar the hour that begins there)");
  if (series.size() > 1) {
    int x = kPlotLeft;
    for (const Series& s : series) {
      int w = 0;
      svg += swatch(x, height - 10, s.fill, s.name, &w);
      x += w;
    }
  }
  return svg + "</svg>\n";
}

// The shade (1 to 5) of a heat map's cell of `count` (> 0) taps, where
// the most in any cell is `most`.
int shadeOf(int64_t count, int64_t most) {
  return static_cast<int>(std::min<int64_t>(5, (5 * count + most - 1) / most));
}

// The geometry of a heat map: a row per reader and kind of ride, a column
// per hour, then the day's total of the row.
constexpr int kHeatLeft = 150, kCellWidth = 34, kCellHeight = 17, kHeatTop = 40, kReaderGap = 7;

// The rows of one reader in a heat map of `day` whose fullest cell holds
// `most` taps, from `y` down.
std::string heatRows(const std::string& reader, const DayTotals& totals, Day day, int64_t most,
                     int y) {
  std::string svg = format("<rect class=\"h0\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\"/>",
                           kHeatLeft, y, 24 * kCellWidth, kRideKinds * kCellHeight);
  svg += svgText(4, y + 13, "start", reader, "title") + "\n";
  for (int k = 0; k < kRideKinds; k++) {
    int rowY = y + k * kCellHeight;
    int64_t all = 0;
    svg += svgText(kHeatLeft - 6, rowY + 13, "end", kRidesMany[k]);
    for (int hour = 0; hour < 24; hour++) {
      int64_t n = totals.hours[hour].rides[k];
      all += n;
      if (n == 0) continue;
      int shade = shadeOf(n, most), x = kHeatLeft + hour * kCellWidth;
      svg += format(
                 "<rect class=\"h%d\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" "
                 "stroke=\"#fff\"><title>",
                 shade, x, rowY, kCellWidth, kCellHeight) +
             htmlText(reader + " " + hourText(day, hour) + ": " +
                      counted(n, kRidesOne[k], kRidesMany[k])) +
             "</title></rect>" +
             svgText(x + kCellWidth / 2, rowY + 12, "middle", compact(n),
                     shade >= 4 ? "small light" : "small");
    }
    svg += svgText(kHeatLeft + 24 * kCellWidth + 60, rowY + 13, "end", grouped(all)) + "\n";
  }
  return svg;
}

// The heat map of the taps of `day`: per reader and hour, a row for each
// kind of ride, each cell shaded by its count and labelled with it.
std::string heatMap(const AuditReport& report, Day day) {
  std::vector<std::string> readers = readersOf(report);
  int64_t most = 1;
  for (const std::string& reader : readers) {
    for (const HourTotals& h : dayOfReader(totalsOf(report, reader), day).hours) {
      most = std::max(most, *std::max_element(h.rides, h.rides + kRideKinds));
    }
  }
  const int band = kRideKinds * kCellHeight + kReaderGap;
  const int height = kHeatTop + static_cast<int>(readers.size()) * band + 44;
  std::string svg = svgOpen(kChartWidth, height,
                            "Taps per reader and hour on " + dayText(day) + ", by kind of ride");
  svg += svgText(kHeatLeft + 12 * kCellWidth, 14, "middle", "hour of the day");
  svg += svgText(kHeatLeft + 24 * kCellWidth + 60, kHeatTop - 8, "end", "the day");
  for (int hour = 0; hour < 24; hour++) {
    svg += svgText(kHeatLeft + hour * kCellWidth + kCellWidth / 2, kHeatTop - 8, "middle",
                   format("%02d", hour));
  }
  svg += "\n";
  for (size_t i = 0; i < readers.size(); i++) {
    svg += heatRows(readers[i], dayOfReader(totalsOf(report, readers[i]), day), day, most,
                    kHeatTop + static_cast<int>(i) * band);
  }
  // The legend: what each shade holds, from the emptiest cell to the fullest.
  int x = kHeatLeft, y = height - 14, w = 0;
  svg += svgText(4, y, "start", "taps in the hour:");
  svg += swatch(x, y, "#f6f6f6", "none", &w);
  x += w;
  for (int shade = 1; shade <= 5; shade++) {
    int64_t from = (shade - 1) * most / 5 + 1, to = shade * most / 5;
    if (from > to) continue;
    std::string range = from == to ? grouped(from) : grouped(from) + " to " + grouped(to);
    svg += format(
               "<rect class=\"h%d\" x=\"%d\" y=\"%d\" width=\"16\" height=\"12\" "
               "stroke=\"#333\"/>",
               shade, x, y - 10) +
           svgText(x + 22, y, "start", range);
    x += 22 + 7 * static_cast<int>(range.size()) + 16;
  }
  return svg + "</svg>\n";
}

// The revenue chart of `day`: what the logs charged in each hour.
std::string revenueChart(const AuditReport& report, Day day) {
  const DayTotals& totals = dayOfReader(report.network, day);
  Series revenue;
  revenue.name = "revenue";
  revenue.fill = "#3b68a6";
  for (int hour = 0; hour < 24; hour++) {
    const Tally& t = totals.hours[hour].tally;
    revenue.values[hour] = t.revenue;
    revenue.titles[hour] = hourText(day, hour) + ": revenue " + grouped(t.revenue) + " from " +
                           counted(t.taps, "tap", "taps");
  }
  return hourBars({revenue}, "revenue", "Revenue per hour on " + dayText(day));
}

// One kind of the office's changes: its name, its fill, and its tallies.
struct OfficeRow {
  const char* name;
  const char* fill;
  const std::map<Day, DayLoaded>* days;
};

// The office's kinds of change, as the charts and tables show them.
std::vector<OfficeRow> officeRows(const AuditReport& report) {
  const TopUpTotals& t = report.topUps;
  return {{"top-ups", "#2e7d32", &t.days},
          {"refunds", "url(#p-hatch)", &t.refundDays},
          {"closes (paid out)", "url(#p-cross)", &t.closeDays},
          {"replacements (moved)", "url(#p-dots)", &t.replacementDays}};
}

// The office's changes of `day` by hour: a chart of the money each kind
// moved, and a table of the hours with any, counts and amounts; or a
// sentence when there are none.
std::string officeByHour(const AuditReport& report, Day day) {
  std::vector<Series> series;
  bool any = false;
  for (const OfficeRow& row : officeRows(report)) {
    const DayLoaded& loaded = dayOfOffice(*row.days, day);
    any = any || loaded.all.count > 0;
    Series s;
    s.name = row.name;
    s.fill = row.fill;
    for (int hour = 0; hour < 24; hour++) {
      s.values[hour] = loaded.hours[hour].amount;
      s.titles[hour] = hourText(day, hour) + ": " + row.name + " " +
                       grouped(loaded.hours[hour].count) + ", " +
                       grouped(loaded.hours[hour].amount);
    }
    series.push_back(s);
  }
  if (!any) return "<p>No top-up, refund, close or replacement on this day.</p>\n";
  std::string html = hourBars(series, "money moved",
                              "Top-ups, refunds, closes and replacements "
                              "per hour on " +
                                  dayText(day));
  html += "<table><tr><th class=\"text\">hour</th>";
  for (const OfficeRow& row : officeRows(report)) html += std::string("<th>") + row.name + "</th>";
  html += "</tr>\n";
  for (int hour = 0; hour < 24; hour++) {
    std::string cells;
    bool busy = false;
    for (const OfficeRow& row : officeRows(report)) {
      const Loaded& l = dayOfOffice(*row.days, day).hours[hour];
      busy = busy || l.count > 0;
      cells += "<td>" + (l.count > 0 ? grouped(l.count) + ": " + grouped(l.amount) : "") + "</td>";
    }
    if (busy) html += format("<tr><td class=\"text\">%02d:00</td>", hour) + cells + "</tr>\n";
  }
  return html + "</table>\n";
}

// One step of the money on the cards through a day: a level, drawn from
// 0, or a move, drawn from the level before it; its fill and its label.
struct MoneyStep {
  std::string name;
  bool level;
  int64_t from, to;  // a level's `from` is 0
  const char* fill;
  std::string label;
};

// The steps of `money` through its day: what was held at its start, each
// movement (issued, top-ups and revenue always, the others when there are
// any), any difference, and what was held at its end.
std::vector<MoneyStep> moneySteps(const DayMoney& money) {
  std::vector<MoneyStep> steps = {
      {"held at the start", true, 0, money.heldBefore, "#666", grouped(money.heldBefore)}};
  int64_t level = money.heldBefore;
  for (const MovementInfo& row : kMovementKinds) {
    int64_t amount = money.moved[static_cast<int>(row.movement)];
    if (amount == 0 && row.movement > Movement::kRevenue) continue;
    int64_t next = level + row.sign * amount;
    steps.push_back({row.heading, false, level, next, row.sign > 0 ? "#2e7d32" : "url(#p-down)",
                     (row.sign > 0 ? "+" : "-") + grouped(amount)});
    level = next;
  }
  int64_t difference = heldDifference(money);
  if (difference != 0) {
    steps.push_back({"difference", false, level, money.held, "url(#p-differs)",
                     (difference > 0 ? "+" : "") + grouped(difference)});
  }
  steps.push_back({"held at the end", true, 0, money.held, "#666", grouped(money.held)});
  return steps;
}

// The money on the cards through `day`, from what they held at its start
// to what they held at its end, each movement a step up or down.
std::string moneyChart(Day day, const DayMoney& money) {
  std::vector<MoneyStep> steps = moneySteps(money);
  int64_t low = money.heldBefore, high = money.heldBefore;
  for (const MoneyStep& s : steps) {
    low = std::min({low, s.to, s.level ? s.to : s.from});
    high = std::max({high, s.to, s.level ? s.to : s.from});
  }
  // The axis covers the levels the day went through, with room around
  // them. It starts at 0 where the levels are all above it, unless that
  // would flatten every move; then it says where it starts.
  int64_t room = std::max<int64_t>((high - low) / 6, 1);
  bool fromZero = low >= 0 && (low - room <= 0 || high - low > high / 2);
  int64_t base = fromZero ? 0 : low - room;
  int64_t step = niceStep(high + room - base, 5);
  int64_t axisLow = floorTo(base, step), axisHigh = ceilTo(high + room, step);
  const int top = 20, bottom = 220, height = 262;
  auto yOf = [&](int64_t v) {
    return bottom - static_cast<int>((bottom - top) * (v - axisLow) /
                                     std::max<int64_t>(1, axisHigh - axisLow));
  };
  // Where a level's bar starts: 0, or the axis's end nearest it.
  int64_t baseline = std::min(std::max<int64_t>(0, axisLow), axisHigh);
  std::string axis =
      axisLow > 0 ? "money held (the axis starts at " + grouped(axisLow) + ")" : "money held";
  std::string svg = svgOpen(kChartWidth, height, "The money on the cards through " + dayText(day)) +
                    yAxis(top, bottom, axisLow, axisHigh, step, axis);
  const int slot = kPlotWidth / static_cast<int>(steps.size()), width = slot * 3 / 5;
  for (size_t i = 0; i < steps.size(); i++) {
    const MoneyStep& s = steps[i];
    int64_t a = s.level ? baseline : s.from, b = s.to;
    int y1 = yOf(std::max(a, b)), y2 = yOf(std::min(a, b));
    int x = kPlotLeft + static_cast<int>(i) * slot + (slot - width) / 2;
    svg += format(
               "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\" "
               "stroke=\"#222\" stroke-width=\".8\"><title>",
               x, y1, width, std::max(1, y2 - y1), s.fill) +
           htmlText(dayText(day) + ", " + s.name + ": " + s.label) + "</title></rect>";
    svg += svgText(x + width / 2, y1 - 5, "middle", s.label);
    svg += svgText(x + width / 2, bottom + 16, "middle", s.name);
    // A dashed line carries the level on to the next step.
    if (i + 1 < steps.size()) {
      svg += format(
          "<line x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\" stroke=\"#444\" "
          "stroke-dasharray=\"3 3\"/>",
          x + width, x + slot, yOf(s.to), yOf(s.to));
    }
    svg += "\n";
  }
  svg += format("<line class=\"axis\" x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\"/>", kPlotLeft,
                kPlotLeft + kPlotWidth, bottom, bottom);
  int x = kPlotLeft, w = 0;
  svg += swatch(x, height - 8, "#666", "held", &w);
  x += w;
  svg += swatch(x, height - 8, "#2e7d32", "adds to it", &w);
  x += w;
  svg += swatch(x, height - 8, "url(#p-down)", "takes from it", &w);
  x += w;
  if (heldDifference(money) != 0)
    svg += swatch(x, height - 8, "url(#p-differs)", "unexplained", &w);
  return svg + "</svg>\n";
}

// The page's head, and the top of its body: its title, what it covers and
// how it was made.
void writeHead(FILE* out, const AuditReport& report, const ReportMaking& making) {
  std::string days = daysTitle(coveredDays(report));
  fprintf(out,
          "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n%s\n"
          "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
          "style-src 'unsafe-inline'\">\n"
          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
          "<title>The network's day: %s</title>\n<style>%s</style>\n</head>\n<body>\n%s",
          kHtmlReportMark, htmlText(days).c_str(), kStyles, kPatterns);
  fprintf(
      out,
      "<header>\n<h1>The network's day: %s</h1>\n"
      "<p class=\"made\">Days: <span id=\"days\">%s</span></p>\n"
      "<p class=\"made\">Network directory: <code id=\"dir\">%s</code></p>\n"
      "<p class=\"made\">Made <span id=\"made\">%s</span> by <span id=\"program\">%s %s</span>, "
      "from its audit of %s (%s on them) and %s (%s).</p>\n</header>\n",
      htmlText(days).c_str(), htmlText(coveredText(report)).c_str(), htmlText(making.dir).c_str(),
      htmlText(making.madeAt).c_str(), htmlText(making.program).c_str(),
      htmlText(making.version).c_str(), counted(report.cards, "card", "cards").c_str(),
      counted(report.records, "tap", "taps").c_str(), counted(report.logs, "log", "logs").c_str(),
      counted(report.logLines, "line", "lines").c_str());
}

// One figure of the summary: its name, the element's id, its value, a
// note under it (or none), and whether it calls for attention.
void figure(FILE* out, const std::string& name, const char* id, const std::string& value,
            const std::string& note = "", bool alert = false) {
  fprintf(out, "<div%s><dt>%s</dt><dd id=\"%s\">%s</dd>", alert ? " class=\"alert\"" : "",
          name.c_str(), id, value.c_str());
  if (!note.empty()) fprintf(out, "<dd class=\"note\">%s</dd>", note.c_str());
  fprintf(out, "</div>\n");
}

// How many anomalies of each kind the report holds, in kAnomalyKinds' order.
std::vector<int64_t> anomalyCounts(const AuditReport& report) {
  std::vector<int64_t> counts(std::size(kAnomalyKinds), 0);
  for (const Anomaly& a : report.anomalies) counts[static_cast<size_t>(a.kind)]++;
  return counts;
}

// The summary: the totals of the days, the money on the cards at the end
// of the last, and how many anomalies, linked to them, by kind.
void writeSummary(FILE* out, const AuditReport& report, const std::vector<int64_t>& counts) {
  const TopUpTotals& t = report.topUps;
  fprintf(out, "<section id=\"summary\">\n<dl class=\"figures\">\n");
  figure(out, "Taps", "taps", grouped(report.network.all.taps));
  figure(out, "Revenue", "revenue", grouped(report.network.all.revenue));
  figure(out, "Top-ups: loaded", "topups", grouped(t.all.amount),
         counted(t.all.count, "top-up", "top-ups"));
  figure(out, "Refunds: paid back", "refunds", grouped(t.refunds.amount),
         counted(t.refunds.count, "refund", "refunds"));
  figure(out, "Cards closed: paid out", "closes", grouped(t.closes.amount),
         counted(t.closes.count, "card", "cards"));
  figure(out, "Cards replaced: moved", "replacements", grouped(t.replacements.amount),
         counted(t.replacements.count, "card", "cards"));
  if (!report.held.empty()) {
    figure(out, "Held on the cards at the end of " + dayText(report.held.rbegin()->first), "held",
           grouped(report.held.rbegin()->second.held));
  }
  size_t anomalies = report.anomalies.size();
  figure(out, "Anomalies", "anomaly-count",
         "<a href=\"#anomalies\">" + grouped(static_cast<int64_t>(anomalies)) + "</a>", "",
         anomalies > 0);
  fprintf(out, "</dl>\n");
  if (anomalies > 0) {
    fprintf(out, "<p>Anomalies by kind:");
    for (const AnomalyKindInfo& row : kAnomalyKinds) {
      int64_t n = counts[static_cast<size_t>(row.kind)];
      if (n > 0) {
        fprintf(out, " <a href=\"#a-%s\">%s %s</a>", row.name, grouped(n).c_str(), row.name);
      }
    }
    fprintf(out, ".</p>\n");
  } else {
    fprintf(out,
            "<p>No anomaly: every card record has its log line and every log line its "
            "record.</p>\n");
  }
  fprintf(out, "</section>\n");
}

// A journal's state, in words.
const char* journalText(JournalState state) {
  switch (state) {
    case JournalState::kNone:
      return "none";
    case JournalState::kIdle:
      return "idle";
    case JournalState::kInFlight:
      return "a tap in flight";
    case JournalState::kAbandoned:
      return "a tap abandoned";
    case JournalState::kUnreadable:
      return "not a journal block";
  }
  return "";
}

// How long from packed time `from` to packed time `to`, in words: "2 h 05 min".
std::string lapse(int64_t from, int64_t to) {
  int64_t minutes = (makeTime(to) - makeTime(from)) / 60;
  return minutes >= 60 ? format("%lld h %02lld min", static_cast<long long>(minutes / 60),
                                static_cast<long long>(minutes % 60))
                       : format("%lld min", static_cast<long long>(minutes));
}

// Each reader as its own files leave it: its last tap and its journal; a
// reader gone quiet, or with a tap in its journal, marked in words and
// in bold.
void writeReadersNow(FILE* out, const AuditReport& report) {
  int64_t latest = lastTapOfNetwork(report);
  fprintf(out,
          "<section id=\"readers\">\n<h2>The readers now</h2>\n<p>Each reader's last tap is the "
          "last line of its log; its journal says whether a tap is in flight. A reader is quiet "
          "when it has no tap, or when its last tap came more than %lld min before the "
          "network's last and the rest of the network made more than %lld%% of the taps in the "
          "hours after it.</p>\n<table>\n<tr><th class=\"text\">reader</th>"
          "<th class=\"text\">last tap</th><th class=\"text\">what</th><th>line of its log</th>"
          "<th class=\"text\">journal</th><th class=\"text\">state</th></tr>\n",
          static_cast<long long>(kQuietSeconds / 60), static_cast<long long>(kQuietPercent));
  for (const std::string& reader : readersOf(report)) {
    auto found = report.now.find(reader);
    ReaderNow now = found != report.now.end() ? found->second : ReaderNow{};
    const LastTap& last = now.last;
    bool quiet = isQuiet(report, reader);
    // A journal that holds a tap, or is no journal, is an anomaly too.
    bool journal = now.journal != JournalState::kNone && now.journal != JournalState::kIdle;
    std::string state = !quiet ? "active"
                        : last.line == 0
                            ? "&#9888; quiet: no tap in its log"
                            : "&#9888; quiet: its last tap came " + lapse(last.time, latest) +
                                  " before the network's last";
    if (journal) state += "; &#9888; its journal: see <a href=\"#a-note_left\">note_left</a>";
    std::string when = last.line > 0 ? formatDateTime(last.time) : "none";
    std::string what = last.line > 0 ? format("%s %s, fare %s, ", last.bus ? "bus" : "subway",
                                              last.in ? "in" : "out", grouped(last.fare).c_str()) +
                                           htmlText(shownName(last.tapId))
                                     : "";
    fprintf(out,
            "<tr id=\"reader-%s\"%s><td class=\"text\">%s</td><td class=\"text\">%s</td>"
            "<td class=\"text\">%s</td><td>%s</td><td class=\"text\">%s</td>"
            "<td class=\"text\">%s</td></tr>\n",
            htmlText(reader).c_str(), quiet || journal ? " class=\"attention\"" : "",
            htmlText(reader).c_str(), when.c_str(), what.c_str(),
            last.line > 0 ? grouped(last.line).c_str() : "", journalText(now.journal),
            state.c_str());
  }
  fprintf(out, "</table>\n</section>\n");
}

// A section for each day: its taps per reader and hour, its revenue per
// hour, the office's changes per hour, and the money on the cards.
void writeDays(FILE* out, const AuditReport& report) {
  if (report.held.size() > 1) {
    fprintf(out, "<nav><p>Days:");
    for (const auto& entry : report.held) {
      fprintf(out, " <a href=\"#day-%d\">%s</a>", entry.first, dayText(entry.first).c_str());
    }
    fprintf(out, "</p></nav>\n");
  }
  for (const auto& [day, money] : report.held) {
    const DayTotals& network = dayOfReader(report.network, day);
    fprintf(out, "<section class=\"day\" id=\"day-%d\">\n<h2>%s</h2>\n", day, dayText(day).c_str());
    fprintf(out, "<p>%s, revenue %s.</p>\n", counted(network.all.taps, "tap", "taps").c_str(),
            grouped(network.all.revenue).c_str());
    // A day of no tap (a day of top-ups alone) has no taps to draw.
    if (network.all.taps > 0) {
      fprintf(out, "<h3>Taps per reader and hour, by kind of ride</h3>\n");
      fputs(heatMap(report, day).c_str(), out);
      fprintf(out, "<h3>Revenue per hour</h3>\n");
      fputs(revenueChart(report, day).c_str(), out);
    }
    fprintf(out,
            "<h3>Top-ups, refunds, closes and replacements per hour, apart from the "
            "revenue</h3>\n");
    fputs(officeByHour(report, day).c_str(), out);
    fprintf(out, "<h3>The money on the cards, from the day's start to its end</h3>\n");
    fputs(moneyChart(day, money).c_str(), out);
    fprintf(out, "</section>\n");
  }
}

// The reconciliation of every day: what the cards held the day before,
// each movement, what they held at the end, and the difference; the
// office's columns only where some day has one.
void writeMoneyTable(FILE* out, const AuditReport& report) {
  if (report.held.empty()) return;
  auto shown = [&](const MovementInfo& row) {
    if (row.movement <= Movement::kRevenue) return true;
    return std::any_of(report.held.begin(), report.held.end(), [&](const auto& entry) {
      return entry.second.moved[static_cast<int>(row.movement)] != 0;
    });
  };
  fprintf(out,
          "<section id=\"money\">\n<h2>The money on the cards, day by day</h2>\n<p>What "
          "the cards held at the end of the day before, each day's movements added or "
          "taken, is what they hold at its end; a difference says money moved without "
          "its other side: look at the anomalies of that day.</p>\n<table>\n<tr>"
          "<th class=\"text\">date</th><th>held at the start</th>");
  for (const MovementInfo& row : kMovementKinds) {
    if (shown(row)) fprintf(out, "<th>%s %s</th>", row.sign > 0 ? "+" : "&minus;", row.heading);
  }
  fprintf(out, "<th>held at the end</th><th>difference</th></tr>\n");
  for (const auto& [day, money] : report.held) {
    int64_t difference = heldDifference(money);
    fprintf(out, "<tr id=\"held-%d\"%s><td class=\"text\">%s</td><td>%s</td>", day,
            difference != 0 ? " class=\"attention\"" : "", dayText(day).c_str(),
            grouped(money.heldBefore).c_str());
    for (const MovementInfo& row : kMovementKinds) {
      if (shown(row)) {
        fprintf(out, "<td>%s</td>", grouped(money.moved[static_cast<int>(row.movement)]).c_str());
      }
    }
    fprintf(out, "<td>%s</td><td>%s</td></tr>\n", grouped(money.held).c_str(),
            difference == 0 ? "0: reconciles" : ("&#9888; " + grouped(difference)).c_str());
  }
  fprintf(out, "</table>\n</section>\n");
}

// The taps and revenue of each reader by kind of tap, as their logs tell
// them, the network's last; and the card records no log line tells.
void writeReaderTables(FILE* out, const AuditReport& report) {
  static const TapKind kinds[] = {TapKind::kNewRide, TapKind::kTransfer, TapKind::kExit,
                                  TapKind::kExitAfterTransfer, TapKind::kSettlement};
  static const char* const headings[] = {"new ride", "transfer", "exit", "exit after transfer",
                                         "settlement"};
  fprintf(out,
          "<section id=\"by-reader\">\n<h2>Taps and revenue by reader and kind of tap</h2>\n"
          "<table>\n<tr><th class=\"text\">reader</th>");
  for (const char* heading : headings) fprintf(out, "<th>%s</th>", heading);
  fprintf(out, "<th>no record</th><th>all</th></tr>\n");
  auto row = [&](const std::string& name, const ReaderTotals& t, bool total) {
    auto cell = [&](const Tally& k) {
      fprintf(out, "<td>%s<br>%s</td>", counted(k.taps, "tap", "taps").c_str(),
              grouped(k.revenue).c_str());
    };
    fprintf(out, "<tr id=\"kinds-%s\"%s><td class=\"text\">%s</td>", htmlText(name).c_str(),
            total ? " class=\"total\"" : "", htmlText(name).c_str());
    for (TapKind kind : kinds) cell(t.byKind[static_cast<int>(kind)]);
    cell(t.withoutRecord);
    cell(t.all);
    fprintf(out, "</tr>\n");
  };
  for (const std::string& reader : readersOf(report)) row(reader, totalsOf(report, reader), false);
  row("network", report.network, true);
  fprintf(out, "</table>\n");
  for (const std::string& reader : readersOf(report)) {
    const Tally& unlogged = totalsOf(report, reader).withoutLogLine;
    if (unlogged.taps == 0) continue;
    fprintf(out,
            "<p>Not in the revenue: %s of %s on cards with no log line, %s taken from "
            "cards.</p>\n",
            counted(unlogged.taps, "tap", "taps").c_str(), htmlText(reader).c_str(),
            grouped(unlogged.revenue).c_str());
  }
  fprintf(out, "</section>\n");
}

// Every anomaly by kind, in the report's order within each, with what to
// do about its kind; past kAnomaliesShownPerKind of a kind, how many more
// and where to find them all.
void writeAnomalies(FILE* out, const AuditReport& report, const std::vector<int64_t>& counts,
                    const ReportMaking& making) {
  fprintf(out, "<section id=\"anomalies\">\n<h2>Anomalies: %s</h2>\n",
          grouped(static_cast<int64_t>(report.anomalies.size())).c_str());
  if (report.anomalies.empty()) fprintf(out, "<p>None.</p>\n");
  // The anomalies of each kind, by their place in the report, up to the
  // number shown.
  std::vector<std::vector<const Anomaly*>> byKind(std::size(kAnomalyKinds));
  for (const Anomaly& a : report.anomalies) {
    std::vector<const Anomaly*>& shown = byKind[static_cast<size_t>(a.kind)];
    if (shown.size() < kAnomaliesShownPerKind) shown.push_back(&a);
  }
  for (const AnomalyKindInfo& row : kAnomalyKinds) {
    size_t k = static_cast<size_t>(row.kind);
    if (counts[k] == 0) continue;
    fprintf(out,
            "<section id=\"a-%s\">\n<h3>%s: %s</h3>\n<p class=\"advice\">What to do: %s</p>\n"
            "<table>\n<tr><th class=\"text\">where</th><th class=\"text\">detail</th></tr>\n",
            row.name, row.name, grouped(counts[k]).c_str(), htmlText(row.advice).c_str());
    for (const Anomaly* a : byKind[k]) {
      std::string where = a->line > 0 ? a->file + ":" + std::to_string(a->line) : a->file;
      fprintf(out, "<tr><td class=\"text\"><code>%s</code></td><td class=\"text\">%s</td></tr>\n",
              htmlText(where).c_str(), htmlText(a->detail).c_str());
    }
    fprintf(out, "</table>\n");
    int64_t more = counts[k] - static_cast<int64_t>(byKind[k].size());
    if (more > 0) {
      fprintf(out,
              "<p>And %s more of this kind: <code>%s --dir %s audit --format csv "
              "--anomalies</code> lists every one.</p>\n",
              grouped(more).c_str(), htmlText(making.program).c_str(),
              htmlText(making.dir).c_str());
    }
    fprintf(out, "</section>\n");
  }
  fprintf(out, "</section>\n");
}

}  // namespace

void writeReportHtml(FILE* out, const AuditReport& report, const ReportMaking& making) {
  std::vector<int64_t> counts = anomalyCounts(report);
  writeHead(out, report, making);
  writeSummary(out, report, counts);
  writeReadersNow(out, report);
  writeDays(out, report);
  writeMoneyTable(out, report);
  writeReaderTables(out, report);
  writeAnomalies(out, report, counts, making);
  fprintf(out, "<footer><p class=\"made\">Made %s by %s %s.</p></footer>\n</body>\n</html>\n",
          htmlText(making.madeAt).c_str(), htmlText(making.program).c_str(),
          htmlText(making.version).c_str());
}
