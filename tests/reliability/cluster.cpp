// The test cluster, through tools/cluster.sh.
#include "tests/reliability/cluster.h"

#include <sys/wait.h>

#include <cstdlib>

namespace {

std::string quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

Cluster::Cluster(const ClusterSetup& setup)
    : dir_(scratch_.path() + "/cluster"), clients_(setup.clients) {
  std::string command =
      "up --clients " + std::to_string(setup.clients) + " --bin " + quoted(READERS_DIR);
  if (setup.plain) command += " --plain";
  for (const std::string& option : setup.volumeOptions) {
    command += " --volume-option " + quoted(option);
  }
  if (!setup.mountOptions.empty()) command += " --mount-options " + quoted(setup.mountOptions);
  int status = tool(command + " > " + quoted(scratch_.path() + "/up.txt") + " 2>&1");
  if (status == 3) {
    cannotRun_ = true;
    missing_ = readFile(scratch_.path() + "/up.txt");
  } else if (status != 0) {
    missing_ = "tools/cluster.sh up failed: " + readFile(scratch_.path() + "/up.txt");
  }
}

Cluster::~Cluster() {
  if (!cannotRun_) tool("down > /dev/null 2>&1");
}

std::vector<std::string> Cluster::hosts() const {
  std::vector<std::string> views;
  for (int k = 1; k <= clients_; k++) views.push_back(host(k));
  return views;
}

int Cluster::tool(const std::string& command) const {
  // The cluster's daemons keep the real clock, whatever clock the test
  // runs its programs under; none of its commands hangs a test.
  int status = system(("env -u LD_PRELOAD -u FAKETIME -u FAKETIME_SHARED timeout 300 " +
                       quoted(CLUSTER_TOOL) + " " + command + " --dir " + quoted(dir_))
                          .c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
