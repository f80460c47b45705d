// Every point of a real reader's tap put to the test, with strace: a
// SIGKILL at each system call of the tap in turn, a failing write or flush
// at each in turn, and a power cut after each file operation with whatever
// was not yet flushed lost or cut at any byte. After each, once the card's
// next reader and the interrupted reader have run, the card must be
// readable and card and logs must agree: both of the tap's records whole,
// or neither there.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/card_transaction.h"
#include "core/file_io.h"
#include "core/settle.h"
#include "core/tap_journal.h"
#include "tests/reliability/card_checks.h"
#include "tests/support/programs.h"
#include "tests/support/test_support.h"

namespace {

const char kCard[] = "Card/1.txt";
const char kLog[] = "Reader_txt/Subway1.txt";

// How a run of a reader ended, and what it printed.
struct ReaderEnd {
  bool killed;         // by SIGKILL
  int status;          // exit status otherwise
  std::string output;  // its console
};

// Every point of one tap: a system call, as strace counts them.
struct Point {
  std::string name;  // the system call
  int nth;           // its count among the reader's calls of that name
  std::string line;  // as traced, with its descriptor's path
};

// "\x41\x42" and the like, as strace -xx writes bytes, back to bytes.
std::string unescape(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

// The files a tap writes in the network directory at `root`, by their
// paths in it.
std::map<std::string, std::string> filesOf(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const char* path : {kCard, kLog, "Reader_txt/Subway1.txt.pending"}) {
    if (fileExists(root + "/" + path)) files[path] = readFile(root + "/" + path);
  }
  return files;
}

class TapPoints : public InScratchNetwork {
 protected:
  void SetUp() override {
    InScratchNetwork::SetUp();
    ASSERT_EQ(access(STRACE_PROGRAM, X_OK), 0) << "strace is needed: tools/ensure-packages.sh";
  }

  // The network before the tap: a fresh card and, for a tap that is not
  // the reader's first, the log and journal its first tap left.
  void prepare(bool firstTap) {
    ASSERT_TRUE(resetNetwork(root()));
    writeFile(at(kCard), cardLine("SUBWAY OUT", 3600, 10000, "ISSUE_1") + "\r\n" +
                             cardLine("SUBWAY OUT", 3600, 10000, "ISSUE_2"));
    if (!firstTap) {
      ASSERT_FALSE(run({}, "S1").killed);
    }
    before = snapshot();
  }

  // The files of the network, by their paths in it.
  std::map<std::string, std::string> snapshot() const { return filesOf(root()); }

  void restore(const std::map<std::string, std::string>& files) {
    ASSERT_TRUE(resetNetwork(root()));
    for (const auto& [path, bytes] : files) writeFile(at(path), bytes);
  }

  // Starts reader `reader` in the network directory, under `strace` and its
  // arguments when they are given (a file strace writes is named relative
  // to the network directory). When `fast`, the reader's pause after a tap
  // runs a hundred times as fast (libfaketime, when it is there).
  Program start(const std::vector<std::string>& strace, const std::string& reader, bool fast,
                rlim_t fileSizeLimit = RLIM_INFINITY) {
    ProgramRun run;
    run.argv = strace;
    std::vector<std::string> faster;
    if (fast && std::string(FAKETIME_LIBRARY) != "") {
      faster = {std::string("LD_PRELOAD=") + FAKETIME_LIBRARY, "FAKETIME=+0 x100",
                "FAKETIME_DONT_FAKE_MONOTONIC=1"};
    }
    for (const std::string& variable : faster) {
      if (strace.empty()) {
        run.environment.push_back(variable);
      } else {
        run.argv.insert(run.argv.end(), {"-E", variable});
      }
    }
    if (!strace.empty()) run.argv.insert(run.argv.begin(), STRACE_PROGRAM);
    run.argv.push_back(std::string(READERS_DIR) + "/" +
                       (reader == "B" ? "bus_reader" : "subway_reader_s" + reader.substr(1)));
    run.dir = root();
    run.console = at("console-" + reader + ".txt");
    run.fileSizeLimit = fileSizeLimit;
    return startProgram(run);
  }

  // Types one tap of card 1 at reader `id`, running as `reader`, ends its
  // input and waits for it to end. Killed: by SIGKILL (strace ends itself
  // with the signal that ended the reader).
  ReaderEnd finish(Program reader, const std::string& id) {
    typeInto(reader, "1\n");
    int status = finishProgram(&reader);
    return {status == 128 + SIGKILL, status, readFile(at("console-" + id + ".txt"))};
  }

  // Runs a reader on one tap of card 1.
  ReaderEnd run(const std::vector<std::string>& strace, const std::string& reader, bool fast = true,
                rlim_t fileSizeLimit = RLIM_INFINITY) {
    return finish(start(strace, reader, fast, fileSizeLimit), reader);
  }

  // The system calls of the tap: from the read of the card number to the
  // pause after the tap, in the main thread, counted as strace counts them.
  // A reader made `fast` counts other calls as libfaketime starts, at
  // moments that vary with the timer thread; its writes and flushes stay.
  std::vector<Point> tapPoints(bool fast) {
    run({"-qq", "-y", "-o", "trace.txt"}, "S1", fast);
    std::vector<std::string> lines = split(readFile(at("trace.txt")), "\n");
    std::map<std::string, int> seen;
    std::vector<Point> points;
    bool inTap = false;
    for (const std::string& line : lines) {
      std::string name = line.substr(0, line.find('('));
      if (name.empty() || name.find(' ') != std::string::npos) continue;
      int nth = ++seen[name];
      if (inTap && (name == "clock_nanosleep" || name == "nanosleep")) break;
      if (inTap) points.push_back({name, nth, line});
      if (line.rfind("read(0", 0) == 0 && line.find("\"1\\n\"") != std::string::npos) {
        inTap = true;
      }
    }
    return points;
  }

  // Whether the card and the reader logs agree (see card_checks.h).
  std::string agreement(const std::vector<std::string>& readers) {
    return ::agreement(kCard, readers, root());
  }

  std::map<std::string, std::string> before;
};

}  // namespace

// The kill test in four parts that run side by side: the card's first tap
// or a later one, and every other point of it.
struct KillShard {
  bool firstTap;
  int parity;  // 1: the points where the card's next reader already waits
};

