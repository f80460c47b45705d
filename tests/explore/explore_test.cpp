// The explorer: seeded random episodes of the real network. Readers and the
// office act on a few cards at random moments while faults are drawn at
// random (kills, failing writes and flushes, a flush that fails once and
// loses its pages, a power cut, operators moving files, other users, a full
// disk, a stepped clock, a blocked error stream or console); then every
// program is stopped, the cache dropped as the fault model says, a reader
// settles what is in flight, and the network is held to the promises of
// docs/transaction.md. A failing episode prints its seed, what was drawn,
// what broke and the command that runs it again. Given a cluster of
// tools/cluster.sh, the same episodes run on its hosts, and the cluster's
// own faults are drawn too (a brick killed, a host cut off, the GlusterFS
// daemon restarted).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/card_checks.h"
#include "tests/reliability/cluster.h"
#include "tests/support/programs.h"
#include "tests/support/test_support.h"

namespace {

const std::string kBin = READERS_DIR;
const char kOtherUser[] = "65534";  // nobody: the network's other user
// Card numbers the office may issue: ordinary ones, and any the card tool
// accepts as a number.
const std::vector<std::string> kNumbers = {"1", "2", "42", "1234567890", "A-7", "1,2", "x.y", "9#"};
const std::vector<std::string> kEpisodeReaders = {"S1", "S3", "S5", "B"};

// The seeds CI runs, some four seconds each here: first those that broke
// the network once (docs/reliability.md says how), then others.
const std::vector<uint64_t> kCiSeeds = {306,  1148, 2161, 2151, 1003, 2210, 107,   1019, 1083,
                                        3060, 3001, 1058, 133,  2097, 1107, 1104,  1155, 1002,
                                        1004, 1008, 1011, 1015, 1016, 1017, 20144, 20278};

// The seeds CI runs on a cluster.
const std::vector<uint64_t> kClusterSeeds = {1, 2, 3, 4, 5, 6};

std::string text(const char* utf8) {
  return euckr(utf8);
}

// The program of reader `id`.
std::string programOf(const std::string& id) {
  return kBin + "/" + (id == "B" ? "bus_reader" : "subway_reader_s" + id.substr(1));
}

// When the explorer started: the programs' fast clock counts from here.
const auto kStart = std::chrono::steady_clock::now();

// What a reader's console said of one tap.
enum class Said { kCharged, kFailed, kRefused, kOther, kUnknown };

// One run of a reader: what was typed at it and how it was started.
struct Instance {
  std::string id;                  // S1 ... B
  std::string console;             // its console file, or empty: a pipe
  std::string output;              // what its console showed
  std::vector<std::string> typed;  // the card numbers typed, in order
  std::string fault;               // the fault drawn for it
  Program program;
  bool exitedNormally = false;
};

// One top-up, or a refund: what the office said of it.
struct Topup {
  std::string card;
  int amount;
  Said said;            // kCharged: done; kFailed: an error; kUnknown: killed
  bool refund = false;  // money taken back off the card
};

// A region of a file the disk does not hold.
struct Lost {
  off_t start, end;
};

class Episode {
 public:
  // An episode on one host, or on the hosts of `cluster`.
  explicit Episode(uint64_t seed, const Cluster* cluster = nullptr)
      : seed_(seed), rng_(seed), cluster_(cluster) {}

  // Runs the episode; returns what broke, or nothing.
  std::string run();
  const std::string& drawn() const { return drawn_; }

 private:
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
  int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[between(0, static_cast<int>(from.size()) - 1)];
  }
  void note(const std::string& fault) { drawn_ += (drawn_.empty() ? "" : "; ") + fault; }
  std::string path(const std::string& relative) const { return net_ + "/" + relative; }
  // The network directory as host `host` sees it (on one host: net_), and
  // a host drawn at random for a program to run on.
  std::string view(int host) const {
    return cluster_ == nullptr ? net_ : cluster_->host(host) + "/episode-" + std::to_string(seed_);
  }
  int anyHost() { return cluster_ == nullptr ? 1 : between(1, cluster_->clients()); }

  std::vector<std::string> environment(const std::string& fault, bool clockBack);
  void setUp(ProgramRun* run, bool other, const std::vector<std::string>& argv,
             const std::vector<std::string>& environment);
  void startReader(const std::string& id);
  void startAnyReader();
  int office(const std::vector<std::string>& args, bool asOther, std::string* out);
  void topup();
  void operatorFault();
  void clusterFault();
  void clusterWhole();
  std::string drawFault(bool office);
  bool running(const Instance& reader);
  void finish(Instance* reader, bool powerCut);
  void dropCache(bool powerCut);
  std::string check();
  std::string checkCard(const std::string& card, const std::vector<Said>& settled);

