#pragma once

#include "host/Commands.h"

namespace NFS {

// The five host commands of the module, as their factories describe them.
namespace CommandNames {
inline const Core::CommandDescription StartServer{
    "StartServerCommandFactoryAddOn", "NFS::StartServerCommand", "977ED77E-8E8F-4604-A357-27AB71BAD888",
    "NFS::StartServerRequest", "NFS::StartServerResponse",
    {{"LocalPath", Core::PropertyType::String},
     {"ShareName", Core::PropertyType::String},
     {"AllowClients", Core::PropertyType::String},
     {"ReadOnly", Core::PropertyType::Bool},
     {"AsyncWrites", Core::PropertyType::Bool},
     {"Listen", Core::PropertyType::String},
     {"Port", Core::PropertyType::UInt64}}};
inline const Core::CommandDescription CreateVirtualFile{
    "CreateVirtualFileCommandFactoryAddOn", "NFS::CreateVirtualFileCommand", "384C0FA1-D836-4751-BE17-C29E1FD83F87",
    "NFS::CreateVirtualFileRequest", "NFS::CreateVirtualFileResponse",
    {{"NetworkPath", Core::PropertyType::String},
     {"SourceUri", Core::PropertyType::String},
     {"Size", Core::PropertyType::UInt64}}};
inline const Core::CommandDescription DeleteVirtualFile{
    "DeleteVirtualFileCommandFactoryAddOn", "NFS::DeleteVirtualFileCommand", "3446B39A-B2C6-4074-A30D-93D791778D5C",
    "NFS::DeleteVirtualFileRequest", "NFS::DeleteVirtualFileResponse",
    {{"NetworkPath", Core::PropertyType::String}}};
inline const Core::CommandDescription ControlVirtualFile{
    "ControlVirtualFileCommandFactoryAddOn", "NFS::ControlVirtualFileCommand", "76AD828B-25F4-45DF-B572-C6C0E895EA8E",
    "NFS::ControlVirtualFileRequest", "NFS::ControlVirtualFileResponse",
    {{"NetworkPath", Core::PropertyType::String}, {"Blob", Core::PropertyType::Bytes}}};
inline const Core::CommandDescription FileExists{
    "FileExistsCommandFactoryAddOn", "NFS::FileExistsCommand", "55E2C4EB-E7E2-4427-8F1C-8E097A3A83F9",
    "NFS::FileExistsRequest", "NFS::FileExistsResponse",
    {{"ShareName", Core::PropertyType::String}, {"FilePath", Core::PropertyType::String}}};
}  // namespace CommandNames

class StartServerCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class CreateVirtualFileCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class DeleteVirtualFileCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class ControlVirtualFileCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class FileExistsCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

// Splits a share-relative file path at its last "/" into folder and name.
void SplitFilePath(const Common::WString& path, Common::WString& folder, Common::WString& name);

}  // namespace NFS