class TapKills : public TapPoints, public ::testing::WithParamInterface<KillShard> {};

TEST_P(TapKills, AKillAtAnySystemCallLeavesCardAndLogAgreeing) {
  const KillShard shard = GetParam();
  // The killed reader runs at the real pace: libfaketime, starting in
  // whichever thread first asks the time, would move the counts.
  int points = 0, forward = 0, back = 0;
  prepare(shard.firstTap);
  std::vector<Point> tap = tapPoints(false);
  ASSERT_GT(tap.size(), 20u) << "the tap was not traced";
  for (size_t i = shard.parity; i < tap.size(); i += 2) {
    const Point& p = tap[i];
    restore(before);
    // For every other point the card's next reader is S3, already running
    // before the kill, so that it finds the tap by its hint; then the
    // killed reader starts again and taps the card once more.
    bool waiting = shard.parity == 1;
    Program s3 = waiting ? start({}, "S3", true) : Program{};
    std::string inject = "inject=" + p.name + ":signal=SIGKILL:when=" + std::to_string(p.nth);
    ASSERT_TRUE(run({"-qq", "-o", "/dev/null", "-e", inject}, "S1", false).killed) << p.line;
    if (waiting) {
      ASSERT_FALSE(finish(s3, "S3").killed);
    }
    ASSERT_FALSE(run({}, "S1").killed);
    std::string wrong = agreement({"S1", "S3"});
    EXPECT_EQ(wrong, "") << "killed at " << p.name << " #" << p.nth << ": " << p.line;
    size_t taps = 0;
    disagreement(kCard, {"S1", "S3"}, root(), &taps);
    size_t expected = (shard.firstTap ? 1 : 2) + (waiting ? 1 : 0);
    // The killed tap was completed, or it left nothing.
    (taps == expected + 1 ? forward : back)++;
    EXPECT_TRUE(taps == expected || taps == expected + 1) << p.line;
    points++;
  }
  printf(
      "kill: the reader killed at %d of the %zu system calls of a %s tap: card and logs agree "
      "after every one; %d taps completed by the next readers, %d left nothing\n",
      points, tap.size(), shard.firstTap ? "first" : "later", forward, back);
}

INSTANTIATE_TEST_SUITE_P(Taps, TapKills,
                         ::testing::Values(KillShard{true, 0}, KillShard{true, 1},
                                           KillShard{false, 0}, KillShard{false, 1}),
                         [](const auto& info) {
                           return std::string(info.param.firstTap ? "FirstTap" : "LaterTap") +
                                  (info.param.parity ? "NextReaderWaiting" : "NextReaderLater");
                         });