  uint64_t seed_;
  std::mt19937_64 rng_;
  const Cluster* cluster_;
  int brickDown_ = 0, hostCut_ = 0;  // on a cluster: the brick killed, the host cut off
  std::string drawn_;
  ScratchDir scratch_;
  std::string net_, events_;
  bool othersNetwork_ = false;  // the network and its readers are the other user's
  std::vector<std::string> cards_;
  std::set<std::string> reissued_;
  std::set<std::string> allowed_;  // anomalies the episode's operators make the audit report
                                   // (a kind, or a kind and the file it is in)
  bool stalls_ = false, powerFaults_ = true;
  bool officeDiskFails_ = false;  // an office command's disk failed: it may wait, a card held
  // The lock file was removed or replaced, or a journal given to another
  // user: a reader may then refuse a card it cannot be sure of, saying why.
  bool unsure_ = false;
  std::vector<std::string> foreignJournals_;  // journals given to another user
  std::vector<Instance> readers_;
  std::vector<Topup> topups_;
  int consoles_ = 0;
};

std::vector<std::string> Episode::environment(const std::string& fault, bool clockBack) {
  std::vector<std::string> env = {"EXPLORE_EVENTS=" + events_, "EXPLORE_FAULT=" + fault,
                                  "EXPLORE_SNAPSHOTS=" + scratch_ / "flushed"};
  bool preloaded = false;
  for (std::string variable : sharedEnvironment()) {
    if (variable.rfind("LD_PRELOAD=", 0) == 0) {
      variable = "LD_PRELOAD=" + std::string(FAULT_SHIM) + ":" + variable.substr(11);
      preloaded = true;
    }
    // Not the clock libfaketime shares through a semaphore: a program killed
    // while it holds it would stop every other. Each program gets the one
    // fast clock by an offset instead: started t s after the explorer, at
    // speed x, it is (x - 1) t s ahead of its own start.
    if (variable.rfind("FAKETIME_SHARED=", 0) == 0) continue;
    size_t x = variable.find(" x");
    if (variable.rfind("FAKETIME=", 0) == 0 && x != std::string::npos) {
      double speed = std::stod(variable.substr(x + 2));
      double since =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - kStart).count();
      char clock[64];
      snprintf(clock, sizeof clock, "FAKETIME=%+.3f x%g",
               (speed - 1) * since - (clockBack ? 60 : 0), speed);
      variable = clock;
    }
    env.push_back(variable);
  }
  if (!preloaded) {
    std::string faketime = clockBack && std::string(FAKETIME_LIBRARY) != "" ? FAKETIME_LIBRARY : "";
    env.push_back("LD_PRELOAD=" + std::string(FAULT_SHIM) +
                  (faketime.empty() ? "" : ":" + faketime));
    if (!faketime.empty()) env.push_back("FAKETIME=-60");
  }
  return env;
}

// Fills in how to start `argv` with `environment`, as the other user when
// `other`: through setpriv and env, so that only the program itself has the
// explorer's library and libfaketime (whose state setpriv, still root, would
// make for it).
void Episode::setUp(ProgramRun* run, bool other, const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment) {
  run->argv = argv;
  run->environment = environment;
  if (!other) return;
  std::vector<std::string> prefix = {"/usr/bin/setpriv", std::string("--reuid=") + kOtherUser,
                                     std::string("--regid=") + kOtherUser, "--clear-groups",
                                     "/usr/bin/env"};
  prefix.insert(prefix.end(), environment.begin(), environment.end());
  run->argv.insert(run->argv.begin(), prefix.begin(), prefix.end());
  run->environment.clear();
}

// Removes what libfaketime kept in /dev/shm for a program that ended (a
// program killed leaves it there).
void forget(pid_t pid) {
  for (const char* name : {"/dev/shm/faketime_shm_", "/dev/shm/sem.faketime_sem_"}) {
    unlink((name + std::to_string(pid)).c_str());
  }
}

// Runs a program with its input ended at once; returns how it ended.
int runOnce(const ProgramRun& run) {
  Program program = startProgram(run);
  pid_t pid = program.pid;
  int status = finishProgram(&program, 30);
  forget(pid);
  return status;
}

// A fault for one program, as EXPLORE_FAULT says it, or "none".
std::string Episode::drawFault(bool office) {
  if (!chance(office ? 0.25 : 0.55)) return "none";
  // A read that fails once: nothing may be decided, or dropped, from it.
  std::vector<std::string> kinds = {"kill", "stall", "enospc", "readeio"};
  if (powerFaults_) kinds.insert(kinds.end(), {"eio", "die"});
  // A flush that loses its pages is a local disk's: a cluster's client
  // writes through to its servers.
  if (powerFaults_ && cluster_ == nullptr) kinds.insert(kinds.end(), {"flaky", "flaky"});
  std::string kind = pick(kinds);
  // A tap makes some 15 calls, 5 of them writes and flushes, and reads
  // each journal and the card's tail.
  int n = kind == "kill" || kind == "stall" ? between(1, 60)
          : kind == "readeio"               ? between(1, 20)
                                            : between(1, 10);
  if (kind == "stall") {
    stalls_ = true;
    return kind + " " + std::to_string(n) + " " + std::to_string(between(1500, 3500));
  }
  // A read late in the run fails for good (a disk whose reads die): the
  // tap a reader has yet to flush must outlive journals it cannot read.
  if (kind == "readeio" && n > 15) return "readdie " + std::to_string(n);
  return kind + " " + std::to_string(n);
}

