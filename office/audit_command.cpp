// The audit as a command.
#include "office/audit_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/clock.h"
#include "core/network.h"
#include "office/audit.h"
#include "office/audit_db.h"
#include "office/office_command.h"
#include "office/report.h"

int auditCommand(int dir, const std::string& shownAs, const std::string& format,
                 const std::string& sqlite, const AuditDays& days) {
  AuditDatabase* db = nullptr;
  std::string problem = notANetwork(dir, shownAs);
  // No network directory, or one that cannot be listed, is no audit: never
  // an empty network that matches (status 1 is kept for anomalies).
  if (!problem.empty()) return noNetwork(problem);
  if (!sqlite.empty() && (db = createAuditDatabase(sqlite, &problem)) == nullptr) {
    return outputLost(problem);
  }
  AuditReport report;
  AuditSinks sinks = db != nullptr ? databaseSinks(db) : AuditSinks{};
  if (!auditNetwork(dir, shownAs, calendarNow(), days, isatty(2), sinks, &report, &problem)) {
    if (db != nullptr) abandonAuditDatabase(db);
    return noNetwork(problem);
  }
  if (db != nullptr && !finishAuditDatabase(db, report, &problem)) {
    return outputLost(problem);
  }
  if (format == "json") {
    writeReportJson(stdout, report);
  } else if (format == "csv") {
    writeReportCsv(stdout, report);
  } else if (format == "csv:anomalies") {
    writeAnomaliesCsv(stdout, report);
  } else if (format == "csv:hours") {
    writeHoursCsv(stdout, report);
  } else if (format == "csv:topups") {
    writeTopUpsCsv(stdout, report);
  } else if (format == "csv:ridership") {
    writeRidershipCsv(stdout, report);
  } else if (format == "csv:held") {
    writeHeldCsv(stdout, report);
  } else {
    writeReportText(stdout, report, shownAs, isatty(1));
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    return outputLost(systemError("write the report", "standard output"));
  }
  return report.anomalies.empty() ? kDone : kRefused;
}
