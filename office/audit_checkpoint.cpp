// The audit with a checkpoint: what one run carries to the next (each card
// and log as read, and the report as the card pass leaves it), kept in a
// file written whole or not at all, and the run that reads only what was
// appended since. See docs/audit.md for what such a run cannot see.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <type_traits>
#include <unordered_map>

#include "core/card_file.h"
#include "core/network.h"
#include "core/packed_time.h"
#include "office/audit.h"
#include "office/audit_state.h"
#include "office/fare_replay.h"

namespace {

// The first line of every checkpoint; the format's number follows it.
constexpr char kCheckpointMagic[] = "fare-audit-checkpoint ";
constexpr int kCheckpointFormat = 1;

// The bytes of a checkpoint as they are built up.
struct Writer {
  std::string bytes;
};

template <typename T>
void put(Writer* w, const T& value) {
  static_assert(std::is_trivially_copyable<T>::value, "only flat values are put as bytes");
  w->bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void putText(Writer* w, const std::string& text) {
  put(w, static_cast<uint64_t>(text.size()));
  w->bytes += text;
}

// The bytes of a checkpoint as they are read back: a read past the end, or
// a count no file this size could hold, leaves `bad` set and values zero.
struct Reader {
  const char* at;
  const char* end;
  bool bad = false;
};

template <typename T>
void get(Reader* r, T* value) {
  static_assert(std::is_trivially_copyable<T>::value, "only flat values are got as bytes");
  if (r->bad || static_cast<size_t>(r->end - r->at) < sizeof *value) {
    r->bad = true;
    memset(static_cast<void*>(value), 0, sizeof *value);
    return;
  }
  memcpy(static_cast<void*>(value), r->at, sizeof *value);
  r->at += sizeof *value;
}

// A count of things of at least `each` bytes; 0, with `bad` set, for one the
// bytes left cannot hold.
uint64_t getCount(Reader* r, size_t each) {
  uint64_t count = 0;
  get(r, &count);
  if (count > static_cast<uint64_t>(r->end - r->at) / std::max<size_t>(each, 1)) {
    r->bad = true;
    return 0;
  }
  return count;
}

void getText(Reader* r, std::string* text) {
  uint64_t size = getCount(r, 1);
  text->assign(r->at, r->bad ? 0 : size);
  if (!r->bad) r->at += size;
}

template <typename K, typename V>
void putFlatMap(Writer* w, const std::map<K, V>& map) {
  put(w, static_cast<uint64_t>(map.size()));
  for (const auto& [key, value] : map) {
    put(w, key);
    put(w, value);
  }
}

template <typename K, typename V>
void getFlatMap(Reader* r, std::map<K, V>* map) {
  uint64_t count = getCount(r, sizeof(K) + sizeof(V));
  for (uint64_t i = 0; i < count && !r->bad; i++) {
    K key{};
    get(r, &key);
    get(r, &(*map)[key]);
  }
}

template <typename T>
void putFlatVector(Writer* w, const std::vector<T>& items) {
  static_assert(std::is_trivially_copyable<T>::value, "only flat values are put as bytes");
  put(w, static_cast<uint64_t>(items.size()));
  w->bytes.append(reinterpret_cast<const char*>(items.data()), items.size() * sizeof(T));
}

template <typename T>
void getFlatVector(Reader* r, std::vector<T>* items) {
  uint64_t count = getCount(r, sizeof(T));
  items->resize(count);
  if (count > 0) memcpy(static_cast<void*>(items->data()), r->at, count * sizeof(T));
  r->at += count * sizeof(T);
}

void putTotals(Writer* w, const ReaderTotals& t) {
  put(w, t.all);
  put(w, t.byKind);
  put(w, t.withoutRecord);
  put(w, t.withoutLogLine);
  putFlatMap(w, t.days);
}

void getTotals(Reader* r, ReaderTotals* t) {
  get(r, &t->all);
  get(r, &t->byKind);
  get(r, &t->withoutRecord);
  get(r, &t->withoutLogLine);
  getFlatMap(r, &t->days);
}

void putReport(Writer* w, const AuditReport& report) {
  put(w, report.asked);
  for (int64_t count :
       {report.cards, report.records, report.logs, report.logLines, report.matched}) {
    put(w, count);
  }
  put(w, static_cast<uint64_t>(report.anomalies.size()));
  for (const Anomaly& a : report.anomalies) {
    put(w, static_cast<int32_t>(a.kind));
    putText(w, a.file);
    put(w, a.line);
    putText(w, a.detail);
  }
  put(w, static_cast<uint64_t>(report.readers.size()));
  for (const auto& [name, totals] : report.readers) {
    putText(w, name);
    putTotals(w, totals);
  }
  putTotals(w, report.network);
  put(w, report.fares);
  const TopUpTotals& t = report.topUps;
  for (const Loaded& loaded : {t.all, t.withoutRecord, t.refunds, t.closes, t.replacements}) {
    put(w, loaded);
  }
  for (const auto* days : {&t.days, &t.refundDays, &t.closeDays, &t.replacementDays}) {
    putFlatMap(w, *days);
  }
  putFlatMap(w, report.held);
  put(w, static_cast<uint64_t>(report.now.size()));
  for (const auto& [name, now] : report.now) {
    putText(w, name);
    put(w, now);
  }
}

void getReport(Reader* r, AuditReport* report) {
  get(r, &report->asked);
  for (int64_t* count :
       {&report->cards, &report->records, &report->logs, &report->logLines, &report->matched}) {
    get(r, count);
  }
  uint64_t anomalies = getCount(r, 28);
  for (uint64_t i = 0; i < anomalies && !r->bad; i++) {
    Anomaly a;
    int32_t kind = 0;
    get(r, &kind);
    if (kind < 0 || kind >= static_cast<int32_t>(sizeof kAnomalyKinds / sizeof kAnomalyKinds[0])) {
      r->bad = true;
    }
    a.kind = static_cast<AnomalyKind>(kind);
    getText(r, &a.file);
    get(r, &a.line);
    getText(r, &a.detail);
    report->anomalies.push_back(std::move(a));
  }
  uint64_t readers = getCount(r, 8);
  for (uint64_t i = 0; i < readers && !r->bad; i++) {
    std::string name;
    getText(r, &name);
    getTotals(r, &report->readers[name]);
  }
  getTotals(r, &report->network);
  get(r, &report->fares);
  TopUpTotals& t = report->topUps;
  for (Loaded* loaded : {&t.all, &t.withoutRecord, &t.refunds, &t.closes, &t.replacements}) {
    get(r, loaded);
  }
  for (auto* days : {&t.days, &t.refundDays, &t.closeDays, &t.replacementDays}) {
    getFlatMap(r, days);
  }
  getFlatMap(r, &report->held);
  uint64_t now = getCount(r, 8 + sizeof(ReaderNow));
  for (uint64_t i = 0; i < now && !r->bad; i++) {
    std::string name;
    getText(r, &name);
    get(r, &report->now[name]);
  }
}

void putMark(Writer* w, const FileMark& mark) {
  put(w, mark.inode);
  put(w, mark.size);
  putText(w, mark.boundary);
}

void getMark(Reader* r, FileMark* mark) {
  get(r, &mark->inode);
  get(r, &mark->size);
  getText(r, &mark->boundary);
}

void putCard(Writer* w, const CardCarry& c) {
  putText(w, c.name);
  putMark(w, c.mark);
  put(w, c.continuable);
  put(w, c.lines);
  put(w, c.records);
  putText(w, c.lastTwo[0]);
  putText(w, c.lastTwo[1]);
  put(w, c.older);
  put(w, c.before);
  put(w, c.repeated);
  put(w, c.olderAt);
  put(w, c.beforeAt);
  put(w, c.second);
  put(w, c.dated);
  put(w, c.datedLine);
  put(w, c.datedTold);
  put(w, c.retiredLine);
  putText(w, c.retiredHow);
  put(w, static_cast<uint64_t>(c.notRecords.size()));
  for (const auto& [line, text] : c.notRecords) {
    put(w, line);
    putText(w, text);
  }
  put(w, c.heldBase);
  put(w, static_cast<uint64_t>(c.held.size()));
  for (const auto& [day, balance] : c.held) {
    put(w, day);
    put(w, balance);
  }
}

void getCard(Reader* r, CardCarry* c) {
  getText(r, &c->name);
  getMark(r, &c->mark);
  get(r, &c->continuable);
  get(r, &c->lines);
  get(r, &c->records);
  getText(r, &c->lastTwo[0]);
  getText(r, &c->lastTwo[1]);
  get(r, &c->older);
  get(r, &c->before);
  get(r, &c->repeated);
  get(r, &c->olderAt);
  get(r, &c->beforeAt);
  get(r, &c->second);
  get(r, &c->dated);
  get(r, &c->datedLine);
  get(r, &c->datedTold);
  get(r, &c->retiredLine);
  getText(r, &c->retiredHow);
  uint64_t notRecords = getCount(r, 16);
  for (uint64_t i = 0; i < notRecords && !r->bad; i++) {
    std::pair<int64_t, std::string> entry;
    get(r, &entry.first);
    getText(r, &entry.second);
    c->notRecords.push_back(std::move(entry));
  }
  get(r, &c->heldBase);
  uint64_t held = getCount(r, sizeof(Day) + sizeof(int32_t));
  for (uint64_t i = 0; i < held && !r->bad; i++) {
    std::pair<Day, int32_t> entry;
    get(r, &entry.first);
    get(r, &entry.second);
    c->held.push_back(entry);
  }
}

void putLog(Writer* w, const LogCarry& l) {
  putText(w, l.name);
  putMark(w, l.mark);
  put(w, l.continuable);
  put(w, l.lines);
  put(w, l.places);
  put(w, l.tailFrom);
  putFlatVector(w, l.entries);
  putFlatVector(w, l.placesOf);
  put(w, l.periodStart);
  put(w, l.periodHolds);
}

void getLog(Reader* r, LogCarry* l) {
  getText(r, &l->name);
  getMark(r, &l->mark);
  get(r, &l->continuable);
  get(r, &l->lines);
  get(r, &l->places);
  get(r, &l->tailFrom);
  getFlatVector(r, &l->entries);
  getFlatVector(r, &l->placesOf);
  get(r, &l->periodStart);
  get(r, &l->periodHolds);
  if (l->placesOf.size() != l->entries.size()) r->bad = true;
}

// The network a checkpoint is of: its directory's device and inode.
struct NetworkId {
  uint64_t device = 0;
  uint64_t inode = 0;
};

// FNV-1a of `bytes`: a checkpoint damaged anywhere is told from one whole.
uint64_t checksum(const char* bytes, size_t size) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (size_t i = 0; i < size; i++) {
    hash ^= static_cast<unsigned char>(bytes[i]);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string encode(const Carried& c, const NetworkId& id, const std::string& shownAs) {
  Writer w;
  w.bytes = kCheckpointMagic + std::to_string(kCheckpointFormat) + "\n";
  put(&w, id);
  putText(&w, shownAs);
  put(&w, c.fullNext);
  putReport(&w, c.report);
  putFlatMap(&w, c.heldChanges);
  putFlatMap(&w, c.issuedOn);
  putFlatMap(&w, c.movedOn);
  put(&w, static_cast<uint64_t>(c.unmatched.size()));
  for (size_t i = 0; i < c.unmatched.size(); i++) {
    putText(&w, c.unmatched[i].first);
    put(&w, c.unmatched[i].second);
    putText(&w, c.unmatchedLogs[i]);
  }
  put(&w, static_cast<uint64_t>(c.cards.size()));
  for (const auto& entry : c.cards) putCard(&w, entry.second);
  put(&w, static_cast<uint64_t>(c.logs.size()));
  for (const auto& entry : c.logs) putLog(&w, entry.second);
  put(&w, static_cast<uint64_t>(c.topUps.size()));
  for (const TopUpEntry& e : c.topUps) {
    put(&w, e.topUp);
    putText(&w, e.text);
    put(&w, e.line);
    put(&w, e.cardLine);
    put(&w, e.newBalance);
  }
  put(&w, checksum(w.bytes.data(), w.bytes.size()));
  return std::move(w.bytes);
}

// Reads the checkpoint `bytes` (of the file `path`) into `c`, of the
// network `id`; returns why it cannot be used, or "".
std::string decode(const std::string& bytes, const std::string& path, const NetworkId& id,
                   Carried* c) {
  size_t feed = bytes.find('\n');
  std::string garbled =
      path +
      " is not a checkpoint of the audit, or it is damaged: move it away, and the audit "
      "with --checkpoint audits in full and writes it again";
  if (feed == std::string::npos ||
      bytes.compare(0, strlen(kCheckpointMagic), kCheckpointMagic) != 0) {
    return garbled;
  }
  std::string format = bytes.substr(strlen(kCheckpointMagic), feed - strlen(kCheckpointMagic));
  if (format.empty() || format.size() > 9 ||
      format.find_first_not_of("0123456789") != std::string::npos) {
    return garbled;
  }
  if (std::stoi(format) != kCheckpointFormat) {
    return path + " is a checkpoint of format " + format + ", which this card_tool (format " +
           std::to_string(kCheckpointFormat) +
           ") does not read: audit with the card_tool that wrote it, or move it away";
  }
  uint64_t sum = 0;
  if (bytes.size() < feed + 1 + sizeof sum) return garbled;
  memcpy(&sum, bytes.data() + bytes.size() - sizeof sum, sizeof sum);
  if (sum != checksum(bytes.data(), bytes.size() - sizeof sum)) return garbled;
  Reader r{bytes.data() + feed + 1, bytes.data() + bytes.size() - sizeof sum};
  NetworkId of;
  std::string shownAs;
  get(&r, &of);
  getText(&r, &shownAs);
  if (!r.bad && (of.device != id.device || of.inode != id.inode)) {
    return path + " is the checkpoint of another network directory (" + shownAs +
           "): give each network its own checkpoint";
  }
  get(&r, &c->fullNext);
  getReport(&r, &c->report);
  getFlatMap(&r, &c->heldChanges);
  getFlatMap(&r, &c->issuedOn);
  getFlatMap(&r, &c->movedOn);
  uint64_t unmatched = getCount(&r, sizeof(Probe));
  for (uint64_t i = 0; i < unmatched && !r.bad; i++) {
    std::pair<std::string, Probe> entry;
    getText(&r, &entry.first);
    get(&r, &entry.second);
    std::string log;
    getText(&r, &log);
    c->unmatched.push_back(std::move(entry));
    c->unmatchedLogs.push_back(std::move(log));
  }
  uint64_t cards = getCount(&r, 64);
  for (uint64_t i = 0; i < cards && !r.bad; i++) {
    CardCarry card;
    getCard(&r, &card);
    c->cardOfInode[card.mark.inode] = card.name;
    std::string name = card.name;
    c->cards.emplace(std::move(name), std::move(card));
  }
  uint64_t logs = getCount(&r, 32);
  for (uint64_t i = 0; i < logs && !r.bad; i++) {
    LogCarry log;
    getLog(&r, &log);
    std::string name = log.name;
    c->logs.emplace(std::move(name), std::move(log));
  }
  uint64_t topUps = getCount(&r, sizeof(TopUpLine));
  for (uint64_t i = 0; i < topUps && !r.bad; i++) {
    TopUpEntry e{};
    get(&r, &e.topUp);
    getText(&r, &e.text);
    get(&r, &e.line);
    get(&r, &e.cardLine);
    get(&r, &e.newBalance);
    c->topUps.push_back(std::move(e));
  }
  if (r.bad || r.at != r.end) return garbled;
  return "";
}

// Reads the file at `path` whole into `bytes`; returns false, with `error`
// set, when it cannot (`missing` when it is not there).
bool readWhole(const std::string& path, std::string* bytes, bool* missing, std::string* error) {
  *missing = false;
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *missing = errno == ENOENT;
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

// Writes `bytes` to `path` whole or not at all: into a file beside it,
// flushed to disk, renamed over it, and the directory flushed. Returns why
// it could not, or "", leaving no file beside it either way.
std::string writeWhole(const std::string& path, const std::string& bytes) {
  std::string temporary = path + ".writing";
  unlink(temporary.c_str());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return "cannot create " + temporary + ": " + strerror(errno);
  std::string problem;
  for (size_t done = 0; done < bytes.size() && problem.empty();) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) problem = "cannot write " + temporary + ": " + strerror(errno);
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (problem.empty() && fsync(fd) != 0) {
    problem = "cannot flush " + temporary + " to disk: " + strerror(errno);
  }
  if (close(fd) != 0 && problem.empty())
    problem = "cannot write " + temporary + ": " + strerror(errno);
  if (problem.empty() && rename(temporary.c_str(), path.c_str()) != 0) {
    problem = "cannot rename " + temporary + " to " + path + ": " + strerror(errno);
  }
  if (!problem.empty()) {
    unlink(temporary.c_str());
    return problem;
  }
  // The rename is durable once the directory that holds it is flushed.
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0 || fsync(dirFd) != 0) {
    problem = "cannot flush the directory " + folder + " to disk: " + strerror(errno);
  }
  if (dirFd >= 0) close(dirFd);
  return problem;
}

// Whether the own taps of log `log` number by place from `start` to its
// end, a period's taps counted from its first (see audit_fares.cpp).
bool numberedFrom(const AuditState* s, uint16_t log, int64_t start, int64_t end) {
  const LogSpan& span = s->spans[log];
  int64_t place = start;
  if (place < span.tailFrom) {
    if (place != span.periodStart || !span.periodHolds) return false;
    place = span.carriedPlaces;
  }
  const std::string& reader = s->table.readers[log];
  for (; place < end; place++) {
    const LogEntry* e = lineAtPlace(s, log, place);
    if (e == nullptr) return false;
    if ((e->flags & kInFlag) != 0 && readerOfTapId(e->id) == reader &&
        tapNumberOf(e->id) != place - start + 1) {
      return false;
    }
  }
  return true;
}

// Fills what log `log` carries to the next audit: its places, its last
// operating period's start (the last tap its own reader numbered 1) and
// whether its taps number on from there, and the lines the next audit may
// need: each no record took, and that start with the line before it.
void carryLines(const AuditState* s, uint16_t log, LogCarry* out) {
  const std::vector<LogEntry>& entries = s->table.entries;
  auto [from, to] = s->linesOfLog[log];
  const LogSpan& span = s->spans[log];
  out->places = span.carriedPlaces + static_cast<int64_t>(to - span.readFrom);
  out->periodStart = -1;
  const std::string& reader = s->table.readers[log];
  for (uint32_t i = to; i > from; i--) {
    const LogEntry& e = entries[i - 1];
    if (tapNumberOf(e.id) == 1 && readerOfTapId(e.id) == reader) {
      out->periodStart = placeOf(s, log, i - 1);
      break;
    }
  }
  if (out->periodStart < 0 && span.periodStart >= 0) out->periodStart = span.periodStart;
  out->periodHolds = out->periodStart >= 0 && numberedFrom(s, log, out->periodStart, out->places);
  out->tailFrom = std::max<int64_t>(0, out->places - kCarriedTail);
  out->entries.clear();
  out->placesOf.clear();
  for (uint32_t i = from; i < to; i++) {
    int64_t place = placeOf(s, log, i);
    if ((entries[i].flags & kMatchedFlag) == 0 || place >= out->tailFrom ||
        place == out->periodStart || place + 1 == out->periodStart) {
      out->entries.push_back(entries[i]);
      out->entries.back().flags &= static_cast<uint8_t>(~kLaterFlag);
      out->placesOf.push_back(place);
    }
  }
}

// Readies `state` (with the report `report`) to go on from `carried`: the
// report and money as the last run's card pass left them, but for what
// every run finds anew (notes and journals, files it could not read).
void goOnFrom(AuditState* state, const Carried& carried, AuditReport* report) {
  *report = carried.report;
  for (auto& entry : report->now) entry.second.journal = JournalState::kNone;
  auto& anomalies = report->anomalies;
  anomalies.erase(std::remove_if(anomalies.begin(), anomalies.end(),
                                 [](const Anomaly& a) {
                                   return a.kind == AnomalyKind::kNoteLeft ||
                                          a.kind == AnomalyKind::kUnreadableFile;
                                 }),
                  anomalies.end());
  state->heldChanges = carried.heldChanges;
  state->issuedOn = carried.issuedOn;
  state->movedOn = carried.movedOn;
}

// After the card pass of a run that went on from `carried`: tells each
// file carried that is no longer there as changed; else brings what was
// carried up to what this run read (cards renamed, a card's refusal told
// again from its new end, the records no line told yet). Returns whether
// the run stands.
bool caughtUp(AuditState* s, const Carried& carried, size_t carriedAnomalies) {
  std::set<std::string> seen(s->reread.begin(), s->reread.end());
  for (const CardCarry& out : s->cardsOut) {
    if (!out.name.empty()) seen.insert(out.name);
  }
  for (const auto& entry : s->renamed) seen.insert(entry.first);
  for (const auto& entry : s->changed) seen.insert(entry.first);
  for (const LogCarry& out : s->logsOut) seen.insert(out.name);
  seen.insert(s->topUpOut.name);
  for (const auto& entry : carried.cards) {
    if (seen.count(entry.first) == 0) s->changed.push_back({entry.first, "it is no longer there"});
  }
  for (const auto& entry : carried.logs) {
    if (seen.count(entry.first) == 0) s->changed.push_back({entry.first, "it is no longer there"});
  }
  if (!s->changed.empty()) return false;
  std::set<std::string> reread(s->reread.begin(), s->reread.end());
  auto& anomalies = s->report->anomalies;
  std::deque<Anomaly> kept;
  for (size_t i = 0; i < anomalies.size(); i++) {
    Anomaly& a = anomalies[i];
    if (i < carriedAnomalies) {
      if (a.kind == AnomalyKind::kUnreadableCard && reread.count(a.file) != 0) continue;
      auto renamed = s->renamed.find(a.file);
      if (renamed != s->renamed.end()) a.file = renamed->second;
    }
    kept.push_back(std::move(a));
  }
  anomalies.swap(kept);
  std::unordered_map<std::string, uint32_t> placeOf, logOf;
  for (uint32_t i = 0; i < s->cards.size(); i++) {
    if (!s->cards[i].empty()) placeOf[s->cards[i]] = i;
  }
  for (uint32_t i = 0; i < s->table.logs.size(); i++) logOf[s->table.logs[i]] = i;
  for (size_t i = 0; i < carried.unmatched.size(); i++) {
    std::string card = carried.unmatched[i].first;
    auto renamed = s->renamed.find(card);
    if (renamed != s->renamed.end()) card = renamed->second;
    auto place = placeOf.find(card);
    auto log = logOf.find(carried.unmatchedLogs[i]);
    if (place == placeOf.end()) {
      s->changed.push_back({card, "it is no longer there"});
      continue;
    }
    Probe p = carried.unmatched[i].second;
    p.card = place->second;
    p.log = log != logOf.end() ? static_cast<int>(log->second) : -1;
    s->unmatched.push_back(p);
  }
  return s->changed.empty();
}

// One run of the audit's passes: with `carried`, on from it; else in full.
// Fills `report`, and `out` with what the next run carries. Returns false,
// with `problem` set, when the network cannot be listed; `changed` tells
// the files that changed otherwise than by growing, when a run on from
// `carried` cannot stand.
bool runPasses(int dir, int64_t now, bool progress, const Carried* carried, AuditReport* report,
               Carried* out, std::vector<std::pair<std::string, std::string>>* changed,
               std::string* problem) {
  AuditSinks sinks;
  *report = AuditReport{};
  for (const ReaderConfig& reader : kNetworkReaders) {
    report->readers[reader.readerId];
    report->now[reader.readerId];
  }
  AuditShared shared;
  shared.carried = carried;
  AuditState state = auditState(&shared);
  state.dir = dir;
  state.sinks = &sinks;
  state.report = report;
  state.progress = progress;
  state.now = now;
  state.latest = timetolong(now + kClockToleranceSeconds);
  state.buffer.resize(kReadBufferBytes);
  state.hours = makeLocalHours();
  state.carrying = true;
  size_t carriedAnomalies = 0;
  if (carried != nullptr) {
    goOnFrom(&state, *carried, report);
    carriedAnomalies = report->anomalies.size();
  }
  readLogs(&state);
  readCards(&state);
  if (!state.unlisted.empty()) {
    *problem = state.unlisted;
    return false;
  }
  if (carried != nullptr && !caughtUp(&state, *carried, carriedAnomalies)) {
    *changed = state.changed;
    return true;
  }
  *out = carryOn(&state);
  settleUnmatched(&state);
  reportLeftOverLines(&state);
  reportLeftOverTopUps(&state);
  tallyHeld(&state);
  if (progress) fprintf(stderr, "\r%60s\r", "");
  return true;
}

}  // namespace

Carried carryOn(AuditState* s) {
  Carried c;
  c.report = *s->report;
  c.heldChanges = s->heldChanges;
  c.issuedOn = s->issuedOn;
  c.movedOn = s->movedOn;
  c.fullNext = s->fullNext;
  for (const Probe& p : s->unmatched) {
    c.unmatched.push_back({s->cards[p.card], p});
    c.unmatchedLogs.push_back(p.log >= 0 ? s->table.logs[static_cast<size_t>(p.log)] : "");
  }
  for (CardCarry& card : s->cardsOut) {
    if (card.name.empty()) continue;
    c.fullNext = c.fullNext || !card.continuable;
    c.cardOfInode[card.mark.inode] = card.name;
    std::string name = card.name;
    c.cards.emplace(std::move(name), std::move(card));
  }
  for (size_t log = 0; log < s->logsOut.size(); log++) {
    LogCarry& l = s->logsOut[log];
    if (l.name.empty()) continue;
    c.fullNext = c.fullNext || !l.continuable;
    carryLines(s, static_cast<uint16_t>(log), &l);
    std::string name = l.name;
    c.logs.emplace(std::move(name), std::move(l));
  }
  if (!s->topUpOut.name.empty()) {
    c.fullNext = c.fullNext || !s->topUpOut.continuable;
    c.logs.emplace(s->topUpOut.name, s->topUpOut);
  }
  c.topUps = s->topUps;
  for (TopUpEntry& e : c.topUps) e.card = 0;
  return c;
}

bool auditWithCheckpoint(int dir, const std::string& shownAs, int64_t now, bool progress,
                         const std::string& checkpoint, AuditReport* report, std::string* problem,
                         bool* ofNetwork) {
  *ofNetwork = true;
  *problem = notANetwork(dir, shownAs);
  if (!problem->empty()) return false;
  struct stat info {};
  if (fstat(dir, &info) != 0) {
    *problem = "cannot look at " + shownAs + ": " + strerror(errno);
    return false;
  }
  NetworkId id{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  *ofNetwork = false;
  Carried carried;
  std::string bytes, error;
  bool missing = false, have = readWhole(checkpoint, &bytes, &missing, &error);
  if (!have && !missing) {
    *problem = error;
    return false;
  }
  if (have) {
    *problem = decode(bytes, checkpoint, id, &carried);
    if (!problem->empty()) return false;
  }
  bytes.clear();
  bytes.shrink_to_fit();
  bool goOn = have && !carried.fullNext;
  Carried out;
  std::vector<std::pair<std::string, std::string>> changed;
  if (!runPasses(dir, now, progress, goOn ? &carried : nullptr, report, &out, &changed, problem)) {
    *ofNetwork = true;
    return false;
  }
  if (!changed.empty()) {
    // What changed is told, and every file audited again in full.
    carried = Carried{};
    if (!runPasses(dir, now, progress, nullptr, report, &out, &changed, problem)) {
      *ofNetwork = true;
      return false;
    }
    for (const auto& [file, what] : changed) {
      report->anomalies.push_back(
          {AnomalyKind::kHistoryChanged, file, 0,
           what + " since the audit of " + checkpoint + ": audited again in full"});
    }
  }
  carried = Carried{};
  sortAnomalies(&report->anomalies);
  *problem = writeWhole(checkpoint, encode(out, id, shownAs));
  return problem->empty();
}