void Episode::startReader(const std::string& id) {
  Instance reader;
  reader.id = id;
  ProgramRun run;
  std::string fault = drawFault(false);
  reader.fault = fault;
  bool clockBack = chance(0.2);
  bool root = othersNetwork_ && chance(0.15);
  std::vector<std::string> env = environment(fault, clockBack);
  int host = anyHost();
  run.dir = view(host);
  std::string what = id + "#" + std::to_string(readers_.size()) +
                     (cluster_ != nullptr ? " on host " + std::to_string(host) : "") + ": " + fault;
  if (clockBack) what += ", clock 60 s behind";
  // The audit tells the record dated by the other clock as dated ahead.
  if (clockBack) allowed_.insert("clock_ahead");
  if (root) what += ", started as root";
  if (chance(0.15)) {
    run.errorRoom = static_cast<size_t>(between(1, 64));
    what += ", error stream a pipe nobody reads";
  }
  bool limited = chance(0.08);
  if (limited) {
    // Kept by the explorer's library: the kernel's limit would cut its
    // record of the program's writes and flushes too.
    std::string limit = std::to_string(between(200, 1200));
    env.push_back("EXPLORE_FILE_LIMIT=" + limit);
    what += ", file-size limit " + limit;
  }
  setUp(&run, othersNetwork_ && !root, {programOf(id)}, env);
  if (chance(0.1) || limited) {
    // A console file would be cut by the limit: a pipe is not.
    run.consoleRoom = limited ? 4000 : static_cast<size_t>(between(64, 600));
    if (!limited) what += ", console a pipe read only at the end";
  } else {
    reader.console = scratch_ / ("console-" + std::to_string(consoles_++) + ".txt");
    run.console = reader.console;
    run.errors = reader.console + ".err";
  }
  note(what);
  reader.program = startProgram(run);
  readers_.push_back(reader);
}

// Starts a reader drawn at random, unless it is running already.
void Episode::startAnyReader() {
  std::string id = pick(kEpisodeReaders);
  bool up = false;
  for (const Instance& reader : readers_) up |= reader.id == id && running(reader);
  if (!up) startReader(id);
}

// Runs the card tool in the network, as the other user when `asOther`;
// returns its exit status (128 + a signal) and fills `out` with its output.
int Episode::office(const std::vector<std::string>& args, bool asOther, std::string* out) {
  ProgramRun run;
  std::vector<std::string> argv = {kBin + "/card_tool", "--dir", view(anyHost())};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string fault = args[0] == "topup" || args[0] == "refund" ? drawFault(true) : "none";
  if (fault != "none") note("office " + args[0] + ": " + fault);
  officeDiskFails_ |= fault.rfind("die", 0) == 0 || fault.rfind("eio", 0) == 0;
  setUp(&run, asOther, argv, environment(fault, false));
  run.console = scratch_ / "office.txt";
  run.dir = scratch_.path();  // where its fake `clear` goes
  int status = runOnce(run);
  if (out != nullptr) *out = readFile(run.console);
  return status;
}

void Episode::topup() {
  Topup t{pick(cards_), between(1, 50) * 100, Said::kFailed};
  // Now and then a refund instead, as the office's other change of a
  // balance, under the same lock and journal.
  t.refund = chance(0.3);
  // The office as the network's user, or now and then as another.
  bool other = chance(0.2) ? !othersNetwork_ : othersNetwork_;
  if (other != othersNetwork_) note(std::string("top-up as ") + (other ? "nobody" : "root"));
  std::string out;
  std::vector<std::string> args = {t.refund ? "refund" : "topup", "--", t.card,
                                   std::to_string(t.amount)};
  if (t.refund) args.push_back("explorer");
  int status = office(args, other, &out);
  if (status == 0 && out.find(t.refund ? "Refunded" : "Topped up") != std::string::npos) {
    t.said = Said::kCharged;
  }
  // Killed, or still waiting for its disk when its time ran out (-1): it
  // said nothing of the top-up.
  if (status >= 128 || status < 0) t.said = Said::kUnknown;
  if (t.said != Said::kCharged) {
    note("top-up of " + t.card + " not done (" + std::to_string(status) +
         "): " + out.substr(0, out.find('\n')));
  }
  topups_.push_back(t);
}

