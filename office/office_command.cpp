// What every office command shares.
#include "office/office_command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string programName = "card_tool";

int usage(const std::string& problem, const std::string& command) {
  std::string help = command.empty() ? "--help" : "help " + command;
  fprintf(stderr, "%s: %s\nTry '%s %s' for more information.\n", programName.c_str(),
          problem.c_str(), programName.c_str(), help.c_str());
  return kUsage;
}

// Tells the operator why a command stopped. Returns `status`.
static int stopped(const std::string& problem, int status) {
  fprintf(stderr, "%s: %s\n", programName.c_str(), problem.c_str());
  return status;
}

int refuse(const std::string& problem) {
  return stopped(problem, kRefused);
}

int noNetwork(const std::string& problem) {
  return stopped(problem, kNoNetwork);
}

int outputLost(const std::string& problem) {
  return stopped(problem, kNoOutput);
}

[[nodiscard]] bool parseBalance(const char* text, int32_t* balance) {
  size_t length = strlen(text);
  if (length == 0 || strspn(text, "0123456789") != length) return false;
  const char* digits = text + strspn(text, "0");
  if (strlen(digits) > 10) return false;
  long long value = strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return false;
  *balance = static_cast<int32_t>(value);
  return true;
}
std::string systemError(const char* call, const std::string& file, int error) {
  return file + ": " + call + ": " + strerror(error < 0 ? errno : error);
}

void warn(const std::string& warning) {
  fprintf(stderr, "%s: warning: %s\n", programName.c_str(), warning.c_str());
}
