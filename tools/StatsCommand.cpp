#include "tools/StatsCommand.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "commands/Names.h"
#include "tools/CommandLine.h"
#include "tools/ControlClient.h"
#include "tools/ControlProtocol.h"
#include "tools/HumanUnits.h"

namespace Tools {

namespace {

constexpr double kMaxInterval = 86400;
constexpr int kHeaderEvery = 20;

struct Options {
  bool json = false;
  double interval = 0;  // 0: since start, once
  long long count = 0;  // intervals to show; 0: until interrupted
  std::string socketPath = Host::DefaultClientSocketPath();
};

void PrintHelp() {
  std::printf(
      "Usage: nfs_host stats [--json] [--interval SECONDS [--count N]] [--control-socket PATH]\n"
      "\n"
      "Shows the NFS and MOUNT calls a running host has served since its service\n"
      "first started: per procedure the calls, the failed replies by status, the\n"
      "latency from dispatch to reply (median, 90th and 99th percentile, maximum),\n"
      "the bytes read and written and the client connections.\n"
      "\n"
      "Options:\n"
      "  --json               the host's document as it is (with the histogram\n"
      "                       buckets); with --interval one JSON line per interval\n"
      "  --interval SECONDS   print one line of rates every SECONDS (fractions\n"
      "                       allowed, at most %.0f) until Ctrl-C\n"
      "  --count N            with --interval, stop after N lines\n"
      "  --control-socket PATH\n"
      "                       the host's control socket (default %s)\n"
      "  --help               this text\n"
      "  --version            the version of this program\n",
      kMaxInterval, Host::DefaultClientSocketPath().c_str());
}

// Nothing to go on, else the exit status.
std::optional<int> ParseStats(int argc, char** argv, Options& options) {
  const auto interval = [&](const std::string& text, std::string& problem) {
    double seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds) ||
        seconds <= 0 || seconds > kMaxInterval) {
      problem = "--interval takes a number of seconds above 0 and at most " +
                std::to_string(static_cast<int>(kMaxInterval));
      return false;
    }
    options.interval = seconds;
    return true;
  };
  const auto count = [&](const std::string& text, std::string& problem) {
    uint64_t number = 0;
    if (!ParseNumber(text, 1, std::numeric_limits<int64_t>::max(), number)) {
      problem = "--count takes a whole number above 0";
      return false;
    }
    options.count = static_cast<long long>(number);
    return true;
  };
  CommandLine commandLine{"nfs_host stats",
                          {Switch("json", [&] { options.json = true; }),
                           Value("interval", "a number of seconds", interval), Value("count", "a whole number", count),
                           ControlSocketOption(options.socketPath)},
                          PrintHelp};
  if (const Parsed parsed = Parse(commandLine, argc, argv); parsed.exitStatus) return parsed.exitStatus;
  if (options.count != 0 && options.interval == 0) {
    return UsageError(commandLine.command, "--count goes with --interval");
  }
  return std::nullopt;
}

struct Procedure {
  std::string program;
  std::string name;
  uint64_t calls = 0;
  uint64_t failures = 0;
  uint64_t unanswered = 0;
  uint64_t garbage = 0;
  std::vector<std::pair<std::string, uint64_t>> statuses;
  std::vector<uint64_t> buckets;
  uint64_t p50 = 0, p90 = 0, p99 = 0, max = 0;
};

struct Counters {
  uint64_t takenNs = 0;
  uint64_t collectingForNs = 0;
  uint64_t bytesRead = 0;
  uint64_t bytesWritten = 0;
  uint64_t accepted = 0;
  uint64_t open = 0;
  uint64_t refusedClient = 0;
  uint64_t refusedReadOnly = 0;
  std::vector<uint64_t> bounds;  // upper bounds; the last bucket has none
  std::vector<Procedure> procedures;
  std::vector<std::string> programNotes;
};

uint64_t Number(const nlohmann::json& object, const char* name) {
  const auto it = object.find(name);
  return it != object.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}