// What an operator or another user does to the files while readers run.
void Episode::operatorFault() {
  int kind = between(0, 4);
  std::string lock = path("Card/taps.lock");
  if (kind <= 1) {
    unsure_ = true;
    // A top-up in flight under the old lock file waits for the next office
    // command, which no episode may run.
    allowed_.insert("note_left");
  }
  if (kind == 0) {
    note("lock file removed");
    unlink(lock.c_str());
  } else if (kind == 1) {
    note("lock file replaced by a copy");
    int ignored = system(("cp -p '" + lock + "' '" + lock + ".new' 2>/dev/null && mv '" + lock +
                          ".new' '" + lock + "'")
                             .c_str());
    (void)ignored;
  } else if (kind == 2) {
    std::string log = logOf(pick(kEpisodeReaders), net_);
    note("log rotated: " + log.substr(net_.size() + 1));
    // The audit reads a reader's log by its name only.
    allowed_.insert("record_without_log_line");
    rename(log.c_str(), (log + ".1").c_str());
  } else if (kind == 3) {
    std::string card = pick(cards_);
    note("card " + card + " removed and issued again");
    unlink(path("Card/" + card + ".txt").c_str());
    if (office({"issue", "--", card, "50000"}, othersNetwork_, nullptr) == 0)
      reissued_.insert(card);
    allowed_.insert({"log_line_without_record", "note_left", "topup_without_record"});
  } else {
    // A journal forged: another's copy of a reader's journal, or one byte
    // of a reader's journal changed.
    std::string from = logOf(pick(kEpisodeReaders), net_) + ".pending";
    std::string bytes = readFile(from);
    if (bytes.empty()) return;
    allowed_.insert("note_left");
    if (chance(0.5)) {
      std::string to = logOf(pick(kEpisodeReaders), net_) + ".pending";
      note("journal " + to.substr(net_.size() + 1) + " written by another user");
      unsure_ = true;
      // Its own journal, given away with a tap in flight in it, must stay;
      // anything else of another user's may be moved aside.
      if (to == from && !bytes.empty() && bytes.back() != '-') foreignJournals_.push_back(to);
      // The journal written over held the only copy of a tap whose flush
      // failed: its line, lost from the log's cache, cannot be written
      // again.
      allowed_.insert("not_a_log_line " + to.substr(net_.size() + 1, to.size() - net_.size() - 9));
      std::string forged = scratch_ / "forged";
      writeFile(forged, bytes);
      int ignored = chown(forged.c_str(), othersNetwork_ ? 0 : 65534, othersNetwork_ ? 0 : 65534);
      (void)ignored;
      rename(forged.c_str(), to.c_str());
    } else {
      size_t at = static_cast<size_t>(between(0, static_cast<int>(bytes.size()) - 1));
      note("journal " + from.substr(net_.size() + 1) + ": byte " + std::to_string(at) + " changed");
      int fd = open(from.c_str(), O_WRONLY);
      char changed = static_cast<char>(bytes[at] ^ 0x20);
      if (fd >= 0 && pwrite(fd, &changed, 1, static_cast<off_t>(at)) != 1) note("(not written)");
      if (fd >= 0) close(fd);
    }
  }
}

// One of a cluster's faults, or its end: a brick killed (one at a time, so
// each of the three in turn over the episodes) or started again, a host cut
// off from the servers or joined again, the GlusterFS daemon restarted.
void Episode::clusterFault() {
  int kind = between(0, 2);
  if (kind == 0 && brickDown_ == 0) {
    brickDown_ = between(1, 3);
    note("brick " + std::to_string(brickDown_) + " killed");
    if (cluster_->tool("brick kill " + std::to_string(brickDown_), "/dev/null") != 0) {
      note("(not killed)");
    }
  } else if (kind == 0) {
    note("bricks started");
    if (cluster_->tool("brick start", "/dev/null") != 0) note("(not started)");
    brickDown_ = 0;
  } else if (kind == 1 && hostCut_ == 0) {
    hostCut_ = between(1, cluster_->clients());
    note("host " + std::to_string(hostCut_) + " cut off");
    // Its readers cannot reach the card files until it joins again: they
    // may refuse a card meanwhile.
    unsure_ = true;
    if (cluster_->tool("cut " + std::to_string(hostCut_)) != 0) note("(not cut)");
  } else if (kind == 1) {
    note("host " + std::to_string(hostCut_) + " joined");
    if (cluster_->tool("join " + std::to_string(hostCut_), "/dev/null") != 0) {
      note("(not joined)");
    }
    hostCut_ = 0;
  } else {
    note("GlusterFS daemon restarted");
    if (cluster_->tool("daemon restart", "/dev/null") != 0) note("(not restarted)");
  }
}

// Makes the cluster whole again at the end of an episode: every host
// joined, every brick running and connected, every copy healed.
void Episode::clusterWhole() {
  if (hostCut_ != 0) {
    note("host " + std::to_string(hostCut_) + " joined");
    if (cluster_->tool("join " + std::to_string(hostCut_), "/dev/null") != 0) {
      note("(not joined)");
    }
  }
  if (brickDown_ != 0) {
    note("bricks started");
    if (cluster_->tool("brick start", "/dev/null") != 0) note("(not started)");
  }
  hostCut_ = brickDown_ = 0;
  // Every client connected to every brick again, and every copy healed:
  // the promises are held on the cluster recovered.
  if (cluster_->tool("heal") != 0) note("(not healed)");
}

