// The tap journal: the block that makes a tap's card record and log line
// one transaction, read strictly; taps cut short anywhere are brought to
// where their intent says by the card's next reader, the log's own reader
// or a reader starting, in the order of their offsets when several
// writers' taps on one card are in flight; and nothing that operators or
// other users do to the files (a card issued anew, a log rotated, notes
// forged, links, foreign locks, a full disk) makes a reader write, cut or
// refuse what it should not.
#include "core/tap_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "core/card_transaction.h"
#include "core/file_io.h"
#include "core/settle.h"
#include "tests/support/test_support.h"

namespace {

const std::string kCard =
    "20260306080000,SUBWAY,OUT,9000,S2_4\r\n20260306081000,SUBWAY,IN,7950,S1_11";
const std::string kRecord = "\r\n20260306082000,SUBWAY,OUT,7950,S1_12";
const std::string kLog = "20260306081000,SUBWAY,IN,1050,S1_11\r\n";
const std::string kLine = "20260306082000,SUBWAY,OUT,0,S1_12\r\n";
const char kCardPath[] = "Card/1.txt";
const char kLogPath[] = "Reader_txt/Subway1.txt";
const char kJournal[] = "Reader_txt/Subway1.txt.pending";

class KilledWriter : public InScratchNetwork {
 protected:
  uint64_t inodeAt(const std::string& path) {
    struct stat info {};
    return stat(at(path).c_str(), &info) == 0 ? info.st_ino : 0;
  }

  // The intent of a tap that appends `record` to the card whose bytes before
  // it are `cardBefore`, and `line` to the log `logPath` holding `logBefore`;
  // the files' inodes are those at their paths now.
  TapIntent intentOf(const std::string& cardBefore, const std::string& record,
                     const std::string& logPath, const std::string& logBefore,
                     const std::string& line, char state = kPending) {
    size_t tail = std::min(cardBefore.size(), kTailBytes);
    return {state,
            kCardPath,
            inodeAt(kCardPath),
            static_cast<int64_t>(cardBefore.size()),
            cardBefore.substr(cardBefore.size() - tail),
            record,
            logPath,
            inodeAt(logPath),
            static_cast<int64_t>(logBefore.size()),
            line};
  }

  TapIntent pendingTap() { return intentOf(kCard, kRecord, kLogPath, kLog, kLine); }

  // The notes a reader kept or moved aside in the log directory.
  std::vector<std::string> notesAside() {
    std::vector<std::string> notes;
    DIR* directory = opendir(at(kLogDirectory).c_str());
    while (dirent* entry = readdir(directory)) {
      if (strstr(entry->d_name, ".set-aside.") != nullptr) notes.push_back(entry->d_name);
    }
    closedir(directory);
    return notes;
  }

  // What a writer stopped after writing `cardPart` bytes of its record and
  // `logPart` bytes of its line leaves behind, with its intent in its
  // journal.
  void leaveTorn(size_t cardPart, size_t logPart, char state = kPending) {
    writeFile(at(kCardPath), kCard + kRecord.substr(0, cardPart));
    writeFile(at(kLogPath), kLog + kLine.substr(0, logPart));
    TapIntent intent = pendingTap();
    intent.state = state;
    writeFile(at(kJournal), formatIntent(intent));
  }

  LoadStatus nextReaderTaps() { return holdAndLetGo(net(), kCardPath, records); }

  // What the log's own reader does before its next tap (it holds its
  // journal's claim from its start).
  bool logsReaderTaps() {
    TapWriter writer = tapWriter(net(), kLogPath);
    std::vector<std::string> notices;
    bool settled = claimJournal(&writer, 0) && settleOwnJournal(&writer, logsWith(), &notices);
    closeTapWriter(&writer);
    return settled;
  }

  bool readerStarts() {
    std::vector<std::string> notices;
    return settleEveryJournal(net(), logsWith(), &notices);
  }

  bool journalIdle(const char* journal = kJournal) {
    TapIntent intent;
    return readWritersJournal(net(), journal, &intent) && intent.state == kIdle;
  }

  TapEntry nextTap() { return sampleTap(kCardPath, "S1_13", 6900, 20260306083000); }
  const std::string kNextRecord = "\r\n20260306083000,SUBWAY,IN,6900,S1_13";

  CardRecord records[2];
};

}  // namespace

