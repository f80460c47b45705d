// The check of the network directory's file system: the mount that holds
// it, read from /proc/self/mountinfo, and for a GlusterFS client its
// translators and command line, read from the client's own .meta tree.
#include "core/storage.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace {

// A translator a GlusterFS client must not run, and the volume option that
// turns it off: each keeps something of a file on the client (its size,
// its bytes, its writes, its name) that another host may have changed.
const struct {
  const char* type;
  const char* option;
} kCachingTranslators[] = {
    {"performance/md-cache", "performance.stat-prefetch off"},
    {"performance/quick-read", "performance.quick-read off"},
    {"performance/io-cache", "performance.io-cache off"},
    {"performance/read-ahead", "performance.read-ahead off"},
    {"performance/write-behind", "performance.write-behind off"},
    {"performance/open-behind", "performance.open-behind off"},
    {"performance/nl-cache", "performance.nl-cache off"},
};

// The client's own caches: FUSE's of a file's attributes and names, and the
// page cache of its bytes, each turned off by a mount option.
const struct {
  const char* flag;
  const char* option;
} kClientFlags[] = {
    {"--attribute-timeout=0", "attribute-timeout=0"},
    {"--entry-timeout=0", "entry-timeout=0"},
    {"--direct-io-mode=enable", "direct-io-mode=enable"},
};

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A mount point as mountinfo writes it: space, tab, newline and backslash
// as \ooo.
std::string unescaped(const std::string& field) {
  std::string text;
  for (size_t i = 0; i < field.size(); i++) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      text += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

// The mount point and file system type of the mount that holds `path` (a
// real path): the longest mount point that begins it.
bool mountOf(const std::string& path, std::string* point, std::string* type) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  bool found = false;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, rootOfMount, mountPoint, word;
    fields >> id >> parent >> device >> rootOfMount >> mountPoint;
    mountPoint = unescaped(mountPoint);
    while (fields >> word && word != "-") {
    }
    std::string fileSystem;
    fields >> fileSystem;
    bool holds = path == mountPoint || mountPoint == "/" || path.rfind(mountPoint + "/", 0) == 0;
    if (holds && (!found || mountPoint.size() >= point->size())) {
      *point = mountPoint;
      *type = fileSystem;
      found = true;
    }
  }
  return found;
}

// The types of the translators of a GlusterFS client's active graph, one
// per line, from the .meta tree of its mount point.
std::string translatorsOf(const std::string& mountPoint) {
  std::string graph = mountPoint + "/.meta/graphs/active";
  DIR* directory = opendir(graph.c_str());
  if (directory == nullptr) return "";
  std::string types;
  while (dirent* entry = readdir(directory)) {
    std::string type = readWhole(graph + "/" + entry->d_name + "/type");
    if (!type.empty()) types += type.substr(0, type.find('\n')) + "\n";
  }
  closedir(directory);
  return types;
}

}  // namespace

std::string staleGlusterClient(const std::string& translators, const std::string& commandLine) {
  if (translators.empty() || commandLine.empty()) {
    return "the GlusterFS client's translators cannot be read (its .meta tree): mount it as "
           "docs/many-hosts.md says";
  }
  std::vector<std::string> missing;
  for (const auto& t : kCachingTranslators) {
    if (translators.find(std::string(t.type) + "\n") != std::string::npos) {
      missing.push_back("volume option " + std::string(t.option));
    }
  }
  for (const auto& f : kClientFlags) {
    std::string spaced = " " + commandLine + " ";
    if (spaced.find(" " + std::string(f.flag) + " ") == std::string::npos &&
        spaced.find(" " + std::string(f.flag) + "\"") == std::string::npos) {
      missing.push_back("mount option " + std::string(f.option));
    }
  }
  if (missing.empty()) return "";
  std::string why = "its GlusterFS client may serve cards from its own caches: it needs";
  for (size_t i = 0; i < missing.size(); i++) {
    why += (i == 0 ? " " : i + 1 == missing.size() ? " and " : ", ") + missing[i];
  }
  return why + " (docs/many-hosts.md)";
}

std::string staleStorage(const std::string& directory) {
  char real[PATH_MAX];
  if (realpath(directory.c_str(), real) == nullptr) return "";
  std::string point, type;
  if (!mountOf(real, &point, &type) || type != "fuse.glusterfs") return "";
  std::string why = staleGlusterClient(translatorsOf(point), readWhole(point + "/.meta/cmdline"));
  return why.empty() ? "" : point + " is a GlusterFS mount, and " + why;
}
