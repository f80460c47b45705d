// Appends that survive their writer: a record left unfinished by a killed
// writer is finished from its note by the next reader or writer, and a
// write cut short by a full disk is taken back.
#include "core/append_note.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/intake.h"
#include "core/tap_output.h"
#include "tests/support/test_support.h"

namespace {

const std::string kCard =
    "20260306080000,SUBWAY,OUT,9000,S2_4\r\n20260306081000,SUBWAY,IN,7950,S1_11";
const std::string kRecord = "\r\n20260306082000,SUBWAY,OUT,7950,S1_12";

class KilledWriter : public InScratchNetwork {
 protected:
  // What a writer killed after `written` bytes of kRecord leaves behind.
  void leaveTorn(size_t written, const std::string& note = "") {
    std::string header = std::to_string(kCard.size()) + " " + std::to_string(kRecord.size()) + "\n";
    writeFile("Card/1.txt", kCard + kRecord.substr(0, written));
    writeFile("Card/1.txt.pending", note.empty() ? header + kRecord : note);
  }

  TapEntry nextTap() {
    TapEntry e{};
    e.charged = 1050;
    e.time = 20260306083000;
    copyText(e.mode, "SUBWAY");
    copyText(e.inOut, "IN");
    e.newBalance = 6900;
    copyText(e.tapId, "S1_13");
    copyText(e.logTapId, "S1_13");
    copyText(e.cardFile, "Card/1.txt");
    return e;
  }
};

}  // namespace

TEST_F(KilledWriter, ARecordCutInItsTapIdIsFinishedBeforeItIsRead) {
  // Cut to "S1_1": it would read as a whole record with the wrong id.
  leaveTorn(kRecord.size() - 1);
  finishInterruptedAppend("Card/1.txt");
  EXPECT_EQ(readFile("Card/1.txt"), kCard + kRecord);
  EXPECT_FALSE(fileExists("Card/1.txt.pending"));
  CardRecord records[2];
  ASSERT_EQ(loadCardTail("Card/1.txt", records), LoadStatus::kLoaded);
  EXPECT_STREQ(records[1].tapId, "S1_12");
}

TEST_F(KilledWriter, TheNextWriterFinishesTheRecordThenAppendsItsOwn) {
  leaveTorn(9);
  ASSERT_TRUE(appendTap(nextTap(), "Reader_txt/Subway1.txt"));
  EXPECT_EQ(readFile("Card/1.txt"), kCard + kRecord + "\r\n20260306083000,SUBWAY,IN,6900,S1_13");
  EXPECT_FALSE(fileExists("Card/1.txt.pending"));
  EXPECT_FALSE(fileExists("Reader_txt/Subway1.txt.pending"));
}

TEST_F(KilledWriter, NotesThatDescribeNothingToFinishAreDropped) {
  // Killed before its append began, after it ended, or while writing the
  // note itself; and a note whose bytes are not what the file holds.
  const struct {
    size_t written;
    std::string note;
  } cases[] = {{0, ""}, {kRecord.size(), ""}, {0, "123 4"}, {5, "0 3\nabc"}};
  for (const auto& c : cases) {
    leaveTorn(c.written, c.note);
    std::string before = readFile("Card/1.txt");
    finishInterruptedAppend("Card/1.txt");
    EXPECT_EQ(readFile("Card/1.txt"), before) << c.note;
    EXPECT_FALSE(fileExists("Card/1.txt.pending")) << c.note;
  }
}

TEST_F(KilledWriter, AWriteCutShortByAFullDiskIsTakenBack) {
  writeFile("Card/1.txt", kCard);
  pid_t pid = fork();
  if (pid == 0) {
    // The card may grow by 10 bytes: less than a record.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {kCard.size() + 10, kCard.size() + 10};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(appendTap(nextTap(), "Reader_txt/Subway1.txt") ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reported as recorded";
  EXPECT_EQ(readFile("Card/1.txt"), kCard);
  EXPECT_FALSE(fileExists("Card/1.txt.pending"));
  EXPECT_EQ(readFile("Reader_txt/Subway1.txt"), "");
}