TEST(JournalBlock, ReadsBackWhatItWroteAndNothingElse) {
  TapIntent intent = {kPending, "Card/1.txt", 77, 72, kCard, kRecord, kLogPath, 99, 37, kLine};
  TapIntent read;
  std::string block = formatIntent(intent);
  ASSERT_EQ(block.size(), kJournalBytes);
  ASSERT_TRUE(parseIntent(block, &read));
  EXPECT_EQ(read.cardPath, "Card/1.txt");
  EXPECT_EQ(read.cardInode, 77u);
  EXPECT_EQ(read.cardOffset, 72);
  EXPECT_EQ(read.cardTail, kCard);
  EXPECT_EQ(read.cardBytes, kRecord);
  EXPECT_EQ(read.logInode, 99u);
  EXPECT_EQ(read.logBytes, kLine);
  // Any byte changed anywhere, a torn write among them, is refused.
  for (size_t i = 0; i < block.size(); i++) {
    std::string changed = block;
    changed[i] ^= 0x01;
    EXPECT_FALSE(parseIntent(changed, &read) && read.state != kIdle) << "byte " << i;
  }
  // Blocks that hold together but describe no tap this network records.
  const struct {
    const char* what;
    std::function<void(TapIntent&)> change;
  } strange[] = {
      {"a path outside Card/", [](TapIntent& t) { t.cardPath = "Reader_txt/x.txt"; }},
      {"a path that climbs", [](TapIntent& t) { t.cardPath = "Card/../x.txt"; }},
      {"no CR LF before the record", [](TapIntent& t) { t.cardBytes = t.cardBytes.substr(2); }},
      {"two records", [](TapIntent& t) { t.cardBytes += t.cardBytes; }},
      {"a log line without its CR LF",
       [](TapIntent& t) { t.logBytes = t.logBytes.substr(0, t.logBytes.size() - 2); }},
      {"a line of another tap", [](TapIntent& t) { t.logBytes[8] = '9'; }},
      {"a card with no record before", [](TapIntent& t) { t.cardOffset = 0; }},
      {"nothing the record continues", [](TapIntent& t) { t.cardTail = ""; }},
      {"a log outside Reader_txt/", [](TapIntent& t) { t.logPath = "Card/1.txt"; }},
      {"a journal for a log", [](TapIntent& t) { t.logPath = kJournal; }},
      {"a top-up line of another card",
       [](TapIntent& t) { t.logBytes = "20260306091502,TOPUP,2,5000,7950\r\n"; }},
      {"a refund line that takes another balance",
       [](TapIntent& t) { t.logBytes = "20260306091502,REFUND,1,5000,7951,lost\r\n"; }},
      {"three records in the office's log",
       [](TapIntent& t) {
         t.logPath = kTopUpLog;
         t.cardBytes =
             "\r\n20260306081520,BUS,OUT,7950,B_4\r\n20260306081520,BUS,OUT,7950,B_4" + t.cardBytes;
         t.logBytes = "20260306091502,TOPUP,1,5000,7950\r\n";
       }},
      {"two records of the office's whose balances differ",
       [](TapIntent& t) {
         t.logPath = kTopUpLog;
         t.cardBytes = "\r\n20260306081520,BUS,OUT,7951,B_4" + t.cardBytes;
         t.logBytes = "20260306091502,TOPUP,1,5000,7950\r\n";
       }},
  };
  for (const auto& s : strange) {
    TapIntent odd = intent;
    s.change(odd);
    EXPECT_FALSE(parseIntent(formatIntent(odd), &read)) << s.what;
  }
  // The office's top-up line goes with the record it loads.
  TapIntent topUp = intent;
  topUp.logBytes = "20260306091502,TOPUP,1,5000,7950\r\n";
  EXPECT_TRUE(parseIntent(formatIntent(topUp), &read));
  // And in the office's own log, with the older record repeated too (a
  // trip begun by a transfer), or for another change of the office.
  topUp.logPath = kTopUpLog;
  topUp.cardBytes = "\r\n20260306081520,BUS,OUT,7950,B_4" + topUp.cardBytes;
  EXPECT_TRUE(parseIntent(formatIntent(topUp), &read));
  EXPECT_EQ(read.cardBytes, topUp.cardBytes);
  topUp.logBytes = "20260306091502,REFUND,1,5000,7950,fare dispute\r\n";
  EXPECT_TRUE(parseIntent(formatIntent(topUp), &read));
  EXPECT_FALSE(parseIntent(block + " ", &read));
  EXPECT_FALSE(parseIntent(block.substr(1), &read));
  // An idle block is idle whatever the rest of it holds.
  block.back() = kIdle;
  ASSERT_TRUE(parseIntent(block, &read));
  EXPECT_EQ(read.state, kIdle);
}

TEST_F(KilledWriter, ARecordCutInItsTapIdIsFinishedBeforeItIsRead) {
  // Cut to "S1_1": it would read as a whole record with the wrong id.
  leaveTorn(kRecord.size() - 1, 0);
  ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
  EXPECT_STREQ(records[1].tapId, "S1_12");
  EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord);
  EXPECT_EQ(readFile(at(kLogPath)), kLog + kLine);
  EXPECT_TRUE(journalIdle());
}

