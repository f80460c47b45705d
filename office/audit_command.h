// The audit as a command: the network directory audited, its report
// printed in the format asked for, and a database written when asked for.
#pragma once

#include <string>

// Audits the network directory "." and prints the report. Exit status: 0
// when everything matches, 1 for any anomaly, 2 when "." is not a network
// directory or the database cannot be written.
int auditCommand(const std::string& dir, const std::string& format, const std::string& sqlite);
