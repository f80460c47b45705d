// The audit as a command: the network directory audited, its report
// printed in the format asked for, and a database written when asked for;
// and the report as one HTML page, written to a file.
#pragma once

#include <string>

#include "office/audit.h"

// Audits the network directory open as `dir` (named `shownAs`), totalling
// `days`, and prints the report; with a `checkpoint` FILE, every day, on
// from the audit that wrote it. Returns the exit status: kDone when
// everything matches, kRefused for any anomaly, kNoNetwork when it is no
// network directory or cannot be listed, kNoOutput when the report, the
// database or the checkpoint cannot be written, or the checkpoint is not
// this network's or cannot be read.
int auditCommand(int dir, const std::string& shownAs, const std::string& format,
                 const std::string& sqlite, const AuditDays& days,
                 const std::string& checkpoint = "");

// Audits the network directory open as `dir` (named `shownAs`), totalling
// `days`, and writes its report as one HTML page at `path`: built beside it
// (<path>.building), flushed to disk and renamed into place, replacing
// nothing but a page this command wrote; then says on standard output where
// it is and what it counts. `version` is the program's. Returns the exit
// status: kDone when the page was written, anomalies or not; kNoNetwork
// when it is no network directory or cannot be listed; kNoOutput when the
// page cannot be written or something else is at `path`, which is left
// alone.
int reportCommand(int dir, const std::string& shownAs, const std::string& path,
                  const AuditDays& days, const std::string& version);
