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

std::string DefaultControlSocketPath();

}  // namespace Host