TEST_F(TapPoints, AFailureAtAnyWriteOrFlushIsTakenBackOrRecordedWhole) {
  const std::string failed = euckr("기록에 실패했습니다.");
  int points = 0, takenBack = 0, recorded = 0, listings = 0;
  for (bool firstTap : {true, false}) {
    prepare(firstTap);
    for (const Point& p : tapPoints(true)) {
      bool write = p.name == "write" || p.name == "pwrite64";
      bool flush = p.name == "fsync" || p.name == "fdatasync" || p.name == "ftruncate";
      // A listing of the log directory that fails: each journal is looked
      // at by its name instead.
      bool list = p.name == "getdents64";
      // Only the network's files: a console that cannot be written to is
      // another matter.
      if ((!write && !flush && !list) || p.line.find(root()) == std::string::npos) continue;
      restore(before);
      std::string inject = "inject=" + p.name + ":error=" + (write ? "ENOSPC" : "EIO") +
                           ":when=" + std::to_string(p.nth);
      ReaderEnd r = run({"-qq", "-o", "/dev/null", "-e", inject}, "S1");
      ASSERT_FALSE(r.killed) << p.line;
      EXPECT_EQ(r.status, 0) << p.line;
      std::map<std::string, std::string> after = snapshot();
      bool untouched = after[kCard] == before[kCard] && after[kLog] == before[kLog];
      bool saysFailed = r.output.find(failed) != std::string::npos;
      // A tap that failed says so and leaves nothing; a tap that says
      // nothing is recorded whole, in both files.
      EXPECT_EQ(saysFailed, untouched) << "failing " << p.line;
      if (!untouched) {
        EXPECT_EQ(split(after[kCard], "\r\n").size(), split(before[kCard], "\r\n").size() + 1)
            << p.line;
        EXPECT_EQ(split(after[kLog], "\r\n").size(), split(before[kLog], "\r\n").size() + 1)
            << p.line;
      }
      EXPECT_TRUE(!list || !untouched) << "a failed listing refused the tap: " << p.line;
      listings += list ? 1 : 0;
      (untouched ? takenBack : recorded)++;
      // And the reader goes on: its next tap finds card and log agreeing.
      ASSERT_FALSE(run({}, "S1").killed);
      EXPECT_EQ(agreement({"S1"}), "") << "after failing " << p.line;
      points++;
    }
  }
  EXPECT_GT(takenBack, 0);
  EXPECT_GT(listings, 0);
  // Two faults at once: the log's line cannot be written after the card's
  // record was, and every truncate that would take the record back fails.
  // The tap still says it failed; the record left on the card is taken back
  // by the card's next reader (S3, already running), before it reads the
  // card, led there by S1's journal.
  std::string logWrite;
  int readsBeforeLine = 0;  // the reader's preads before the line's write
  for (const Point& p : tapPoints(false)) {
    if (p.name == "pread64" && logWrite.empty()) readsBeforeLine = p.nth;
    if (p.name == "write" && p.line.find("Subway1.txt>") != std::string::npos) {
      logWrite = "inject=write:error=ENOSPC:when=" + std::to_string(p.nth);
    }
  }
  ASSERT_NE(logWrite, "");
  restore(before);
  Program s3 = start({}, "S3", true);
  ReaderEnd twice = run(
      {"-qq", "-o", "/dev/null", "-e", logWrite, "-e", "inject=ftruncate:error=EIO"}, "S1", false);
  EXPECT_NE(twice.output.find(failed), std::string::npos) << twice.output;
  EXPECT_NE(readFile(at(kCard)), before[kCard]) << "the record was not left on the card";
  ASSERT_FALSE(finish(s3, "S3").killed);
  ASSERT_FALSE(run({}, "S1").killed);
  EXPECT_EQ(agreement({"S1", "S3"}), "") << "after a failed line and failed truncates";
  // The disk dies at the commit: the intent's flush fails, and so does the
  // first write of the mark that takes it back. Whether the intent is on
  // disk cannot be known until the disk answers again: the reader waits
  // for the mark to reach it, then says the tap failed, and no settling
  // ever completes it.
  std::string intentFlush, markWrite;
  int pwrites = 0;
  for (const Point& p : tapPoints(false)) {
    if (p.name == "pwrite64") pwrites = p.nth;
    if (p.name == "fdatasync" && intentFlush.empty() &&
        p.line.find("Subway1.txt.pending>") != std::string::npos) {
      intentFlush = "inject=fdatasync:error=EIO:when=" + std::to_string(p.nth);
      markWrite = "inject=pwrite64:error=EIO:when=" + std::to_string(pwrites + 1);
    }
  }
  ASSERT_NE(intentFlush, "") << "the intent's flush was not traced";
  restore(before);
  ReaderEnd dying =
      run({"-qq", "-o", "/dev/null", "-e", intentFlush, "-e", markWrite}, "S1", false);
  EXPECT_NE(dying.output.find(failed), std::string::npos) << dying.output;
  ASSERT_FALSE(run({}, "S3").killed);
  std::map<std::string, std::string> dyingAfter = snapshot();
  EXPECT_EQ(dyingAfter[kCard], before[kCard] + dyingAfter[kCard].substr(before[kCard].size()));
  EXPECT_EQ(split(dyingAfter[kCard], "\r\n").size(), split(before[kCard], "\r\n").size() + 1)
      << "the failed tap was completed, or the next one not recorded";
  EXPECT_EQ(dyingAfter[kLog], before[kLog]) << "the failed tap's line was written";
  EXPECT_EQ(agreement({"S1", "S3"}), "") << "after the disk died at the commit";
  // The line cannot be written, nor the mark that would take the tap back:
  // committed under the lock file as it is named, the tap is never taken
  // back, and it is written again from its journal at once, so that the
  // reader's "recorded" is true before the card is let go.
  restore(before);
  ReaderEnd rewritten =
      run({"-qq", "-o", "/dev/null", "-e", logWrite, "-e", markWrite}, "S1", false);
  EXPECT_EQ(rewritten.output.find(failed), std::string::npos) << rewritten.output;
  std::map<std::string, std::string> rewrittenAfter = snapshot();
  EXPECT_EQ(split(rewrittenAfter[kCard], "\r\n").size(), split(before[kCard], "\r\n").size() + 1)
      << "the committed tap is not on the card";
  EXPECT_EQ(split(rewrittenAfter[kLog], "\r\n").size(), split(before[kLog], "\r\n").size() + 1)
      << "the committed tap's line is not in the log";
  EXPECT_EQ(agreement({"S1"}), "") << "after a failed line and a failed mark";
  // The same, and a read fails as the tap is written again (the third
  // after the line's write, which settling the card would read its tail
  // with): nothing is decided from a failed read, and nothing is dropped.
  // The tap stays committed (the reader says it is, charged), and the
  // card's next reader completes it if the writer could not.
  restore(before);
  std::string readFails = "inject=pread64:error=EIO:when=" + std::to_string(readsBeforeLine + 3);
  ReaderEnd unread = run(
      {"-qq", "-o", "/dev/null", "-e", logWrite, "-e", markWrite, "-e", readFails}, "S1", false);
  EXPECT_EQ(unread.output.find(failed), std::string::npos) << unread.output;
  ASSERT_FALSE(run({}, "S3").killed);
  std::map<std::string, std::string> unreadAfter = snapshot();
  EXPECT_EQ(split(unreadAfter[kCard], "\r\n").size(), split(before[kCard], "\r\n").size() + 2)
      << "the committed tap was not completed by the card's next reader";
  EXPECT_EQ(split(unreadAfter[kLog], "\r\n").size(), split(before[kLog], "\r\n").size() + 1)
      << "the committed tap's line is not in the log";
  EXPECT_EQ(agreement({"S1", "S3"}), "") << "after a failed line, mark and read";
  // A file-size limit the card has reached: the record's write fails, the
  // reader is not killed by SIGXFSZ, and the tap is taken back.
  std::string history;
  while (history.size() < 1024) history += "20260306070000,BUS,OUT,10000,B_1\r\n";
  before[kCard] = history + before[kCard];
  restore(before);
  ReaderEnd limited = run({}, "S1", true, before[kCard].size());
  EXPECT_FALSE(limited.killed);
  EXPECT_EQ(limited.status, 0);
  EXPECT_NE(limited.output.find(failed), std::string::npos);
  std::map<std::string, std::string> limitedAfter = snapshot();
  EXPECT_EQ(limitedAfter[kCard], before[kCard]);
  EXPECT_EQ(limitedAfter[kLog], before[kLog]);
  TapIntent journal;
  EXPECT_TRUE(readWritersJournal(net(), journalPath(kLog).c_str(), &journal) &&
              journal.state == kIdle);
  printf(
      "failure: each of %d writes and flushes of a tap failed in turn (ENOSPC, EIO): %d taps "
      "said so and were taken back whole, %d were recorded whole without a word; a failed line "
      "whose take-back failed too was taken back by the card's next reader; past a file-size "
      "limit the tap was taken back and the reader lived\n",
      points, takenBack, recorded);
}

