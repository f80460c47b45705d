// A GlusterFS cluster for one test, made and removed by tools/cluster.sh:
// one volume and N hosts (network namespaces) that mount it, each host's
// mount a view of one network directory. On a machine that cannot run one
// (not root, no /dev/fuse, no GlusterFS), the test is skipped and says why.
#pragma once

#include <string>
#include <vector>

#include "tests/support/test_support.h"

// How the cluster is made.
struct ClusterSetup {
  int clients = 3;
  bool plain = false;                      // no volume options, a plain mount
  std::vector<std::string> volumeOptions;  // NAME=VALUE, over the needed ones
  std::string mountOptions;                // instead of the needed ones, when given
};

class Cluster {
 public:
  explicit Cluster(const ClusterSetup& setup);
  ~Cluster();
  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  // Why there is no cluster: the machine cannot run one, or it did not come
  // up. Empty when it is up.
  const std::string& missing() const { return missing_; }
  // Whether the machine could not run one at all (skip) rather than failed.
  bool cannotRun() const { return cannotRun_; }

  // Host k's view of the network directory (1 to clients).
  std::string host(int k) const { return dir_ + "/host" + std::to_string(k); }
  int clients() const { return clients_; }
  // The views of every host.
  std::vector<std::string> hosts() const;
  // The folder of brick n (1 to 3): what that server holds.
  std::string brick(int n) const { return dir_ + "/bricks/b" + std::to_string(n); }

  // Runs `tools/cluster.sh <command>` (its words split at spaces) on this
  // cluster, through the test's programs harness; returns its status. Its
  // output goes to the test's own, or to the file `output` ("/dev/null"
  // to hide it), its errors too when `errorsToo`.
  int tool(const std::string& command, const std::string& output = "",
           bool errorsToo = false) const;

 private:
  ScratchDir scratch_;
  std::string dir_;
  int clients_;
  std::string missing_;
  bool cannotRun_ = false;
};
