#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Tools {

// One option of a command line, by its long name ("json" for --json).
struct Option {
  std::string name;
  // What the option takes, for the message when it is missing ("a path");
  // empty for a switch, which takes nothing.
  std::string value;
  // Applies the option (a switch gets ""). False with `problem` set when the
  // value is refused: a usage error.
  std::function<bool(const std::string& value, std::string& problem)> apply;
};

Option Switch(std::string name, std::function<void()> set);
Option Value(std::string name, std::string value,
             std::function<bool(const std::string& value, std::string& problem)> apply);
// The host's control socket (--control-socket PATH), taken as it is into `path`.
Option ControlSocketOption(std::string& path);

// The command line of the host ("nfs_host") or of a subcommand ("nfs_host
// stats"), in the usual GNU form: --name value and --name=value, options
// and arguments in any order (or up to the first argument, for commands
// whose arguments may look like options), "--" ends the options. --help
// (-h) and --version are every command's.
struct CommandLine {
  std::string command;
  std::vector<Option> options;
  std::function<void()> printHelp;  // to standard output
  bool optionsFirst = false;
  // How many arguments besides the options are taken at most.
  size_t maxArguments = 0;
};

// Applies the options and returns the arguments; or, after --help,
// --version or a usage error (said on one line on standard error), the exit
// status: 0, or 2.
struct Parsed {
  std::optional<int> exitStatus;
  std::vector<std::string> arguments;
};
Parsed Parse(const CommandLine& line, int argc, char** argv);

// Says one usage problem on one line, with where to read more, and returns 2.
int UsageError(const std::string& command, const std::string& problem);

// "nfs_host 1.2.3" and, when built from a git checkout, the commit described.
std::string VersionText();

// Whole decimal numbers from `min` to `max`, nothing before or after.
bool ParseNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t& number);

}  // namespace Tools