TEST_F(TapPoints, ALockFileRemovedMidTapLetsNoSecondWriterIn) {
  // S1 has committed its tap and sleeps before appending its record when
  // an operator removes Card/taps.lock (a "stale lock" clean-up), or puts
  // another file in its place. S3, tapping the card meanwhile, locks the
  // file now named so: it must neither complete S1's tap while S1 still
  // records it nor decide from a card S1 is about to write.
  // S1 held either before its card's append (its tap committed) or before
  // its intent is written (S3 then goes on from the card as it is, and S1,
  // finding the lock file changed, takes back its own tap and nothing of
  // S3's).
  prepare(false);
  std::string cardAppend, intentWrite;
  for (const Point& p : tapPoints(false)) {
    if (p.name == "write" && p.line.find("Card/1.txt>") != std::string::npos) {
      cardAppend = "inject=write:delay_enter=2000000:when=" + std::to_string(p.nth);
    }
    if (p.name == "pwrite64" && intentWrite.empty() &&
        p.line.find("Subway1.txt.pending>") != std::string::npos) {
      intentWrite = "inject=pwrite64:delay_enter=2000000:when=" + std::to_string(p.nth);
    }
  }
  ASSERT_NE(cardAppend, "") << "the card's append was not traced";
  ASSERT_NE(intentWrite, "") << "the intent's write was not traced";
  // The shell commands name the files by their whole paths.
  const std::string locks = "'" + at("Card/taps.lock") + "'", copy = "'" + at("x") + "'";
  for (const std::string& held : {cardAppend, intentWrite})
    for (const std::string& change :
         {"rm " + locks, "cp " + locks + " " + copy + " && mv " + copy + " " + locks}) {
      SCOPED_TRACE(held);
      restore(before);
      Program s1 = start({"-qq", "-o", "/dev/null", "-e", held}, "S1", false);
      typeInto(s1, "1\n");
      if (held == cardAppend) {
        ASSERT_TRUE(waitUntil(
            [this] {
              TapIntent intent;
              return readWritersJournal(net(), "Reader_txt/Subway1.txt.pending", &intent) &&
                     intent.state == kPending;
            },
            10))
            << "S1 did not commit its tap";
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
      }
      ASSERT_EQ(system(change.c_str()), 0);
      ASSERT_FALSE(run({}, "S3").killed);
      ASSERT_FALSE(finish(s1, "S1").killed);
      ASSERT_FALSE(run({}, "S1").killed);
      ASSERT_FALSE(run({}, "S3").killed);
      EXPECT_EQ(agreement({"S1", "S3"}), "") << "after " << change;
    }
}

namespace {

// One operation on a file of the network, as the tap made it.
struct FileOp {
  enum Kind { kCreate, kUnlink, kWrite, kTruncate, kSync, kSyncFailed, kSyncDirectory } kind;
  std::string path;   // relative to the network
  int64_t offset;     // where a write goes; the size a truncate leaves
  std::string bytes;  // what a write writes
  double when = 0;    // when it returned, from a trace made with -ttt -T
};

// A file as the page cache and as the disk hold it.
struct ModelFile {
  bool named = false;        // its name, in the cache
  bool namedOnDisk = false;  // its name, as its directory was last flushed
  std::string cached, onDisk;
  std::vector<FileOp> unflushed;  // writes and truncates since its last flush
};

std::string applied(std::string content, const FileOp& op, size_t cut) {
  if (op.kind == FileOp::kTruncate) {
    content.resize(static_cast<size_t>(op.offset), '\0');
    return content;
  }
  size_t end = static_cast<size_t>(op.offset) + cut;
  if (content.size() < end) content.resize(end, '\0');
  content.replace(static_cast<size_t>(op.offset), cut, op.bytes.substr(0, cut));
  return content;
}

// Every state a file may be found in after a power cut: what is on disk,
// with the unflushed operations after it kept in order up to one that is
// cut at any byte; absent ("\x01") too when its name may not be there (a
// name made or removed since its directory was last flushed may or may not
// have reached the disk).
std::vector<std::string> afterPowerCut(const ModelFile& file) {
  std::vector<std::string> states;
  if (!file.named || !file.namedOnDisk) states.push_back("\x01");
  if (!file.named && !file.namedOnDisk) return states;
  states.push_back(file.onDisk);
  std::string content = file.onDisk;
  for (const FileOp& op : file.unflushed) {
    size_t length = op.kind == FileOp::kWrite ? op.bytes.size() : 1;
    for (size_t cut = 1; cut <= length; cut++) states.push_back(applied(content, op, cut));
    content = applied(content, op, length);
  }
  return states;
}

// The tap's operations on the network's files, from a trace made with
// strace -y -xx; `root` is the network directory.
std::vector<FileOp> fileOps(const std::string& trace, const std::string& root) {
  std::vector<FileOp> ops;
  for (std::string line : split(trace, "\n")) {
    // The time the call began (-ttt), and how long it took (-T): an
    // operation is placed at the time it returned, for a flush has done
    // nothing sure until then, however long it was held up.
    double when = 0;
    if (!line.empty() && isdigit(static_cast<unsigned char>(line[0])) &&
        line.find(' ') != std::string::npos) {
      when = std::stod(line.substr(0, line.find(' ')));
      line = line.substr(line.find(' ') + 1);
      size_t took = line.rfind(" <");
      if (took != std::string::npos && line.back() == '>') when += std::stod(line.substr(took + 2));
    }
    size_t open = line.find('('), result = line.rfind(") = ");
    if (open == std::string::npos || result == std::string::npos) continue;
    std::string name = line.substr(0, open);
    // A call that failed did nothing, but for a flush: its pages are then
    // taken for written, and are never written unless written again.
    bool failed = line.compare(result + 4, 2, "-1") == 0;
    if (failed && name != "fsync" && name != "fdatasync") continue;
    // The path of the descriptor the call works on, or that it returns;
    // strings are all escaped, so no '<' or '>' stands inside one.
    size_t at = name == "openat" ? line.find('<', result) : line.find('<', open);
    size_t end = line.find('>', at);
    if (at == std::string::npos || end == std::string::npos) continue;
    std::string path = unescape(line.substr(at + 1, end - at - 1));
    // unlinkat names its file by a path relative to the directory given.
    if (name == "unlinkat") {
      size_t quote = line.find(", \"", open) + 3;
      std::string relative = unescape(line.substr(quote, line.find('"', quote) - quote));
      path = relative[0] == '/' ? relative : path + "/" + relative;
    }
    if (path.rfind(root + "/", 0) != 0) continue;
    path = path.substr(root.size() + 1);
    // The last argument: a write's offset, a truncate's size.
    std::string last = line.substr(line.rfind(", ", result) + 2);
    if (name == "rename" || name.find("renameat") == 0) {
      ADD_FAILURE() << "the tap renamed a file: " << line;
    } else if (name == "unlink" || name == "unlinkat") {
      ops.push_back({FileOp::kUnlink, path, 0, ""});
    } else if (name == "openat") {
      if (line.find("O_CREAT") != std::string::npos) ops.push_back({FileOp::kCreate, path, 0, ""});
    } else if (name == "write" || name == "pwrite64") {
      size_t quote = line.find(", \"", open) + 3, close = line.find('"', quote);
      std::string bytes = unescape(line.substr(quote, close - quote));
      // A write without an offset appends: every file the tap writes so
      // is opened with O_APPEND.
      int64_t offset = name == "pwrite64" ? std::stoll(last) : -1;
      ops.push_back({FileOp::kWrite, path, offset, bytes});
    } else if (name == "ftruncate") {
      ops.push_back({FileOp::kTruncate, path, std::stoll(last), ""});
    } else if (name == "fsync" || name == "fdatasync") {
      bool directory = path == "Reader_txt" || path == "Card";
      if (failed && directory) continue;
      ops.push_back({directory ? FileOp::kSyncDirectory
                     : failed  ? FileOp::kSyncFailed
                               : FileOp::kSync,
                     path, 0, ""});
    }
    if (!ops.empty() && ops.back().when == 0) ops.back().when = when;
  }
  return ops;
}

// Plays one operation on the model of the cache and the disk.
void play(FileOp op, std::map<std::string, ModelFile>* model) {
  ModelFile& file = (*model)[op.path];
  switch (op.kind) {
    case FileOp::kCreate:
      if (!file.named) file = {true, file.namedOnDisk, "", "", {}};
      break;
    case FileOp::kUnlink:
      file.named = false;
      break;
    case FileOp::kWrite:
      if (op.offset < 0) op.offset = static_cast<int64_t>(file.cached.size());
      [[fallthrough]];
    case FileOp::kTruncate:
      file.cached = applied(file.cached, op, op.bytes.size());
      file.unflushed.push_back(op);
      break;
    case FileOp::kSync:
      file.onDisk = file.cached;
      file.unflushed.clear();
      break;
    case FileOp::kSyncFailed:
      // The kernel marks the pages it could not write clean: the disk keeps
      // what it had, and nothing written so far reaches it any more. (A
      // later flush of the file takes what the cache shows: the model keeps
      // no pages, and so errs towards the bytes being on disk.)
      file.unflushed.clear();
      break;
    case FileOp::kSyncDirectory:
      for (auto& [path, f] : *model) {
        if (path.rfind(op.path + "/", 0) == 0) f.namedOnDisk = f.named;
      }
      break;
  }
}

// Makes Card/ and Reader_txt/ of the network directory `network` empty,
// whatever a recovery before left in them.
void emptyNetwork(const NetworkDir& network) {
  for (const char* directory : {"Card", "Reader_txt"}) {
    mkdir(network.at(directory).c_str(), 0755);
    DIR* dir = opendir(network.at(directory).c_str());
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') {
        unlink(network.at(std::string(directory) + "/" + entry->d_name).c_str());
      }
    }
    closedir(dir);
  }
  unlink(network.at("log.real").c_str());
}

