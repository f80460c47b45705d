// Test helpers.
#include "tests/support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <algorithm>

#include "core/card_file.h"
#include "core/card_transaction.h"
#include "readers/network.h"

std::string euckr(const std::string& utf8) {
  iconv_t converter = iconv_open("EUC-KR", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no EUC-KR converter");
  std::string in = utf8, out(utf8.size() * 2 + 8, '\0');
  char* inPtr = in.data();
  char* outPtr = out.data();
  size_t inLeft = in.size(), outLeft = out.size();
  size_t done = iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(converter);
  if (done == static_cast<size_t>(-1)) throw std::runtime_error("not convertible: " + utf8);
  out.resize(out.size() - outLeft);
  return out;
}

ScratchDir::ScratchDir(const char* base) {
  if (base == nullptr) base = getenv("TMPDIR");
  std::string pattern = std::string(base ? base : "/tmp") + "/fare-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::string command = "rm -rf '" + path_ + "'";
  int ignored = system(command.c_str());
  (void)ignored;
}

InZone::InZone(const char* zone) {
  const char* old = getenv("TZ");
  saved_ = old ? old : "";
  hadZone_ = old != nullptr;
  setenv("TZ", zone, 1);
  tzset();
}

InZone::~InZone() {
  if (hadZone_) {
    setenv("TZ", saved_.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

NetworkDir::NetworkDir(const std::string& root) {
  char* real = realpath(root.c_str(), nullptr);
  root_ = real != nullptr ? real : root;
  free(real);
  dir_ = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_ < 0) throw std::runtime_error("cannot open " + root_ + ": " + strerror(errno));
}

NetworkDir::~NetworkDir() {
  close(dir_);
}

void InScratchNetwork::SetUp() {
  ASSERT_EQ(mkdirat(net(), kCardDirectory, 0755), 0) << strerror(errno);
  ASSERT_EQ(mkdirat(net(), kLogDirectory, 0755), 0) << strerror(errno);
}

::testing::AssertionResult resetNetwork(const std::string& network, NetworkFolders which) {
  std::vector<const char*> folders;
  if (which == NetworkFolders::kCardAndLogs) folders.push_back("Card");
  folders.push_back("Reader_txt");
  for (const char* folder : folders) {
    std::filesystem::path path = std::filesystem::path(network) / folder;
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) {
      return ::testing::AssertionFailure() << "cannot remove " << path << ": " << error.message();
    }
    // As mkdir, it fails when the folder is there already (put back meanwhile).
    if (!std::filesystem::create_directory(path, error)) {
      return ::testing::AssertionFailure()
             << "cannot make " << path << ": " << (error ? error.message() : "it is there");
    }
  }
  return ::testing::AssertionSuccess();
}

std::vector<std::string> logsWith(const std::string& logPath) {
  std::vector<std::string> logs = networkLogPaths();
  if (!logPath.empty() && std::find(logs.begin(), logs.end(), logPath) == logs.end()) {
    logs.push_back(logPath);
  }
  return logs;
}

bool recordOnCard(int dir, const TapEntry& entry, const char* logPath) {
  HeldCard card;
  CardRecord records[2];
  std::vector<std::string> notices;
  if (holdCard(dir, entry.cardFile, logsWith(logPath), &card, records, &notices) !=
      LoadStatus::kLoaded) {
    return false;
  }
  TapWriter writer = tapWriter(dir, logPath);
  bool recorded =
      entry.charged < 0 || recordTap(card, formatCardRecord(entry), formatLogLine(entry), &writer);
  releaseCard(&card);
  closeTapWriter(&writer);
  return recorded;
}

LoadStatus holdAndLetGo(int dir, const char* path, CardRecord records[2]) {
  HeldCard card;
  std::vector<std::string> notices;
  LoadStatus status = holdCard(dir, path, logsWith(), &card, records, &notices);
  releaseCard(&card);
  return status;
}

std::vector<CorpusSeed> cardTailSeeds() {
  std::vector<CorpusSeed> seeds;
  DIR* corpus = opendir(CARD_TAIL_CORPUS);
  if (corpus == nullptr) return seeds;
  while (dirent* seed = readdir(corpus)) {
    std::string name = seed->d_name;
    if (name[0] != '.')
      seeds.push_back({name, readFile(std::string(CARD_TAIL_CORPUS) + "/" + name)});
  }
  closedir(corpus);
  return seeds;
}

void writeMidnightNetwork(const std::string& root) {
  mkdir((root + "/Card").c_str(), 0755);
  mkdir((root + "/Reader_txt").c_str(), 0755);
  writeFile(root + "/Card/1.txt",
            "20260306220000,SUBWAY,OUT,10000,ISSUE_1\r\n"
            "20260306220000,SUBWAY,OUT,10000,ISSUE_2\r\n"
            "20260306235000,SUBWAY,IN,8950,S1_1\r\n"
            "20260307001000,SUBWAY,OUT,8750,S3_1\r\n"
            "20260307001010,BUS,IN,8750,B_1\r\n"
            "20260307001145,BUS,OUT,8450,B_2");
  writeFile(root + "/Card/2.txt",
            "20260306200000,SUBWAY,OUT,3000,ISSUE_1\r\n"
            "20260306200000,SUBWAY,OUT,3000,ISSUE_2\r\n"
            "20260306210000,SUBWAY,IN,1950,S5_3\r\n"
            "20260306210000,SUBWAY,IN,6950,S5_3\r\n"
            "20260307074500,SUBWAY,IN,5700,S2_1");
  writeFile(root + "/Card/3.txt",
            "20260307060000,SUBWAY,OUT,2000,ISSUE_1\r\n"
            "20260307060000,SUBWAY,OUT,2000,ISSUE_2\r\n"
            "20260307061000,SUBWAY,IN,950,S1_2");
  // A transfer and the exit after it log the id of the tap before them.
  writeFile(root + "/Reader_txt/Subway1.txt",
            "20260306235000,SUBWAY,IN,1050,S1_1\r\n20260307061000,SUBWAY,IN,1050,S1_2\r\n");
  writeFile(root + "/Reader_txt/Subway2.txt", "20260307074500,SUBWAY,IN,1250,S2_1\r\n");
  writeFile(root + "/Reader_txt/Subway3.txt", "20260307001000,SUBWAY,OUT,200,S3_1\r\n");
  writeFile(root + "/Reader_txt/Subway4.txt", "20260306230000,SUBWAY,IN,1050,S4_9\r\n");
  writeFile(root + "/Reader_txt/Subway5.txt", "20260306210000,SUBWAY,IN,1050,S5_3\r\n");
  writeFile(root + "/Reader_txt/Bus.txt",
            "20260307001010,BUS,IN,0,S3_1\r\n20260307001145,BUS,OUT,300,B_1\r\n");
  writeFile(root + "/Reader_txt/Topup.txt", "20260307073000,TOPUP,2,5000,6950\r\n");
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}