std::string Text(const nlohmann::json& object, const char* name) {
  const auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const nlohmann::json& Member(const nlohmann::json& object, const char* name) {
  static const nlohmann::json kNone;
  const auto it = object.find(name);
  return it != object.end() ? *it : kNone;
}

bool Read(const nlohmann::json& document, Counters& counters, std::string& problem) {
  if (Number(document, "format") != static_cast<uint64_t>(NFS::kMonitoringFormat)) {
    problem = "The host's statistics come in a format this program does not know.";
    return false;
  }
  counters.takenNs = Number(document, "taken_ns");
  counters.collectingForNs = Number(document, "collecting_for_ns");
  counters.bytesRead = Number(document, "bytes_read");
  counters.bytesWritten = Number(document, "bytes_written");
  const nlohmann::json& connections = Member(document, "connections");
  if (connections.is_object()) {
    counters.accepted = Number(connections, "accepted");
    counters.open = Number(connections, "open");
  }
  const nlohmann::json& refused = Member(document, "refused");
  if (refused.is_object()) {
    counters.refusedClient = Number(refused, "client_not_allowed");
    counters.refusedReadOnly = Number(refused, "read_only");
  }
  const nlohmann::json& bounds = Member(document, "latency_bucket_upper_bounds_ns");
  if (bounds.is_array()) {
    for (const auto& bound : bounds) counters.bounds.push_back(bound.is_number_unsigned() ? bound.get<uint64_t>() : 0);
  }
  const nlohmann::json& programs = Member(document, "programs");
  if (!programs.is_array()) {
    problem = "The host's statistics have no programs.";
    return false;
  }
  for (const auto& program : programs) {
    if (!program.is_object()) continue;
    const std::string programName = Text(program, "name");
    if (const uint64_t unknown = Number(program, "unknown_procedures")) {
      counters.programNotes.push_back(programName + ": " + std::to_string(unknown) + " calls of unknown procedures");
    }
    if (const uint64_t failed = Number(program, "send_failures")) {
      counters.programNotes.push_back(programName + ": " + std::to_string(failed) + " replies could not be sent");
    }
    const nlohmann::json& procedures = Member(program, "procedures");
    if (!procedures.is_array()) continue;
    for (const auto& entry : procedures) {
      if (!entry.is_object()) continue;
      Procedure procedure;
      procedure.program = programName;
      procedure.name = Text(entry, "name");
      procedure.calls = Number(entry, "calls");
      procedure.failures = Number(entry, "failures");
      procedure.unanswered = Number(entry, "unanswered");
      procedure.garbage = Number(entry, "garbage_arguments");
      const nlohmann::json& statuses = Member(entry, "statuses");
      if (statuses.is_object()) {
        for (const auto& [name, count] : statuses.items()) {
          if (count.is_number_unsigned()) procedure.statuses.emplace_back(name, count.get<uint64_t>());
        }
      }
      const nlohmann::json& latency = Member(entry, "latency");
      procedure.buckets.assign(counters.bounds.size() + 1, 0);
      if (latency.is_object()) {
        procedure.p50 = Number(latency, "p50_ns");
        procedure.p90 = Number(latency, "p90_ns");
        procedure.p99 = Number(latency, "p99_ns");
        procedure.max = Number(latency, "max_ns");
        const nlohmann::json& buckets = Member(latency, "buckets");
        if (buckets.is_array()) {
          for (const auto& bucket : buckets) {
            if (!bucket.is_array() || bucket.size() != 2 || !bucket[0].is_number_unsigned() ||
                !bucket[1].is_number_unsigned()) {
              continue;
            }
            const uint64_t index = bucket[0].get<uint64_t>();
            if (index < procedure.buckets.size()) procedure.buckets[index] = bucket[1].get<uint64_t>();
          }
        }
      }
      counters.procedures.push_back(std::move(procedure));
    }
  }
  return true;
}

// The q-quantile of bucket counts: the upper bound of the bucket that holds
// it (the last bound for the unbounded last bucket); 0 without counts.
uint64_t Quantile(const std::vector<uint64_t>& bounds, const std::vector<uint64_t>& counts, double q) {
  uint64_t total = 0;
  for (const uint64_t count : counts) total += count;
  if (total == 0 || bounds.empty()) return 0;
  const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(q * static_cast<double>(total))));
  uint64_t seen = 0;
  for (size_t i = 0; i < counts.size(); ++i) {
    seen += counts[i];
    if (seen >= rank) return bounds[std::min(i, bounds.size() - 1)];
  }
  return bounds.back();
}

std::string Notes(const Procedure& procedure) {
  std::string notes;
  auto add = [&](const std::string& note) { notes += (notes.empty() ? "" : ", ") + note; };
  for (const auto& [name, count] : procedure.statuses) {
    if (name != "NFS3_OK" && name != "MNT3_OK") add(name + " " + std::to_string(count));
  }
  if (procedure.unanswered != 0) add("unanswered " + std::to_string(procedure.unanswered));
  if (procedure.garbage != 0) add("undecodable " + std::to_string(procedure.garbage));
  return notes;
}