const char* const kModelled[] = {kCard, kLog, "Reader_txt/Subway1.txt.pending"};
constexpr size_t kModelledFiles = std::size(kModelled);

// The disk states to try after a power cut: each file through every state
// it may be found in, the others either as on disk or with everything
// unflushed kept; and a few hundred more with every file's state drawn at
// random.
std::vector<std::vector<size_t>> choicesOf(const std::vector<std::vector<std::string>>& states,
                                           unsigned seed) {
  std::vector<std::vector<size_t>> choices;
  for (size_t f = 0; f < kModelledFiles; f++) {
    for (size_t s = 0; s < states[f].size(); s++) {
      for (int ends = 0; ends < 1 << (kModelledFiles - 1); ends++) {
        std::vector<size_t> choice(kModelledFiles);
        int bit = 0;
        for (size_t g = 0; g < kModelledFiles; g++) {
          choice[g] = g == f ? s : ((ends >> bit++) & 1 ? states[g].size() - 1 : 0);
        }
        choices.push_back(choice);
      }
    }
  }
  std::mt19937 random(seed);
  for (int i = 0; i < 256; i++) {
    std::vector<size_t> choice(kModelledFiles);
    for (size_t f = 0; f < kModelledFiles; f++) choice[f] = random() % states[f].size();
    choices.push_back(choice);
  }
  return choices;
}

// Makes the intent in the journal at `journal` of the network directory
// `network` name the card and the log there by their inodes, as it names
// the files it was written for: a disk image is made of new files, where
// after a power cut the files are the same.
void retarget(const NetworkDir& network, const std::string& journal) {
  TapIntent intent;
  if (!parseIntent(readFile(network.at(journal)), &intent) || intent.state == kIdle) return;
  struct stat info {};
  if (stat(network.at(intent.cardPath).c_str(), &info) == 0) intent.cardInode = info.st_ino;
  if (stat(network.at(intent.logPath).c_str(), &info) == 0) intent.logInode = info.st_ino;
  // The lock file the tap was made under outlives the power cut: the image
  // holds it as the intent names it.
  int locks = openLocks(network.dir());
  if (intent.lockInode != 0 && locks >= 0) intent.lockInode = inodeOf(locks);
  if (locks >= 0) close(locks);
  writeFile(network.at(journal), formatIntent(intent));
}

}  // namespace

