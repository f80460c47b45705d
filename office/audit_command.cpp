// The audit as a command, and its report as an HTML page.
#include "office/audit_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/clock.h"
#include "core/network.h"
#include "office/audit.h"
#include "office/audit_db.h"
#include "office/office_command.h"
#include "office/report.h"
#include "office/report_html.h"

int auditCommand(int dir, const std::string& shownAs, const std::string& format,
                 const std::string& sqlite, const AuditDays& days, const std::string& checkpoint) {
  AuditDatabase* db = nullptr;
  std::string problem = notANetwork(dir, shownAs);
  // No network directory, or one that cannot be listed, is no audit: never
  // an empty network that matches (status 1 is kept for anomalies).
  if (!problem.empty()) return noNetwork(problem);
  if (!sqlite.empty() && (db = createAuditDatabase(sqlite, &problem)) == nullptr) {
    return outputLost(problem);
  }
  AuditReport report;
  bool ofNetwork = true;
  AuditSinks sinks = db != nullptr ? databaseSinks(db) : AuditSinks{};
  if (!checkpoint.empty()) {
    if (!auditWithCheckpoint(dir, shownAs, calendarNow(), isatty(2), checkpoint, &report, &problem,
                             &ofNetwork)) {
      return ofNetwork ? noNetwork(problem) : outputLost(problem);
    }
  } else if (!auditNetwork(dir, shownAs, calendarNow(), days, isatty(2), sinks, &report,
                           &problem)) {
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

namespace {

// Why the file at `path` may not be replaced by a report's page: something
// is there that is not a regular file beginning as this command's pages do.
// Empty when nothing is there or it is such a page.
std::string notAReportPage(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return "";
  std::string why = path +
                    " exists and is not a page report wrote: give another file, or move it "
                    "away first";
  int fd = S_ISREG(info.st_mode) ? open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
  if (fd < 0) return why;
  char head[1024];
  ssize_t got = read(fd, head, sizeof head);
  close(fd);
  std::string start(head, got > 0 ? static_cast<size_t>(got) : 0);
  return start.find(kHtmlReportMark) != std::string::npos ? "" : why;
}

// The time `now` as the page says it was made: "2026-03-07 06:00:01 +0900".
std::string madeAt(int64_t now) {
  time_t t = static_cast<time_t>(now);
  struct tm local {};
  char text[64] = "";
  if (localtime_r(&t, &local) != nullptr) strftime(text, sizeof text, "%F %T %z", &local);
  return text;
}

// The network directory `shownAs` as the page names it: its whole path,
// or as given when that cannot be told.
std::string wholePath(const std::string& shownAs) {
  char whole[PATH_MAX];
  return realpath(shownAs.c_str(), whole) != nullptr ? whole : shownAs;
}

// Writes the page of `report` to `path` through `building`, flushed to
// disk before it is renamed into place. Returns why it could not, or "",
// leaving nothing at `building` either way.
std::string writePage(const std::string& path, const std::string& building,
                      const AuditReport& report, const ReportMaking& making) {
  unlink(building.c_str());
  int fd = open(building.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return systemError("open", building);
  FILE* out = fdopen(fd, "w");
  if (out == nullptr) {
    close(fd);
    unlink(building.c_str());
    return systemError("open", building);
  }
  writeReportHtml(out, report, making);
  std::string problem;
  if (fflush(out) != 0 || ferror(out)) {
    problem = systemError("write", building);
  } else if (fsync(fileno(out)) != 0) {
    problem = systemError("flush to disk", building);
  }
  if (fclose(out) != 0 && problem.empty()) problem = systemError("write", building);
  if (problem.empty() && rename(building.c_str(), path.c_str()) != 0) {
    problem = systemError("rename", building);
  }
  if (!problem.empty()) unlink(building.c_str());
  return problem;
}

}  // namespace

int reportCommand(int dir, const std::string& shownAs, const std::string& path,
                  const AuditDays& days, const std::string& version) {
  std::string problem = notANetwork(dir, shownAs);
  if (!problem.empty()) return noNetwork(problem);
  // Neither the page asked for nor the one it is built in replaces
  // anything but a page of this command, checked before the audit's work.
  for (const std::string& there : {path, path + ".building"}) {
    problem = notAReportPage(there);
    if (!problem.empty()) return outputLost(problem);
  }
  AuditReport report;
  int64_t now = calendarNow();
  if (!auditNetwork(dir, shownAs, now, days, isatty(2), AuditSinks{}, &report, &problem)) {
    return noNetwork(problem);
  }
  ReportMaking making{wholePath(shownAs), madeAt(now), programName, version};
  problem = writePage(path, path + ".building", report, making);
  if (!problem.empty()) return outputLost(problem);
  size_t anomalies = report.anomalies.size();
  printf("%s: %s, %s, revenue %s, %s\n", path.c_str(), coveredText(report).c_str(),
         (grouped(report.network.all.taps) + (report.network.all.taps == 1 ? " tap" : " taps"))
             .c_str(),
         grouped(report.network.all.revenue).c_str(),
         anomalies == 0 ? "no anomaly"
                        : (grouped(static_cast<int64_t>(anomalies)) +
                           (anomalies == 1 ? " anomaly" : " anomalies"))
                              .c_str());
  if (fflush(stdout) != 0 || ferror(stdout)) {
    return outputLost(systemError("write", "standard output"));
  }
  return kDone;
}
