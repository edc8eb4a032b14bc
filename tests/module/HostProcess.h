#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

namespace TestSupport {

// The service host as its own process, with its output read through pipes.
class HostProcess {
 public:
  // runAs: a user id to run as (the test must be root to give one), or -1.
  // stderrIsJournal: JOURNAL_STREAM names the pipe standard error goes to,
  // as systemd's names the journal's stream.
  explicit HostProcess(std::vector<std::string> arguments, int runAs = -1, bool stderrIsJournal = false) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
      if (!stderrIsJournal || std::string_view(*variable).rfind("JOURNAL_STREAM=", 0) != 0) {
        environment.push_back(*variable);
      }
    }
    struct stat stream {};
    if (stderrIsJournal && fstat(err[1], &stream) == 0) {
      environment.push_back("JOURNAL_STREAM=" + std::to_string(stream.st_dev) + ":" + std::to_string(stream.st_ino));
    }
    std::vector<char*> envp;
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      if (runAs >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(runAs)) != 0 ||
                         setuid(static_cast<uid_t>(runAs)) != 0)) {
        _exit(126);
      }
      std::vector<char*> argv;
      static std::string program = NFS_HOST_PATH;
      argv.push_back(program.data());
      // A host start reads no installed configuration unless the test names one.
      static std::string noConfig[] = {"--config", "/dev/null"};
      const bool start = arguments.empty() || arguments[0].rfind("--", 0) == 0;
      bool named = false;
      for (const auto& argument : arguments) named = named || argument.rfind("--config", 0) == 0;
      if (start && !named) {
        for (auto& word : noConfig) argv.push_back(word.data());
      }
      for (auto& argument : arguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }

  ~HostProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }

  // Reads standard output until the text appears or the time is up.
  bool WaitForOutput(const std::string& text, int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += 50) {
      if (output_.find(text) != std::string::npos) return true;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        char buffer[512];
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) return output_.find(text) != std::string::npos;
        output_.append(buffer, static_cast<size_t>(n));
      }
    }
    return output_.find(text) != std::string::npos;
  }

  // The exit status, or -1 when it did not end in time.
  int WaitForExit(int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += 20) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(20000);
    }
    return -1;
  }

  // Standard error so far, from the start.
  std::string ErrorOutput() {
    char buffer[4096];
    pollfd p{err_, POLLIN, 0};
    while (poll(&p, 1, 0) > 0) {
      const ssize_t n = read(err_, buffer, sizeof buffer);
      if (n <= 0) break;
      errors_.append(buffer, static_cast<size_t>(n));
    }
    return errors_;
  }

  // Reads standard error until the text appears or the time is up.
  bool WaitForErrorOutput(const std::string& text, int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += 50) {
      if (ErrorOutput().find(text) != std::string::npos) return true;
      pollfd p{err_, POLLIN, 0};
      poll(&p, 1, 50);
    }
    return ErrorOutput().find(text) != std::string::npos;
  }

  void Signal(int signal) { kill(pid_, signal); }
  const std::string& Output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool exited_ = false;
  std::string output_;
  std::string errors_;
};

// A run of the host executable (a subcommand, or a start that is expected
// to fail) read to its end.
struct HostRun {
  int status = -1;
  std::string output;
  std::string errors;
};

inline HostRun RunHostToEnd(std::vector<std::string> arguments, int milliseconds = 20000) {
  HostProcess process(std::move(arguments));
  process.WaitForOutput("\x01 (until the output ends)", milliseconds);
  HostRun run;
  run.status = process.WaitForExit(10000);
  run.output = process.Output();
  run.errors = process.ErrorOutput();
  return run;
}

}  // namespace TestSupport
