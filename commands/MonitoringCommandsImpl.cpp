#include <algorithm>
#include <ctime>

#include <nlohmann/json.hpp>

#include "commands/MetricsText.h"
#include "commands/MonitoringCommands.h"
#include "control_lib/server/ServerControlComponent.h"

namespace NFS {

namespace {

std::shared_ptr<ServerMonitoring> Monitoring(Core::HostContext& context) {
  return context.components->Get<ServerMonitoring>(kServerControlComponentId, kServerMonitoringInterfaceName);
}

void ThrowIfFailed(const Common::Error& result) {
  if (result.IsFailure()) throw result;
}

// Share names and paths are the operator's text; anything not UTF-8 in them
// is shown replaced rather than failing the command.
std::string Text(const nlohmann::json& document) {
  return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json StatusJson(const ServiceStatus& status) {
  const NSL::NetworkStatus& network = status.network;
  const ServerStatus& server = status.server;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  nlohmann::json connections = nlohmann::json::array();
  for (const auto& connection : network.connections) {
    connections.push_back({{"peer", connection.peer},
                           {"connected_at", connection.connectedAt},
                           {"connected_for_seconds", std::max<int64_t>(0, now - connection.connectedAt)}});
  }
  nlohmann::json cached = nlohmann::json::array();
  for (const auto& share : server.cachedObjects) {
    cached.push_back({{"share", Common::ToUtf8(share.share)}, {"objects", share.objects}});
  }
  const bool registered = network.port != 0 && network.portmapperMountPort == network.port &&
                          network.portmapperNfsPort == network.port;
  return {{"format", kMonitoringFormat},
          {"share", {{"name", Common::ToUtf8(server.shareName)}, {"local_path", Common::ToUtf8(server.localPath)}}},
          {"network",
           {{"serving", network.serving},
            {"port", network.port},
            {"serving_for_ns", network.servingForNs},
            {"listen", network.listen},
            {"portmapper",
             {{"registered", registered},
              {"mount_port", network.portmapperMountPort},
              {"nfs_port", network.portmapperNfsPort},
              {"error", network.portmapperError}}},
            {"connections", std::move(connections)}}},
          {"access",
           {{"allow_clients", network.allowClients},
            {"read_only", network.readOnly},
            {"async_writes", network.asyncWrites}}},
          {"cached_objects", std::move(cached)},
          {"cache",
           {{"capacity", server.cache.capacity},
            {"hits", server.cache.hits},
            {"resolved_from_store", server.cache.resolved},
            {"stale", server.cache.stale},
            {"evicted", server.cache.evicted}}},
          {"store", {{"open", server.hasStore}, {"ids", server.storedObjects}}},
          {"mounted_clients", server.mountedClients},
          {"descriptors", {{"open", server.descriptorsOpen}, {"limit", server.descriptorLimit}}},
          {"listings",
           {{"open", server.openListings},
            {"limit", server.openListingLimit},
            {"enumerators_kept", server.keptEnumerators}}},
          {"virtual_files", {{"count", server.virtualFiles}, {"bytes", server.virtualBytes}}},
          {"observers", server.observers}};
}

nlohmann::json LatencyJson(const NSL::LatencyCounts& latency) {
  // Only the buckets that counted something, as [index, count].
  nlohmann::json buckets = nlohmann::json::array();
  for (size_t i = 0; i < latency.buckets.size(); ++i) {
    if (latency.buckets[i] != 0) buckets.push_back({i, latency.buckets[i]});
  }
  return {{"count", latency.count},
          {"sum_ns", latency.sumNs},
          {"max_ns", latency.maxNs},
          {"p50_ns", latency.QuantileNs(0.5)},
          {"p90_ns", latency.QuantileNs(0.9)},
          {"p99_ns", latency.QuantileNs(0.99)},
          {"buckets", std::move(buckets)}};
}

nlohmann::json StatisticsJson(const NSL::StatisticsSnapshot& snapshot) {
  nlohmann::json bounds = nlohmann::json::array();
  // The last bucket has no upper bound.
  for (size_t i = 0; i + 1 < NSL::Latency::kBucketCount; ++i) bounds.push_back(NSL::Latency::UpperBoundNs(i));
  nlohmann::json programs = nlohmann::json::array();
  for (const auto& program : snapshot.programs) {
    nlohmann::json procedures = nlohmann::json::array();
    for (const auto& procedure : program.procedures) {
      nlohmann::json statuses = nlohmann::json::object();
      for (const auto& status : procedure.statuses) statuses[status.name] = status.count;
      procedures.push_back({{"number", procedure.number},
                            {"name", procedure.name},
                            {"calls", procedure.calls},
                            {"failures", procedure.failures},
                            {"unanswered", procedure.unanswered},
                            {"garbage_arguments", procedure.garbageArguments},
                            {"statuses", std::move(statuses)},
                            {"latency", LatencyJson(procedure.latency)}});
    }
    programs.push_back({{"name", program.name},
                        {"program", program.program},
                        {"version", program.version},
                        {"unknown_procedures", program.unknownProcedures},
                        {"send_failures", program.sendFailures},
                        {"procedures", std::move(procedures)}});
  }
  return {{"format", kMonitoringFormat},
          {"taken_ns", snapshot.takenNs},
          {"collecting_for_ns", snapshot.collectingForNs},
          {"bytes_read", snapshot.bytesRead},
          {"bytes_written", snapshot.bytesWritten},
          {"connections", {{"accepted", snapshot.connectionsAccepted}, {"open", snapshot.connectionsOpen}}},
          {"refused",
           {{"client_not_allowed", snapshot.refusedClientNotAllowed}, {"read_only", snapshot.refusedReadOnly}}},
          {"latency_bucket_upper_bounds_ns", std::move(bounds)},
          {"programs", std::move(programs)}};
}

}  // namespace

Core::Record GetServerStatusCommandImpl::RunLogic(const Core::Record&, Core::HostContext& context) {
  ServiceStatus status;
  ThrowIfFailed(Monitoring(context)->GetStatus(status));
  Core::Record response(CommandNames::GetServerStatus.responseType);
  response.Set(kStatusProperty, Common::FromUtf8(Text(StatusJson(status))));
  return response;
}

Core::Record GetServerStatisticsCommandImpl::RunLogic(const Core::Record&, Core::HostContext& context) {
  NSL::StatisticsSnapshot snapshot;
  ThrowIfFailed(Monitoring(context)->GetStatistics(snapshot));
  Core::Record response(CommandNames::GetServerStatistics.responseType);
  response.Set(kStatisticsProperty, Common::FromUtf8(Text(StatisticsJson(snapshot))));
  return response;
}

Core::Record GetMetricsCommandImpl::RunLogic(const Core::Record&, Core::HostContext& context) {
  const std::shared_ptr<ServerMonitoring> monitoring = Monitoring(context);
  NSL::StatisticsSnapshot statistics;
  ThrowIfFailed(monitoring->GetStatistics(statistics));
  ServiceStatus status;
  ThrowIfFailed(monitoring->GetStatus(status));
  Core::Record response(CommandNames::GetMetrics.responseType);
  response.Set(kMetricsProperty, Common::FromUtf8(RenderMetrics(statistics, status)));
  return response;
}

}  // namespace NFS
