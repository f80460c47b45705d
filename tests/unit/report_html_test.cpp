// The audit's report as an HTML page: a page that needs nothing else and
// shows every text it quotes as text, the readers it marks quiet, and the
// anomalies it lists and counts.
#include "office/report_html.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "core/clock.h"
#include "tests/support/test_support.h"

namespace {

// The page of `report`, as writeReportHtml writes it.
std::string page(const AuditReport& report) {
  char* bytes = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&bytes, &size);
  EXPECT_NE(out, nullptr);
  if (out == nullptr) return "";
  writeReportHtml(out, report, {"/srv/fare", "2026-03-08 06:00:00 +0000", "card_tool", "9.9"});
  fclose(out);
  std::string text(bytes, size);
  free(bytes);
  return text;
}

// The audit of the network of writeMidnightNetwork.
AuditReport midnightReport(const ScratchDir& network) {
  writeMidnightNetwork(network.path());
  int dir = open(network.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_GE(dir, 0);
  AuditReport report;
  std::string problem;
  EXPECT_TRUE(auditNetwork(dir, network.path(), calendarNow(), AuditDays{}, false, AuditSinks{},
                           &report, &problem))
      << problem;
  close(dir);
  return report;
}

// How many times `part` is in `text`.
size_t occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
  return n;
}

}  // namespace

TEST(ReportPage, NeedsNothingElseAndShowsWhatItQuotesAsText) {
  ScratchDir network;
  AuditReport report = midnightReport(network);
  report.anomalies.push_back(
      {AnomalyKind::kNotALogLine, "Reader_txt/Subway2.txt", 9,
       "\"<script>alert('x')</script> & more\": no reader writes such a line"});
  std::string html = page(report);
  ASSERT_EQ(html.rfind("<!DOCTYPE html>\n", 0), 0u);
  // The mark a page is told by, where the command looks for it.
  EXPECT_LT(html.find(kHtmlReportMark), 1024u);
  // Nothing fetched from anywhere: no address, no script, no file beside it.
  for (const char* outside : {"://", "<script", "<link", "<img", "<iframe", "@import", "src="}) {
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  }
  for (size_t at = html.find("href=\""); at != std::string::npos;
       at = html.find("href=\"", at + 1)) {
    EXPECT_EQ(html[at + 6], '#') << html.substr(at, 40);
  }
  EXPECT_NE(html.find("&quot;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; more&quot;: no "
                      "reader writes such a line"),
            std::string::npos);
  // The figures the audit gives, and a cell of the heat map of each day.
  EXPECT_NE(html.find("<dd id=\"taps\">8</dd>"), std::string::npos);
  EXPECT_NE(html.find("<dd id=\"revenue\">5,950</dd>"), std::string::npos);
  EXPECT_NE(html.find("<dd id=\"anomaly-count\"><a href=\"#anomalies\">2</a></dd>"),
            std::string::npos);
  EXPECT_NE(html.find("<title>S1 2026-03-07 06:00: 1 entry</title>"), std::string::npos);
  EXPECT_NE(html.find("<title>S4 2026-03-06 23:00: 1 entry</title>"), std::string::npos);
  EXPECT_NE(html.find("<title>B 2026-03-07 00:00: 1 transfer</title>"), std::string::npos);
  // The money of each day, and the day that does not reconcile marked.
  EXPECT_NE(html.find("<tr id=\"held-20260306\" class=\"attention\">"), std::string::npos);
  EXPECT_NE(html.find("<td>15,100</td><td>0: reconciles</td>"), std::string::npos);
  EXPECT_NE(html.find("<code id=\"dir\">/srv/fare</code>"), std::string::npos);
  EXPECT_NE(html.find("by <span id=\"program\">card_tool 9.9</span>"), std::string::npos);
}

TEST(ReportPage, MarksAReaderThatStoppedInTheDayButNotTheDaysEnd) {
  // The network's last tap at 22:00; 100 taps in the day, `after` of them
  // in the hours after the reader's last tap at `last`.
  const struct {
    int64_t last;
    int64_t after;
    bool quiet;
  } cases[] = {
      {20260306140000, 40, true},   // stopped at 14:00 while the others went on
      {20260306140000, 5, false},   // the others made few taps after it: the day closing
      {20260306213000, 40, false},  // half an hour before the last is no silence
      {0, 0, true},                 // no tap at all while the others tapped
  };
  for (const auto& c : cases) {
    AuditReport report;
    report.now["S1"].last.time = c.last;
    report.now["S1"].last.line = c.last != 0 ? 10 : 0;
    report.now["S2"].last.time = 20260306220000;
    report.now["S2"].last.line = 90;
    report.network.all.taps = 100;
    DayTotals& day = report.network.days[20260306];
    day.hours[14].tally.taps = 100 - c.after;
    day.hours[20].tally.taps = c.after;
    EXPECT_EQ(isQuiet(report, "S1"), c.quiet) << c.last << " with " << c.after << " after";
    EXPECT_FALSE(isQuiet(report, "S2"));
  }
  // With no tap anywhere, no reader is quiet.
  EXPECT_FALSE(isQuiet(AuditReport{}, "S1"));
  // On the page, in words and marked: S5, as if its log held no tap, is
  // quiet; S2 tapped last.
  ScratchDir network;
  AuditReport midnight = midnightReport(network);
  midnight.now["S5"].last = LastTap{};
  std::string html = page(midnight);
  EXPECT_NE(html.find("<tr id=\"reader-S5\" class=\"attention\">"), std::string::npos);
  EXPECT_NE(html.find("quiet: no tap in its log"), std::string::npos);
  EXPECT_NE(
      html.find("<tr id=\"reader-S2\"><td class=\"text\">S2</td><td class=\"text\">"
                "2026-03-07 07:45:00</td><td class=\"text\">subway in, fare 1,250, S2_1</td>"),
      std::string::npos);
}

TEST(ReportPage, ListsAThousandAnomaliesOfAKindAndCountsTheRest) {
  AuditReport report;
  for (int i = 1; i <= 1003; i++) {
    report.anomalies.push_back({AnomalyKind::kNotALogLine, "Reader_txt/Bus.txt", i, "torn"});
  }
  report.anomalies.push_back({AnomalyKind::kNoteLeft, "Reader_txt/Bus.txt.pending", 0, "left"});
  std::string html = page(report);
  EXPECT_EQ(occurrences(html, "<td class=\"text\">torn</td>"), kAnomaliesShownPerKind);
  EXPECT_EQ(occurrences(html, "<td class=\"text\">left</td>"), 1u);
  EXPECT_NE(html.find("And 3 more of this kind: <code>card_tool --dir /srv/fare audit --format "
                      "csv --anomalies</code>"),
            std::string::npos);
  // Each kind counted at the top, linked to its list, with its advice.
  EXPECT_NE(html.find("<a href=\"#a-not_a_log_line\">1,003 not_a_log_line</a>"), std::string::npos);
  EXPECT_NE(html.find("<section id=\"a-note_left\">"), std::string::npos);
  EXPECT_NE(html.find(htmlText(anomalyKindInfo(AnomalyKind::kNoteLeft).advice)), std::string::npos);
}
