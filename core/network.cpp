// The network directory's layout, and what tells one.
#include "core/network.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "core/card_file.h"
#include "core/file_io.h"

static bool endsWith(const std::string& text, const char* suffix) {
  size_t length = strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

std::string cardPath(const char* number) {
  return std::string(kCardDirectory) + "/" + number + kCardSuffix;
}

bool isCardPath(const std::string& path) {
  const std::string prefix = std::string(kCardDirectory) + "/";
  const size_t suffix = strlen(kCardSuffix);
  if (path.size() <= prefix.size() + suffix || path.rfind(prefix, 0) != 0 ||
      !endsWith(path, kCardSuffix)) {
    return false;
  }
  return isCardNumber(path.data() + prefix.size(), path.size() - prefix.size() - suffix);
}

std::string cardNumberOf(const std::string& path) {
  const size_t prefix = strlen(kCardDirectory) + 1, suffix = strlen(kCardSuffix);
  return isCardPath(path) ? path.substr(prefix, path.size() - prefix - suffix) : std::string();
}

std::string retiredPath(const char* number) {
  return cardPath(number) + kRetiredSuffix;
}

std::string retiredNumberOf(const std::string& path) {
  if (!endsWith(path, kRetiredSuffix)) return "";
  return cardNumberOf(path.substr(0, path.size() - strlen(kRetiredSuffix)));
}

std::string replacingPath(const char* number) {
  return cardPath(number) + kReplacingSuffix;
}

std::string logPath(const std::string& name) {
  return std::string(kLogDirectory) + "/" + name;
}

bool isLogPath(const std::string& path) {
  const std::string directory = std::string(kLogDirectory) + "/";
  return path.size() > directory.size() && path.rfind(directory, 0) == 0 &&
         path.find('/', directory.size()) == std::string::npos && !endsWith(path, kJournalSuffix);
}

std::string journalPath(const std::string& logPath) {
  return logPath + kJournalSuffix;
}

bool isJournalName(const std::string& name) {
  return name.size() > strlen(kJournalSuffix) && endsWith(name, kJournalSuffix);
}

bool isSetAsideName(const std::string& name) {
  return name.find(kSetAsideMark) != std::string::npos;
}

std::string setAsidePath(const std::string& path, int n) {
  return path + kSetAsideMark + std::to_string(static_cast<long long>(time(nullptr))) + "." +
         std::to_string(static_cast<int>(getpid())) + "." + std::to_string(n);
}

bool hasDirectory(int dir, const char* name) {
  struct stat info {};
  return fstatat(dir, name, &info, 0) == 0 && S_ISDIR(info.st_mode);
}

std::string networkMissing(int dir) {
  for (const char* directory : {kCardDirectory, kLogDirectory}) {
    if (!hasDirectory(dir, directory))
      return std::string("there is no ") + directory + "/ directory";
  }
  DIR* cards = openDirectory(dir, kCardDirectory);
  if (cards == nullptr) return std::string(kCardDirectory) + "/ cannot be read";
  bool empty = true;
  while (dirent* entry = empty ? readdir(cards) : nullptr) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) empty = false;
  }
  closedir(cards);
  return empty ? kCardsEmpty : "";
}

std::string notANetwork(int dir, const std::string& shownAs) {
  if (hasDirectory(dir, kCardDirectory) && hasDirectory(dir, kLogDirectory)) return "";
  return shownAs + " is not a network directory: it needs " + kCardDirectory + "/ and " +
         kLogDirectory + "/";
}

// A user's name, or its number when it has none.
static std::string userName(uid_t uid) {
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[1024];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return "uid " + std::to_string(uid);
}

std::string notOwner(int dir) {
  struct stat cards {
  }, logs{};
  if (fstatat(dir, kCardDirectory, &cards, 0) != 0) return "";
  std::string owner = userName(cards.st_uid);
  if (fstatat(dir, kLogDirectory, &logs, 0) == 0 && logs.st_uid != cards.st_uid) {
    return std::string(kLogDirectory) + "/ belongs to " + userName(logs.st_uid) + " and " +
           kCardDirectory + "/ to " + owner + ": give both to the readers' user";
  }
  if (cards.st_uid == geteuid()) return "";
  return "the network directory belongs to " + owner + " (the owner of " + kCardDirectory +
         "/), and this runs as " + userName(geteuid()) + ": run it as its owner, as in sudo -u " +
         owner + " ...";
}
