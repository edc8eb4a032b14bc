#include "tools/CommandLine.h"

#include <getopt.h>

#include <charconv>
#include <cstdio>
#include <utility>

#include "host/Logging.h"

namespace Tools {

namespace {

// getopt_long's codes for the options: ours count up from here, past every
// character it could return for a short option.
constexpr int kFirstCode = 256;
constexpr int kHelp = 'h';
constexpr int kVersion = kFirstCode - 1;

}  // namespace

Option Switch(std::string name, std::function<void()> set) {
  return Option{std::move(name), {}, [set = std::move(set)](const std::string&, std::string&) {
                  set();
                  return true;
                }};
}

Option Value(std::string name, std::string value,
             std::function<bool(const std::string& value, std::string& problem)> apply) {
  return Option{std::move(name), std::move(value), std::move(apply)};
}

Option ControlSocketOption(std::string& path) {
  return Value("control-socket", "a path", [&path](const std::string& value, std::string&) {
    path = value;
    return true;
  });
}

int UsageError(const std::string& command, const std::string& problem) {
  // An error entry when the host runs under systemd with its log in the journal.
  Common::PrintToStderr(Common::kFailure, command + ": " + problem + " (see '" + command + " --help')");
  return 2;
}

std::string VersionText() {
  std::string text = std::string("nfs_host ") + NFS_VERSION;
  const std::string commit = NFS_GIT_DESCRIBE;
  if (!commit.empty()) text += " (" + commit + ")";
  return text;
}

bool ParseNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t& number) {
  uint64_t parsed = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return false;
  if (parsed < min || parsed > max) return false;
  number = parsed;
  return true;
}

Parsed Parse(const CommandLine& line, int argc, char** argv) {
  std::vector<option> table;
  for (size_t i = 0; i < line.options.size(); ++i) {
    const Option& entry = line.options[i];
    table.push_back({entry.name.c_str(), entry.value.empty() ? no_argument : required_argument, nullptr,
                     kFirstCode + static_cast<int>(i)});
  }
  table.push_back({"help", no_argument, nullptr, kHelp});
  table.push_back({"version", no_argument, nullptr, kVersion});
  table.push_back({nullptr, 0, nullptr, 0});
  // ":" first: missing values are reported to us, not printed by getopt;
  // "+": the options end at the first argument.
  const std::string shortOptions = std::string(line.optionsFirst ? "+" : "") + ":h";

  Parsed parsed;
  // The parser keeps its place in globals: 0 starts it afresh.
  optind = 0;
  opterr = 0;
  for (;;) {
    const int code = getopt_long(argc, argv, shortOptions.c_str(), table.data(), nullptr);
    if (code == -1) break;
    // A long option that is refused is the word just passed.
    const std::string given = optind > 0 && optind <= argc ? argv[optind - 1] : "";
    if (code == kHelp) {
      line.printHelp();
      parsed.exitStatus = 0;
      return parsed;
    }
    if (code == kVersion) {
      std::printf("%s\n", VersionText().c_str());
      parsed.exitStatus = 0;
      return parsed;
    }
    if (code == ':' || code == '?') {
      const int index = optopt - kFirstCode;
      std::string problem;
      if (index >= 0 && static_cast<size_t>(index) < line.options.size()) {
        const Option& entry = line.options[static_cast<size_t>(index)];
        problem = code == ':' ? "--" + entry.name + " needs " + entry.value : "--" + entry.name + " takes no value";
      } else if (optopt == kHelp || optopt == kVersion) {
        problem = given.substr(0, given.find('=')) + " takes no value";
      } else if (optopt != 0) {
        problem = std::string("unknown option '-") + static_cast<char>(optopt) + "'";
      } else {
        problem = "unknown option '" + given + "'";
      }
      parsed.exitStatus = UsageError(line.command, problem);
      return parsed;
    }
    const Option& entry = line.options[static_cast<size_t>(code - kFirstCode)];
    std::string problem;
    if (!entry.apply(entry.value.empty() ? std::string() : std::string(optarg), problem)) {
      parsed.exitStatus = UsageError(line.command, problem);
      return parsed;
    }
  }
  for (int i = optind; i < argc; ++i) parsed.arguments.emplace_back(argv[i]);
  if (parsed.arguments.size() > line.maxArguments) {
    parsed.exitStatus =
        UsageError(line.command, "unexpected argument '" + parsed.arguments[line.maxArguments] + "'");
  }
  return parsed;
}

}  // namespace Tools
