// The audit as a command: the network directory audited, its report
// printed in the format asked for, and a database written when asked for.
#pragma once

#include <string>

#include "office/audit.h"

// Audits the network directory open as `dir` (named `shownAs`), totalling
// `days`, and prints the report. Exit status: 0 when everything matches, 1
// for any anomaly, 2 when it is not a network directory or the database
// cannot be written.
int auditCommand(int dir, const std::string& shownAs, const std::string& format,
                 const std::string& sqlite, const AuditDays& days);