TEST_F(KilledWriter, EveryCutIsFinishedByWhoeverComesFirst) {
  // Stopped with any part of the record and of the line written, the tap is
  // completed in both files by whoever comes first: the card's next reader
  // (which reads every writer's journal when it holds the card), the log's
  // own reader tapping again, or any reader starting; the others find
  // nothing left. No note is left behind beside the card.
  enum { kCardReader, kLogReader, kStartingReader };
  int cases = 0;
  for (size_t cardPart = 0; cardPart <= kRecord.size(); cardPart++) {
    for (size_t logPart = 0; logPart <= kLine.size(); logPart++) {
      for (int first : {kCardReader, kLogReader, kStartingReader}) {
        SCOPED_TRACE(std::to_string(cardPart) + " " + std::to_string(logPart) + " " +
                     std::to_string(first));
        leaveTorn(cardPart, logPart);
        bool settled = first == kLogReader        ? logsReaderTaps()
                       : first == kStartingReader ? readerStarts()
                                                  : true;
        EXPECT_TRUE(settled);
        ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
        EXPECT_TRUE(logsReaderTaps());
        ASSERT_EQ(readFile(at(kCardPath)), kCard + kRecord);
        ASSERT_EQ(readFile(at(kLogPath)), kLog + kLine);
        ASSERT_TRUE(journalIdle());
        ASSERT_EQ(readFile(at("Card/1.txt.pending")), "");
        cases++;
      }
    }
  }
  EXPECT_EQ(cases, static_cast<int>(3 * (kRecord.size() + 1) * (kLine.size() + 1)));
  EXPECT_EQ(notesAside(), std::vector<std::string>{});
}

TEST_F(KilledWriter, TheNextWriterFinishesTheRecordThenAppendsItsOwn) {
  leaveTorn(9, 0);
  ASSERT_TRUE(recordOnCard(net(), nextTap(), kLogPath));
  EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord + kNextRecord);
  EXPECT_EQ(readFile(at(kLogPath)), kLog + kLine + "20260306083000,SUBWAY,IN,1050,S1_13\r\n");
  EXPECT_TRUE(journalIdle());
}

TEST_F(KilledWriter, SeveralWritersTapsOnOneCardAreCompletedInTheOrderOfTheirOffsets) {
  // Three writers committed a tap each on one card, one after the other,
  // and none of their records or lines reached the disk (a power cut): S3
  // decided from S1's record and B from S3's. Whatever order the journals
  // are read in, and whoever settles, the card gets all three in order,
  // each after the one it continues, and each log its line.
  const std::string s1 = "\r\n20260306082000,SUBWAY,OUT,7950,S1_12",
                    s3 = "\r\n20260306082010,SUBWAY,IN,6900,S3_1",
                    bus = "\r\n20260306082020,BUS,IN,5850,B_1";
  const std::string s1Line = "20260306082000,SUBWAY,OUT,0,S1_12\r\n",
                    s3Line = "20260306082010,SUBWAY,IN,1050,S3_1\r\n",
                    busLine = "20260306082020,BUS,IN,1050,B_1\r\n";
  const char* s3Log = "Reader_txt/Subway3.txt";
  const char* busLog = "Reader_txt/Bus.txt";
  for (size_t s1Part : {size_t{0}, size_t{7}, s1.size()}) {
    for (int settler = 0; settler < 2; settler++) {
      SCOPED_TRACE(std::to_string(s1Part) + " of S1's record, settled by " +
                   (settler ? "a reader starting" : "the card's next reader"));
      writeFile(at(kCardPath), kCard + s1.substr(0, s1Part));
      for (const char* log : {kLogPath, s3Log, busLog}) writeFile(at(log), "");
      writeFile(at(kJournal), formatIntent(intentOf(kCard, s1, kLogPath, "", s1Line)));
      writeFile(at(journalPath(s3Log)), formatIntent(intentOf(kCard + s1, s3, s3Log, "", s3Line)));
      writeFile(at(journalPath(busLog)),
                formatIntent(intentOf(kCard + s1 + s3, bus, busLog, "", busLine)));
      if (settler) {
        EXPECT_TRUE(readerStarts());
      }
      ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
      EXPECT_TRUE(readerStarts());
      EXPECT_EQ(readFile(at(kCardPath)), kCard + s1 + s3 + bus);
      EXPECT_EQ(readFile(at(kLogPath)), s1Line);
      EXPECT_EQ(readFile(at(s3Log)), s3Line);
      EXPECT_EQ(readFile(at(busLog)), busLine);
      for (const char* log : {kLogPath, s3Log, busLog}) {
        EXPECT_TRUE(journalIdle(journalPath(log).c_str())) << log;
      }
    }
  }
  // A later tap is never completed over an earlier one's missing bytes:
  // with S1's intent gone, S3's record cannot follow the card, and is kept
  // for the operator instead.
  writeFile(at(kCardPath), kCard);
  writeFile(at(s3Log), "");
  unlink(at(kJournal).c_str());
  writeFile(at(journalPath(s3Log)), formatIntent(intentOf(kCard + s1, s3, s3Log, "", s3Line)));
  ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
  EXPECT_EQ(readFile(at(kCardPath)), kCard);
  EXPECT_EQ(readFile(at(s3Log)), "");
  EXPECT_EQ(notesAside().size(), 1u);
}

