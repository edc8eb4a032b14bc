#include "tools/ControlProtocol.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host/Messages.h"

namespace Host {

namespace {

constexpr uint32_t kBadProperty = 0x1000009;
constexpr Common::Message kUnknownProperty{0x10000090, "The property '{0}' is not part of '{1}'."};
constexpr Common::Message kWrongType{0x10000091, "The property '{0}' of '{1}' must be {2}."};
constexpr Common::Message kNotObject{0x10000092, "The request of '{0}' must be a JSON object."};
constexpr uint32_t kUntrustedSocket = 0x100000B;
constexpr Common::Message kFolderNotPrivate{
    0x100000B0, "The control socket folder '{0}' is not private: {1}. Remove it, or give --control-socket PATH."};
constexpr Common::Message kFolderFailed{0x100000B1, "Cannot create the control socket folder '{0}': {1}"};
constexpr Common::Message kSocketNotTrusted{0x100000B2, "The control socket '{0}' is not trusted: {1}."};

[[noreturn]] void Refuse(const Common::Message& message, const std::string& a, const std::string& b,
                         const std::string& c = "") {
  throw Common::Error(kBadProperty, Common::FormatMessage(message, a, b, c));
}

const char* TypeText(Core::PropertyType type) {
  switch (type) {
    case Core::PropertyType::String:
      return "a string";
    case Core::PropertyType::UInt64:
      return "an unsigned number";
    case Core::PropertyType::Bool:
      return "true or false";
    case Core::PropertyType::Bytes:
      return "base64 text";
  }
  return "?";
}

Core::Value Convert(const std::string& name, Core::PropertyType type, const nlohmann::json& value,
                    const std::string& requestType) {
  switch (type) {
    case Core::PropertyType::String:
      if (!value.is_string()) Refuse(kWrongType, name, requestType, TypeText(type));
      return Common::FromUtf8(value.get<std::string>());
    case Core::PropertyType::UInt64:
      if (value.is_number_unsigned()) return value.get<uint64_t>();
      if (value.is_string()) {
        const std::string text = value.get<std::string>();
        if (!text.empty() && text.size() <= 20 && text.find_first_not_of("0123456789") == std::string::npos) {
          errno = 0;
          const unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
          if (errno == 0) return static_cast<uint64_t>(number);
        }
      }
      Refuse(kWrongType, name, requestType, TypeText(type));
    case Core::PropertyType::Bool:
      if (value.is_boolean()) return value.get<bool>();
      if (value == "true") return true;
      if (value == "false") return false;
      Refuse(kWrongType, name, requestType, TypeText(type));
    case Core::PropertyType::Bytes: {
      Core::Blob bytes;
      if (!value.is_string() || !DecodeBase64(value.get<std::string>(), bytes)) Refuse(kWrongType, name, requestType, TypeText(type));
      return bytes;
    }
  }
  Refuse(kWrongType, name, requestType, TypeText(type));
}

}  // namespace

Core::Record RequestFromJson(const Core::CommandDescription& command, const nlohmann::json& properties) {
  Core::Record request(command.requestType);
  if (properties.is_null()) return request;
  if (!properties.is_object()) Refuse(kNotObject, command.commandName, "");
  for (const auto& [name, value] : properties.items()) {
    const Core::PropertySpec* spec = nullptr;
    for (const auto& candidate : command.requestProperties) {
      if (candidate.name == name) spec = &candidate;
    }
    if (spec == nullptr) Refuse(kUnknownProperty, name, command.requestType);
    request.Set(name, Convert(name, spec->type, value, command.requestType));
  }
  return request;
}

nlohmann::json ResponseToJson(const Core::Record& response) {
  nlohmann::json properties = nlohmann::json::object();
  for (const auto& [name, value] : response.Properties()) {
    if (const auto* text = std::get_if<Common::WString>(&value)) {
      properties[name] = Common::ToUtf8(*text);
    } else if (const auto* number = std::get_if<uint64_t>(&value)) {
      properties[name] = *number;
    } else if (const auto* flag = std::get_if<bool>(&value)) {
      properties[name] = *flag;
    } else {
      properties[name] = EncodeBase64(std::get<Core::Blob>(value));
    }
  }
  return properties;
}

nlohmann::json ErrorToJson(const Common::Error& error) {
  nlohmann::json chain = nlohmann::json::array();
  for (const Common::Error* e = &error; e->IsFailure(); e = &e->Reason()) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", e->Code());
    chain.push_back({{"code", code}, {"message", Common::ToUtf8(e->Message())}});
  }
  return chain;
}

std::string EncodeBase64(const Core::Blob& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                     static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(length));
  return text;
}

bool DecodeBase64(const std::string& text, Core::Blob& bytes) {
  if (text.size() % 4 != 0) return false;
  bytes.assign(text.size() / 4 * 3, 0);
  const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  if (length < 0) return false;
  // The decoder counts padding as zero bytes.
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  bytes.resize(static_cast<size_t>(length) - padding);
  return true;
}

