// The test cluster, through tools/cluster.sh.
#include "tests/reliability/cluster.h"

#include <cstdlib>
#include <sstream>

#include "tests/support/programs.h"

Cluster::Cluster(const ClusterSetup& setup)
    : dir_(scratch_.path() + "/cluster"), clients_(setup.clients) {
  std::string command =
      "up --clients " + std::to_string(setup.clients) + " --bin " + std::string(READERS_DIR);
  if (setup.plain) command += " --plain";
  for (const std::string& option : setup.volumeOptions) command += " --volume-option " + option;
  if (!setup.mountOptions.empty()) command += " --mount-options " + setup.mountOptions;
  int status = tool(command, scratch_.path() + "/up.txt", true);
  if (status == 3) {
    cannotRun_ = true;
    missing_ = readFile(scratch_.path() + "/up.txt");
  } else if (status != 0) {
    missing_ = "tools/cluster.sh up failed: " + readFile(scratch_.path() + "/up.txt");
  }
}

Cluster::~Cluster() {
  if (!cannotRun_) tool("down", "/dev/null", true);
}

std::vector<std::string> Cluster::hosts() const {
  std::vector<std::string> views;
  for (int k = 1; k <= clients_; k++) views.push_back(host(k));
  return views;
}

int Cluster::tool(const std::string& command, const std::string& output, bool errorsToo) const {
  // The cluster's daemons keep the real clock, whatever clock the test
  // runs its programs under (the harness passes none of the faked clock's
  // settings on); none of its commands hangs a test.
  ProgramRun run;
  run.argv = {"/usr/bin/timeout", "300", CLUSTER_TOOL};
  std::istringstream words(command);
  for (std::string word; words >> word;) run.argv.push_back(word);
  run.argv.insert(run.argv.end(), {"--dir", dir_});
  run.dir = scratch_.path();
  run.console = output;
  run.errors = errorsToo ? output : "";
  run.testsStreams = true;
  for (const char* name : {"HOME", "TMPDIR", "LANG"}) {
    if (getenv(name) != nullptr) run.environment.push_back(std::string(name) + "=" + getenv(name));
  }
  run.morePath = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/sbin"};
  Program program = startProgram(run);
  return finishProgram(&program, 330);
}
