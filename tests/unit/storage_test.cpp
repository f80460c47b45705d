// The check of a GlusterFS client: which of its translators, mount options
// and lock handling let a reader decide a tap from a stale card, or write
// on after its lock was lost, and that it names each as the option to set.
#include "core/storage.h"

#include <gtest/gtest.h>

namespace {

// A client made as docs/many-hosts.md says: no md-cache, no write-behind,
// lookups and reads from the servers, strict locks in each brick's client.
const char kTranslators[] =
    "debug/io-stats\nprotocol/client\nprotocol/client\nprotocol/client\ncluster/replicate\n"
    "cluster/distribute\nperformance/open-behind\nperformance/quick-read\n";
const char kCommandLine[] =
    "/usr/sbin/glusterfs --entry-timeout=0 --direct-io-mode=enable --process-name fuse "
    "--volfile-server=fs1 --volfile-id=/fare /srv/fare";
const char kStrict[] = "on\non\non\n";

}  // namespace

TEST(GlusterClient, MadeAsTheDocsSayIsTrusted) {
  EXPECT_EQ(staleGlusterClient(kTranslators, kCommandLine, kStrict), "");
}

TEST(GlusterClient, WithoutTheStrictLocksOptionAtAllIsTrusted) {
  // A GlusterFS that has no strict-locks option shows none in its .meta
  // tree: nothing can be set, and nothing is asked.
  EXPECT_EQ(staleGlusterClient(kTranslators, kCommandLine, ""), "");
}

TEST(GlusterClient, WithLocksNotStrictInOneBricksClientIsRefused) {
  for (const char* values : {"off\noff\noff\n", "on\noff\non\n"}) {
    std::string why = staleGlusterClient(kTranslators, kCommandLine, values);
    EXPECT_NE(why.find("it needs volume option client.strict-locks on"), std::string::npos)
        << values << why;
  }
}

TEST(GlusterClient, NamesEveryOptionItLacks) {
  std::string why = staleGlusterClient(
      std::string(kTranslators) + "performance/md-cache\nperformance/write-behind\n",
      "/usr/sbin/glusterfs --process-name fuse --volfile-server=fs1 /srv/fare", "off\n");
  EXPECT_NE(why.find("it needs volume option performance.stat-prefetch off, volume option "
                     "performance.write-behind off, mount option entry-timeout=0, mount option "
                     "direct-io-mode=enable and volume option client.strict-locks on"),
            std::string::npos)
      << why;
}

TEST(GlusterClient, WhoseTreeCannotBeReadIsRefused) {
  EXPECT_NE(staleGlusterClient("", "", ""), "");
}