std::string PrivateSocketFolder() { return "/tmp/nfs_host-" + std::to_string(geteuid()); }

std::string DefaultControlSocketPath() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0') {
    return std::string(runtime) + "/nfs_host.sock";
  }
  return PrivateSocketFolder() + "/nfs_host.sock";
}

std::string DefaultClientSocketPath() {
  const std::string own = DefaultControlSocketPath();
  struct stat entry {};
  if (lstat(own.c_str(), &entry) != 0 && lstat(kSystemControlSocket, &entry) == 0) return kSystemControlSocket;
  return own;
}

namespace {

bool NoOtherWriters(const struct stat& entry) { return (entry.st_mode & (S_IWGRP | S_IWOTH)) == 0; }

// Whether the socket's folder belongs to uid, was made for it by root (the
// folder above it is root's and no one else may write there), and no one
// else may write to it: then only that user or root placed the socket.
bool RootMadeFolderOf(const std::string& socketPath, uid_t uid) {
  const std::filesystem::path folder = std::filesystem::path(socketPath).lexically_normal().parent_path();
  if (folder.empty() || folder == folder.root_path()) return false;
  struct stat own {};
  struct stat above {};
  return lstat(folder.c_str(), &own) == 0 && S_ISDIR(own.st_mode) && own.st_uid == uid && NoOtherWriters(own) &&
         lstat(folder.parent_path().c_str(), &above) == 0 && S_ISDIR(above.st_mode) && above.st_uid == 0 &&
         NoOtherWriters(above);
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Empty when the entry belongs to the caller or root, else why not.
std::string ForeignOwner(const struct stat& entry, const std::string& what) {
  const uid_t self = geteuid();
  if (entry.st_uid == self || entry.st_uid == 0) return "";
  return what + " belongs to user " + std::to_string(entry.st_uid) + ", not to you (" + std::to_string(self) +
         ") or root";
}

}  // namespace

void PrepareSocketFolder(const std::string& socketPath) {
  if (std::filesystem::path(socketPath).lexically_normal().parent_path() == PrivateSocketFolder()) {
    PreparePrivateFolder(PrivateSocketFolder());
  }
}

void PreparePrivateFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    const int error = errno;
    throw Common::Error(kUntrustedSocket, Common::FormatMessage(kFolderFailed, folder, std::strerror(error)));
  }
  struct stat entry {};
  std::string reason;
  if (lstat(folder.c_str(), &entry) != 0) {
    reason = std::strerror(errno);
  } else if (S_ISLNK(entry.st_mode)) {
    reason = "it is a symbolic link";
  } else if (!S_ISDIR(entry.st_mode)) {
    reason = "it is not a folder";
  } else if (entry.st_uid != geteuid()) {
    reason = "it belongs to user " + std::to_string(entry.st_uid) + ", not to you (" + std::to_string(geteuid()) + ")";
  } else if ((entry.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    reason = "other users may write to it (mode " + Octal(entry.st_mode) + ")";
  }
  if (!reason.empty()) throw Common::Error(kUntrustedSocket, Common::FormatMessage(kFolderNotPrivate, folder, reason));
}

bool MayServeSocket(const std::string& socketPath, uid_t uid) {
  return uid == geteuid() || uid == 0 || RootMadeFolderOf(socketPath, uid);
}

Common::Error CheckSocketOwner(const std::string& socketPath) {
  struct stat entry {};
  if (lstat(socketPath.c_str(), &entry) != 0) return Common::Error::Success();
  if (S_ISSOCK(entry.st_mode) && RootMadeFolderOf(socketPath, entry.st_uid)) return Common::Error::Success();
  std::string reason = S_ISSOCK(entry.st_mode) ? ForeignOwner(entry, "it") : "it is not a socket";
  if (reason.empty()) {
    // Whoever may write to the folder may replace the socket, unless the
    // folder is sticky (as /tmp is).
    std::filesystem::path folder = std::filesystem::path(socketPath).parent_path();
    if (folder.empty()) folder = ".";
    const std::string what = "its folder '" + folder.string() + "'";
    struct stat holder {};
    if (stat(folder.c_str(), &holder) != 0) {
      reason = what + " cannot be examined: " + std::strerror(errno);
    } else {
      reason = ForeignOwner(holder, what);
      if (reason.empty() && (holder.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (holder.st_mode & S_ISVTX) == 0) {
        reason = what + " may be written by other users (mode " + Octal(holder.st_mode) + ")";
      }
    }
  }
  if (reason.empty()) return Common::Error::Success();
  return Common::Error(kUntrustedSocket, Common::FormatMessage(kSocketNotTrusted, socketPath, reason));
}

}  // namespace Host
