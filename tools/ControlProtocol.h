#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "host/Commands.h"
#include "host/Error.h"

namespace Host {

// The control channel's lines: a request is
//   {"command": "NFS::FileExistsCommand", "request": {"ShareName": "/share", "FilePath": "a.txt"}}
// and the answer either {"ok": true, "response": {...}} or
//   {"ok": false, "error": [{"code": "0x01820031", "message": "..."}, ...]} (outermost first).
// Property values are JSON strings, numbers or booleans; byte vectors are base64 strings.
// Strings are accepted for every type and converted by the command's declared property types.

// Typed request record from the JSON object; throws Common::Error on unknown,
// missing-typed or malformed properties.
Core::Record RequestFromJson(const Core::CommandDescription& command, const nlohmann::json& properties);
nlohmann::json ResponseToJson(const Core::Record& response);
nlohmann::json ErrorToJson(const Common::Error& error);

std::string EncodeBase64(const Core::Blob& bytes);
// False when the text is not base64.
bool DecodeBase64(const std::string& text, Core::Blob& bytes);

// $XDG_RUNTIME_DIR/nfs_host.sock, or nfs_host.sock in PrivateSocketFolder()
// when XDG_RUNTIME_DIR is not set.
std::string DefaultControlSocketPath();
// The socket of the host run as a system service (its unit's runtime folder).
inline constexpr const char* kSystemControlSocket = "/run/nfs_host/control.sock";
// Where operator clients look by default: the user's own host's socket when
// it exists, else the system service's when that exists, else the user's.
std::string DefaultClientSocketPath();
// /tmp/nfs_host-<uid>: in /tmp only a folder of the user's own keeps other
// users from placing or replacing the socket.
std::string PrivateSocketFolder();
// For a socket in PrivateSocketFolder(), PreparePrivateFolder of it. Other
// paths are the operator's choice and are left as they are.
void PrepareSocketFolder(const std::string& socketPath);
// Creates the folder owner-only when missing, and throws Common::Error
// unless it is then a real folder (not a link) of the calling user that no
// other user may write to.
void PreparePrivateFolder(const std::string& folder);
// Why a client must not trust the socket: it, or the folder that holds it,
// could have been made or replaced by another user than the caller or root.
// A service user's socket is trusted too when it lies in a folder of that
// user that root made for it (as systemd makes a unit's runtime folder).
// Success when it may be trusted, or when it does not exist (connecting
// reports that).
Common::Error CheckSocketOwner(const std::string& socketPath);
// Whether a server running as uid may be trusted with the socket: the
// caller, root, or the service user of such a root-made folder.
bool MayServeSocket(const std::string& socketPath, uid_t uid);

}  // namespace Host