TEST_F(TapPoints, PowerLossAtAnyPointLeavesEveryCardReadableAndAgreeing) {
  long images = 0, heldBack = 0;
  int points = 0;
  // A tap recorded, the first of its reader and a later one; a tap whose
  // log line cannot be written (a full disk), taken back; and a tap whose
  // writer's disk dies at its commit (the intent's flush fails, then every
  // write), the writer killed as it waits for the disk, then settled by a
  // reader starting whose flush of the line fails: the intent was only in
  // the cache, and the settler must put it on disk before the record.
  struct {
    const char* what;
    bool firstTap;
    const char* fault;
    bool settledAfterADeadDisk;
  } taps[] = {{"a first tap", true, nullptr, false},
              {"a later tap", false, nullptr, false},
              {"a tap taken back", false, "", false},
              {"a tap settled after its writer's disk died", false, "", true}};
  ScratchDir imageDir(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr);
  NetworkDir image(imageDir.path());
  std::string failingLogWrite;
  const std::vector<std::string> traceOps = {
      "-qq",
      "-y",
      "-xx",
      "-s",
      "4096",
      "-e",
      "trace=openat,write,pwrite64,ftruncate,fsync,fdatasync,rename,unlink,unlinkat,renameat,"
      "renameat2"};
  for (auto& tap : taps) {
    prepare(tap.firstTap);
    std::vector<std::string> faults;
    if (tap.fault != nullptr && !tap.settledAfterADeadDisk) {
      for (const Point& p : tapPoints(false)) {
        if (p.name == "write" && p.line.find("Subway1.txt>") != std::string::npos) {
          failingLogWrite = "inject=write:error=ENOSPC:when=" + std::to_string(p.nth);
        }
      }
      ASSERT_NE(failingLogWrite, "") << "the log's append was not traced";
      faults = {"-e", failingLogWrite};
      restore(before);
    }
    if (tap.settledAfterADeadDisk) {
      int pwrites = 0;
      for (const Point& p : tapPoints(false)) {
        if (p.name == "pwrite64") pwrites = p.nth;
        if (p.name == "fdatasync" && faults.empty() &&
            p.line.find("Subway1.txt.pending>") != std::string::npos) {
          faults = {"-e", "inject=fdatasync:error=EIO:when=" + std::to_string(p.nth),
                    "-e", "inject=pwrite64:error=EIO:when=" + std::to_string(pwrites + 1) + "+",
                    "-e", "inject=clock_nanosleep,nanosleep:signal=SIGKILL:when=1"};
        }
      }
      ASSERT_FALSE(faults.empty()) << "the intent's flush was not traced";
      restore(before);
    }
    // S1 dying at the commit, then S3 starting with no tap: which of S3's
    // flushes is the one of S1's line.
    auto dies = [&](const std::string& trace) {
      std::vector<std::string> strace = traceOps;
      strace.back() += ",clock_nanosleep,nanosleep";  // strace injects only into what it traces
      strace.insert(strace.end(), {"-o", trace});
      strace.insert(strace.end(), faults.begin(), faults.end());
      return run(strace, "S1", false).killed;
    };
    std::string lineFlush;
    if (tap.settledAfterADeadDisk) {
      ASSERT_TRUE(dies("trace.txt")) << "S1 did not wait for its disk";
      Program s3 = start({"-qq", "-y", "-o", "trace-S3.txt", "-e", "trace=fdatasync"}, "S3", true);
      ASSERT_EQ(finishProgram(&s3), 0);
      int flushes = 0;
      for (const std::string& line : split(readFile(at("trace-S3.txt")), "\n")) {
        if (line.rfind("fdatasync(", 0) != 0) continue;
        flushes++;
        if (lineFlush.empty() && line.find("Subway1.txt>") != std::string::npos) {
          lineFlush = "inject=fdatasync:error=EIO:when=" + std::to_string(flushes);
        }
      }
      ASSERT_NE(lineFlush, "") << "S3 starting did not settle S1's tap";
      restore(before);
    }
    std::vector<FileOp> ops;
    if (tap.settledAfterADeadDisk) {
      ASSERT_TRUE(dies("trace.txt")) << "S1 did not wait for its disk";
      std::vector<std::string> strace = traceOps;
      strace.insert(strace.end(), {"-o", "trace-S3.txt", "-e", lineFlush});
      Program s3 = start(strace, "S3", true);
      ASSERT_EQ(finishProgram(&s3), 0);
      ops = fileOps(readFile(at("trace.txt")), root());
      for (const FileOp& op : fileOps(readFile(at("trace-S3.txt")), root())) ops.push_back(op);
    } else {
      std::vector<std::string> strace = traceOps;
      strace.insert(strace.end(), {"-o", "trace.txt"});
      strace.insert(strace.end(), faults.begin(), faults.end());
      run(strace, "S1", tap.fault == nullptr);
      ops = fileOps(readFile(at("trace.txt")), root());
    }
    std::map<std::string, std::string> after = snapshot();
    // What the cache shows: the tap recorded, or taken back (completed by
    // S3 after a dead disk).
    ASSERT_EQ(after[kCard] != before[kCard], tap.fault == nullptr || tap.settledAfterADeadDisk)
        << tap.what;
    ASSERT_GT(ops.size(), 5u);
    if (getenv("SHOW_OPS")) {
      for (size_t i = 0; i < ops.size(); i++) {
        fprintf(stderr, "%zu: %d %s %lld %zu\n", i + 1, ops[i].kind, ops[i].path.c_str(),
                static_cast<long long>(ops[i].offset), ops[i].bytes.size());
      }
    }

    // The cache and the disk, operation by operation, and a power cut
    // before the first and after each.
    std::map<std::string, ModelFile> model;
    for (const char* path : kModelled) {
      if (before.count(path)) model[path] = {true, true, before[path], before[path], {}};
    }
    for (size_t point = 0; point <= ops.size(); point++) {
      if (point > 0) play(ops[point - 1], &model);
      std::vector<std::vector<std::string>> states;
      for (const char* path : kModelled) {
        states.push_back(model.count(path) ? afterPowerCut(model[path])
                                           : std::vector<std::string>{"\x01"});
      }
      for (const std::vector<size_t>& choice : choicesOf(states, static_cast<unsigned>(point))) {
        std::string choiceText;
        for (size_t c : choice) choiceText += " " + std::to_string(c);
        SCOPED_TRACE(std::string(tap.what) + ", power cut after operation " +
                     std::to_string(point) + " of " + std::to_string(ops.size()) + ", states" +
                     choiceText);
        emptyNetwork(image);
        for (size_t f = 0; f < kModelledFiles; f++) {
          if (states[f][choice[f]] != "\x01") {
            writeFile(image.at(kModelled[f]), states[f][choice[f]]);
          }
        }
        TapIntent intent;
        std::string journal = "Reader_txt/Subway1.txt.pending";
        // The files of the image are the files the tap wrote: the intent
        // names them by their inodes here.
        retarget(image, journal);
        bool inFlight =
            readWritersJournal(image.dir(), journal.c_str(), &intent) && intent.state != kIdle;
        CardRecord records[2];
        std::vector<std::string> notices;
        // The machine comes back; when a journal still holds a tap, its log
        // first cannot be settled (a link stands in its place): no reader
        // may read the card then.
        if (inFlight) {
          const std::string log = image.at(kLog), real = image.at("log.real");
          bool moved = rename(log.c_str(), real.c_str()) == 0 || errno == ENOENT;
          ASSERT_TRUE(moved);
          ASSERT_EQ(symlink("../log.real", log.c_str()), 0);
          EXPECT_FALSE(settleEveryJournal(image.dir(), logsWith(), &notices));
          EXPECT_NE(holdAndLetGo(image.dir(), kCard, records), LoadStatus::kLoaded);
          unlink(log.c_str());
          bool restored = rename(real.c_str(), log.c_str()) == 0 || errno == ENOENT;
          ASSERT_TRUE(restored);
          heldBack++;
        }
        // Then every reader settles every journal as it starts, and the
        // card's next reader holds it.
        EXPECT_TRUE(settleEveryJournal(image.dir(), logsWith(), &notices));
        bool readable = holdAndLetGo(image.dir(), kCard, records) == LoadStatus::kLoaded;
        std::map<std::string, std::string> recovered = filesOf(image.root());
        bool none = recovered[kCard] == before[kCard] && recovered[kLog] == before[kLog];
        bool both = recovered[kCard] == after[kCard] && recovered[kLog] == after[kLog];
        if (tap.fault != nullptr) {
          both =
              recovered[kCard] != before[kCard] &&
              recovered[kCard].compare(0, before[kCard].size(), before[kCard]) == 0 &&
              recovered[kLog].compare(0, before[kLog].size(), before[kLog]) == 0 &&
              split(recovered[kCard], "\r\n").size() == split(before[kCard], "\r\n").size() + 1 &&
              split(recovered[kLog], "\r\n").size() == split(before[kLog], "\r\n").size() + 1;
        }
        bool idle =
            !readWritersJournal(image.dir(), journal.c_str(), &intent) || intent.state == kIdle;
        ASSERT_TRUE(readable && (none || both) && idle)
            << "card " << (readable ? "readable" : "unreadable")
            << (none || both ? ", card and log agree" : ", card and log disagree")
            << (idle ? "" : ", journal in flight");
        images++;
      }
      points++;
    }
  }
  printf(
      "power: a power cut before and after each of %d file operations of a tap (a first tap, a "
      "later one, one taken back, one settled after its writer's disk died), %ld disk states "
      "recovered: every card readable, card and log "
      "agreeing every time; in %ld of them a tap in flight could not be settled at first, and "
      "no reader read its card until it was\n",
      points, images, heldBack);
}

