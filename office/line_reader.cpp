// Opening files and listing directories for the audit, relative to a
// directory descriptor.
#include "office/line_reader.h"

#include <dirent.h>
#include <sys/stat.h>

int openRegularAt(int dir, const std::string& path, std::string* why) {
  // As the readers open a card or a log: a link is not followed, and a
  // file with a second name (another path could change it by) is refused.
  int fd = openat(dir, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *why = errno == ELOOP ? kNotRegular : strerror(errno);
    return -1;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
    *why = info.st_nlink > 1 && S_ISREG(info.st_mode) ? kSecondName : kNotRegular;
    close(fd);
    return -1;
  }
  return fd;
}

std::vector<std::string> namesIn(int dir, const std::string& path, std::string* problem) {
  std::vector<std::string> names;
  int fd = openat(dir, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    *problem =
        (problem->empty() ? "" : *problem + "; ") + path + "/ cannot be read: " + strerror(errno);
    if (fd >= 0) close(fd);
    return names;
  }
  // A listing cut short by an error is no listing: readdir tells it by
  // errno alone.
  errno = 0;
  while (dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  if (errno != 0) {
    *problem =
        (problem->empty() ? "" : *problem + "; ") + path + "/ cannot be read: " + strerror(errno);
    names.clear();
  }
  closedir(listing);  // closes fd as well
  std::sort(names.begin(), names.end());
  return names;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

FileMark markOf(int fd, int64_t size) {
  FileMark mark;
  struct stat info {};
  size_t want = static_cast<size_t>(std::min<int64_t>(size, kBoundaryBytes));
  mark.boundary.resize(want);
  if (fstat(fd, &info) != 0 ||
      pread(fd, &mark.boundary[0], want, size - static_cast<int64_t>(want)) !=
          static_cast<ssize_t>(want)) {
    mark.size = -1;
    return mark;
  }
  mark.inode = info.st_ino;
  mark.size = size;
  return mark;
}

std::string changedSince(int fd, const FileMark& mark) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return std::string("it cannot be looked at: ") + strerror(errno);
  if (info.st_ino != mark.inode) {
    return "it is another file (inode " + std::to_string(info.st_ino) + ", was " +
           std::to_string(mark.inode) + ")";
  }
  if (info.st_size < mark.size) {
    return "it shrank from " + std::to_string(mark.size) + " to " + std::to_string(info.st_size) +
           " bytes";
  }
  FileMark now = markOf(fd, mark.size);
  if (now.size < 0) return std::string("it cannot be read: ") + strerror(errno);
  if (now.boundary != mark.boundary) {
    return "its bytes before byte " + std::to_string(mark.size) +
           ", where the last audit stopped, changed";
  }
  return "";
}
