// Starting the real programs for a test.
#include "tests/support/programs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/test_support.h"

// Makes a pipe, close-on-exec, with room for `room` bytes alone: the rest
// of its 4 KiB is filled. Returns whether it could.
static bool narrowPipe(int ends[2], size_t room) {
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  int size = fcntl(ends[1], F_SETPIPE_SZ, 4096);
  std::string filler(size > 0 ? static_cast<size_t>(size) - room : 0, '.');
  return size >= 0 &&
         write(ends[1], filler.data(), filler.size()) == static_cast<ssize_t>(filler.size());
}

Program startProgram(const ProgramRun& run) {
  Program program;
  char here[4096];
  if (getcwd(here, sizeof here) == nullptr) return program;
  std::string base = run.dir.empty() ? here : run.dir;
  mkdir((base + "/bin").c_str(), 0755);
  writeFile(base + "/bin/clear", "#!/bin/sh\nprintf '" + run.clearMarker + "'\n");
  chmod((base + "/bin/clear").c_str(), 0755);
  std::string path = base + "/bin:/usr/bin:/bin";
  for (const std::string& folder : run.morePath) path += ":" + folder;
  std::vector<std::string> environment = {"PATH=" + path};
  environment.insert(environment.end(), run.environment.begin(), run.environment.end());
  std::vector<std::string> argv = run.argv;

  signal(SIGPIPE, SIG_IGN);
  int input[2], console[2] = {-1, -1}, errors[2] = {-1, -1};
  // Close-on-exec, so that no other program holds this one's input open.
  if (pipe2(input, O_CLOEXEC) != 0) return program;
  if (run.consoleRoom > 0 && !narrowPipe(console, run.consoleRoom)) return program;
  if (run.errorRoom > 0 && !narrowPipe(errors, run.errorRoom)) return program;
  program.pid = fork();
  if (program.pid == 0) {
    int out = !run.console.empty() ? open(run.console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
              : run.testsStreams   ? dup(1)
                                   : open("/dev/null", O_WRONLY);
    int err = !run.errors.empty() ? open(run.errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
              : run.testsStreams  ? dup(2)
                                  : out;
    // The program runs in its directory, as a reader is started in its
    // network directory; the test's own process never changes directory.
    if (!run.dir.empty() && chdir(run.dir.c_str()) != 0) _exit(126);
    if (out < 0 || err < 0) _exit(126);
    dup2(input[0], 0);
    dup2(run.consoleRoom > 0 ? console[1] : out, 1);
    dup2(run.errorsToConsole ? 1 : run.errorRoom > 0 ? errors[1] : err, 2);
    if (run.closedStream >= 0) close(run.closedStream);
    rlimit limit = {run.fileSizeLimit, run.fileSizeLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
    // As a program finds it when started from a shell: SIGXFSZ kills.
    signal(SIGXFSZ, SIG_DFL);
    std::vector<char*> args, envp;
    for (std::string& a : argv) args.push_back(a.data());
    for (std::string& e : environment) envp.push_back(e.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(input[0]);
  program.input = input[1];
  if (run.consoleRoom > 0) {
    close(console[1]);
    program.console = console[0];
  }
  if (run.errorRoom > 0) {
    close(errors[1]);
    program.errors = errors[0];
  }
  return program;
}

void typeInto(const Program& program, const std::string& text) {
  ssize_t written = write(program.input, text.data(), text.size());
  (void)written;
}

int finishProgram(Program* program, double seconds) {
  if (program->input >= 0) close(program->input);
  program->input = -1;
  // A console nobody reads is let go, so that the program can end.
  if (program->console >= 0) close(program->console);
  program->console = -1;
  if (program->errors >= 0) close(program->errors);
  program->errors = -1;
  if (program->pid <= 0) return -1;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (waitpid(program->pid, &status, WNOHANG) != program->pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(program->pid, SIGKILL);
      waitpid(program->pid, &status, 0);
      program->pid = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  program->pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void drainConsole(const Program& program) {
  fcntl(program.console, F_SETFL, O_NONBLOCK);
  char buffer[4096];
  while (read(program.console, buffer, sizeof buffer) > 0) {
  }
}

std::vector<std::string> sharedEnvironment() {
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; variable++) {
    std::string entry = *variable;
    for (const char* name :
         {"TZ=", "ASAN_OPTIONS=", "UBSAN_OPTIONS=", "TSAN_OPTIONS=", "FAKETIME", "LD_PRELOAD="}) {
      if (entry.rfind(name, 0) == 0) environment.push_back(entry);
    }
  }
  return environment;
}

bool waitUntil(const std::function<bool()>& ready, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}
