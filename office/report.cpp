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
const RideKind kAllRides[] = {RideKind::kEntry, RideKind::kExit, RideKind::kTransfer,
                              RideKind::kSettlement};

// A day of a reader that counted no tap, and a day of no top-up.
const DayTotals kNoDay{};
const DayLoaded kNoTopUps{};

// The days of a report, in order: each its tables have a row for.
std::vector<Day> daysOf(const AuditReport& report) {
  std::vector<Day> days;
  for (const auto& entry : report.held) days.push_back(entry.first);
  return days;
}

// What a reader counted on `day`, or nothing.
const DayTotals& dayAt(const ReaderTotals& totals, Day day) {
  auto found = totals.days.find(day);
  return found != totals.days.end() ? found->second : kNoDay;
}

// A day a report covers, as its outputs show it; "" for an open end.
std::string shownDay(Day day) {
  return day != 0 ? dayText(day) : "";
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

// A day a report covers in JSON: its date, or null for an open end.
nlohmann::json dayJson(Day day) {
  return day != 0 ? nlohmann::json(dayText(day)) : nlohmann::json(nullptr);
}

nlohmann::json topUpsJson(const TopUpTotals& t, const std::vector<Day>& days) {
  nlohmann::json hours = nlohmann::json::array();
  for (Day day : days) {
    auto found = t.days.find(day);
    const DayLoaded& loaded = found != t.days.end() ? found->second : kNoTopUps;
    for (int hour = 0; hour < 24; hour++) {
      nlohmann::json h = loadedJson(loaded.hours[hour]);
      h["date"] = dayText(day);
      h["hour"] = hour;
      hours.push_back(h);
    }
  }
  return {{"count", t.all.count},
          {"amount", t.all.amount},
          {"without_record", loadedJson(t.withoutRecord)},
          {"hours", hours},
          {"refunds", loadedJson(t.refunds)},
          {"closes", loadedJson(t.closes)},
          {"replacements", loadedJson(t.replacements)}};
}

nlohmann::json totalsJson(const ReaderTotals& t, const std::vector<Day>& days) {
  using nlohmann::json;
  json kinds = json::object(), hours = json::array(), ridership = json::array();
  for (TapKind kind : kAllKinds)
    kinds[tapKindName(kind)] = tallyJson(t.byKind[static_cast<int>(kind)]);
  for (Day day : days) {
    const DayTotals& totals = dayAt(t, day);
    for (int hour = 0; hour < 24; hour++) {
      json h = tallyJson(totals.hours[hour].tally), r = {{"date", dayText(day)}, {"hour", hour}};
      h["date"] = dayText(day);
      h["hour"] = hour;
      hours.push_back(h);
      for (RideKind ride : kAllRides) {
        r[rideKindName(ride)] = totals.hours[hour].rides[static_cast<int>(ride)];
      }
      ridership.push_back(r);
    }
  }
  return {{"taps", t.all.taps},
          {"revenue", t.all.revenue},
          {"kinds", kinds},
          {"without_record", tallyJson(t.withoutRecord)},
          {"without_log_line", tallyJson(t.withoutLogLine)},
          {"hours", hours},
          {"ridership", ridership}};
}

nlohmann::json faresJson(const FareChecks& fares) {
  nlohmann::json verdicts = nlohmann::json::object();
  for (int v = 0; v < kFareVerdicts; v++) {
    verdicts[fareVerdictName(static_cast<FareVerdict>(v))] = fares.byVerdict[v];
  }
  return verdicts;
}

nlohmann::json heldJson(const AuditReport& report) {
  nlohmann::json days = nlohmann::json::array();
  for (const auto& [day, money] : report.held) {
    nlohmann::json d = {{"date", dayText(day)}, {"held_before", money.heldBefore}};
    for (const MovementInfo& row : kMovementKinds) {
      d[row.name] = money.moved[static_cast<int>(row.movement)];
    }
    d["held"] = money.held;
    d["difference"] = heldDifference(money);
    days.push_back(d);
  }
  return days;
}

// A count in thousands and its noun, singular for exactly one.
std::string many(int64_t count, const char* one, const char* more) {
  return grouped(count) + " " + (count == 1 ? one : more);
}

// The text report's ridership: a row for each reader, day and hour with
// a tap, the taps by kind of ride.
void writeRidershipText(FILE* out, const AuditReport& report) {
  fprintf(out, "\nRidership by reader, day and hour:\n  %-8s %-10s %-5s", "reader", "date", "hour");
  for (RideKind ride : kAllRides) fprintf(out, " %11s", rideKindName(ride));
  fprintf(out, "\n");
  for (const std::string& reader : readersOf(report)) {
    for (const auto& [day, totals] : report.readers.at(reader).days) {
      for (int hour = 0; hour < 24; hour++) {
        const HourTotals& h = totals.hours[hour];
        if (h.tally.taps == 0) continue;
        fprintf(out, "  %-8s %-10s %02d:00", reader.c_str(), dayText(day).c_str(), hour);
        for (int64_t rides : h.rides) fprintf(out, " %11s", grouped(rides).c_str());
        fprintf(out, "\n");
      }
    }
  }
}

// The text report's tables of days: taps and top-ups by day and hour,
// ridership by reader, day and hour, and the money held at the end of
// each day with how it reconciles.
void writeDaysText(FILE* out, const AuditReport& report, bool terminal) {
  const TopUpTotals& topUps = report.topUps;
  if (topUps.all.count > 0) {
    fprintf(out, "Top-ups, not in the revenue: %s, %s loaded",
            many(topUps.all.count, "top-up", "top-ups").c_str(),
            grouped(topUps.all.amount).c_str());
    if (topUps.withoutRecord.count > 0) {
      fprintf(out, " (%s, %s, that no card record tells)",
              many(topUps.withoutRecord.count, "top-up", "top-ups").c_str(),
              grouped(topUps.withoutRecord.amount).c_str());
    }
    fprintf(out, "\n");
    for (const auto& [day, loaded] : topUps.days) {
      for (int hour = 0; hour < 24; hour++) {
        const Loaded& l = loaded.hours[hour];
        if (l.count == 0) continue;
        fprintf(out, "  %s %02d:00 %12s top-ups %14s\n", dayText(day).c_str(), hour,
                grouped(l.count).c_str(), grouped(l.amount).c_str());
      }
    }
    fprintf(out, "\n");
  }

  fprintf(out, "By day and hour, all readers:\n");
  if (report.network.days.empty()) fprintf(out, "  no taps\n");
  int64_t most = 1;
  for (const auto& entry : report.network.days) {
    for (const HourTotals& hour : entry.second.hours) most = std::max(most, hour.tally.taps);
  }
  for (const auto& [day, totals] : report.network.days) {
    for (int hour = 0; hour < 24; hour++) {
      const Tally& t = totals.hours[hour].tally;
      if (t.taps == 0) continue;
      std::string bar;
      if (terminal) {
        int width = static_cast<int>(40 * t.taps / most);
        for (int i = 0; i < width; i++) bar += "\xe2\x96\x88";  // a full block
        if (width == 0) bar = "\xe2\x96\x8f";                   // a sliver
      }
      fprintf(out, "  %s %02d:00 %12s taps %14s  %s\n", dayText(day).c_str(), hour,
              grouped(t.taps).c_str(), grouped(t.revenue).c_str(), bar.c_str());
    }
  }

  if (!report.network.days.empty()) writeRidershipText(out, report);

  if (report.held.empty()) return;
  // Wide enough for a network's debt in the billions, grouped.
  // The office's refunds, payouts and moves have a column only when some
  // day has one: most days have none.
  auto shown = [&](const MovementInfo& row) {
    if (row.movement <= Movement::kRevenue) return true;
    for (const auto& entry : report.held) {
      if (entry.second.moved[static_cast<int>(row.movement)] != 0) return true;
    }
    return false;
  };
  fprintf(out, "\nMoney on the cards at the end of each day:\n  %-10s %14s", "date", "held before");
  for (const MovementInfo& row : kMovementKinds) {
    if (!shown(row)) continue;
    fprintf(out, " %14s", ((row.sign > 0 ? "+ " : "- ") + std::string(row.heading)).c_str());
  }
  fprintf(out, " %14s %14s\n", "held at end", "difference");
  for (const auto& [day, held] : report.held) {
    fprintf(out, "  %-10s %14s", dayText(day).c_str(), grouped(held.heldBefore).c_str());
    for (const MovementInfo& row : kMovementKinds) {
      if (!shown(row)) continue;
      fprintf(out, " %14s", grouped(held.moved[static_cast<int>(row.movement)]).c_str());
    }
    fprintf(out, " %14s %14s\n", grouped(held.held).c_str(), grouped(heldDifference(held)).c_str());
  }
  for (const auto& [day, held] : report.held) {
    int64_t difference = heldDifference(held);
    if (difference == 0) continue;
    fprintf(out,
            "  On %s the cards hold %s %s than the day before and the day's movements leave: "
            "look at the anomalies of that day.\n",
            dayText(day).c_str(), grouped(difference < 0 ? -difference : difference).c_str(),
            difference > 0 ? "more" : "less");
  }
}

// The text report's line on the taps decided again by their readers' rules.
void writeFaresText(FILE* out, const AuditReport& report) {
  const int64_t* v = report.fares.byVerdict;
  int64_t agrees = v[static_cast<int>(FareVerdict::kAgrees)],
          differs = v[static_cast<int>(FareVerdict::kDiffers)],
          unverifiable = v[static_cast<int>(FareVerdict::kUnverifiable)],
          undecided = v[static_cast<int>(FareVerdict::kUndecided)];
  fprintf(out, "Fares decided again by the readers' rules: %s, %s as recorded, %s otherwise",
          many(agrees + differs + unverifiable, "tap", "taps").c_str(), grouped(agrees).c_str(),
          grouped(differs).c_str());
  if (unverifiable > 0) {
    fprintf(out,
            ", %s not verifiable (decided by whether the reader's operating period began before "
            "or after the card's open entry, which its log cannot tell)",
            grouped(unverifiable).c_str());
  }
  if (undecided > 0) {
    fprintf(out, "; %s by no reader of the network", many(undecided, "tap", "taps").c_str());
  }
  fprintf(out, ".\n\n");
}

}  // namespace

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

