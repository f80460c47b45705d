// Rendering an audit report.
#include "office/report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "readers/network.h"

namespace {

const TapKind kAllKinds[] = {TapKind::kNewRide, TapKind::kTransfer, TapKind::kExit,
                             TapKind::kExitAfterTransfer, TapKind::kSettlement};

// What an operator does about an anomaly of each kind.
const char* advice(AnomalyKind kind) {
  switch (kind) {
    case AnomalyKind::kRecordWithoutLogLine:
      return "a tap on the card that its reader's log lacks: look for a lost or edited log";
    case AnomalyKind::kLogLineWithoutRecord:
      return "a logged tap no card holds: look for a lost, replaced or edited card";
    case AnomalyKind::kBalanceRises:
      return "money appeared on a card: no tap adds any, so the card was edited";
    case AnomalyKind::kFareDiffers:
      return "the card and the log disagree on a fare: one of them was edited";
    case AnomalyKind::kUnreadableCard:
      return "every reader refuses this card: repair its last lines from the logs";
    case AnomalyKind::kNotARecord:
      return "an old line that is not a record: readers never read it, but something wrote it";
    case AnomalyKind::kNoteLeft:
      return "a tap was interrupted or a note set aside: start any reader, or look at the file";
    case AnomalyKind::kNotALogLine:
      return "a line no reader writes: a torn or edited log";
  }
  return "";
}

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

std::string line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string line(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace

std::string reportText(const AuditReport& report, const std::string& dir, bool terminal) {
  std::string out = line("Audit of %s: %s cards, %s taps on them; %lld logs, %s lines\n\n",
                         dir.c_str(), money(report.cards).c_str(), money(report.records).c_str(),
                         static_cast<long long>(report.logs), money(report.logLines).c_str());
  if (report.anomalies.empty()) {
    out += "Every card record has its log line and every log line its record.\n\n";
  } else {
    out += line("%zu anomalies:\n", report.anomalies.size());
    for (const Anomaly& a : report.anomalies) {
      std::string where = a.line > 0 ? a.file + ":" + std::to_string(a.line) : a.file;
      out += line("  %-24s %-32s %s\n", anomalyName(a.kind), where.c_str(), a.detail.c_str());
    }
    out += "\nWhat to do:\n";
    for (AnomalyKind kind :
         {AnomalyKind::kRecordWithoutLogLine, AnomalyKind::kLogLineWithoutRecord,
          AnomalyKind::kBalanceRises, AnomalyKind::kFareDiffers, AnomalyKind::kUnreadableCard,
          AnomalyKind::kNotARecord, AnomalyKind::kNoteLeft, AnomalyKind::kNotALogLine}) {
      bool seen = std::any_of(report.anomalies.begin(), report.anomalies.end(),
                              [&](const Anomaly& a) { return a.kind == kind; });
      if (seen) out += line("  %-24s %s\n", anomalyName(kind), advice(kind));
    }
    out += "\n";
  }

  // Two tables of readers by kind of tap: how many taps, and what they took.
  const char* headings[] = {"new ride", "transfer", "exit", "after transfer", "settlement"};
  for (bool revenue : {false, true}) {
    out += line("%-10s %10s %10s %10s %15s %11s %13s\n", revenue ? "Revenue" : "Taps", headings[0],
                headings[1], headings[2], headings[3], headings[4], "all");
    auto row = [&](const std::string& name, const ReaderTotals& t) {
      auto of = [&](const Tally& k) { return money(revenue ? k.revenue : k.taps); };
      out += line("%-10s %10s %10s %10s %15s %11s %13s\n", name.c_str(), of(t.byKind[0]).c_str(),
                  of(t.byKind[1]).c_str(), of(t.byKind[2]).c_str(), of(t.byKind[3]).c_str(),
                  of(t.byKind[4]).c_str(), of(t.all).c_str());
    };
    for (const std::string& reader : readersOf(report)) row(reader, report.readers.at(reader));
    row("network", report.network);
    out += "\n";
  }
  out += "By hour of the day, all readers:\n";

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
    out += line("  %02d:00 %12s taps %14s  %s\n", hour, money(t.taps).c_str(),
                money(t.revenue).c_str(), bar.c_str());
  }
  out += line("\nTotal: %s taps, revenue %s\n", money(report.network.all.taps).c_str(),
              money(report.network.all.revenue).c_str());
  return out;
}

std::string reportJson(const AuditReport& report) {
  using nlohmann::json;
  json anomalies = json::array();
  for (const Anomaly& a : report.anomalies) {
    anomalies.push_back(
        {{"kind", anomalyName(a.kind)}, {"file", a.file}, {"line", a.line}, {"detail", a.detail}});
  }
  auto totals = [](const ReaderTotals& t) {
    json kinds = json::object(), hours = json::array();
    for (TapKind kind : kAllKinds) {
      const Tally& k = t.byKind[static_cast<int>(kind)];
      kinds[tapKindName(kind)] = {{"taps", k.taps}, {"revenue", k.revenue}};
    }
    for (int hour = 0; hour < 24; hour++) {
      hours.push_back(
          {{"hour", hour}, {"taps", t.byHour[hour].taps}, {"revenue", t.byHour[hour].revenue}});
    }
    return json{
        {"taps", t.all.taps}, {"revenue", t.all.revenue}, {"kinds", kinds}, {"hours", hours}};
  };
  json readers = json::object();
  for (const auto& [reader, t] : report.readers) readers[reader] = totals(t);
  json out = {{"anomalies", anomalies},
              {"readers", readers},
              {"network", totals(report.network)},
              {"total_taps", report.network.all.taps},
              {"total_revenue", report.network.all.revenue},
              {"cards", report.cards},
              {"records", report.records},
              {"logs", report.logs},
              {"log_lines", report.logLines},
              {"matched", report.matched}};
  return out.dump(2) + "\n";
}

// A CSV field: quoted, with its quotes doubled, when it holds a comma, a
// quote or a line break.
static std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string reportCsv(const AuditReport& report) {
  std::string out = "reader,kind,taps,revenue\n";
  auto rows = [&](const std::string& reader, const ReaderTotals& t) {
    for (TapKind kind : kAllKinds) {
      const Tally& k = t.byKind[static_cast<int>(kind)];
      out += csvField(reader) + "," + tapKindName(kind) + "," + std::to_string(k.taps) + "," +
             std::to_string(k.revenue) + "\n";
    }
  };
  for (const std::string& reader : readersOf(report)) rows(reader, report.readers.at(reader));
  rows("network", report.network);
  return out;
}
