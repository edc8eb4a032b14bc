#include "service_lib/nsl/MountServiceImpl.h"

#include <cstdlib>
#include <cstring>

#include "host/Assertion.h"
#include "server_lib/core/ServerErrors.h"
#include "service_lib/nsl/CallFailureLog.h"
#include "service_lib/nsl/WireConversions.h"

namespace NFS::NSL {

namespace {

constexpr uint32_t kMnt = 1;
constexpr uint32_t kUmnt = 3;

}  // namespace

void MountServiceImpl::Mnt(const dirpath& path, const std::string& client, mountres3& result) {
  ObjectId root;
  const Common::Error error = server_->Mount(IncomingString(path), client, root);
  if (error.IsFailure()) {
    const uint32_t reason = error.HasReason() ? error.Reason().Code() : 0;
    if (reason == ErrorCode::InvalidArgument) {
      result.fhs_status = MNT3ERR_INVAL;
    } else if (reason == ErrorCode::ShareNotMounted) {
      result.fhs_status = MNT3ERR_NOENT;
    } else {
      COMMON_ASSERT(!"Unexpected error");
      result.fhs_status = MNT3ERR_SERVERFAULT;
    }
    LogCallFailure(DescribeCall(RpcProgram::Mount, kMnt, result.fhs_status), error);
    return;
  }
  result.fhs_status = MNT3_OK;
  mountres3_ok& ok = result.mountres3_u.mountinfo;
  if (root.empty()) COMMON_ASSERT(!"Invalid handle");
  ok.fhandle.fhandle3_len = static_cast<u_int>(root.size());
  ok.fhandle.fhandle3_val = static_cast<char*>(std::malloc(root.empty() ? 1 : root.size()));
  if (!root.empty()) std::memcpy(ok.fhandle.fhandle3_val, root.data(), root.size());
  ok.auth_flavors.auth_flavors_len = 0;
  ok.auth_flavors.auth_flavors_val = nullptr;
}

void MountServiceImpl::Umnt(const dirpath& path, const std::string& client) {
  const Common::Error error = server_->UnMount(IncomingString(path), client);
  if (error.IsFailure()) LogCallFailure(DescribeCall(RpcProgram::Mount, kUmnt), error);
}

}  // namespace NFS::NSL