std::string grouped(int64_t amount) {
  std::string digits = std::to_string(amount < 0 ? -amount : amount), out;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return (amount < 0 ? "-" : "") + out;
}

std::string coveredText(const AuditReport& report) {
  AuditDays covered = coveredDays(report);
  if (covered.from == 0 && covered.to == 0) return "none: nothing dated was read";
  std::string days = covered.from == 0 ? "up to " + dayText(covered.to)
                     : covered.to == 0 ? "from " + dayText(covered.from)
                     : covered.from == covered.to
                         ? dayText(covered.from)
                         : dayText(covered.from) + " to " + dayText(covered.to);
  bool from = report.asked.from != 0, to = report.asked.to != 0;
  const char* whence = from && to ? "as asked"
                       : from     ? "from as asked, to the last day read"
                       : to       ? "from the first day read, to as asked"
                                  : "the first and last days read";
  return days + " (" + whence + ")";
}

void writeReportText(FILE* out, const AuditReport& report, const std::string& dir, bool terminal) {
  fprintf(out, "Audit of %s: %s, %s on them; %s, %s\nDays: %s\n\n", dir.c_str(),
          many(report.cards, "card", "cards").c_str(), many(report.records, "tap", "taps").c_str(),
          many(report.logs, "log", "logs").c_str(), many(report.logLines, "line", "lines").c_str(),
          coveredText(report).c_str());
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

  writeFaresText(out, report);

  // Two tables of readers by kind of tap, as their logs tell them: how many
  // taps, and what they took.
  const char* headings[] = {"new ride",       "transfer",   "exit",
                            "after transfer", "settlement", "no record"};
  for (bool revenue : {false, true}) {
    fprintf(out, "%-10s %10s %10s %10s %15s %11s %10s %13s\n", revenue ? "Revenue" : "Taps",
            headings[0], headings[1], headings[2], headings[3], headings[4], headings[5], "all");
    auto row = [&](const std::string& name, const ReaderTotals& t) {
      auto of = [&](const Tally& k) { return grouped(revenue ? k.revenue : k.taps); };
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
            grouped(unlogged.revenue).c_str());
  }
  if (report.network.withoutLogLine.taps > 0) fprintf(out, "\n");
  const TopUpTotals& topUps = report.topUps;
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
            grouped(m.l.amount).c_str(), m.what);
    moved = true;
  }
  if (moved) fprintf(out, "\n");

  writeDaysText(out, report, terminal);
  fprintf(out, "\nTotal: %s, revenue %s\n", many(report.network.all.taps, "tap", "taps").c_str(),
          grouped(report.network.all.revenue).c_str());
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
  std::vector<Day> days = daysOf(report);
  nlohmann::json readers = nlohmann::json::object();
  for (const auto& [reader, t] : report.readers) readers[reader] = totalsJson(t, days);
  AuditDays covered = coveredDays(report);
  nlohmann::json rest = {
      {"days",
       {{"from", dayJson(covered.from)},
        {"to", dayJson(covered.to)},
        {"asked", {{"from", dayJson(report.asked.from)}, {"to", dayJson(report.asked.to)}}}}},
      {"readers", readers},
      {"network", totalsJson(report.network, days)},
      {"total_taps", report.network.all.taps},
      {"total_revenue", report.network.all.revenue},
      {"topups", topUpsJson(report.topUps, days)},
      {"held", heldJson(report)},
      {"fares", faresJson(report.fares)},
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
  AuditDays covered = coveredDays(report);
  std::string days = shownDay(covered.from) + "," + shownDay(covered.to);
  fprintf(out, "reader,kind,taps,revenue,from,to\n");
  auto rows = [&](const std::string& reader, const ReaderTotals& t) {
    auto row = [&](const char* kind, const Tally& k) {
      fprintf(out, "%s,%s,%lld,%lld,%s\n", csvField(reader).c_str(), kind,
              static_cast<long long>(k.taps), static_cast<long long>(k.revenue), days.c_str());
    };
    for (TapKind kind : kAllKinds) row(tapKindName(kind), t.byKind[static_cast<int>(kind)]);
    row("without_record", t.withoutRecord);
  };
  for (const std::string& reader : readersOf(report)) rows(reader, report.readers.at(reader));
  rows("network", report.network);
}

