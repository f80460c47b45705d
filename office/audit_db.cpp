// The audit's database, through SQLite: one transaction, one prepared
// statement per table, written beside its place and renamed into it.
#include "office/audit_db.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "core/card_file.h"

struct AuditDatabase {
  sqlite3* db = nullptr;
  std::string path, building;  // where it goes, and where it is built
  sqlite3_stmt *card = nullptr, *record = nullptr, *line = nullptr, *topUp = nullptr,
               *anomaly = nullptr;
  bool failed = false;
};

static const char kSchema[] =
    "CREATE TABLE cards (card TEXT PRIMARY KEY, path TEXT, lines INTEGER, readable INTEGER, "
    "balance INTEGER);"
    "CREATE TABLE records (card TEXT, path TEXT, line INTEGER, time INTEGER, mode TEXT, direction "
    "TEXT, "
    "balance INTEGER, tap_id TEXT, reader TEXT, fare INTEGER, kind TEXT, matched INTEGER, "
    "log TEXT, log_line INTEGER, rules TEXT);"
    "CREATE TABLE log_lines (log TEXT, reader TEXT, line INTEGER, time INTEGER, mode TEXT, "
    "direction TEXT, fare INTEGER, tap_id TEXT, matched INTEGER);"
    "CREATE TABLE topups (line INTEGER, time INTEGER, card TEXT, amount INTEGER, balance INTEGER, "
    "matched INTEGER, card_line INTEGER, kind TEXT, detail TEXT);"
    "CREATE TABLE anomalies (kind TEXT, file TEXT, line INTEGER, detail TEXT);"
    "CREATE TABLE covered (first_day TEXT, last_day TEXT);"
    "CREATE TABLE hours (reader TEXT, date TEXT, hour INTEGER, taps INTEGER, revenue INTEGER);"
    "CREATE TABLE ridership (reader TEXT, date TEXT, hour INTEGER, entry INTEGER, exit INTEGER, "
    "transfer INTEGER, settlement INTEGER);";

// The table of the money held at the end of each day: a column for each
// movement, as kMovementKinds lists them.
static std::string heldSchema() {
  std::string schema = "CREATE TABLE held (date TEXT PRIMARY KEY, held_before INTEGER";
  for (const MovementInfo& row : kMovementKinds)
    schema += std::string(", ") + row.name + " INTEGER";
  return schema + ", held INTEGER, difference INTEGER);";
}

// What marks a database as an audit's (SQLite's application id: "FARE").
constexpr int kApplicationId = 0x46415245;