TEST_F(KilledWriter, NotesThatDescribeNothingToFinishAreDropped) {
  // An abandoned tap is taken back where it ends its file; a pending one
  // whose card has moved on is taken back from the log, its intent kept
  // for the operator; one already whole is left as it is. Journals that are
  // not journal blocks, or not the network's, are never acted on.
  const std::string foreign = "\r\n20260306082000,BUS,IN,1,X_1";
  const struct {
    const char* what;
    size_t cardPart, logPart;
    std::function<std::string()> journal;
    std::string card, log;
    size_t notes;
    std::string written = "";  // the card as a writer that ignores the lock left it
  } cases[] = {
      {"abandoned", kRecord.size(), 5,
       [this] { return formatIntent(intentOf(kCard, kRecord, kLogPath, kLog, kLine, kAbandoned)); },
       kCard, kLog, 0},
      {"abandoned, nothing written", 0, 0,
       [this] { return formatIntent(intentOf(kCard, kRecord, kLogPath, kLog, kLine, kAbandoned)); },
       kCard, kLog, 0},
      {"card moved on", 0, kLine.size(), [this] { return formatIntent(pendingTap()); },
       kCard + foreign, kLog, 1, kCard + foreign},
      {"already whole", kRecord.size(), kLine.size(), [this] { return formatIntent(pendingTap()); },
       kCard + kRecord, kLog + kLine, 0},
      {"not a block", 7, 3, [] { return std::string("123 4"); }, kCard + kRecord.substr(0, 7),
       kLog + kLine.substr(0, 3), 1},
      {"an old note", 7, 0, [] { return "138 38\n" + kRecord; }, kCard + kRecord.substr(0, 7), kLog,
       1},
      {"another log's journal", 7, 3,
       [this] {
         TapIntent t = pendingTap();
         t.logPath = "Reader_txt/Subway3.txt";
         return formatIntent(t);
       },
       kCard + kRecord.substr(0, 7), kLog + kLine.substr(0, 3), 1},
  };
  // (What is no journal is moved aside by the log's reader as it claims its
  // journal: never carried out.)
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(resetNetwork(root(), NetworkFolders::kLogsOnly));
    leaveTorn(c.cardPart, c.logPart);
    writeFile(at(kJournal), c.journal());
    if (!c.written.empty()) writeFile(at(kCardPath), c.written);
    nextReaderTaps();
    logsReaderTaps();
    readerStarts();
    EXPECT_EQ(readFile(at(kCardPath)), c.card);
    EXPECT_EQ(readFile(at(kLogPath)), c.log);
    EXPECT_EQ(notesAside().size(), c.notes);
  }
}

TEST_F(KilledWriter, ACardIssuedAnewIsNeverTouchedByAnOldTap) {
  // S1 was stopped with its intent on disk and nothing appended; the office
  // removed the card and issued the number again, a file of the same size.
  // The new card's next reader and every reader starting leave it as it
  // was issued; the old tap is kept for the operator, and its journal is
  // free again.
  const std::string reissued =
      "20260306090000,SUBWAY,OUT,50000,I_1\r\n20260306090000,SUBWAY,OUT,50000,I_2";
  ASSERT_EQ(reissued.size(), kCard.size());
  for (bool sameInode : {false, true}) {
    SCOPED_TRACE(sameInode ? "written over in place" : "removed and made anew");
    ASSERT_TRUE(resetNetwork(root(), NetworkFolders::kLogsOnly));
    leaveTorn(0, 0);
    if (!sameInode) {
      ASSERT_EQ(unlink(at(kCardPath).c_str()), 0);
    }
    writeFile(at(kCardPath), reissued);
    ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
    EXPECT_EQ(records[1].balance, 50000);
    EXPECT_TRUE(readerStarts());
    EXPECT_EQ(readFile(at(kCardPath)), reissued);
    EXPECT_EQ(readFile(at(kLogPath)), kLog);
    EXPECT_TRUE(journalIdle());
    EXPECT_EQ(notesAside().size(), 1u);
    ASSERT_TRUE(recordOnCard(net(), sampleTap(kCardPath, "B_1", 48950, 20260306091000),
                             "Reader_txt/Bus.txt"));
    EXPECT_EQ(readFile(at(kCardPath)), reissued + "\r\n20260306091000,SUBWAY,IN,48950,B_1");
  }
}

TEST_F(KilledWriter, ARotatedLogNeverTakesBackAWholeRecord) {
  // S1 was stopped before it flushed; then its log was moved aside, as log
  // rotation does (or cut to nothing in place, or removed). The record is
  // whole on the card and stays; the line is completed where it was
  // written, or, where that log no longer holds its place, written once to
  // the log as it now is; never twice.
  // The shell commands name the files by their whole paths.
  const std::string quotedLog = "'" + at(kLogPath) + "'",
                    moveAside = "mv " + quotedLog + " '" + at("Reader_txt/Subway1.txt.1") + "'";
  const struct {
    const char* what;
    size_t logPart;
    std::string rotate;
    std::string rotated, log;
  } cases[] = {
      {"moved aside, line whole", kLine.size(), moveAside, kLog + kLine, ""},
      {"moved aside, line cut", 9, moveAside, kLog + kLine, ""},
      {"moved aside, no line yet", 0, moveAside, kLog, kLine},
      {"cut to nothing in place", kLine.size(), "truncate -s 0 " + quotedLog, "", kLine},
      {"removed", 5, "rm " + quotedLog, "", kLine},
  };
  for (const auto& c : cases) {
    for (int settler = 0; settler < 3; settler++) {
      SCOPED_TRACE(std::string(c.what) + ", settler " + std::to_string(settler));
      ASSERT_TRUE(resetNetwork(root(), NetworkFolders::kLogsOnly));
      leaveTorn(kRecord.size(), c.logPart);
      ASSERT_EQ(system(c.rotate.c_str()), 0);
      if (settler == 0) {
        ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
      } else {
        EXPECT_TRUE(settler == 1 ? logsReaderTaps() : readerStarts());
      }
      EXPECT_TRUE(readerStarts());
      EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord);
      EXPECT_EQ(readFile(at("Reader_txt/Subway1.txt.1")), c.rotated);
      EXPECT_EQ(readFile(at(kLogPath)), c.log);
      EXPECT_TRUE(journalIdle());
      ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
      EXPECT_STREQ(records[1].tapId, "S1_12");
    }
  }
}

