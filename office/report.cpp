// Rendering an audit report: text for people, and JSON and CSV for
// scripts, each written as it is made.
#include "office/report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdarg>
#include <vector>

#include "readers/network.h"

namespace {

const TapKind kAllKinds[] = {TapKind::kNewRide, TapKind::kTransfer, TapKind::kExit,
                             TapKind::kExitAfterTransfer, TapKind::kSettlement};

// The readers of a report: the network's in their order, then any other.
std::vector<std::string> readersOf(const AuditReport& report) {
  std::vector<std::string> order;
  for (const ReaderConfig& reader : kNetworkReaders) order.push_back(reader.readerId);
  for (const auto& entry : report.readers) {
    if (std::find(order.begin(), order.end(), entry.first) == order.end()) {
      order.push_back(entry.first);
    }
  }
  return order;
}

std::string money(int64_t amount) {
  std::string digits = std::to_string(amount < 0 ? -amount : amount), grouped;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return (amount < 0 ? "-" : "") + grouped;
}

// A JSON string. Names and details are ASCII already; anything else is
// replaced rather than allowed to stop the report.
std::string jsonText(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json tallyJson(const Tally& t) {
  return {{"taps", t.taps}, {"revenue", t.revenue}};
}

nlohmann::json loadedJson(const Loaded& l) {
  return {{"count", l.count}, {"amount", l.amount}};
}

nlohmann::json topUpsJson(const TopUpTotals& t) {
  nlohmann::json hours = nlohmann::json::array();
  for (int hour = 0; hour < 24; hour++) {
    nlohmann::json h = loadedJson(t.byHour[hour]);
    h["hour"] = hour;
    hours.push_back(h);
  }
  return {{"count", t.all.count},
          {"amount", t.all.amount},
          {"without_record", loadedJson(t.withoutRecord)},
          {"hours", hours},
          {"refunds", loadedJson(t.refunds)},
          {"closes", loadedJson(t.closes)},
          {"replacements", loadedJson(t.replacements)}};
}

nlohmann::json totalsJson(const ReaderTotals& t) {
  using nlohmann::json;
  json kinds = json::object(), hours = json::array();
  for (TapKind kind : kAllKinds)
    kinds[tapKindName(kind)] = tallyJson(t.byKind[static_cast<int>(kind)]);
  for (int hour = 0; hour < 24; hour++) {
    json h = tallyJson(t.byHour[hour]);
    h["hour"] = hour;
    hours.push_back(h);
  }
  return {{"taps", t.all.taps},
          {"revenue", t.all.revenue},
          {"kinds", kinds},
          {"without_record", tallyJson(t.withoutRecord)},
          {"without_log_line", tallyJson(t.withoutLogLine)},
          {"hours", hours}};
}

// A count in thousands and its noun, singular for exactly one.
std::string many(int64_t count, const char* one, const char* more) {
  return money(count) + " " + (count == 1 ? one : more);
}

}  // namespace

void writeReportText(FILE* out, const AuditReport& report, const std::string& dir, bool terminal) {
  fprintf(out, "Audit of %s: %s, %s on them; %s, %s\n\n", dir.c_str(),
          many(report.cards, "card", "cards").c_str(), many(report.records, "tap", "taps").c_str(),
          many(report.logs, "log", "logs").c_str(), many(report.logLines, "line", "lines").c_str());
  if (report.anomalies.empty()) {
    fprintf(out, "Every card record has its log line and every log line its record.\n\n");
  } else {
    fprintf(out, "%s:\n",
            many(static_cast<int64_t>(report.anomalies.size()), "anomaly", "anomalies").c_str());
    for (const Anomaly& a : report.anomalies) {
      std::string where = a.line > 0 ? a.file + ":" + std::to_string(a.line) : a.file;
      fprintf(out, "  %-24s %-32s %s\n", anomalyName(a.kind), where.c_str(), a.detail.c_str());
    }
    fprintf(out, "\nWhat to do:\n");
    for (const AnomalyKindInfo& row : kAnomalyKinds) {
      AnomalyKind kind = row.kind;
      bool seen = std::any_of(report.anomalies.begin(), report.anomalies.end(),
                              [&](const Anomaly& a) { return a.kind == kind; });
      if (seen) fprintf(out, "  %-24s %s\n", row.name, row.advice);
    }
    fprintf(out, "\n");
  }

  // Two tables of readers by kind of tap, as their logs tell them: how many
  // taps, and what they took.
  const char* headings[] = {"new ride",       "transfer",   "exit",
                            "after transfer", "settlement", "no record"};
  for (bool revenue : {false, true}) {
    fprintf(out, "%-10s %10s %10s %10s %15s %11s %10s %13s\n", revenue ? "Revenue" : "Taps",
            headings[0], headings[1], headings[2], headings[3], headings[4], headings[5], "all");
    auto row = [&](const std::string& name, const ReaderTotals& t) {
      auto of = [&](const Tally& k) { return money(revenue ? k.revenue : k.taps); };
      fprintf(out, "%-10s %10s %10s %10s %15s %11s %10s %13s\n", name.c_str(),
              of(t.byKind[0]).c_str(), of(t.byKind[1]).c_str(), of(t.byKind[2]).c_str(),
              of(t.byKind[3]).c_str(), of(t.byKind[4]).c_str(), of(t.withoutRecord).c_str(),
              of(t.all).c_str());
    };
    for (const std::string& reader : readersOf(report)) row(reader, report.readers.at(reader));
    row("network", report.network);
    fprintf(out, "\n");
  }
  for (const std::string& reader : readersOf(report)) {
    const Tally& unlogged = report.readers.at(reader).withoutLogLine;
    if (unlogged.taps == 0) continue;
    fprintf(out, "Not in the revenue: %s of %s on cards, no log line, %s taken from cards\n",
            many(unlogged.taps, "tap", "taps").c_str(), reader.c_str(),
            money(unlogged.revenue).c_str());
  }
  if (report.network.withoutLogLine.taps > 0) fprintf(out, "\n");

  const TopUpTotals& topUps = report.topUps;
  if (topUps.all.count > 0) {
    fprintf(out, "Top-ups, not in the revenue: %s, %s loaded",
            many(topUps.all.count, "top-up", "top-ups").c_str(), money(topUps.all.amount).c_str());
    if (topUps.withoutRecord.count > 0) {
      fprintf(out, " (%s, %s, that no card record tells)",
              many(topUps.withoutRecord.count, "top-up", "top-ups").c_str(),
              money(topUps.withoutRecord.amount).c_str());
    }
    fprintf(out, "\n");
    for (int hour = 0; hour < 24; hour++) {
      const Loaded& l = topUps.byHour[hour];
      if (l.count == 0) continue;
      fprintf(out, "  %02d:00 %12s top-ups %14s\n", hour, money(l.count).c_str(),
              money(l.amount).c_str());
    }
    fprintf(out, "\n");
  }
  // Money the office paid back or moved, apart from revenue and top-ups.
  const struct {
    const Loaded& l;
    const char *one, *many, *what;
  } moves[] = {{topUps.refunds, "refund", "refunds", "paid back"},
               {topUps.closes, "card closed", "cards closed", "paid out"},
               {topUps.replacements, "card replaced", "cards replaced", "moved to new cards"}};
  bool moved = false;
  for (const auto& m : moves) {
    if (m.l.count == 0) continue;
    fprintf(out, "%s, not in the revenue: %s %s\n", many(m.l.count, m.one, m.many).c_str(),
            money(m.l.amount).c_str(), m.what);
    moved = true;
  }
  if (moved) fprintf(out, "\n");

  fprintf(out, "By hour of the day, all readers:\n");
  int64_t most = 1;
  for (const Tally& hour : report.network.byHour) most = std::max(most, hour.taps);
  for (int hour = 0; hour < 24; hour++) {
    const Tally& t = report.network.byHour[hour];
    if (t.taps == 0) continue;
    std::string bar;
    if (terminal) {
      int width = static_cast<int>(40 * t.taps / most);
      for (int i = 0; i < width; i++) bar += "\xe2\x96\x88";  // a full block
      if (width == 0) bar = "\xe2\x96\x8f";                   // a sliver
    }
    fprintf(out, "  %02d:00 %12s taps %14s  %s\n", hour, money(t.taps).c_str(),
            money(t.revenue).c_str(), bar.c_str());
  }
  fprintf(out, "\nTotal: %s, revenue %s\n", many(report.network.all.taps, "tap", "taps").c_str(),
          money(report.network.all.revenue).c_str());
}

void writeReportJson(FILE* out, const AuditReport& report) {
  fprintf(out, "{\n  \"anomalies\": [");
  for (size_t i = 0; i < report.anomalies.size(); i++) {
    const Anomaly& a = report.anomalies[i];
    fprintf(out, "%s\n    {\"kind\": \"%s\", \"file\": %s, \"line\": %lld, \"detail\": %s}",
            i ? "," : "", anomalyName(a.kind), jsonText(a.file).c_str(),
            static_cast<long long>(a.line), jsonText(a.detail).c_str());
  }
  fprintf(out, "%s],\n", report.anomalies.empty() ? "" : "\n  ");
  nlohmann::json readers = nlohmann::json::object();
  for (const auto& [reader, t] : report.readers) readers[reader] = totalsJson(t);
  nlohmann::json rest = {{"readers", readers},
                         {"network", totalsJson(report.network)},
                         {"total_taps", report.network.all.taps},
                         {"total_revenue", report.network.all.revenue},
                         {"topups", topUpsJson(report.topUps)},
                         {"cards", report.cards},
                         {"records", report.records},
                         {"logs", report.logs},
                         {"log_lines", report.logLines},
                         {"matched", report.matched}};
  std::string fields = rest.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  // The fields after "anomalies", without the opening brace of their own
  // object.
  fprintf(out, "%s\n", fields.substr(2).c_str());
}

// A CSV field: quoted, with its quotes doubled, when it holds a comma, a
// quote or a line break.
std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

void writeReportCsv(FILE* out, const AuditReport& report) {
  fprintf(out, "reader,kind,taps,revenue\n");
  auto rows = [&](const std::string& reader, const ReaderTotals& t) {
    auto row = [&](const char* kind, const Tally& k) {
      fprintf(out, "%s,%s,%lld,%lld\n", csvField(reader).c_str(), kind,
              static_cast<long long>(k.taps), static_cast<long long>(k.revenue));
    };
    for (TapKind kind : kAllKinds) row(tapKindName(kind), t.byKind[static_cast<int>(kind)]);
    row("without_record", t.withoutRecord);
  };
  for (const std::string& reader : readersOf(report)) rows(reader, report.readers.at(reader));
  rows("network", report.network);
}

void writeTopUpsCsv(FILE* out, const AuditReport& report) {
  fprintf(out, "hour,topups,amount\n");
  auto row = [&](const std::string& hour, const Loaded& l) {
    fprintf(out, "%s,%lld,%lld\n", hour.c_str(), static_cast<long long>(l.count),
            static_cast<long long>(l.amount));
  };
  for (int hour = 0; hour < 24; hour++) row(std::to_string(hour), report.topUps.byHour[hour]);
  row("all", report.topUps.all);
  row("without_record", report.topUps.withoutRecord);
  row("refunds", report.topUps.refunds);
  row("closes", report.topUps.closes);
  row("replacements", report.topUps.replacements);
}

void writeAnomaliesCsv(FILE* out, const AuditReport& report) {
  fprintf(out, "kind,file,line,detail\n");
  for (const Anomaly& a : report.anomalies) {
    fprintf(out, "%s,%s,%lld,%s\n", anomalyName(a.kind), csvField(a.file).c_str(),
            static_cast<long long>(a.line), csvField(a.detail).c_str());
  }
}

void writeHoursCsv(FILE* out, const AuditReport& report) {
  fprintf(out, "reader,hour,taps,revenue\n");
  auto rows = [&](const std::string& reader, const ReaderTotals& t) {
    for (int hour = 0; hour < 24; hour++) {
      fprintf(out, "%s,%d,%lld,%lld\n", csvField(reader).c_str(), hour,
              static_cast<long long>(t.byHour[hour].taps),
              static_cast<long long>(t.byHour[hour].revenue));
    }
  };
  for (const std::string& reader : readersOf(report)) rows(reader, report.readers.at(reader));
  rows("network", report.network);
}