// Why the file at `path` may not be replaced by an audit's database: it is
// something else than a database an audit wrote (one marked with
// kApplicationId, or, from before the mark, one with the audit's tables).
// Empty when nothing is there or it is an audit's.
static std::string notAnAuditDatabase(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return "";
  std::string why = path +
                    " exists and is not a database an audit wrote: give another file, or "
                    "move it away first";
  if (!S_ISREG(info.st_mode)) return why;
  sqlite3* db = nullptr;
  int id = -1, tables = 0;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA application_id", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      id = sqlite3_column_int(s, 0);
    }
    sqlite3_finalize(s);
    if (sqlite3_prepare_v2(db,
                           "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
                           "('cards', 'records', 'log_lines', 'topups', 'anomalies')",
                           -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      tables = sqlite3_column_int(s, 0);
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return id == kApplicationId || (id == 0 && tables == 5) ? "" : why;
}

static void text(sqlite3_stmt* s, int column, const std::string& value) {
  sqlite3_bind_text(s, column, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

// Runs a bound statement and readies it for the next row.
static void step(AuditDatabase* db, sqlite3_stmt* s) {
  if (sqlite3_step(s) != SQLITE_DONE) db->failed = true;
  sqlite3_reset(s);
}

static void closeDatabase(AuditDatabase* db) {
  for (sqlite3_stmt* s : {db->card, db->record, db->line, db->topUp, db->anomaly}) {
    sqlite3_finalize(s);
  }
  sqlite3_close(db->db);
}

AuditDatabase* createAuditDatabase(const std::string& path, std::string* problem) {
  // Neither the file asked for nor the one it is built in replaces
  // anything but an audit's database.
  for (const std::string& there : {path, path + ".building"}) {
    *problem = notAnAuditDatabase(there);
    if (!problem->empty()) return nullptr;
  }
  auto* db = new AuditDatabase;
  db->path = path;
  db->building = path + ".building";
  unlink(db->building.c_str());
  const std::string start =
      "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; "
      "PRAGMA application_id=" +
      std::to_string(kApplicationId) + "; BEGIN;";
  bool ready =
      sqlite3_open(db->building.c_str(), &db->db) == SQLITE_OK &&
      sqlite3_exec(db->db, start.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
      sqlite3_exec(db->db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
      sqlite3_exec(db->db, heldSchema().c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db->db, "INSERT INTO cards VALUES (?,?,?,?,?)", -1, &db->card, nullptr) ==
          SQLITE_OK &&
      sqlite3_prepare_v2(db->db, "INSERT INTO records VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", -1,
                         &db->record, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db->db, "INSERT INTO log_lines VALUES (?,?,?,?,?,?,?,?,?)", -1, &db->line,
                         nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db->db, "INSERT INTO topups VALUES (?,?,?,?,?,?,?,?,?)", -1, &db->topUp,
                         nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db->db, "INSERT INTO anomalies VALUES (?,?,?,?)", -1, &db->anomaly,
                         nullptr) == SQLITE_OK;
  if (!ready) {
    *problem = path + ": " + (db->db != nullptr ? sqlite3_errmsg(db->db) : "cannot be created");
    closeDatabase(db);
    unlink(db->building.c_str());
    delete db;
    return nullptr;
  }
  return db;
}

AuditSinks databaseSinks(AuditDatabase* db) {
  AuditSinks sinks;
  sinks.card = [db](const AuditedCard& c) {
    text(db->card, 1, *c.number);
    text(db->card, 2, *c.path);
    sqlite3_bind_int64(db->card, 3, c.lines);
    sqlite3_bind_int(db->card, 4, c.readable);
    if (c.readable) {
      sqlite3_bind_int64(db->card, 5, c.balance);
    } else {
      sqlite3_bind_null(db->card, 5);
    }
    step(db, db->card);
  };
  sinks.record = [db](const AuditedRecord& r) {
    std::string id = bareTapId(r.record->tapId);
    int column = 0;
    text(db->record, ++column, *r.number);
    text(db->record, ++column, *r.card);
    sqlite3_bind_int64(db->record, ++column, r.line);
    sqlite3_bind_int64(db->record, ++column, r.record->time);
    text(db->record, ++column, r.record->mode);
    text(db->record, ++column, r.record->inOut);
    sqlite3_bind_int64(db->record, ++column, r.record->balance);
    text(db->record, ++column, id);
    text(db->record, ++column, readerOfTapId(id.c_str()));
    sqlite3_bind_int64(db->record, ++column, r.fare);
    text(db->record, ++column, tapKindName(r.kind));
    sqlite3_bind_int(db->record, ++column, r.log != nullptr);
    if (r.log != nullptr) {
      text(db->record, ++column, *r.log);
      sqlite3_bind_int64(db->record, ++column, r.logLine);
    } else {
      sqlite3_bind_null(db->record, ++column);
      sqlite3_bind_null(db->record, ++column);
    }
    text(db->record, ++column, fareVerdictName(r.verdict));
    step(db, db->record);
  };
  sinks.logLine = [db](const AuditedLine& l, bool matched) {
    text(db->line, 1, *l.log);
    text(db->line, 2, *l.reader);
    sqlite3_bind_int64(db->line, 3, l.line);
    sqlite3_bind_int64(db->line, 4, l.time);
    text(db->line, 5, l.mode);
    text(db->line, 6, l.inOut);
    sqlite3_bind_int64(db->line, 7, l.fare);
    text(db->line, 8, l.tapId);
    sqlite3_bind_int(db->line, 9, matched);
    step(db, db->line);
  };
  sinks.topUp = [db](const AuditedTopUp& t) {
    sqlite3_bind_int64(db->topUp, 1, t.line);
    sqlite3_bind_int64(db->topUp, 2, t.topUp->time);
    text(db->topUp, 3, shownName(t.topUp->number));
    sqlite3_bind_int64(db->topUp, 4, t.topUp->amount);
    sqlite3_bind_int64(db->topUp, 5, t.topUp->balance);
    sqlite3_bind_int(db->topUp, 6, t.card != nullptr);
    if (t.card != nullptr) {
      sqlite3_bind_int64(db->topUp, 7, t.cardLine);
    } else {
      sqlite3_bind_null(db->topUp, 7);
    }
    text(db->topUp, 8, officeWord(t.topUp->kind));
    text(db->topUp, 9, shownName(t.topUp->detail));
    step(db, db->topUp);
  };
  return sinks;
}

void abandonAuditDatabase(AuditDatabase* db) {
  closeDatabase(db);
  unlink(db->building.c_str());
  delete db;
}

// A value of a row: a text (NULL when empty), or a number.
struct Value {
  bool isText;
  std::string text;
  int64_t number;
};

// Runs `sql`, an INSERT with a parameter for each value of a row, once
// for each of `rows`; a failure marks the database failed.
static void insertRows(AuditDatabase* db, const std::string& sql,
                       const std::vector<std::vector<Value>>& rows) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db->db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    db->failed = true;
    return;
  }
  for (const std::vector<Value>& row : rows) {
    for (size_t i = 0; i < row.size(); i++) {
      int column = static_cast<int>(i) + 1;
      if (!row[i].isText) {
        sqlite3_bind_int64(s, column, row[i].number);
      } else if (row[i].text.empty()) {
        sqlite3_bind_null(s, column);
      } else {
        text(s, column, row[i].text);
      }
    }
    step(db, s);
  }
  sqlite3_finalize(s);
}

static Value textValue(const std::string& t) {
  return {true, t, 0};
}
static Value number(int64_t n) {
  return {false, "", n};
}

// The report's tables of days: the days it covers, each reader's taps and
// ridership in each hour it counted a tap, and the money held each day.
static void insertDays(AuditDatabase* db, const AuditReport& report) {
  AuditDays covered = coveredDays(report);
  insertRows(db, "INSERT INTO covered VALUES (?,?)",
             {{textValue(covered.from != 0 ? dayText(covered.from) : ""),
               textValue(covered.to != 0 ? dayText(covered.to) : "")}});
  std::vector<std::vector<Value>> hours, ridership;
  for (const auto& [reader, totals] : report.readers) {
    for (const auto& [day, dayTotals] : totals.days) {
      for (int hour = 0; hour < 24; hour++) {
        const HourTotals& h = dayTotals.hours[hour];
        if (h.tally.taps == 0) continue;
        hours.push_back({textValue(reader), textValue(dayText(day)), number(hour),
                         number(h.tally.taps), number(h.tally.revenue)});
        ridership.push_back({textValue(reader), textValue(dayText(day)), number(hour)});
        for (int64_t rides : h.rides) ridership.back().push_back(number(rides));
      }
    }
  }
  insertRows(db, "INSERT INTO hours VALUES (?,?,?,?,?)", hours);
  insertRows(db, "INSERT INTO ridership VALUES (?,?,?,?,?,?,?)", ridership);
  std::vector<std::vector<Value>> held;
  std::string marks = "?,?";
  for (const auto& [day, money] : report.held) {
    held.push_back({textValue(dayText(day)), number(money.heldBefore)});
    for (const MovementInfo& row : kMovementKinds) {
      held.back().push_back(number(money.moved[static_cast<int>(row.movement)]));
    }
    held.back().push_back(number(money.held));
    held.back().push_back(number(heldDifference(money)));
  }
  for (size_t i = 0; i < std::size(kMovementKinds) + 2; i++) marks += ",?";
  insertRows(db, "INSERT INTO held VALUES (" + marks + ")", held);
}

bool finishAuditDatabase(AuditDatabase* db, const AuditReport& report, std::string* problem) {
  for (const Anomaly& a : report.anomalies) {
    text(db->anomaly, 1, anomalyName(a.kind));
    text(db->anomaly, 2, a.file);
    sqlite3_bind_int64(db->anomaly, 3, a.line);
    text(db->anomaly, 4, a.detail);
    step(db, db->anomaly);
  }
  insertDays(db, report);
  bool committed =
      !db->failed && sqlite3_exec(db->db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!committed) *problem = db->path + ": " + sqlite3_errmsg(db->db);
  closeDatabase(db);
  bool placed = committed && rename(db->building.c_str(), db->path.c_str()) == 0;
  if (committed && !placed) *problem = db->path + ": the database could not be put in place";
  if (!placed) unlink(db->building.c_str());
  delete db;
  return placed;
}
