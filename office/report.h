// An audit's report, for people and for scripts: text (with the hours as a
// small bar chart on a terminal), one JSON object, or CSV tables. Each is
// written as it is made, so that a report of many anomalies never sits in
// memory whole.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "office/audit.h"

// The report for people: the days it covers, anomalies with where they
// are and what to do, taps and revenue per reader and kind of tap, top-ups,
// taps by day and hour, ridership by reader, day and hour, and the money
// on the cards at the end of each day with how it reconciles.
void writeReportText(FILE* out, const AuditReport& report, const std::string& dir, bool terminal);

// One JSON object: "anomalies" (kind, file, line, detail), "days" (from,
// to, and those asked), "readers" (by reader id: taps, revenue, kinds, the
// lines without a record, the records without a line, hours and ridership
// by date and hour), "network" (the same for all), "total_taps",
// "total_revenue", "topups" (count, amount, without_record, hours by date
// and hour), "held" (by date: held before, each movement, held, the
// difference), and the counts of what was read.
void writeReportJson(FILE* out, const AuditReport& report);

// CSV: one row per reader and kind of tap, and one for its log lines that
// no record tells ("without_record"), then the network's, each with the
// first and last day the report covers ("from,to"): the rows add up to
// what the logs charge.
void writeReportCsv(FILE* out, const AuditReport& report);

// CSV of the anomalies: "kind,file,line,detail,from,to", one row each, in
// the report's order, each field quoted where it needs to be.
void writeAnomaliesCsv(FILE* out, const AuditReport& report);

// CSV of the hours: "reader,date,hour,taps,revenue", 24 rows (hours 0 to
// 23) for each day of the report and each reader, then for the network;
// the network's add up to what the logs charge.
void writeHoursCsv(FILE* out, const AuditReport& report);

// CSV of the top-ups, apart from the revenue: "date,hour,topups,amount",
// 24 rows for each day of the report by the top-up lines' times, then "all"
// and "without_record" (the lines no card record tells, in "all" too).
void writeTopUpsCsv(FILE* out, const AuditReport& report);

// CSV of the ridership: "reader,date,hour,entry,exit,transfer,settlement",
// 24 rows for each day of the report and each reader, then the network's:
// the taps each log tells by kind of ride.
void writeRidershipCsv(FILE* out, const AuditReport& report);

// CSV of the money on the cards: "date,held_before", each movement
// ("issued,topups,revenue"), then "held,difference", a row for each day of
// the report.
void writeHeldCsv(FILE* out, const AuditReport& report);

// A CSV field: quoted, with its quotes doubled, when it holds a comma, a
// quote or a line break.
std::string csvField(const std::string& text);

// The readers of a report: the network's in their order, then any other
// whose log was read.
std::vector<std::string> readersOf(const AuditReport& report);

// A whole number with its thousands grouped by commas: "-1,234,567".
std::string grouped(int64_t amount);

// The days a report covers, in words, and whence each end comes:
// "2026-03-06 (the first and last days read)".
std::string coveredText(const AuditReport& report);
