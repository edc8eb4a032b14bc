#pragma once

#include "host/SourceLocation.h"
#include <string>
#include <string_view>

#include "localfs/LocalFs.h"

namespace LocalFs::Posix {

// An operating system failure: kSystemError + errno, naming the call, the
// entry and the folder (left out when empty).
Error SystemError(int error, std::string_view call, std::string_view name, std::string_view folder,
                  Common::source_location where = Common::source_location::current());

Error LibraryError(uint32_t code, std::string_view text,
                   Common::source_location where = Common::source_location::current());

// The status of one handle: the last failure, kept until taken.
class Status {
 public:
  const Error& Get() const { return status_; }
  Error Take() {
    Error taken = std::move(status_);
    status_ = Error();
    return taken;
  }
  // Records the failure and returns false, for `return status_.Fail(...)`.
  bool Fail(Error error) {
    status_ = std::move(error);
    return false;
  }

 private:
  Error status_;
};

// Calls the hook a test set (SetFaultHook) with the operation's name.
void InjectFault(const char* operation);

// The UTF-8 form of a valid entry name; records kInvalidName otherwise.
bool ToLocalName(const WString& name, std::string& local, Status& status,
                 Common::source_location where = Common::source_location::current());

}  // namespace LocalFs::Posix
