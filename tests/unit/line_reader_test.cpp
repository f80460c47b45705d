// Reading a file line by line through a buffer: lines carried across
// reads, a last line without its line feed, lines longer than the buffer
// handed on once by their head, and files that cannot be read.
#include "office/line_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

struct Line {
  std::string text;
  bool ended;
  bool operator==(const Line& other) const { return text == other.text && ended == other.ended; }
};

std::ostream& operator<<(std::ostream& out, const Line& line) {
  return out << "\"" << line.text << "\"" << (line.ended ? "" : " (no line feed)");
}

// The lines of `bytes` as forEachLine hands them on through a buffer of
// `bufferSize`, checking that they come numbered from 1.
std::vector<Line> linesRead(const std::string& bytes, size_t bufferSize, std::string* error) {
  ScratchDir dir;
  writeFile(dir / "file.txt", bytes);
  int directory = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::vector<char> buffer(bufferSize);
  std::vector<Line> lines;
  *error = forEachLine(directory, "file.txt", &buffer,
                       [&](const char* text, size_t length, int64_t number, bool ended) {
                         EXPECT_EQ(number, static_cast<int64_t>(lines.size() + 1));
                         lines.push_back({std::string(text, length), ended});
                       });
  close(directory);
  return lines;
}

}  // namespace

TEST(LineReader, HandsOnEveryLineWhereverTheReadsCutTheFile) {
  const std::string longLine(40, 'x'), head(16, 'x');
  const std::string bigLine(3 * kLongLineHead, 'y'), bigHead(kLongLineHead, 'y');
  const struct {
    const char* what;
    std::string bytes;
    size_t buffer;
    std::vector<Line> lines;
  } cases[] = {
      {"an empty file", "", 16, {}},
      {"a last line without a line feed", "a\nb", 16, {{"a", true}, {"b", false}}},
      {"a last line with one", "a\n", 16, {{"a", true}}},
      {"empty lines, and the CR of a CR LF kept",
       "\n\r\n\n",
       16,
       {{"", true}, {"\r", true}, {"", true}}},
      {"lines carried over from one read to the next",
       "abc\ndefgh\nij\nklmnop",
       8,
       {{"abc", true}, {"defgh", true}, {"ij", true}, {"klmnop", false}}},
      {"a line of exactly the buffer",
       "0123456789abcdef\nz\n",
       16,
       {{"0123456789abcdef", true}, {"z", true}}},
      {"a line longer than the buffer, cut to the buffer",
       longLine + "\nnext\n",
       16,
       {{head, true}, {"next", true}}},
      {"a long line begun in the middle of a read",
       "ab\n" + longLine + "\n",
       16,
       {{"ab", true}, {head, true}}},
      {"a long last line without a line feed",
       "ab\n" + longLine,
       16,
       {{"ab", true}, {head, false}}},
      {"two long lines in a row",
       longLine + "\n" + longLine + "\nend",
       16,
       {{head, true}, {head, true}, {"end", false}}},
      {"a long line cut to its head",
       bigLine + "\nafter\n",
       kLongLineHead + 100,
       {{bigHead, true}, {"after", true}}},
  };
  for (const auto& c : cases) {
    std::string error = "unset";
    EXPECT_EQ(linesRead(c.bytes, c.buffer, &error), c.lines) << c.what;
    EXPECT_EQ(error, "") << c.what;
  }
}

