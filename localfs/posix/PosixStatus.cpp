#include "localfs/posix/PosixStatus.h"

#include <atomic>
#include <system_error>

#include "host/Messages.h"

namespace LocalFs {

namespace {
std::atomic<FaultHook> g_faultHook{nullptr};
}  // namespace

void SetFaultHook(FaultHook hook) { g_faultHook.store(hook, std::memory_order_release); }

}  // namespace LocalFs

namespace LocalFs::Posix {

void InjectFault(const char* operation) {
  if (const FaultHook hook = g_faultHook.load(std::memory_order_acquire)) hook(operation);
}

Error SystemError(int error, std::string_view call, std::string_view name, std::string_view folder,
                  Common::source_location where) {
  const std::string reason = std::system_category().message(error);
  WString message =
      folder.empty()
          ? Common::FormatText("{0} '{1}': {2}", std::string(call), std::string(name), reason)
          : Common::FormatText("{0} '{1}' in '{2}': {3}", std::string(call), std::string(name),
                               std::string(folder), reason);
  return Error(kSystemError + static_cast<uint32_t>(error), std::move(message), Error(), where);
}

Error LibraryError(uint32_t code, std::string_view text, Common::source_location where) {
  return Error(code, Common::FromUtf8(text), Error(), where);
}

bool ToLocalName(const WString& name, std::string& local, Status& status, Common::source_location where) {
  if (IsValidEntryName(name) && Common::TryToUtf8(name, local) && local.size() <= 255) return true;
  return status.Fail(Error(kInvalidName,
                           Common::FormatText("The name '{0}' is not a valid entry name.", name),
                           Error(), where));
}

}  // namespace LocalFs::Posix
