// The tap journal: the block that makes a tap's card record and log line
// one transaction, read strictly; taps cut short anywhere are brought to
// where their intent says by the card's next reader or the log's own
// reader; a write cut short by a full disk is taken back; and nothing
// found at a journal's path can hang, crash or redirect a reader.
#include "core/tap_journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "core/card_transaction.h"
#include "tests/support/test_support.h"

namespace {

const std::string kCard =
    "20260306080000,SUBWAY,OUT,9000,S2_4\r\n20260306081000,SUBWAY,IN,7950,S1_11";
const std::string kRecord = "\r\n20260306082000,SUBWAY,OUT,7950,S1_12";
const std::string kLog = "20260306081000,SUBWAY,IN,1050,S1_11\r\n";
const std::string kLine = "20260306082000,SUBWAY,OUT,0,S1_12\r\n";
const char kLogPath[] = "Reader_txt/Subway1.txt";
const char kJournal[] = "Reader_txt/Subway1.txt.pending";
const char kHint[] = "Card/1.txt.pending";

TapIntent pendingTap() {
  return {kPending, "Card/1.txt", static_cast<int64_t>(kCard.size()),
          kRecord,  kLogPath,     static_cast<int64_t>(kLog.size()),
          kLine};
}

class KilledWriter : public InScratchNetwork {
 protected:
  // What a reader stopped after writing `cardPart` bytes of its record and
  // `logPart` bytes of its line leaves behind, with `journal` beside the log
  // and, unless a power cut took it, the hint beside the card.
  void leaveTorn(size_t cardPart, size_t logPart, const std::string& journal, bool hint = true) {
    writeFile("Card/1.txt", kCard + kRecord.substr(0, cardPart));
    writeFile(kLogPath, kLog + kLine.substr(0, logPart));
    writeFile(kJournal, journal);
    unlink(kHint);
    if (hint) writeFile(kHint, kJournal);
  }

  // Holds card 1 as the next reader to tap it does, and lets go.
  LoadStatus nextReaderTaps() {
    HeldCard card;
    LoadStatus status = holdCard("Card/1.txt", &card, records);
    releaseCard(&card);
    return status;
  }

  bool journalIdle() {
    TapIntent intent;
    return readJournal(kJournal, &intent) && intent.state == kIdle;
  }

  // Taps card 1 as readers do, whatever stands at the journal's or the
  // hint's path, and checks that the tap is recorded and nothing outside
  // the network is touched.
  void tapThroughIt();

  TapEntry nextTap() { return sampleTap("Card/1.txt", "S1_13", 6900, 20260306083000); }

  CardRecord records[2];
};

}  // namespace

TEST(JournalBlock, ReadsBackWhatItWroteAndNothingElse) {
  TapIntent intent = pendingTap(), read;
  std::string block = formatIntent(intent);
  ASSERT_EQ(block.size(), kJournalBytes);
  ASSERT_TRUE(parseIntent(block, &read));
  EXPECT_EQ(read.cardPath, "Card/1.txt");
  EXPECT_EQ(read.cardOffset, static_cast<int64_t>(kCard.size()));
  EXPECT_EQ(read.cardBytes, kRecord);
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
      {"a log outside Reader_txt/", [](TapIntent& t) { t.logPath = "Card/1.txt"; }},
      {"a journal for a log", [](TapIntent& t) { t.logPath = kJournal; }},
  };
  for (const auto& s : strange) {
    TapIntent odd = pendingTap();
    s.change(odd);
    EXPECT_FALSE(parseIntent(formatIntent(odd), &read)) << s.what;
  }
  EXPECT_FALSE(parseIntent(block + " ", &read));
  EXPECT_FALSE(parseIntent(block.substr(1), &read));
  // An idle block is idle whatever the rest of it holds.
  block.back() = kIdle;
  ASSERT_TRUE(parseIntent(block, &read));
  EXPECT_EQ(read.state, kIdle);
}

TEST_F(KilledWriter, ARecordCutInItsTapIdIsFinishedBeforeItIsRead) {
  // Cut to "S1_1": it would read as a whole record with the wrong id.
  leaveTorn(kRecord.size() - 1, 0, formatIntent(pendingTap()));
  ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
  EXPECT_STREQ(records[1].tapId, "S1_12");
  EXPECT_EQ(readFile("Card/1.txt"), kCard + kRecord);
  EXPECT_EQ(readFile(kLogPath), kLog + kLine);
  EXPECT_TRUE(journalIdle());
}

