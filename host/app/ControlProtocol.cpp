#include "host/app/ControlProtocol.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>

#include "host/Messages.h"

namespace Host {

namespace {

constexpr uint32_t kBadProperty = 0x1000009;
constexpr Common::Message kUnknownProperty{0x10000090, "The property '{0}' is not part of '{1}'."};
constexpr Common::Message kWrongType{0x10000091, "The property '{0}' of '{1}' must be {2}."};
constexpr Common::Message kNotObject{0x10000092, "The request of '{0}' must be a JSON object."};

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
    case Core::PropertyType::Blob:
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
    case Core::PropertyType::Blob: {
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

std::string DefaultControlSocketPath() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0') {
    return std::string(runtime) + "/nfs_host.sock";
  }
  return "/tmp/nfs_host-" + std::to_string(getuid()) + ".sock";
}

}  // namespace Host
