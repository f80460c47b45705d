// An audit's report as one page of HTML that needs nothing else: its styles
// inline, its charts inline SVG drawn here, no script, no font and no
// request to anywhere. Made from the audit's totals alone, so that its size
// grows with the days and readers it covers, never with the taps. What it
// shows and why: docs/audit.md.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "office/audit.h"

// What the page says of how it was made.
struct ReportMaking {
  std::string dir;      // the network directory, as it is shown
  std::string madeAt;   // when the report was made, as people read it
  std::string program;  // the program that made it, as it was run
  std::string version;  // that program's version
};

// The most anomalies of one kind the page lists, each with its detail: the
// rest are counted, and the page names the command that lists them all.
constexpr size_t kAnomaliesShownPerKind = 1000;

// A reader is quiet when its last tap came more than kQuietSeconds before
// the network's last and the rest of the network made more than
// kQuietPercent of the report's taps in the whole hours after it: so that a
// reader that stopped in the day stands out, and the readers that close
// the day one after another do not.
constexpr int64_t kQuietSeconds = 3600;
constexpr int64_t kQuietPercent = 5;

// What marks a file as a page this program wrote: the page may replace one
// such file, and nothing else.
constexpr char kHtmlReportMark[] = "<meta name=\"generator\" content=\"fare readers report\">";

// The packed time of the network's last tap, as the readers' logs end
// (report.now); 0 when no log holds one.
int64_t lastTapOfNetwork(const AuditReport& report);

// Whether `reader` has gone quiet (see kQuietSeconds): it has no tap while
// another reader has, or it stopped, by its last tap and the hours of the
// report's taps after it.
bool isQuiet(const AuditReport& report, const std::string& reader);

// Text as HTML shows it, in an element or a quoted attribute: '&', '<',
// '>', '"' and '\'' written as references.
std::string htmlText(const std::string& text);

// Writes the page of `report`: the days it covers, the network directory,
// when and by what it was made; the totals, with a count of anomalies that
// links to them; each reader's last tap and journal; for each day, the taps
// per reader and hour by kind of ride as a heat map, the revenue per hour,
// the office's top-ups, refunds, closes and replacements per hour, and the
// money on the cards from the day's start to its end; the taps and revenue
// by reader and kind of tap; and every anomaly (up to
// kAnomaliesShownPerKind of a kind) with its detail and advice.
void writeReportHtml(FILE* out, const AuditReport& report, const ReportMaking& making);