TEST_F(KilledWriter, EveryCutIsFinishedByWhoeverComesFirst) {
  // Stopped with any part of the record and of the line written, the tap is
  // completed in both files by whoever comes first: the card's next reader
  // (led by the hint), the log's own reader tapping again, or, when a power
  // cut took the hint, any reader starting; the others find nothing left.
  enum { kCardReader, kLogReader, kStartingReader };
  int cases = 0;
  for (size_t cardPart = 0; cardPart <= kRecord.size(); cardPart++) {
    for (size_t logPart = 0; logPart <= kLine.size(); logPart++) {
      for (int first : {kCardReader, kLogReader, kStartingReader}) {
        leaveTorn(cardPart, logPart, formatIntent(pendingTap()), first != kStartingReader);
        bool settled = first == kLogReader        ? recoverJournal(kLogPath)
                       : first == kStartingReader ? settleEveryJournal()
                                                  : true;
        EXPECT_TRUE(settled);
        ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded) << cardPart << " " << logPart;
        EXPECT_TRUE(recoverJournal(kLogPath));
        ASSERT_EQ(readFile("Card/1.txt"), kCard + kRecord) << cardPart << " " << logPart;
        ASSERT_EQ(readFile(kLogPath), kLog + kLine) << cardPart << " " << logPart;
        ASSERT_TRUE(journalIdle());
        ASSERT_FALSE(fileExists(kHint));
        cases++;
      }
    }
  }
  EXPECT_EQ(cases, static_cast<int>(3 * (kRecord.size() + 1) * (kLine.size() + 1)));
}

TEST_F(KilledWriter, TheNextWriterFinishesTheRecordThenAppendsItsOwn) {
  leaveTorn(9, 0, formatIntent(pendingTap()));
  ASSERT_TRUE(recordOnCard(nextTap(), kLogPath));
  EXPECT_EQ(readFile("Card/1.txt"), kCard + kRecord + "\r\n20260306083000,SUBWAY,IN,6900,S1_13");
  EXPECT_EQ(readFile(kLogPath), kLog + kLine + "20260306083000,SUBWAY,IN,1050,S1_13\r\n");
  EXPECT_TRUE(journalIdle());
}

TEST_F(KilledWriter, NotesThatDescribeNothingToFinishAreDropped) {
  // An abandoned tap is taken back where it ends its file; a pending one
  // whose card has moved on is taken back from the log; one already whole
  // is left as it is. Journals that are not journal blocks are never acted
  // on, by the card's reader or the log's.
  TapIntent abandoned = pendingTap(), movedOn = pendingTap(), otherLog = pendingTap();
  abandoned.state = kAbandoned;
  movedOn.cardOffset -= 1;
  otherLog.logPath = "Reader_txt/Subway3.txt";
  const struct {
    const char* what;
    size_t cardPart, logPart;
    std::string journal;
    std::string card, log;
  } cases[] = {
      {"abandoned", kRecord.size(), 5, formatIntent(abandoned), kCard, kLog},
      {"abandoned, nothing written", 0, 0, formatIntent(abandoned), kCard, kLog},
      {"card moved on", 0, kLine.size(), formatIntent(movedOn), kCard, kLog},
      {"already whole", kRecord.size(), kLine.size(), formatIntent(pendingTap()), kCard + kRecord,
       kLog + kLine},
      {"not a block", 7, 3, "123 4", kCard + kRecord.substr(0, 7), kLog + kLine.substr(0, 3)},
      {"an old note", 7, 0, "138 38\n" + kRecord, kCard + kRecord.substr(0, 7), kLog},
      {"another log's journal", 7, 3, formatIntent(otherLog), kCard + kRecord.substr(0, 7),
       kLog + kLine.substr(0, 3)},
  };
  for (const auto& c : cases) {
    leaveTorn(c.cardPart, c.logPart, c.journal);
    nextReaderTaps();
    recoverJournal(kLogPath);
    settleEveryJournal();
    EXPECT_EQ(readFile("Card/1.txt"), c.card) << c.what;
    EXPECT_EQ(readFile(kLogPath), c.log) << c.what;
    EXPECT_FALSE(fileExists(kHint)) << c.what;
  }
  // A hint that names no journal is moved aside, and never followed; an
  // empty one, left by a reader stopped as it wrote it, is removed.
  for (const char* hint : {"../Card/1.txt", ""}) {
    leaveTorn(kRecord.size(), kLine.size(), formatIntent(pendingTap()), false);
    writeFile(kHint, hint);
    ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
    EXPECT_FALSE(fileExists(kHint));
    EXPECT_EQ(readFile("Card/1.txt"), kCard + kRecord);
  }
}