TEST_F(KilledWriter, OnlyTheNetworksOwnJournalsAreActedOn) {
  // A pending block in a journal no writer of the network has is never
  // carried out, even though its checksum holds; a reader starting moves
  // it aside. One in a network journal made by another user (root's office
  // run) is never passed over nor moved aside: its card is refused until
  // the file is given back to the network's owner, and then completed.
  writeFile(at(kCardPath), kCard);
  writeFile(at(kLogPath), kLog);
  TapIntent forged = pendingTap();
  forged.logPath = "Reader_txt/x";
  forged.cardBytes = "\r\n20260306082000,SUBWAY,OUT,2000000000,S1_1";
  forged.logBytes = "20260306082000,SUBWAY,OUT,0,S1_1\r\n";
  writeFile(at("Reader_txt/x.pending"), formatIntent(forged));
  writeFile(at("Reader_txt/Subway3.txt.pending"),
            formatIntent(intentOf(kCard, kRecord, "Reader_txt/Subway3.txt", "", kLine)));
  ASSERT_EQ(chown(at("Reader_txt/Subway3.txt.pending").c_str(), 65534, 65534), 0);
  EXPECT_EQ(nextReaderTaps(), LoadStatus::kUnreadable);
  EXPECT_FALSE(readerStarts());
  EXPECT_EQ(nextReaderTaps(), LoadStatus::kUnreadable);
  EXPECT_EQ(readFile(at(kCardPath)), kCard);
  EXPECT_FALSE(fileExists(at("Reader_txt/x")));
  EXPECT_FALSE(fileExists(at("Reader_txt/x.pending")));
  EXPECT_TRUE(fileExists(at("Reader_txt/Subway3.txt.pending")));
  EXPECT_EQ(notesAside().size(), 1u);
  ASSERT_EQ(chown(at("Reader_txt/Subway3.txt.pending").c_str(), geteuid(), getegid()), 0);
  ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
  EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord);
  EXPECT_EQ(readFile(at("Reader_txt/Subway3.txt")), kLine);
}

TEST_F(KilledWriter, ATapLostByAFailedFlushIsWrittenAgainFromItsJournal) {
  // A flush that failed let the kernel drop the record and line as if
  // written: once the cache is gone the card and the log hold zeros where
  // they go. The card's next reader writes them again from the journal.
  for (size_t lost : {kRecord.size(), size_t{3}}) {
    writeFile(at(kCardPath),
              kCard + kRecord.substr(0, kRecord.size() - lost) + std::string(lost, '\0'));
    writeFile(at(kLogPath), kLog + std::string(kLine.size(), '\0'));
    writeFile(at(kJournal), formatIntent(pendingTap()));
    ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded) << lost;
    EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord) << lost;
    EXPECT_EQ(readFile(at(kLogPath)), kLog + kLine) << lost;
    EXPECT_TRUE(journalIdle()) << lost;
  }
}