void PrintSinceStart(const Counters& counters) {
  std::printf("Since the service first started, %s ago\n",
              FormatAge(counters.collectingForNs / 1000000000ull).c_str());
  std::printf("Connections  %llu open, %llu accepted\n", static_cast<unsigned long long>(counters.open),
              static_cast<unsigned long long>(counters.accepted));
  if (counters.refusedClient != 0 || counters.refusedReadOnly != 0) {
    std::printf("Refused      %llu from clients not allowed, %llu changes to a read-only export\n",
                static_cast<unsigned long long>(counters.refusedClient),
                static_cast<unsigned long long>(counters.refusedReadOnly));
  }
  std::printf("Data         %s read, %s written\n", FormatBytes(static_cast<double>(counters.bytesRead)).c_str(),
              FormatBytes(static_cast<double>(counters.bytesWritten)).c_str());
  std::printf("\n");
  bool any = false;
  for (const Procedure& procedure : counters.procedures) {
    if (procedure.calls == 0) continue;
    if (!any) {
      std::printf("%-7s %-12s %10s %8s %8s %8s %8s %8s  %s\n", "PROGRAM", "PROCEDURE", "CALLS", "FAILED", "P50", "P90",
                  "P99", "MAX", "NOTES");
      any = true;
    }
    const std::string notes = Notes(procedure);
    std::printf("%-7s %-12s %10llu %8llu %8s %8s %8s %8s%s%s\n", procedure.program.c_str(), procedure.name.c_str(),
                static_cast<unsigned long long>(procedure.calls), static_cast<unsigned long long>(procedure.failures),
                FormatDuration(procedure.p50).c_str(), FormatDuration(procedure.p90).c_str(),
                FormatDuration(procedure.p99).c_str(), FormatDuration(procedure.max).c_str(), notes.empty() ? "" : "  ",
                notes.c_str());
  }
  if (!any) std::printf("No calls yet.\n");
  for (const std::string& note : counters.programNotes) std::printf("%s\n", note.c_str());
}

// One interval: the differences between two snapshots.
struct Interval {
  double seconds = 0;
  uint64_t calls = 0;
  uint64_t failures = 0;
  uint64_t bytesRead = 0;
  uint64_t bytesWritten = 0;
  std::vector<uint64_t> buckets;  // of every procedure together
  // Procedures with calls in the interval, most calls first.
  std::vector<std::pair<const Procedure*, Procedure>> perProcedure;
};

uint64_t Minus(uint64_t now, uint64_t before) { return now >= before ? now - before : 0; }

Interval Difference(const Counters& before, const Counters& now) {
  Interval interval;
  interval.seconds = static_cast<double>(Minus(now.takenNs, before.takenNs)) / 1e9;
  interval.bytesRead = Minus(now.bytesRead, before.bytesRead);
  interval.bytesWritten = Minus(now.bytesWritten, before.bytesWritten);
  interval.buckets.assign(now.bounds.size() + 1, 0);
  for (const Procedure& procedure : now.procedures) {
    const Procedure* earlier = nullptr;
    for (const Procedure& candidate : before.procedures) {
      if (candidate.program == procedure.program && candidate.name == procedure.name) earlier = &candidate;
    }
    Procedure delta;
    delta.program = procedure.program;
    delta.name = procedure.name;
    delta.calls = Minus(procedure.calls, earlier ? earlier->calls : 0);
    delta.failures = Minus(procedure.failures, earlier ? earlier->failures : 0);
    delta.buckets.assign(procedure.buckets.size(), 0);
    for (size_t i = 0; i < procedure.buckets.size(); ++i) {
      const uint64_t old = earlier && i < earlier->buckets.size() ? earlier->buckets[i] : 0;
      delta.buckets[i] = Minus(procedure.buckets[i], old);
      if (i < interval.buckets.size()) interval.buckets[i] += delta.buckets[i];
    }
    delta.p50 = Quantile(now.bounds, delta.buckets, 0.5);
    delta.p99 = Quantile(now.bounds, delta.buckets, 0.99);
    interval.calls += delta.calls;
    interval.failures += delta.failures;
    if (delta.calls != 0) interval.perProcedure.emplace_back(&procedure, std::move(delta));
  }
  std::sort(interval.perProcedure.begin(), interval.perProcedure.end(),
            [](const auto& a, const auto& b) { return a.second.calls > b.second.calls; });
  return interval;
}

std::string Clock() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