TEST_F(KilledWriter, AWriteCutShortByAFullDiskIsTakenBack) {
  // The file-size limit stops the card's record, or only the log's line
  // (the log being the longer file): either way neither is left.
  std::string history, longLog;
  while (history.size() < 1024) history += "20260306070000,BUS,OUT,9000,B_1\r\n";
  while (longLog.size() < 4096) longLog += kLog;
  const struct {
    const char* what;
    std::string card, log;
    rlim_t limit;
  } limits[] = {
      {"card", history + kCard, "", history.size() + kCard.size() + 10},
      {"log", kCard, longLog, longLog.size() + 10},
  };
  for (const auto& l : limits) {
    writeFile("Card/1.txt", l.card);
    writeFile(kLogPath, l.log);
    pid_t pid = fork();
    if (pid == 0) {
      // As a reader does: a write past the limit fails, it does not kill.
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit = {l.limit, l.limit};
      setrlimit(RLIMIT_FSIZE, &limit);
      _exit(recordOnCard(nextTap(), kLogPath) ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << l.what << ": reported recorded";
    EXPECT_EQ(readFile("Card/1.txt"), l.card) << l.what;
    EXPECT_EQ(readFile(kLogPath), l.log) << l.what;
    EXPECT_TRUE(journalIdle()) << l.what;
  }
}

TEST_F(KilledWriter, NothingAtAJournalsPathHangsOrRedirectsAReader) {
  // Whatever stands where a journal or a hint goes is never followed, read
  // whole, waited on or written through; it is moved aside, and the tap is
  // recorded.
  writeFile("outside.txt", "not the network's");
  const struct {
    const char* what;
    std::function<void(const char*)> place;
  } things[] = {
      {"a FIFO", [](const char* at) { mkfifo(at, 0644); }},
      {"a directory", [](const char* at) { mkdir(at, 0755); }},
      {"a link", [](const char* at) { symlink("../outside.txt", at); }},
      {"a link to nowhere", [](const char* at) { symlink("../nowhere.txt", at); }},
      {"a huge file",
       [](const char* at) {
         int fd = open(at, O_WRONLY | O_CREAT, 0644);
         EXPECT_EQ(ftruncate(fd, 3LL << 30), 0);
         close(fd);
       }},
      {"an old note", [](const char* at) { writeFile(at, "138 38\n" + kRecord); }},
  };
  for (const auto& t : things) {
    for (const char* at : {kJournal, kHint}) {
      SCOPED_TRACE(std::string(t.what) + " at " + at);
      ASSERT_EQ(system("rm -rf Reader_txt Card && mkdir Reader_txt Card"), 0);
      writeFile("Card/1.txt", kCard);
      t.place(at);
      tapThroughIt();
    }
  }
}

void KilledWriter::tapThroughIt() {
  {
    ASSERT_EQ(nextReaderTaps(), LoadStatus::kLoaded);
    EXPECT_TRUE(recoverJournal(kLogPath));
    EXPECT_TRUE(settleEveryJournal());
    ASSERT_TRUE(recordOnCard(nextTap(), kLogPath));
    EXPECT_EQ(readFile("Card/1.txt"), kCard + "\r\n20260306083000,SUBWAY,IN,6900,S1_13");
    EXPECT_TRUE(journalIdle());
    EXPECT_FALSE(fileExists(kHint));
    EXPECT_EQ(readFile("outside.txt"), "not the network's");
    EXPECT_FALSE(fileExists("nowhere.txt"));
  }
}