// Whether the reader has not ended (it is not reaped here).
bool Episode::running(const Instance& reader) {
  siginfo_t info = {};
  return reader.program.pid > 0 &&
         waitid(P_PID, static_cast<id_t>(reader.program.pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
             0 &&
         info.si_pid == 0;
}

// Ends a reader's input and waits for it (or kills it at once, for a power
// cut), gathering what its console showed.
void Episode::finish(Instance* reader, bool powerCut) {
  if (powerCut && reader->program.pid > 0) kill(reader->program.pid, SIGKILL);
  // An error stream nobody read is let go first, so the reader can go on.
  if (reader->program.errors >= 0) close(reader->program.errors);
  reader->program.errors = -1;
  if (reader->program.console >= 0) {
    close(reader->program.input);
    reader->program.input = -1;
    fcntl(reader->program.console, F_SETFL, O_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    char buffer[4096];
    for (bool more = true; more && std::chrono::steady_clock::now() < deadline;) {
      more = running(*reader);
      ssize_t n;
      while ((n = read(reader->program.console, buffer, sizeof buffer)) > 0) {
        reader->output.append(buffer, static_cast<size_t>(n));
      }
      if (more) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // What was there before the program: the pipe's filler.
    reader->output.erase(0, reader->output.find_first_not_of('.'));
    writeFile(scratch_ / ("console-pipe-" + std::to_string(consoles_++) + ".txt"), reader->output);
  }
  pid_t pid = reader->program.pid;
  int status = finishProgram(&reader->program, 15);
  forget(pid);
  reader->exitedNormally = status == 0;
  if (!reader->console.empty()) reader->output = readFile(reader->console);
}

// What the disk holds once the cache is dropped: regions written before a
// flush of their file failed, and not written and flushed again since, hold
// what its last good flush left there, or NUL bytes past its end then (the
// size kept); after a power cut, every file's unflushed appends are lost
// too, from one of them on.
void Episode::dropCache(bool powerCut) {
  using File = std::pair<unsigned long, unsigned long>;
  std::map<File, std::vector<Lost>> dirty, lost;
  std::map<File, off_t> durable, size;  // the size at the last flush; the size now
  for (const std::string& line : split(readFile(events_), "\n")) {
    char kind = 0;
    unsigned long dev = 0, ino = 0;
    long long offset = 0, length = 0;
    if (sscanf(line.c_str(), "%c %lu %lu %lld %lld", &kind, &dev, &ino, &offset, &length) < 3) {
      continue;
    }
    File file{dev, ino};
    if (kind == 'W') {
      dirty[file].push_back({offset, offset + length});
      size[file] = std::max<off_t>(size[file], offset + length);
    }
    if (kind == 'X') {
      lost[file].insert(lost[file].end(), dirty[file].begin(), dirty[file].end());
      dirty[file].clear();
    }
    if (kind != 'F') continue;
    // A page written again is written whole: what was lost in it is not.
    std::vector<Lost> kept;
    for (const Lost& l : lost[file]) {
      bool rewritten = false;
      for (const Lost& d : dirty[file]) {
        rewritten |= l.start / 4096 <= (d.end - 1) / 4096 && d.start / 4096 <= (l.end - 1) / 4096;
      }
      if (!rewritten) kept.push_back(l);
    }
    lost[file] = kept;
    dirty[file].clear();
    durable[file] = size[file];
  }
  for (const char* folder : {"Card", "Reader_txt"}) {
    DIR* listing = opendir(path(folder).c_str());
    while (dirent* entry = listing != nullptr ? readdir(listing) : nullptr) {
      std::string name = entry->d_name;
      std::string file = path(std::string(folder) + "/" + name);
      struct stat st;
      if (name.empty() || lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      File id{static_cast<unsigned long>(st.st_dev), static_cast<unsigned long>(st.st_ino)};
      int fd = open(file.c_str(), O_WRONLY);
      if (fd < 0) continue;
      std::string flushed = readFile(
          scratch_ / ("flushed/" + std::to_string(id.first) + "." + std::to_string(id.second)));
      for (const Lost& l : lost[id]) {
        if (l.start >= st.st_size) continue;
        std::string disk(static_cast<size_t>(std::min<off_t>(l.end, st.st_size) - l.start), '\0');
        for (size_t i = 0; i < disk.size() && l.start + i < flushed.size(); i++) {
          disk[i] = flushed[l.start + i];
        }
        if (pwrite(fd, disk.data(), disk.size(), l.start) < 0) note("(cache drop failed)");
      }
      // A power cut keeps a file's unflushed appends up to one of them.
      std::vector<off_t> cuts = {st.st_size};
      for (const Lost& d : powerCut ? dirty[id] : std::vector<Lost>{}) {
        if (d.start >= durable[id] && d.start < st.st_size) cuts.push_back(d.start);
      }
      off_t cut = pick(cuts);
      if (cut < st.st_size && ftruncate(fd, cut) != 0) note("(cut failed)");
      close(fd);
    }
    if (listing != nullptr) closedir(listing);
  }
}

// What a console showed of each tap typed at it, in order: a tap's part
// runs from its prompt to the next; the last is only known when the
// reader ended normally.
std::vector<Said> outcomes(const Instance& reader) {
  std::vector<std::string> parts = split(reader.output, "\nInput Card : ");
  std::vector<Said> said;
  for (size_t i = 1; i < parts.size() && said.size() < reader.typed.size(); i++) {
    const std::string& part = parts[i];
    bool whole = i + 1 < parts.size() || reader.exitedNormally;
    if (!whole) break;
    if (part.find(text("기록에 실패했습니다.")) != std::string::npos) {
      said.push_back(Said::kFailed);
    } else if (part.find(text("요금 : ")) != std::string::npos) {
      said.push_back(Said::kCharged);
    } else if (part.find(text("카드 정보를 읽을 수 없습니다.")) != std::string::npos) {
      said.push_back(Said::kRefused);
    } else if (part.find(text("카드의 정보가 없습니다.")) != std::string::npos ||
               part.find(text("잔액이 부족합니다.")) != std::string::npos) {
      said.push_back(Said::kOther);
    } else {
      said.push_back(Said::kUnknown);  // its console was cut off
    }
  }
  said.resize(reader.typed.size(), Said::kUnknown);
  return said;
}

std::string Episode::run() {
  chmod(scratch_.path().c_str(), 0755);
  net_ = scratch_ / "net";
  if (cluster_ != nullptr) net_ = view(1);
  events_ = scratch_ / "events";
  writeFile(events_, "");
  chmod(events_.c_str(), 0666);
  mkdir((scratch_ / "flushed").c_str(), 0777);
  chmod((scratch_ / "flushed").c_str(), 0777);
  mkdir(net_.c_str(), 0755);
  mkdir(path("Card").c_str(), 0755);
  mkdir(path("Reader_txt").c_str(), 0755);
  othersNetwork_ = chance(0.25);
  if (othersNetwork_) {
    note("network and readers of user nobody");
    int ignored = system(("chown -R 65534:65534 '" + net_ + "'").c_str());
    (void)ignored;
  }
  // A power cut takes a local disk's unflushed writes: a cluster's servers
  // are not cut here.
  bool powerCut = chance(0.15) && cluster_ == nullptr;
  // A flush that fails and then a power cut: two faults at once, beyond
  // what the design promises.
  powerFaults_ = !powerCut;
  std::vector<std::string> numbers = kNumbers;
  std::shuffle(numbers.begin(), numbers.end(), rng_);
  for (int i = 0, n = between(2, 3); i < n; i++) {
    if (office({"issue", "--", numbers[i], "50000"}, othersNetwork_, nullptr) == 0) {
      cards_.push_back(numbers[i]);
    }
  }
  if (cards_.empty()) return "\n  no card could be issued";
  note("cards " + [&] {
    std::string all;
    for (const std::string& c : cards_) all += (all.empty() ? "" : " ") + c;
    return all;
  }());
  bool operators = chance(0.5);
  std::vector<std::string> ids = kEpisodeReaders;
  std::shuffle(ids.begin(), ids.end(), rng_);
  for (int i = 0, n = between(2, 3); i < n; i++) startReader(ids[i]);

  size_t stallsSeen = 0;
  for (int step = 0, steps = between(10, 18); step < steps; step++) {
    if (cluster_ != nullptr && chance(0.2)) {
      clusterFault();
      continue;
    }
    // While a reader is stalled in a tap, the others and the operators act
    // more often: that is when a tap in flight meets them.
    size_t stalls = split(readFile(events_), " stall\n").size() - 1;
    if (stalls > stallsSeen && chance(0.7)) {
      stallsSeen = stalls;
      if (operators || chance(0.3)) operatorFault();
      startAnyReader();
      continue;
    }
    int action = between(0, 99);
    if (action < 50) {
      std::vector<size_t> live;
      for (size_t i = 0; i < readers_.size(); i++) {
        if (running(readers_[i])) live.push_back(i);
      }
      if (live.empty()) continue;
      Instance& reader = readers_[pick(live)];
      reader.typed.push_back(pick(cards_));
      typeInto(reader.program, reader.typed.back() + "\n");
    } else if (action < 62) {
      topup();
    } else if (action < 70) {
      if (operators) operatorFault();
    } else if (action < 78) {
      startAnyReader();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(between(20, 600)));
    }
  }
  if (cluster_ != nullptr) clusterWhole();
  // Time for the taps typed to be done, then every program stopped.
  for (Instance& reader : readers_) {
    waitUntil(
        [&] {
          return !running(reader) ||
                 (!reader.console.empty() &&
                  split(readFile(reader.console), "\nInput Card : ").size() > reader.typed.size());
        },
        powerCut ? between(0, 1500) / 1000.0 : 6);
  }
  if (powerCut) note("power cut");
  for (Instance& reader : readers_) finish(&reader, powerCut);
  dropCache(powerCut);
  std::string wrong = check();
  // EXPLORE_KEEP=DIR keeps each episode's network and consoles for a look.
  if (const char* keep = getenv("EXPLORE_KEEP")) {
    std::string to = std::string(keep) + "/" + std::to_string(seed_);
    int ignored = system(("rm -rf '" + to + "' && mkdir -p '" + keep + "' && cp -a '" +
                          scratch_.path() + "' '" + to + "'")
                             .c_str());
    (void)ignored;
    writeFile(to + "/drawn.txt", drawn_ + "\n" + wrong + "\n");
    if (cluster_ != nullptr) {
      ignored = system(("cp -a '" + net_ + "' '" + to + "/net'").c_str());
    }
  }
  if (cluster_ != nullptr) {
    int ignored = system(("rm -rf '" + net_ + "'").c_str());
    (void)ignored;
  }
  return wrong;
}

// How many taps of `reader` a card holds, and its top-ups: a top-up
// repeats the record before it in all but a higher balance.
void countRecords(const std::vector<CardRecord>& records, std::map<std::string, int>* taps,
                  std::vector<int>* topups) {
  // A tap id without the CR an older record keeps.
  auto idOf = [](const CardRecord& record) {
    std::string id = record.tapId;
    return !id.empty() && id.back() == '\r' ? id.substr(0, id.size() - 1) : id;
  };
  auto repeats = [&](const CardRecord& now, const CardRecord& before) {
    return now.time == before.time && idOf(now) == idOf(before) &&
           std::string(now.inOut) == before.inOut && std::string(now.mode) == before.mode;
  };
  for (size_t i = 2; i < records.size(); i++) {
    const CardRecord &before = records[i - 1], &now = records[i];
    // The office's change: the latest record again with another balance,
    // or the last two again, the second keeping the first's balance.
    if (repeats(now, before) && now.balance != before.balance) {
      topups->push_back(now.balance - before.balance);
      continue;
    }
    if (i >= 3 && i + 1 < records.size() && repeats(now, records[i - 2]) &&
        repeats(records[i + 1], before) && records[i + 1].balance == now.balance) {
      topups->push_back(now.balance - before.balance);
      i++;
      continue;
    }
    std::string id = now.tapId;
    (*taps)[id.substr(0, id.find('_'))]++;
  }
}

// The checker: once a reader has settled what was in flight, every card
// can be read and tapped, every tap shown charged is on its card (and the
// audit finds it in its reader's log), none shown failed is, a top-up said
// done is on its card and in the top-up log, and the audit finds nothing
// but what the episode's operators did.
std::string Episode::check() {
  std::string wrong;
  // A journal given to another user is never moved aside; the operator
  // then gives it back, as the readers ask.
  for (const std::string& journal : foreignJournals_) {
    struct stat info {};
    if (lstat(journal.c_str(), &info) != 0) {
      wrong += "\n  " + journal.substr(net_.size() + 1) + " of another user was moved aside";
    }
    int ignored = chown(journal.c_str(), othersNetwork_ ? 65534 : 0, othersNetwork_ ? 65534 : 0);
    (void)ignored;
  }
  // The network recovers as after a power cut: every reader starts once.
  for (const std::string& id : kEpisodeReaders) {
    ProgramRun start;
    setUp(&start, othersNetwork_, {programOf(id)}, environment("none", false));
    start.dir = net_;
    runOnce(start);
  }
  Instance settler;
  settler.id = "S2";
  settler.console = scratch_ / "console-settle.txt";
  ProgramRun run;
  setUp(&run, othersNetwork_, {programOf("S2")}, environment("none", false));
  run.dir = net_;
  run.console = settler.console;
  settler.program = startProgram(run);
  for (const std::string& card : cards_) {
    settler.typed.push_back(card);
    typeInto(settler.program, card + "\n");
  }
  finish(&settler, false);
  std::vector<Said> settled = outcomes(settler);
  readers_.push_back(settler);
  for (size_t i = 0; i < cards_.size(); i++) {
    wrong += checkCard(cards_[i], settled);
  }
  std::string report;
  int status = office({"audit", "--format", "json"}, false, &report);
  nlohmann::json audit = nlohmann::json::parse(report, nullptr, false);
  if (audit.is_discarded())
    return wrong + "\n  the audit's report is not JSON (status " + std::to_string(status) + ")";
  for (const auto& anomaly : audit["anomalies"]) {
    std::string kind = anomaly.value("kind", "");
    if (!allowed_.count(kind) && !allowed_.count(kind + " " + anomaly.value("file", ""))) {
      wrong += "\n  audit: " + anomaly.dump();
    }
  }
  return wrong;
}

std::string Episode::checkCard(const std::string& card, const std::vector<Said>& settled) {
  std::string wrong;
  std::vector<CardRecord> records;
  std::string torn = wholeCard(net_, "Card/" + card + ".txt", &records);
  if (!torn.empty()) wrong += "\n  card " + card + " is not whole: " + torn;
  std::string out;
  if (office({"show", "--", card}, false, &out) != 0) {
    wrong += "\n  card_tool show " + card + " fails: " + out;
  }
  for (size_t i = 0; i < cards_.size(); i++) {
    if (cards_[i] == card && settled[i] != Said::kCharged) {
      wrong += "\n  the settling reader could not tap card " + card;
    }
  }
  if (!torn.empty()) return wrong;
  std::map<std::string, int> taps;
  std::vector<int> topups;
  countRecords(records, &taps, &topups);
  // Per reader: the taps shown charged, and those whose outcome no one saw.
  std::map<std::string, int> charged, unknown;
  bool diskFails = officeDiskFails_;
  for (const Instance& reader : readers_) {
    diskFails = diskFails || reader.fault.rfind("die", 0) == 0 || reader.fault.rfind("eio", 0) == 0;
  }
  for (const Instance& reader : readers_) {
    std::vector<Said> said = outcomes(reader);
    for (size_t i = 0; i < said.size(); i++) {
      if (reader.typed[i] != card) continue;
      charged[reader.id] += said[i] == Said::kCharged;
      unknown[reader.id] += said[i] == Said::kUnknown;
      // A reader or an office command whose disk fails may be unable to
      // cut off what a tap it took back left, or waits, its journal held,
      // until the disk tells whether its tap was committed: the card is
      // refused meanwhile.
      // A reader whose read of a card or a journal fails decides nothing
      // from it: it refuses the card for that tap.
      bool readFailed = reader.fault.rfind("read", 0) == 0;
      if (said[i] == Said::kRefused && !stalls_ && !diskFails && !unsure_ && !readFailed) {
        wrong += "\n  reader " + reader.id + " refused card " + card + " with no reader stalled";
      }
    }
  }
  bool again = reissued_.count(card) > 0;
  for (std::string id : {"S1", "S2", "S3", "S5", "B"}) {
    if (taps[id] < (again ? 0 : charged[id]) || taps[id] > charged[id] + unknown[id]) {
      wrong += "\n  card " + card + " holds " + std::to_string(taps[id]) + " taps of " + id +
               "; its consoles showed " + std::to_string(charged[id]) + " charged and " +
               std::to_string(unknown[id]) + " unseen";
    }
  }
  std::string topupLog = readFile(path("Reader_txt/Topup.txt"));
  for (bool refunds : {false, true}) {
    const char* what = refunds ? "refund" : "top-up";
    int said = 0, unseen = 0;
    for (const Topup& t : topups_) {
      if (t.card != card || t.refund != refunds) continue;
      said += t.said == Said::kCharged;
      unseen += t.said == Said::kUnknown;
      std::string line = std::string(refunds ? ",REFUND," : ",TOPUP,") + card + "," +
                         std::to_string(t.amount) + ",";
      if (t.said == Said::kCharged && topupLog.find(line) == std::string::npos) {
        wrong += std::string("\n  a ") + what + " of card " + card + " by " +
                 std::to_string(t.amount) + " said done is not in Reader_txt/Topup.txt";
      }
    }
    int onCard = static_cast<int>(std::count_if(topups.begin(), topups.end(),
                                                [&](int c) { return refunds ? c < 0 : c > 0; }));
    if (onCard < (again ? 0 : said) || onCard > said + unseen) {
      wrong += "\n  card " + card + " holds " + std::to_string(onCard) + " " + what +
               "s; the office said " + std::to_string(said) + " done and " +
               std::to_string(unseen) + " unseen";
    }
  }
  return wrong;
}

// The seeds to run: EXPLORE_SEEDS (a list), or seeds from
// EXPLORE_FIRST_SEED on for EXPLORE_SECONDS, or the CI list.
std::vector<uint64_t> seedsGiven(const std::vector<uint64_t>& ciSeeds, double* seconds) {
  *seconds = 0;
  std::vector<uint64_t> seeds;
  if (const char* list = getenv("EXPLORE_SEEDS")) {
    for (const std::string& s : split(list, ",")) {
      if (!s.empty()) seeds.push_back(std::stoull(s));
    }
    return seeds;
  }
  if (const char* limit = getenv("EXPLORE_SECONDS")) {
    *seconds = std::stod(limit);
    const char* first = getenv("EXPLORE_FIRST_SEED");
    seeds.push_back(first != nullptr ? std::stoull(first)
                                     : static_cast<uint64_t>(time(nullptr)) * 1000);
    return seeds;
  }
  return ciSeeds;
}

// Runs the seeds given, or the CI list, one episode each (on the hosts of
// `cluster` when there is one).
void explore(const std::vector<uint64_t>& ciSeeds, const Cluster* cluster) {
  double seconds = 0;
  std::vector<uint64_t> seeds = seedsGiven(ciSeeds, &seconds);
  auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  int episodes = 0, broken = 0;
  for (size_t i = 0; seconds > 0 ? elapsed() < seconds : i < seeds.size(); i++) {
    uint64_t seed = seconds > 0 ? seeds[0] + i : seeds[i];
    Episode episode(seed, cluster);
    std::string wrong = episode.run();
    episodes++;
    if (!wrong.empty()) {
      broken++;
      ADD_FAILURE() << "seed " << seed << " broke a promise\n  drawn: " << episode.drawn() << wrong
                    << "\n  again: EXPLORE_SEEDS=" << seed << " ctest --test-dir build/default -R "
                    << (cluster != nullptr ? "ExploreOnACluster" : "Explore\\.");
    }
  }
  printf("explore: %d episodes in %.0f s, %d broke a promise\n", episodes, elapsed(), broken);
}

// Whether programs can be run as the other user: root, setpriv, and the
// build's programs within that user's reach (a checkout in a folder of
// mode 0700 is not).
bool canExplore() {
  std::string reach = "/usr/bin/setpriv --reuid=" + std::string(kOtherUser) +
                      " --regid=" + kOtherUser + " --clear-groups test -x '" + kBin +
                      "/card_tool' 2>/dev/null";
  return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0 && system(reach.c_str()) == 0;
}

}  // namespace

TEST(Explore, RandomEpisodesKeepEveryPromise) {
  if (!canExplore()) {
    GTEST_SKIP() << "the explorer runs programs as another user: it needs root, setpriv and "
                    "a build that user can reach";
  }
  explore(kCiSeeds, nullptr);
}

TEST(ExploreOnACluster, RandomEpisodesKeepEveryPromise) {
  if (!canExplore()) {
    GTEST_SKIP() << "the explorer runs programs as another user: it needs root, setpriv and "
                    "a build that user can reach";
  }
  Cluster cluster(ClusterSetup{});
  if (cluster.cannotRun()) GTEST_SKIP() << cluster.missing();
  ASSERT_EQ(cluster.missing(), "");
  // The other user reaches the hosts' views through the folders above them.
  for (std::string folder = cluster.host(1); folder.size() > 1;) {
    folder = folder.substr(0, folder.rfind('/'));
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0) chmod(folder.c_str(), (info.st_mode & 07777) | 0055);
  }
  explore(kClusterSeeds, &cluster);
}