void writeTopUpsCsv(FILE* out, const AuditReport& report) {
  fprintf(out, "date,hour,topups,amount\n");
  auto row = [&](const std::string& date, const std::string& hour, const Loaded& l) {
    fprintf(out, "%s,%s,%lld,%lld\n", date.c_str(), hour.c_str(), static_cast<long long>(l.count),
            static_cast<long long>(l.amount));
  };
  for (Day day : daysOf(report)) {
    auto found = report.topUps.days.find(day);
    const DayLoaded& loaded = found != report.topUps.days.end() ? found->second : kNoTopUps;
    for (int hour = 0; hour < 24; hour++) {
      row(dayText(day), std::to_string(hour), loaded.hours[hour]);
    }
  }
  row("all", "", report.topUps.all);
  row("without_record", "", report.topUps.withoutRecord);
  row("refunds", "", report.topUps.refunds);
  row("closes", "", report.topUps.closes);
  row("replacements", "", report.topUps.replacements);
}

void writeAnomaliesCsv(FILE* out, const AuditReport& report) {
  AuditDays covered = coveredDays(report);
  std::string days = shownDay(covered.from) + "," + shownDay(covered.to);
  fprintf(out, "kind,file,line,detail,from,to\n");
  for (const Anomaly& a : report.anomalies) {
    fprintf(out, "%s,%s,%lld,%s,%s\n", anomalyName(a.kind), csvField(a.file).c_str(),
            static_cast<long long>(a.line), csvField(a.detail).c_str(), days.c_str());
  }
}

