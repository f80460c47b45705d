// An audit's report, for people and for scripts: text (with the hours as a
// small bar chart on a terminal), one JSON object, or CSV rows.
#pragma once

#include <string>

#include "office/audit.h"

// The report for people: anomalies with where they are and what to do,
// taps and revenue per reader and kind of tap, and by hour.
std::string reportText(const AuditReport& report, const std::string& dir, bool terminal);

// One JSON object: "anomalies" (kind, file, line, detail), "readers" (by
// reader id: taps, revenue, kinds, hours), "total_taps", "total_revenue",
// and the counts of what was read.
std::string reportJson(const AuditReport& report);

// CSV: one row per reader and kind of tap, then the network's.
std::string reportCsv(const AuditReport& report);