TEST_F(TapPoints, PowerLossWithSeveralReadersTapsCommittedOnOneCard) {
  // Two and three readers tap one card one after the other, each committing
  // its tap (its intent on disk) and appending its record and line, and each
  // flushing them only later, in every order: the card holds several
  // committed taps whose bytes are not on disk. A power cut before and
  // after each file operation, every file in each of its states with the
  // others as flushed or with everything kept (and 64 draws of all at
  // random): recovery completes every committed tap, in order, and the card
  // and the logs agree, with nothing in flight and nothing dropped.
  // Which readers tap in which order, and in which order they flush: one
  // tap order of three readers in every order of flushing, and the reverse
  // tap order, so that the journals' order is not their taps' order.
  const struct {
    std::vector<std::string> taps, flushes;
  } orders[] = {
      {{"S1", "S3"}, {"S1", "S3"}},           {{"S1", "S3"}, {"S3", "S1"}},
      {{"S3", "S1"}, {"S3", "S1"}},           {{"S3", "S1"}, {"S1", "S3"}},
      {{"S1", "S3", "B"}, {"S1", "S3", "B"}}, {{"S1", "S3", "B"}, {"S1", "B", "S3"}},
      {{"S1", "S3", "B"}, {"S3", "S1", "B"}}, {{"S1", "S3", "B"}, {"S3", "B", "S1"}},
      {{"S1", "S3", "B"}, {"B", "S1", "S3"}}, {{"S1", "S3", "B"}, {"B", "S3", "S1"}},
      {{"B", "S3", "S1"}, {"B", "S3", "S1"}}, {{"B", "S3", "S1"}, {"S1", "S3", "B"}},
  };
  ScratchDir imageDir(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr);
  NetworkDir image(imageDir.path());
  long images = 0, completed = 0;
  for (const auto& order : orders) {
    const std::vector<std::string>& readers = order.taps;
    const std::vector<std::string>& flushOrder = order.flushes;
    std::string scenario;
    for (const std::string& r : readers) scenario += r + " ";
    scenario += "tapped, flushed";
    for (const std::string& r : flushOrder) scenario += " " + r;
    SCOPED_TRACE(scenario);
    ASSERT_TRUE(resetNetwork(root()));
    writeFile(at(kCard), cardLine("SUBWAY OUT", 3600, 10000, "ISSUE_1") + "\r\n" +
                             cardLine("SUBWAY OUT", 3600, 10000, "ISSUE_2"));
    std::map<std::string, std::string> before = {{kCard, readFile(at(kCard))}};
    // The readers all start, then each taps in turn once the one before has
    // appended; each holds its data flush (its third fdatasync: the journal
    // made, the intent, the card) the longer the later it is to flush.
    std::vector<Program> running;
    for (size_t r = 0; r < readers.size(); r++) {
      size_t rank =
          std::find(flushOrder.begin(), flushOrder.end(), readers[r]) - flushOrder.begin();
      std::string delay = std::to_string(1500000 * (rank + 1) - 300000 * r);
      running.push_back(start({"-qq", "-y", "-xx", "-ttt", "-T", "-s", "4096", "-o",
                               "trace-" + readers[r] + ".txt", "-e",
                               "trace=openat,write,pwrite64,ftruncate,fsync,fdatasync,rename,"
                               "unlink,unlinkat,renameat,renameat2",
                               "-e", "inject=fdatasync:delay_enter=" + delay + ":when=3"},
                              readers[r], true));
      std::string console = at("console-" + readers[r] + ".txt");
      ASSERT_TRUE(
          waitUntil([&] { return readFile(console).find("Input Card") != std::string::npos; }, 30));
    }
    // Each taps once the one before has appended both its record and its
    // line: the next then finds that tap whole and leaves it to its writer,
    // which holds its journal while its flush is held up.
    for (size_t r = 0; r < readers.size(); r++) {
      size_t size = readFile(at(kCard)).size();
      typeInto(running[r], "1\n");
      ASSERT_TRUE(waitUntil(
          [&] {
            return readFile(at(kCard)).size() > size && fileExists(logOf(readers[r], root())) &&
                   !readFile(logOf(readers[r], root())).empty();
          },
          30))
          << readers[r] << "'s console:\n"
          << readFile(at("console-" + readers[r] + ".txt"));
    }
    for (Program& reader : running) finishProgram(&reader);
    std::map<std::string, std::string> after = snapshot();
    std::vector<FileOp> ops;
    for (const std::string& r : readers) {
      for (const FileOp& op : fileOps(readFile(at("trace-" + r + ".txt")), root())) {
        ops.push_back(op);
      }
    }
    std::stable_sort(ops.begin(), ops.end(),
                     [](const FileOp& a, const FileOp& b) { return a.when < b.when; });
    std::vector<std::string> files = {kCard};
    for (const std::string& r : readers) {
      files.push_back(logOf(r));
      files.push_back(journalPath(logOf(r)));
    }
    std::map<std::string, ModelFile> model;
    model[kCard] = {true, true, before[kCard], before[kCard], {}};
    for (size_t point = 0; point <= ops.size(); point++) {
      if (point > 0) play(ops[point - 1], &model);
      std::vector<std::vector<std::string>> states;
      for (const std::string& path : files) {
        states.push_back(model.count(path) ? afterPowerCut(model[path])
                                           : std::vector<std::string>{"\x01"});
      }
      // Each file through its states, the others as flushed or all kept;
      // then draws of all at random.
      std::vector<std::vector<size_t>> choices;
      for (size_t f = 0; f < files.size(); f++) {
        for (size_t state = 0; state < states[f].size(); state++) {
          for (int ends = 0; ends < 2; ends++) {
            std::vector<size_t> choice(files.size());
            for (size_t g = 0; g < files.size(); g++) {
              choice[g] = g == f ? state : ends ? states[g].size() - 1 : 0;
            }
            choices.push_back(choice);
          }
        }
      }
      std::mt19937 random(static_cast<unsigned>(point));
      for (int i = 0; i < 64; i++) {
        std::vector<size_t> choice(files.size());
        for (size_t f = 0; f < files.size(); f++) choice[f] = random() % states[f].size();
        choices.push_back(choice);
      }
      for (const std::vector<size_t>& choice : choices) {
        emptyNetwork(image);
        for (size_t f = 0; f < files.size(); f++) {
          if (states[f][choice[f]] != "\x01") writeFile(image.at(files[f]), states[f][choice[f]]);
        }
        // The taps committed when the power went: each must be on the card.
        std::vector<std::string> committed;
        for (const std::string& r : readers) {
          retarget(image, journalPath(logOf(r)));
          TapIntent intent;
          if (readWritersJournal(image.dir(), journalPath(logOf(r)), &intent) &&
              intent.state == kPending) {
            committed.push_back(intent.cardBytes.substr(2));
          }
        }
        std::vector<std::string> notices;
        EXPECT_TRUE(settleEveryJournal(image.dir(), logsWith(), &notices));
        CardRecord records[2];
        bool readable = holdAndLetGo(image.dir(), kCard, records) == LoadStatus::kLoaded;
        std::string wrong = ::agreement(kCard, readers, image.root()),
                    card = readFile(image.at(kCard));
        for (const std::string& record : committed) {
          if (card.find(record) == std::string::npos)
            wrong += " a committed tap is lost: " + record;
        }
        ASSERT_TRUE(readable && wrong.empty())
            << "power cut after operation " << point << " of " << ops.size()
            << (readable ? "" : ": card unreadable") << wrong;
        completed += static_cast<long>(committed.size());
        images++;
      }
    }
    EXPECT_EQ(split(after[kCard], "\r\n").size(), 2 + readers.size()) << "a tap was not recorded";
  }
  printf(
      "power, several readers: 2 and 3 readers' committed taps on one card, flushed in every "
      "order; %ld disk states recovered, every committed tap completed (%ld in all), card and "
      "logs agreeing every time\n",
      images, completed);
}