void writeHoursCsv(FILE* out, const AuditReport& report) {
  fprintf(out, "reader,date,hour,taps,revenue\n");
  std::vector<Day> days = daysOf(report);
  auto rows = [&](const std::string& reader, const ReaderTotals& t) {
    for (Day day : days) {
      const DayTotals& totals = dayAt(t, day);
      for (int hour = 0; hour < 24; hour++) {
        const Tally& tally = totals.hours[hour].tally;
        fprintf(out, "%s,%s,%d,%lld,%lld\n", csvField(reader).c_str(), dayText(day).c_str(), hour,
                static_cast<long long>(tally.taps), static_cast<long long>(tally.revenue));
      }
    }
  };
  for (const std::string& reader : readersOf(report)) rows(reader, report.readers.at(reader));
  rows("network", report.network);
}

void writeRidershipCsv(FILE* out, const AuditReport& report) {
  fprintf(out, "reader,date,hour");
  for (RideKind ride : kAllRides) fprintf(out, ",%s", rideKindName(ride));
  fprintf(out, "\n");
  std::vector<Day> days = daysOf(report);
  auto rows = [&](const std::string& reader, const ReaderTotals& t) {
    for (Day day : days) {
      const DayTotals& totals = dayAt(t, day);
      for (int hour = 0; hour < 24; hour++) {
        fprintf(out, "%s,%s,%d", csvField(reader).c_str(), dayText(day).c_str(), hour);
        for (int64_t rides : totals.hours[hour].rides) {
          fprintf(out, ",%lld", static_cast<long long>(rides));
        }
        fprintf(out, "\n");
      }
    }
  };
  for (const std::string& reader : readersOf(report)) rows(reader, report.readers.at(reader));
  rows("network", report.network);
}

void writeHeldCsv(FILE* out, const AuditReport& report) {
  fprintf(out, "date,held_before");
  for (const MovementInfo& row : kMovementKinds) fprintf(out, ",%s", row.name);
  fprintf(out, ",held,difference\n");
  for (const auto& [day, held] : report.held) {
    fprintf(out, "%s,%lld", dayText(day).c_str(), static_cast<long long>(held.heldBefore));
    for (const MovementInfo& row : kMovementKinds) {
      fprintf(out, ",%lld", static_cast<long long>(held.moved[static_cast<int>(row.movement)]));
    }
    fprintf(out, ",%lld,%lld\n", static_cast<long long>(held.held),
            static_cast<long long>(heldDifference(held)));
  }
}
