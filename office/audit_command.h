// The audit as a command: the network directory audited, its report
// printed in the format asked for, and a database written when asked for.
#pragma once

#include <string>

#include "office/audit.h"

// Audits the network directory open as `dir` (named `shownAs`), totalling
// `days`, and prints the report. Returns the exit status: kDone when
// everything matches, kRefused for any anomaly, kNoNetwork when it is no
// network directory or cannot be listed, kNoOutput when the report or the
// database cannot be written.
int auditCommand(int dir, const std::string& shownAs, const std::string& format,
                 const std::string& sqlite, const AuditDays& days);
