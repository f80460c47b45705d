// card_tool's help: each command's usage line, what it does, its options
// and what its exit statuses mean, from one table of each.
#pragma once

#include <string>

// A command's help: its operands, what it does and its own options. The
// tool's help is every command's, in order.
struct CommandHelp {
  const char* name;
  const char* operands;     // after the name on its usage line
  const char* description;  // what it does, in lines at the margin
  const char* options;      // its own options, lines indented by two; "" for none
};

// The command called `name`, or nullptr when there is none.
const CommandHelp* findCommand(const std::string& name);

// What the exit statuses mean for `command`, those it can give, or ("")
// the one table every command follows, a status per line as the help
// prints them.
std::string exitStatusHelp(const std::string& command);

// The tool's help: every command's usage, what it does and its options,
// then the options of every command and the exit statuses.
void printHelp();

// One command's help: its usage, what it does, its own options and the
// options of every command, and its exit statuses.
void printCommandHelp(const CommandHelp& c);
