#include "commands/MetricsText.h"

#include <fmt/format.h>

#include <array>


namespace NFS {

namespace {

// Bucket bounds of the exported histogram, in seconds: the counters keep
// 170 narrow buckets, far more series than a scrape should carry.
constexpr std::array<double, 18> kBounds = {25e-6, 50e-6, 100e-6, 250e-6, 500e-6, 1e-3, 2.5e-3, 5e-3, 10e-3,
                                           25e-3, 50e-3, 100e-3, 250e-3, 500e-3, 1,     2.5,   5,    10};

// Label values are the server's text (share names) and must not break the
// line: backslash, double quote and newline are escaped.
std::string Escape(const std::string& value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

void Header(std::string& out, const char* name, const char* type, const char* help) {
  fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

std::string Labels(const NSL::ProgramStatistics& program, const NSL::ProcedureStatistics& procedure) {
  return fmt::format("program=\"{}\",procedure=\"{}\"", Escape(program.name), Escape(procedure.name));
}

template <typename Visit>
void ForEachCalled(const NSL::StatisticsSnapshot& statistics, Visit&& visit) {
  for (const auto& program : statistics.programs) {
    for (const auto& procedure : program.procedures) {
      if (procedure.calls != 0) visit(program, procedure);
    }
  }
}

void Durations(std::string& out, const std::string& labels, const NSL::LatencyCounts& latency) {
  // A narrow bucket counts toward the first exported bound at or above its
  // own upper bound, so no call is ever reported faster than it was.
  std::array<uint64_t, kBounds.size()> cumulative{};
  for (size_t i = 0; i < latency.buckets.size(); ++i) {
    if (latency.buckets[i] == 0 || i + 1 == latency.buckets.size()) continue;
    const double upper = static_cast<double>(NSL::Latency::UpperBoundNs(i)) / 1e9;
    for (size_t b = 0; b < kBounds.size(); ++b) {
      if (upper <= kBounds[b] * (1 + 1e-9)) cumulative[b] += latency.buckets[i];
    }
  }
  for (size_t b = 0; b < kBounds.size(); ++b) {
    fmt::format_to(std::back_inserter(out), "nfs_request_duration_seconds_bucket{{{},le=\"{}\"}} {}\n", labels,
                   kBounds[b], cumulative[b]);
  }
  fmt::format_to(std::back_inserter(out), "nfs_request_duration_seconds_bucket{{{},le=\"+Inf\"}} {}\n", labels,
                 latency.count);
  fmt::format_to(std::back_inserter(out), "nfs_request_duration_seconds_sum{{{}}} {}\n", labels,
                 static_cast<double>(latency.sumNs) / 1e9);
  fmt::format_to(std::back_inserter(out), "nfs_request_duration_seconds_count{{{}}} {}\n", labels, latency.count);
}

void Gauge(std::string& out, const char* name, const char* help, uint64_t value) {
  Header(out, name, "gauge", help);
  fmt::format_to(std::back_inserter(out), "{} {}\n", name, value);
}

}  // namespace

std::string RenderMetrics(const NSL::StatisticsSnapshot& statistics, const ServiceStatus& status) {
  std::string out;
  Header(out, "nfs_requests_total", "counter", "Calls received, by program and procedure.");
  ForEachCalled(statistics, [&](const auto& program, const auto& procedure) {
    fmt::format_to(std::back_inserter(out), "nfs_requests_total{{{}}} {}\n", Labels(program, procedure),
                   procedure.calls);
  });
  Header(out, "nfs_request_failures_total", "counter",
         "Replies whose status is not OK, by program, procedure and status.");
  ForEachCalled(statistics, [&](const auto& program, const auto& procedure) {
    for (const auto& counted : procedure.statuses) {
      if (counted.count == 0 || counted.name == "NFS3_OK" || counted.name == "MNT3_OK") continue;
      fmt::format_to(std::back_inserter(out), "nfs_request_failures_total{{{},status=\"{}\"}} {}\n",
                     Labels(program, procedure), Escape(counted.name), counted.count);
    }
  });
  Header(out, "nfs_request_duration_seconds", "histogram",
         "Time from a call's arrival to its reply, by program and procedure.");
  ForEachCalled(statistics, [&](const auto& program, const auto& procedure) {
    Durations(out, Labels(program, procedure), procedure.latency);
  });
  Header(out, "nfs_read_bytes_total", "counter", "Bytes returned by successful READ calls.");
  fmt::format_to(std::back_inserter(out), "nfs_read_bytes_total {}\n", statistics.bytesRead);
  Header(out, "nfs_write_bytes_total", "counter", "Bytes taken by successful WRITE calls.");
  fmt::format_to(std::back_inserter(out), "nfs_write_bytes_total {}\n", statistics.bytesWritten);
  Header(out, "nfs_connections_accepted_total", "counter", "Client connections accepted.");
  fmt::format_to(std::back_inserter(out), "nfs_connections_accepted_total {}\n", statistics.connectionsAccepted);

  Header(out, "nfs_refused_calls_total", "counter",
         "Calls refused before they were served, by reason: client_not_allowed (NFS3ERR_ACCES, MNT3ERR_ACCES), "
         "read_only (NFS3ERR_ROFS).");
  fmt::format_to(std::back_inserter(out), "nfs_refused_calls_total{{reason=\"client_not_allowed\"}} {}\n",
                 statistics.refusedClientNotAllowed);
  fmt::format_to(std::back_inserter(out), "nfs_refused_calls_total{{reason=\"read_only\"}} {}\n",
                 statistics.refusedReadOnly);

  Header(out, "nfs_export_info", "gauge", "Who may use the export and how: always 1, the facts are its labels.");
  fmt::format_to(std::back_inserter(out),
                 "nfs_export_info{{share=\"{}\",allow_clients=\"{}\",read_only=\"{}\",listen=\"{}\"}} 1\n",
                 Escape(Common::ToUtf8(status.server.shareName)), Escape(status.network.allowClients),
                 status.network.readOnly ? "true" : "false", Escape(status.network.listen));
  Gauge(out, "nfs_up", "1 while the RPC thread serves.", status.network.serving ? 1 : 0);
  Gauge(out, "nfs_connections", "Client connections open.", status.network.connections.size());
  Header(out, "nfs_cached_objects", "gauge", "Objects in the handle cache, by share.");
  for (const auto& share : status.server.cachedObjects) {
    fmt::format_to(std::back_inserter(out), "nfs_cached_objects{{share=\"{}\"}} {}\n",
                   Escape(Common::ToUtf8(share.share)), share.objects);
  }
  Gauge(out, "nfs_cache_capacity", "Objects each share's handle cache may hold (0: no limit).",
        status.server.cache.capacity);
  Header(out, "nfs_cache_lookups_total", "counter",
         "Handles resolved, by outcome: hit (in memory), resolved (not in memory, found again through the store "
         "of ids), stale (neither; answered NFS3ERR_STALE).");
  fmt::format_to(std::back_inserter(out), "nfs_cache_lookups_total{{outcome=\"hit\"}} {}\n", status.server.cache.hits);
  fmt::format_to(std::back_inserter(out), "nfs_cache_lookups_total{{outcome=\"resolved\"}} {}\n",
                 status.server.cache.resolved);
  fmt::format_to(std::back_inserter(out), "nfs_cache_lookups_total{{outcome=\"stale\"}} {}\n",
                 status.server.cache.stale);
  Header(out, "nfs_cache_evictions_total", "counter", "Objects the handle caches let go to stay within their capacity.");
  fmt::format_to(std::back_inserter(out), "nfs_cache_evictions_total {}\n", status.server.cache.evicted);
  Gauge(out, "nfs_stored_ids", "Ids the on-disk store remembers.", status.server.storedObjects);
  Gauge(out, "nfs_mounted_clients", "Client addresses with a mount on record (the 4096 most recent at most).",
        status.server.mountedClients);
  Gauge(out, "nfs_open_descriptors", "Descriptors the local file system's pool holds open.",
        status.server.descriptorsOpen);
  Gauge(out, "nfs_descriptor_limit", "Descriptors the pool may hold open.", status.server.descriptorLimit);
  Gauge(out, "nfs_enumerators", "Directory enumerators kept for listings in progress, open or parked.",
        status.server.keptEnumerators);
  Gauge(out, "nfs_open_listings", "Listings holding an open directory stream.", status.server.openListings);
  Gauge(out, "nfs_virtual_files", "Virtual files registered.", status.server.virtualFiles);
  Gauge(out, "nfs_virtual_file_bytes", "The sum of the virtual files' sizes.", status.server.virtualBytes);
  return out;
}

}  // namespace NFS