void PrintIntervalLine(const Interval& interval, const Counters& now, int line) {
  const double seconds = interval.seconds > 0 ? interval.seconds : 1;
  if (line % kHeaderEvery == 0) {
    std::printf("%-8s %9s %8s %11s %11s %5s %8s %8s  %s\n", "TIME", "CALLS/s", "FAILED/s", "READ/s", "WRITTEN/s",
                "CONNS", "P50", "P99", "BUSIEST");
  }
  std::string busiest;
  for (size_t i = 0; i < interval.perProcedure.size() && i < 3; ++i) {
    const Procedure& delta = interval.perProcedure[i].second;
    // MOUNT's procedures by their program's name too: both have a NULL.
    const std::string name = delta.program == "NFS" ? delta.name : delta.program + "." + delta.name;
    busiest += (i == 0 ? "" : ", ") + name + " " + FormatCount(static_cast<double>(delta.calls) / seconds);
  }
  std::printf("%-8s %9s %8s %11s %11s %5llu %8s %8s%s%s\n", Clock().c_str(),
              FormatCount(static_cast<double>(interval.calls) / seconds).c_str(),
              FormatCount(static_cast<double>(interval.failures) / seconds).c_str(),
              FormatBytes(static_cast<double>(interval.bytesRead) / seconds).c_str(),
              FormatBytes(static_cast<double>(interval.bytesWritten) / seconds).c_str(),
              static_cast<unsigned long long>(now.open),
              interval.calls != 0 ? FormatDuration(Quantile(now.bounds, interval.buckets, 0.5)).c_str() : "-",
              interval.calls != 0 ? FormatDuration(Quantile(now.bounds, interval.buckets, 0.99)).c_str() : "-",
              busiest.empty() ? "" : "  ", busiest.c_str());
  std::fflush(stdout);
}

void PrintIntervalJson(const Interval& interval, const Counters& now) {
  const double seconds = interval.seconds > 0 ? interval.seconds : 1;
  nlohmann::json procedures = nlohmann::json::array();
  for (const auto& [current, delta] : interval.perProcedure) {
    procedures.push_back({{"program", delta.program},
                          {"name", delta.name},
                          {"calls", delta.calls},
                          {"failures", delta.failures},
                          {"calls_per_second", static_cast<double>(delta.calls) / seconds},
                          {"p50_ns", delta.p50},
                          {"p99_ns", delta.p99}});
  }
  const nlohmann::json line = {{"seconds", interval.seconds},
                               {"calls", interval.calls},
                               {"failures", interval.failures},
                               {"bytes_read", interval.bytesRead},
                               {"bytes_written", interval.bytesWritten},
                               {"connections_open", now.open},
                               {"p50_ns", Quantile(now.bounds, interval.buckets, 0.5)},
                               {"p99_ns", Quantile(now.bounds, interval.buckets, 0.99)},
                               {"procedures", std::move(procedures)}};
  std::printf("%s\n", line.dump().c_str());
  std::fflush(stdout);
}

bool Fetch(ControlClient& client, nlohmann::json& document, Counters& counters) {
  std::string problem;
  nlohmann::json response;
  if (!client.Run(NFS::CommandNames::GetServerStatistics.commandName, response, problem) ||
      !DocumentOf(response, NFS::kStatisticsProperty, document, problem) ||
      !Read(document, counters, problem)) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return false;
  }
  return true;
}

}  // namespace

int RunStats(int argc, char** argv) {
  Options options;
  if (const auto status = ParseStats(argc, argv, options)) return *status;
  ControlClient client;
  std::string problem;
  if (!client.Open(options.socketPath, problem)) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return 2;
  }
  nlohmann::json document;
  Counters before;
  if (!Fetch(client, document, before)) return 1;
  if (options.interval == 0) {
    if (options.json) {
      std::printf("%s\n", document.dump(2).c_str());
    } else {
      PrintSinceStart(before);
    }
    return 0;
  }
  const auto step = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(options.interval));
  auto next = std::chrono::steady_clock::now();
  for (long long line = 0; options.count == 0 || line < options.count; ++line) {
    next += step;
    std::this_thread::sleep_until(next);
    Counters now;
    if (!Fetch(client, document, now)) return 1;
    const Interval interval = Difference(before, now);
    if (options.json) {
      PrintIntervalJson(interval, now);
    } else {
      PrintIntervalLine(interval, now, static_cast<int>(line % kHeaderEvery));
    }
    before = std::move(now);
  }
  return 0;
}

}  // namespace Tools