TEST(LineReader, TellsWhyAFileCannotBeReadAndHandsOnNothing) {
  ScratchDir dir;
  ASSERT_EQ(mkdir((dir / "directory.txt").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir / "fifo.txt").c_str(), 0644), 0);
  std::vector<char> buffer(64);
  int lines = 0;
  auto count = [&](const char*, size_t, int64_t, bool) { lines++; };
  int directory = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_EQ(forEachLine(directory, "directory.txt", &buffer, count), "not a regular file");
  EXPECT_EQ(forEachLine(directory, "fifo.txt", &buffer, count), "not a regular file");
  EXPECT_EQ(lines, 0);
  EXPECT_EQ(forEachLine(directory, "missing.txt", &buffer, count), strerror(ENOENT));
  // As the readers judge a card: a link is not followed, and a file with a
  // second name is refused.
  writeFile(dir / "card.txt", "20260306080000,SUBWAY,OUT,9000,S2_4\n");
  ASSERT_EQ(symlink("card.txt", (dir / "link.txt").c_str()), 0);
  ASSERT_EQ(forEachLine(directory, "card.txt", &buffer, count), "");
  EXPECT_EQ(lines, 1);
  EXPECT_EQ(forEachLine(directory, "link.txt", &buffer, count), "not a regular file");
  ASSERT_EQ(link((dir / "card.txt").c_str(), (dir / "second.txt").c_str()), 0);
  EXPECT_EQ(forEachLine(directory, "card.txt", &buffer, count), kSecondName);
  EXPECT_EQ(lines, 1);
  // A directory that cannot be listed says so, and lists nothing.
  std::string problem;
  EXPECT_TRUE(namesIn(directory, "card.txt", &problem).empty());
  EXPECT_EQ(problem, std::string("card.txt/ cannot be read: ") + strerror(ENOTDIR));
  close(directory);
}

TEST(LineReader, ReadsOnFromWhereAnEarlierReadStoppedNumberingOn) {
  ScratchDir dir;
  writeFile(dir / "log.txt", "a\r\nb\r\n");
  int fd = open((dir / "log.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::vector<char> buffer(8);
  std::vector<std::pair<int64_t, std::string>> lines;
  auto keep = [&](const char* text, size_t length, int64_t number, bool) {
    lines.push_back({number, std::string(text, length)});
  };
  int64_t end = 0;
  ASSERT_EQ(forEachLineFrom(fd, 0, 1, &buffer, &end, keep), "");
  EXPECT_EQ(end, 6);
  writeFile(dir / "log.txt", "a\r\nb\r\nlonger\r\nd");
  ASSERT_EQ(forEachLineFrom(fd, end, 3, &buffer, &end, keep), "");
  EXPECT_EQ(end, 15);
  EXPECT_EQ(lines, (std::vector<std::pair<int64_t, std::string>>{
                       {1, "a\r"}, {2, "b\r"}, {3, "longer\r"}, {4, "d"}}));
  close(fd);
}

TEST(LineReader, TellsAFileChangedOtherwiseThanByGrowing) {
  ScratchDir dir;
  const std::string path = dir / "card.txt";
  const std::string bytes = std::string(40, '1') + "\r\n" + std::string(30, '2');
  writeFile(path, bytes);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  FileMark mark = markOf(fd, static_cast<int64_t>(bytes.size()));
  ASSERT_EQ(mark.size, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(mark.boundary, bytes.substr(bytes.size() - kBoundaryBytes));
  EXPECT_EQ(changedSince(fd, mark), "");
  // Grown: the same. An edit before the bytes kept is not seen; one among
  // them is; a file cut shorter is.
  writeFile(path, bytes + "\r\n3");
  EXPECT_EQ(changedSince(fd, mark), "");
  writeFile(path, "9" + bytes.substr(1) + "\r\n3");
  EXPECT_EQ(changedSince(fd, mark), "");
  writeFile(path, bytes.substr(0, bytes.size() - 1) + "9\r\n3");
  EXPECT_NE(changedSince(fd, mark).find("where the last audit stopped, changed"),
            std::string::npos);
  writeFile(path, bytes.substr(0, 10));
  EXPECT_EQ(changedSince(fd, mark), "it shrank from 72 to 10 bytes");
  close(fd);
  // Another file under the same name: another inode.
  std::string other = dir / "other.txt";
  writeFile(other, bytes);
  ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
  fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(changedSince(fd, mark).rfind("it is another file (inode ", 0), 0u)
      << changedSince(fd, mark);
  close(fd);
}