TEST_F(KilledWriter, ATapMadeUnderAReplacedLockFileWaitsForItsWriter) {
  // Card/taps.lock removed while a writer held a card by it: a writer that
  // locks the new file must not complete that tap while its writer (the
  // process claiming its journal) may still be recording it. Once that
  // writer has ended, its own reader or the card's next one settles it.
  // A copy of the journal put at its path (a backup restored) is not the
  // file its live writer claims: the tap stays its writer's.
  enum class Then { kItsOwnReader, kNextReader, kCopyAtThePath };
  for (Then then : {Then::kItsOwnReader, Then::kNextReader, Then::kCopyAtThePath}) {
    SCOPED_TRACE(static_cast<int>(then));
    leaveTorn(0, 0);
    TapIntent intent = pendingTap();
    intent.lockInode = 1;  // no lock file this network has now
    struct stat journal {};
    ASSERT_EQ(stat(at(kJournal).c_str(), &journal), 0);
    intent.journalInode = journal.st_ino;
    writeFile(at(kJournal), formatIntent(intent));
    int alive = open(at(kJournal).c_str(), O_RDWR);
    ASSERT_TRUE(lockWithin(alive, kWriterByte, 0));
    EXPECT_EQ(nextReaderTaps(), LoadStatus::kUnreadable);
    EXPECT_FALSE(readerStarts());
    EXPECT_EQ(readFile(at(kCardPath)), kCard);
    if (then == Then::kCopyAtThePath) {
      writeFile(at("Reader_txt/copy"), readFile(at(kJournal)));
      ASSERT_EQ(rename(at("Reader_txt/copy").c_str(), at(kJournal).c_str()), 0);
      EXPECT_EQ(nextReaderTaps(), LoadStatus::kUnreadable);
      EXPECT_EQ(readFile(at(kCardPath)), kCard);
      close(alive);
      // Its own reader, starting again, completes it.
      EXPECT_TRUE(logsReaderTaps());
      EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord);
      continue;
    }
    close(alive);
    if (then == Then::kItsOwnReader) {
      EXPECT_TRUE(logsReaderTaps());
    } else {
      EXPECT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
    }
    EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord);
    EXPECT_EQ(readFile(at(kLogPath)), kLog + kLine);
    EXPECT_TRUE(journalIdle());
  }
  // And a writer whose lock file is replaced while it holds the card
  // records nothing; its next tap locks the file as it now is.
  TapWriter writer = tapWriter(net(), kLogPath);
  HeldCard held;
  std::vector<std::string> notices;
  ASSERT_EQ(holdCard(net(), kCardPath, logsWith(), &held, records, &notices, writerLocks(&writer)),
            LoadStatus::kLoaded);
  writeFile(at("Card/new.lock"), "");
  ASSERT_EQ(rename(at("Card/new.lock").c_str(), at("Card/taps.lock").c_str()), 0);
  TapEntry next = nextTap();
  EXPECT_FALSE(recordTap(held, formatCardRecord(next), formatLogLine(next), &writer));
  releaseCard(&held);
  EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord);
  EXPECT_EQ(readFile(at(kLogPath)), kLog + kLine);
  ASSERT_EQ(holdCard(net(), kCardPath, logsWith(), &held, records, &notices, writerLocks(&writer)),
            LoadStatus::kLoaded);
  EXPECT_TRUE(recordTap(held, formatCardRecord(next), formatLogLine(next), &writer));
  releaseCard(&held);
  EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord + kNextRecord);
  // A writer whose lock file is replaced while another process keeps the
  // card's byte of the old one (a reader stalled in a tap) holds the card
  // through the file named so now.
  int stalled = open(at("Card/taps.lock").c_str(), O_RDWR);
  ASSERT_TRUE(lockWithin(stalled, cardLockByte(kCardPath), 0));
  writeFile(at("Card/new.lock"), "");
  ASSERT_EQ(rename(at("Card/new.lock").c_str(), at("Card/taps.lock").c_str()), 0);
  for (int tap = 0; tap < 2; tap++) {
    EXPECT_EQ(
        holdCard(net(), kCardPath, logsWith(), &held, records, &notices, writerLocks(&writer)),
        LoadStatus::kLoaded);
    releaseCard(&held);
  }
  close(stalled);
  // A writer whose journal is removed claims the one made anew before its
  // next intent: a settler finding a journal unclaimed takes its writer for
  // ended. While another process holds that claim, it records nothing.
  ASSERT_EQ(unlink(at(kJournal).c_str()), 0);
  writeFile(at(kJournal), formatIntent(kIdleIntent));
  int other = open(at(kJournal).c_str(), O_RDWR);
  ASSERT_TRUE(lockWithin(other, kWriterByte, 0));
  for (bool otherHolds : {true, false}) {
    if (!otherHolds) close(other);
    ASSERT_EQ(
        holdCard(net(), kCardPath, logsWith(), &held, records, &notices, writerLocks(&writer)),
        LoadStatus::kLoaded);
    EXPECT_EQ(recordTap(held, formatCardRecord(next), formatLogLine(next), &writer), !otherHolds);
    if (otherHolds) {
      EXPECT_NE(writer.problem.find("another process writes"), std::string::npos);
    }
    releaseCard(&held);
  }
  int fresh = open(at(kJournal).c_str(), O_RDWR);
  EXPECT_FALSE(lockWithin(fresh, kWriterByte, 0));
  close(fresh);
  closeTapWriter(&writer);
  EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord + kNextRecord + kNextRecord);
  // A writer's journal moved away once its card is held, before its
  // intent: no settler would find the intent, so the tap is taken back;
  // the next one makes its journal again at its name, where settlers look.
  TapWriter late = tapWriter(net(), kLogPath);
  JournalCache cache;
  ASSERT_TRUE(claimJournal(&late, 0));
  ASSERT_EQ(
      holdCard(net(), kCardPath, logsWith(), &held, records, &notices, writerLocks(&late), &cache),
      LoadStatus::kLoaded);
  ASSERT_EQ(rename(at(kJournal).c_str(), at("Reader_txt/moved").c_str()), 0);
  EXPECT_FALSE(recordTap(held, formatCardRecord(next), formatLogLine(next), &late));
  releaseCard(&held);
  EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord + kNextRecord + kNextRecord);
  ASSERT_EQ(
      holdCard(net(), kCardPath, logsWith(), &held, records, &notices, writerLocks(&late), &cache),
      LoadStatus::kLoaded);
  EXPECT_TRUE(recordTap(held, formatCardRecord(next), formatLogLine(next), &late));
  releaseCard(&held);
  TapIntent found;
  EXPECT_TRUE(readAnyJournal(net(), kJournal, &found) && found.state == kPending)
      << "the intent is not in the journal at its name";
  // Its journal unreadable when the tap is to be flushed and at the next
  // tap (read through a descriptor that cannot read, as a failing disk
  // answers): nothing is decided from it, the next tap is refused, and the
  // tap in flight stays in the journal, never written over as torn.
  int readable = dup(late.journal);
  int unreadable = open(at(kJournal).c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_TRUE(readable >= 0 && unreadable >= 0 && dup2(unreadable, late.journal) >= 0);
  (void)finishTap(&late);
  ASSERT_EQ(
      holdCard(net(), kCardPath, logsWith(), &held, records, &notices, writerLocks(&late), &cache),
      LoadStatus::kLoaded);
  EXPECT_FALSE(recordTap(held, formatCardRecord(next), formatLogLine(next), &late));
  releaseCard(&held);
  EXPECT_TRUE(readAnyJournal(net(), kJournal, &found) && found.state == kPending)
      << "a journal that could not be read was written over its tap in flight";
  ASSERT_GE(dup2(readable, late.journal), 0);
  close(readable);
  close(unreadable);
  // Its log removed once its card is held, before its line: the line goes
  // to the log at its name (made anew), or the tap is taken back; never to
  // the file removed, where no one finds it.
  ASSERT_EQ(
      holdCard(net(), kCardPath, logsWith(), &held, records, &notices, writerLocks(&late), &cache),
      LoadStatus::kLoaded);
  const std::string charged = readFile(at(kCardPath));
  ASSERT_EQ(unlink(at(kLogPath).c_str()), 0);
  if (recordTap(held, formatCardRecord(next), formatLogLine(next), &late)) {
    EXPECT_EQ(readFile(at(kLogPath)), formatLogLine(next))
        << "the tap was recorded, but its line went to the log removed";
  } else {
    EXPECT_EQ(readFile(at(kCardPath)), charged) << "a tap taken back left its record";
  }
  releaseCard(&held);
  closeTapWriter(&late);
  closeJournals(&cache);
}

