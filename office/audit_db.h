// The audit's database: every card, record and log line the audit read, and
// every anomaly it found, as SQLite tables, so that an operator can ask
// what the report does not say. The schema is in docs/audit.md.
#pragma once

#include <string>

#include "office/audit.h"

struct AuditDatabase;

// Creates a database at `path` (replacing what is there once it is
// complete) and returns it, or nullptr with `problem` set.
AuditDatabase* createAuditDatabase(const std::string& path, std::string* problem);

// The sinks that fill the database as the audit reads.
AuditSinks databaseSinks(AuditDatabase* db);

// Adds the anomalies, completes the database and puts it in place. Returns
// false, with `problem` set, when it could not be written.
// Gives up a database begun by createAuditDatabase: closes it and removes
// what was built, leaving the file it was to replace as it was.
void abandonAuditDatabase(AuditDatabase* db);

[[nodiscard]] bool finishAuditDatabase(AuditDatabase* db, const AuditReport& report,
                                       std::string* problem);
