#pragma once

#include "host/Commands.h"

// The names by which the host executable, the operator clients and the NFS
// module meet: host commands, their records and properties, the option set
// and the stream. Names only, so that app/ and tools/ need not link the
// commands to use them.
namespace NFS {

// Properties of the requests and of the option set that supplies their defaults.
namespace Property {
inline constexpr const char* kLocalPath = "LocalPath";
inline constexpr const char* kShareName = "ShareName";
inline constexpr const char* kAllowClients = "AllowClients";
inline constexpr const char* kReadOnly = "ReadOnly";
inline constexpr const char* kAsyncWrites = "AsyncWrites";
inline constexpr const char* kListen = "Listen";
inline constexpr const char* kPort = "Port";
inline constexpr const char* kStateDir = "StateDir";
inline constexpr const char* kCacheObjects = "CacheObjects";
inline constexpr const char* kNetworkPath = "NetworkPath";
inline constexpr const char* kSourceUri = "SourceUri";
inline constexpr const char* kSize = "Size";
inline constexpr const char* kBlob = "Blob";
inline constexpr const char* kFilePath = "FilePath";
}  // namespace Property

// The module's host commands, as their factories describe them.
namespace CommandNames {
inline const Core::CommandDescription StartServer{
    "StartServerCommandFactoryAddOn", "NFS::StartServerCommand", "977ED77E-8E8F-4604-A357-27AB71BAD888",
    "NFS::StartServerRequest", "NFS::StartServerResponse",
    {{Property::kLocalPath, Core::PropertyType::String},
     {Property::kShareName, Core::PropertyType::String},
     {Property::kAllowClients, Core::PropertyType::String},
     {Property::kReadOnly, Core::PropertyType::Bool},
     {Property::kAsyncWrites, Core::PropertyType::Bool},
     {Property::kListen, Core::PropertyType::String},
     {Property::kPort, Core::PropertyType::UInt64},
     {Property::kStateDir, Core::PropertyType::String},
     {Property::kCacheObjects, Core::PropertyType::UInt64}}};
// Who may call the running server and whether they may change anything, at
// once for the calls that follow: a property left out keeps its value.
inline const Core::CommandDescription SetAccess{
    "SetAccessCommandFactoryAddOn", "NFS::SetAccessCommand", "5B0D3C71-2F4E-4A8B-9E61-C7D2A8F41E09",
    "NFS::SetAccessRequest", "NFS::SetAccessResponse",
    {{Property::kAllowClients, Core::PropertyType::String}, {Property::kReadOnly, Core::PropertyType::Bool}}};
inline const Core::CommandDescription CreateVirtualFile{
    "CreateVirtualFileCommandFactoryAddOn", "NFS::CreateVirtualFileCommand", "384C0FA1-D836-4751-BE17-C29E1FD83F87",
    "NFS::CreateVirtualFileRequest", "NFS::CreateVirtualFileResponse",
    {{Property::kNetworkPath, Core::PropertyType::String},
     {Property::kSourceUri, Core::PropertyType::String},
     {Property::kSize, Core::PropertyType::UInt64}}};
inline const Core::CommandDescription DeleteVirtualFile{
    "DeleteVirtualFileCommandFactoryAddOn", "NFS::DeleteVirtualFileCommand", "3446B39A-B2C6-4074-A30D-93D791778D5C",
    "NFS::DeleteVirtualFileRequest", "NFS::DeleteVirtualFileResponse",
    {{Property::kNetworkPath, Core::PropertyType::String}}};
inline const Core::CommandDescription ControlVirtualFile{
    "ControlVirtualFileCommandFactoryAddOn", "NFS::ControlVirtualFileCommand", "76AD828B-25F4-45DF-B572-C6C0E895EA8E",
    "NFS::ControlVirtualFileRequest", "NFS::ControlVirtualFileResponse",
    {{Property::kNetworkPath, Core::PropertyType::String}, {Property::kBlob, Core::PropertyType::Bytes}}};
inline const Core::CommandDescription FileExists{
    "FileExistsCommandFactoryAddOn", "NFS::FileExistsCommand", "55E2C4EB-E7E2-4427-8F1C-8E097A3A83F9",
    "NFS::FileExistsRequest", "NFS::FileExistsResponse",
    {{Property::kShareName, Core::PropertyType::String}, {Property::kFilePath, Core::PropertyType::String}}};

// Read-only commands for operators. Each answers with one string property
// that carries a JSON document: a record holds flat, typed properties only,
// while status and statistics are nested (connections, procedures, statuses,
// histogram buckets); the document crosses the control channel unchanged.
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

// The response properties that carry the monitoring documents.
inline constexpr const char* kStatusProperty = "Status";
inline constexpr const char* kStatisticsProperty = "Statistics";
inline constexpr const char* kMetricsProperty = "Text";
// Raised when a document changes shape in a way its readers must know.
inline constexpr int kMonitoringFormat = 1;

// The option set whose defaults the host puts into its start request.
inline constexpr const char* kOptionsName = "NFS::Options";

// The stream of files that clients create and delete, for watchers of the
// running host. Each item has the properties
//   event  "created" or "deleted"
//   time   when the server raised it, UTC: "2026-12-07T05:49:16.018Z"
//   path   the file's path under the share: "/share/docs/a.txt"
//   id     the file's object id: 34 upper-case hex digits
inline constexpr const char* kFileEventsStreamName = "NFS::FileEvents";

}  // namespace NFS