TEST_F(KilledWriter, JournalsKeptOpenAreReadWhereTheirNamesLeadNow) {
  // A reader keeps the journals open between taps and lists the log
  // directory once per card held, instead of looking at each name: a
  // journal made since its last listing, one put in place of the one it
  // holds open, and one removed are each seen as they are now.
  writeFile(at(kCardPath), kCard);
  writeFile(at(kLogPath), kLog);
  JournalCache cache;
  int locks = openLocks(net());
  ASSERT_GE(locks, 0);
  ASSERT_TRUE(lockWithin(locks, cardLockByte(kCardPath), 0));
  auto heldAndSettled = [&]() {
    int card = openRegular(net(), kCardPath, O_RDWR | O_APPEND);
    std::vector<std::string> notices;
    bool settled =
        settleCard(net(), kCardPath, card, locks, logsWith(), false, &notices, nullptr, &cache);
    close(card);
    return settled && cache.listed;
  };
  ASSERT_TRUE(heldAndSettled()) << "no journal yet: nothing to settle";
  uint64_t listed = 0;
  EXPECT_FALSE(listedInode(cache.names, kJournal, &listed)) << "a journal listed that is not there";
  for (const char* how : {"made since the last listing", "put in place of the one held open"}) {
    SCOPED_TRACE(how);
    if (std::string(how) != "made since the last listing") {
      ASSERT_EQ(rename(at(kJournal).c_str(), at("moved.txt").c_str()), 0);
    }
    leaveTorn(kRecord.size() / 2, 0);
    ASSERT_TRUE(heldAndSettled());
    EXPECT_TRUE(listedInode(cache.names, kJournal, &listed));
    EXPECT_EQ(listed, inodeAt(kJournal));
    EXPECT_EQ(readFile(at(kCardPath)), kCard + kRecord) << "the tap in flight was not settled";
    EXPECT_EQ(readFile(at(kLogPath)), kLog + kLine);
  }
  ASSERT_EQ(unlink(at(kJournal).c_str()), 0);
  ASSERT_TRUE(heldAndSettled());
  TapIntent intent;
  EXPECT_FALSE(readCachedJournal(net(), &cache, kJournal, &intent)) << "a removed journal was read";
  closeJournals(&cache);
  close(locks);
}