TEST_F(TapPoints, AJournalThatCannotBeReadNowIsLeftWhereItIs) {
  // S1 was killed after both appends of a tap, before their flush: its
  // journal holds the tap, committed. S1 starts again while its journal
  // cannot be read (every read of it, or every look at it, fails with EIO,
  // as a replica whose one good copy is on a server that is down answers):
  // that is no journal of another shape, to be moved aside with the tap in
  // it; S1 records nothing and says why. Started again once the journal
  // can be read, it settles the tap.
  // (A look at an open file is fstat under some builds' interceptors.)
  for (const char* call : {"pread64", "fstat,newfstatat"}) {
    SCOPED_TRACE(call);
    prepare(false);
    const std::string journal = at("Reader_txt/Subway1.txt.pending");
    ReaderEnd killed = run({"-qq", "-o", "/dev/null", "-P", at(kCard), "-e", "trace=fdatasync",
                            "-e", "inject=fdatasync:signal=SIGKILL:when=1"},
                           "S1");
    ASSERT_TRUE(killed.killed);
    TapIntent intent;
    ASSERT_TRUE(readWritersJournal(net(), "Reader_txt/Subway1.txt.pending", &intent) &&
                intent.state == kPending);
    ReaderEnd refused =
        run({"-qq", "-o", "/dev/null", "-P", journal, "-e", std::string("trace=") + call, "-e",
             std::string("inject=") + call + ":error=EIO"},
            "S1");
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_NE(
        refused.output.find("Reader_txt/Subway1.txt.pending cannot be opened: Input/output error"),
        std::string::npos)
        << refused.output;
    EXPECT_TRUE(readWritersJournal(net(), "Reader_txt/Subway1.txt.pending", &intent) &&
                intent.state == kPending)
        << "the journal, and the tap in it, did not stay where they were";
    EXPECT_EQ(agreement({"S1"}).find("a note is left"), std::string::npos) << agreement({"S1"});
    ReaderEnd again = run({}, "S1");
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(agreement({"S1"}), "");
  }
}
