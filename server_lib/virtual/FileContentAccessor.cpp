#include "server_lib/virtual/FileContentAccessor.h"

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/local/IoError.h"

namespace NFS {

FileContentAccessor::FileContentAccessor(std::shared_ptr<VirtualFilePlugin> plugin, Common::WString uri,
                                         SourceParams params)
    : plugin_(std::move(plugin)), uri_(std::move(uri)), params_(std::move(params)) {}

LocalFs::LocalFileHandle& FileContentAccessor::GetFile() {
  if (!content_) OpenFile();
  return *content_;
}

void FileContentAccessor::OpenFile() {
  Common::Trace(kLogChannel, "Open virtual file content by {0}", uri_);
  std::unique_ptr<LocalFs::LocalFileHandle> content;
  Common::Error error = plugin_->OpenFile(uri_, params_, content);
  if (error.IsFailure()) ThrowIoError(std::move(error));
  if (!content) {
    ThrowIoError(Common::Error(ErrorCode::NoPlugin, Common::FormatMessage(Messages::NoPluginForUri, uri_)));
  }
  content_ = std::move(content);
}

}  // namespace NFS