TEST_F(KilledWriter, ATapIsRecordedWhateverOtherUsersLock) {
  // Anyone who may read a card or a log can lock it; the readers lock
  // neither (they lock a byte of a file only they can open), so a backup
  // or an audit holding such a lock holds up no tap.
  writeFile(at(kCardPath), kCard);
  writeFile(at(kLogPath), kLog);
  int card = open(at(kCardPath).c_str(), O_RDONLY), log = open(at(kLogPath).c_str(), O_RDONLY);
  ASSERT_EQ(flock(card, LOCK_SH), 0);
  ASSERT_EQ(flock(log, LOCK_SH), 0);
  struct flock whole {};
  whole.l_type = F_RDLCK;
  whole.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(card, F_OFD_SETLK, &whole), 0);
  ASSERT_EQ(fcntl(log, F_OFD_SETLK, &whole), 0);
  ASSERT_TRUE(recordOnCard(net(), nextTap(), kLogPath));
  EXPECT_EQ(readFile(at(kCardPath)), kCard + kNextRecord);
  close(card);
  close(log);
  struct stat info {};
  ASSERT_EQ(stat(at("Card/taps.lock").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(KilledWriter, AWriteCutShortByAFullDiskIsTakenBack) {
  // The file-size limit stops the card's record, or only the log's line
  // (the log being the longer file): either way neither is left. With no
  // journal yet, the journal itself cannot be written: every tap fails and
  // nothing is left behind for it.
  std::string history, longLog;
  while (history.size() < 1024) history += "20260306070000,BUS,OUT,9000,B_1\r\n";
  while (longLog.size() < 4096) longLog += kLog;
  const struct {
    const char* what;
    std::string card, log;
    rlim_t limit;
    int taps;
  } limits[] = {
      {"card", history + kCard, "", history.size() + kCard.size() + 10, 1},
      {"log", kCard, longLog, longLog.size() + 10, 1},
      {"journal", kCard, "", 200, 20},
  };
  for (const auto& l : limits) {
    SCOPED_TRACE(l.what);
    ASSERT_TRUE(resetNetwork(root(), NetworkFolders::kLogsOnly));
    writeFile(at(kCardPath), l.card);
    if (!l.log.empty()) writeFile(at(kLogPath), l.log);
    pid_t pid = fork();
    if (pid == 0) {
      // As a reader does: a write past the limit fails, it does not kill.
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit = {l.limit, l.limit};
      setrlimit(RLIMIT_FSIZE, &limit);
      for (int tap = 0; tap < l.taps; tap++) {
        if (recordOnCard(net(), nextTap(), kLogPath)) _exit(1);
      }
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reported recorded";
    EXPECT_EQ(readFile(at(kCardPath)), l.card);
    EXPECT_EQ(readFile(at(kLogPath)), l.log);
    if (l.taps == 1) {
      EXPECT_TRUE(journalIdle());
    }
    EXPECT_EQ(notesAside(), std::vector<std::string>{});
  }
  EXPECT_FALSE(fileExists(at(kJournal)));
}

TEST_F(KilledWriter, NothingAtAJournalsOrACardsPathHangsOrRedirectsAReader) {
  // Whatever stands where a journal goes is never followed, read whole,
  // waited on or written through; it is moved aside, and the tap is
  // recorded. A card that is a link, or that has a second name, is refused
  // and left alone.
  writeFile(at("outside.txt"), "not the network's");
  const struct {
    const char* what;
    std::function<void(const char*)> place;
  } things[] = {
      {"a FIFO", [](const char* path) { mkfifo(path, 0644); }},
      {"a directory", [](const char* path) { mkdir(path, 0755); }},
      {"a link", [](const char* path) { symlink("../outside.txt", path); }},
      {"a link to nowhere", [](const char* path) { symlink("../nowhere.txt", path); }},
      {"a second name of a file outside",
       [this](const char* path) { link(at("outside.txt").c_str(), path); }},
      {"a huge file",
       [](const char* path) {
         int fd = open(path, O_WRONLY | O_CREAT, 0644);
         EXPECT_EQ(ftruncate(fd, 3LL << 30), 0);
         close(fd);
       }},
      {"an old note", [](const char* path) { writeFile(path, "138 38\n" + kRecord); }},
  };
  for (const auto& t : things) {
    SCOPED_TRACE(t.what);
    ASSERT_TRUE(resetNetwork(root()));
    writeFile(at(kCardPath), kCard);
    t.place(at(kJournal).c_str());
    ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
    EXPECT_TRUE(logsReaderTaps());
    EXPECT_TRUE(readerStarts());
    ASSERT_TRUE(recordOnCard(net(), nextTap(), kLogPath));
    EXPECT_EQ(readFile(at(kCardPath)), kCard + kNextRecord);
    EXPECT_TRUE(journalIdle());
    EXPECT_EQ(readFile(at("outside.txt")), "not the network's");
    EXPECT_FALSE(fileExists(at("nowhere.txt")));
  }
  for (const auto& makeLink :
       {std::function<void()>([this] { symlink("../outside.txt", at("Card/7.txt").c_str()); }),
        std::function<void()>(
            [this] { link(at("outside.txt").c_str(), at("Card/7.txt").c_str()); })}) {
    unlink(at("Card/7.txt").c_str());
    makeLink();
    EXPECT_EQ(holdAndLetGo(net(), "Card/7.txt", records), LoadStatus::kUnreadable);
    EXPECT_FALSE(recordOnCard(net(), sampleTap("Card/7.txt", "S1_1", 1, 20260306083000), kLogPath));
    EXPECT_EQ(readFile(at("outside.txt")), "not the network's");
  }
}
