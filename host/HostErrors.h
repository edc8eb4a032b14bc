#pragma once

#include <cstdint>

#include "host/Messages.h"

namespace Core {

// Error codes of the host framework (module part 0x100).
namespace HostErrorCode {
inline constexpr uint32_t ComponentNotFound = 0x1000001;
inline constexpr uint32_t InvalidComponentCast = 0x1000002;
inline constexpr uint32_t PropertyNotFound = 0x1000003;
inline constexpr uint32_t PropertyTypeMismatch = 0x1000004;
inline constexpr uint32_t CommandNotFound = 0x1000005;
inline constexpr uint32_t ModuleLoadFailed = 0x1000006;
inline constexpr uint32_t ResourcesUnavailable = 0x1000007;
inline constexpr uint32_t StreamNotFound = 0x1000010;
}  // namespace HostErrorCode

namespace HostMessages {
using Common::Message;
inline constexpr Message ComponentNotFound{0x10000010, "Cannot find a component with ID '{0}'."};
inline constexpr Message InvalidComponentCast{0x10000020,
                                              "Invalid cast of component with ID '{0}' to interface '{1}'."};
inline constexpr Message PropertyNotFound{0x10000030, "The property '{0}' of '{1}' is not set."};
inline constexpr Message PropertyTypeMismatch{0x10000040, "The property '{0}' of '{1}' is not of type {2}."};
inline constexpr Message CommandNotFound{0x10000050, "Cannot find the command '{0}'."};
inline constexpr Message ModuleLoadFailed{0x10000060, "Failed to load module '{0}': {1}"};
inline constexpr Message ResourcesUnavailable{0x10000070, "Cannot read the resource file '{0}'."};
inline constexpr Message BrowserFailed{0x10000080, "Failed to create add-on browser."};
inline constexpr Message StreamNotFound{0x10000100, "Cannot find the stream '{0}'."};
}  // namespace HostMessages

}  // namespace Core
