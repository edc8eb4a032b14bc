#pragma once

#include <string>

#include "host/Commands.h"

namespace NFS {

// Read-only commands for operators. Each answers with one string property
// that carries a JSON document: a record holds flat, typed properties only,
// while status and statistics are nested (connections, procedures, statuses,
// histogram buckets); the document crosses the control channel unchanged.
namespace CommandNames {
inline const Core::CommandDescription GetServerStatus{
    "GetServerStatusCommandFactoryAddOn", "NFS::GetServerStatusCommand", "877A6389-CC1F-44D3-A52A-8A7F2C593575",
    "NFS::GetServerStatusRequest", "NFS::GetServerStatusResponse", {}};
inline const Core::CommandDescription GetServerStatistics{
    "GetServerStatisticsCommandFactoryAddOn", "NFS::GetServerStatisticsCommand",
    "6E1E73AE-3D87-4426-A130-1B3E07175FF6", "NFS::GetServerStatisticsRequest", "NFS::GetServerStatisticsResponse",
    {}};
// The Prometheus text of both, for the host's metrics page.
inline const Core::CommandDescription GetMetrics{
    "GetMetricsCommandFactoryAddOn", "NFS::GetMetricsCommand", "3F0C8E52-7B1D-4A96-9C2E-5D81A4F6B7C3",
    "NFS::GetMetricsRequest", "NFS::GetMetricsResponse", {}};
}  // namespace CommandNames

// The response properties that carry the documents.
inline constexpr const char* kStatusProperty = "Status";
inline constexpr const char* kStatisticsProperty = "Statistics";
inline constexpr const char* kMetricsProperty = "Text";
// Raised when a document changes shape in a way its readers must know.
inline constexpr int kMonitoringFormat = 1;

class GetServerStatusCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class GetServerStatisticsCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class GetMetricsCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

}  // namespace NFS
