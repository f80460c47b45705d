// The check of the network directory's file system: the mount that holds
// it, read from /proc/self/mountinfo, and for a GlusterFS client its
// translators and command line, read from the client's own .meta tree.
#include "core/storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace {

// A translator a GlusterFS client must not run, and the volume option that
// turns it off. md-cache keeps a file's attributes (its size) on the
// client, so that a reader on one host would read a card as it was before
// another host's tap. write-behind acknowledges a write before the servers
// have it: a reader killed with writes held back has let go of its lock
// while they are still on their way, and the card's next reader, which
// completes the tap from the journal, meets them arriving late. (The other
// performance translators are harmless to the readers, given the mount
// options below.)
const struct {
  const char* type;
  const char* option;
} kCachingTranslators[] = {
    {"performance/md-cache", "performance.stat-prefetch off"},
    {"performance/write-behind", "performance.write-behind off"},
};

// The option of a GlusterFS client's protocol/client translators that keeps
// a descriptor it held a lock by from being opened again, lockless, when the
// client reconnects to a brick that let the lock go: without it a reader
// whose host was cut off mid-tap, or whose bricks restarted one after the
// other, goes on through its descriptors as if it held the card, after
// another host took it; with it, those descriptors fail (EBADFD), and the
// reader takes the tap back and opens its files anew. A GlusterFS without
// the option has no such file in the client's .meta tree, and is taken as
// it is (docs/many-hosts.md).
const char kStrictLocksOption[] = "strict-locks";
const char kStrictLocks[] = "volume option client.strict-locks on";

// FUSE's own cache of what a lookup fetched (a card's size, its name): each
// card opened and each journal looked at must be looked up on the servers.
// attribute-timeout=0 in its place refreshes a card's size but leaves its
// name cached for a second (a card issued anew could still lead to the
// removed file), so it is not taken instead.
const char kFreshLookups[] = "--entry-timeout=0";
const char kFreshLookupsOption[] = "entry-timeout=0";

// The page cache of the client: it keeps a file's bytes across opens, and a
// journal block written over in place (its size the same) would be read as
// it was. Reads must go to the servers.
const char kDirectIo[] = "--direct-io-mode=enable";
const char kDirectIoOption[] = "direct-io-mode=enable";

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

// A mount, as /proc/self/mountinfo tells it.
struct Mount {
  std::string device;  // major:minor
  std::string root;    // the file system's directory mounted there ("/" for its root)
  std::string point;   // where
  std::string type;    // the file system type
};

std::vector<Mount> mounts() {
  std::vector<Mount> all;
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  while (std::getline(info, line)) {
    std::istringstream fields(line);
    Mount mount;
    std::string id, parent, word;
    fields >> id >> parent >> mount.device >> mount.root >> mount.point;
    mount.root = unescaped(mount.root);
    mount.point = unescaped(mount.point);
    while (fields >> word && word != "-") {
    }
    fields >> mount.type;
    all.push_back(mount);
  }
  return all;
}

// The mount that holds `path` (a real path), the longest mount point that
// begins it; and, where that is a part of a file system mounted elsewhere
// whole (a bind mount), where the whole is mounted: `rootPoint`, empty when
// it is nowhere.
bool mountOf(const std::string& path, std::string* rootPoint, std::string* type) {
  std::vector<Mount> all = mounts();
  const Mount* holding = nullptr;
  for (const Mount& mount : all) {
    bool holds = path == mount.point || mount.point == "/" || path.rfind(mount.point + "/", 0) == 0;
    if (holds && (holding == nullptr || mount.point.size() >= holding->point.size())) {
      holding = &mount;
    }
  }
  if (holding == nullptr) return false;
  *type = holding->type;
  rootPoint->clear();
  for (const Mount& mount : all) {
    if (mount.device == holding->device && mount.root == "/") *rootPoint = mount.point;
  }
  return true;
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

// The values of a GlusterFS client's strict-locks option, one per line, one
// for each protocol/client translator of its active graph that has it (none
// in a GlusterFS that has no such option).
std::string strictLocksOf(const std::string& mountPoint) {
  std::string graph = mountPoint + "/.meta/graphs/active";
  DIR* directory = opendir(graph.c_str());
  if (directory == nullptr) return "";
  std::string values;
  while (dirent* entry = readdir(directory)) {
    std::string translator = graph + "/" + entry->d_name;
    if (readWhole(translator + "/type").rfind("protocol/client", 0) != 0) continue;
    std::string value = readWhole(translator + "/options/" + kStrictLocksOption);
    if (!value.empty()) values += value.substr(0, value.find('\n')) + "\n";
  }
  closedir(directory);
  return values;
}

}  // namespace

std::string staleGlusterClient(const std::string& translators, const std::string& commandLine,
                               const std::string& strictLocks) {
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
  // A flag on the client's command line, alone or as the last argument.
  std::string spaced = " " + commandLine + " ";
  auto given = [&](const std::string& flag) {
    return spaced.find(" " + flag + " ") != std::string::npos ||
           spaced.find(" " + flag + "\"") != std::string::npos;
  };
  if (!given(kFreshLookups)) missing.push_back("mount option " + std::string(kFreshLookupsOption));
  if (!given(kDirectIo)) missing.push_back("mount option " + std::string(kDirectIoOption));
  std::istringstream values(strictLocks);
  bool strict = true;
  for (std::string value; std::getline(values, value);) strict = strict && value == "on";
  if (!strict) missing.push_back(kStrictLocks);
  if (missing.empty()) return "";
  std::string why =
      "its GlusterFS client may serve cards from its own caches, or write on through "
      "descriptors whose locks it lost: it needs";
  for (size_t i = 0; i < missing.size(); i++) {
    why += (i == 0 ? " " : i + 1 == missing.size() ? " and " : ", ") + missing[i];
  }
  return why + " (docs/many-hosts.md)";
}

std::string staleStorage(int dir, const std::string& name) {
  // The directory's own path, found through the descriptor.
  std::string directory =
      dir == AT_FDCWD ? name : "/proc/self/fd/" + std::to_string(dir) + "/" + name;
  char real[PATH_MAX];
  if (realpath(directory.c_str(), real) == nullptr) return "";
  std::string point, type;
  if (!mountOf(real, &point, &type) || type != "fuse.glusterfs") return "";
  std::string why =
      point.empty() ? staleGlusterClient("", "", "")
                    : staleGlusterClient(translatorsOf(point), readWhole(point + "/.meta/cmdline"),
                                         strictLocksOf(point));
  return why.empty() ? "" : name + " is on a GlusterFS mount, and " + why;
}
