#include "host/Error.h"

#include <fmt/format.h>

namespace Common {

struct Error::Record {
  uint32_t code;
  WString message;
  std::string messageUtf8;
  SourceLocation location;
  Error reason;
};

SourceLocation SourceLocation::From(const Common::source_location& where) {
  return SourceLocation{where.file_name(), where.function_name(), where.line()};
}

Error::Error(uint32_t code, WString message, Error reason, Common::source_location where)
    : Error(code, std::move(message), std::move(reason), SourceLocation::From(where)) {}

Error::Error(uint32_t code, WString message, Error reason, SourceLocation where) {
  auto record = std::make_shared<Record>();
  record->code = code;
  record->messageUtf8 = ToUtf8(message);
  record->message = std::move(message);
  record->location = std::move(where);
  record->reason = std::move(reason);
  record_ = std::move(record);
}

const Error& Error::Success() noexcept {
  static const Error success;
  return success;
}

uint32_t Error::Code() const noexcept { return record_ ? record_->code : 0; }

const WString& Error::Message() const noexcept {
  static const WString empty;
  return record_ ? record_->message : empty;
}

const SourceLocation& Error::Location() const noexcept {
  static const SourceLocation none;
  return record_ ? record_->location : none;
}

const Error& Error::Reason() const noexcept {
  return record_ ? record_->reason : Success();
}

std::string Error::Describe() const {
  return Describe([](std::string_view message) { return std::string(message); });
}

std::string Error::Describe(std::string (*shown)(std::string_view message)) const {
  if (IsSuccess()) return "success";
  std::string text;
  int depth = 0;
  for (const Error* e = this; e->IsFailure(); e = &e->Reason(), ++depth) {
    if (depth > 0) text += '\n';
    text += fmt::format("{:>{}}0x{:08X}: {} ({}, {}:{})", "", depth * 2, e->Code(),
                        shown(e->record_->messageUtf8), e->Location().function, e->Location().file,
                        e->Location().line);
  }
  return text;
}

const char* Error::what() const noexcept {
  return record_ ? record_->messageUtf8.c_str() : "success";
}

const Error& GetFirstReason(const Error& error) noexcept {
  return error.HasReason() ? error.Reason() : error;
}

bool ContainsCode(const Error& error, uint32_t code) noexcept {
  for (const Error* e = &error; e->IsFailure(); e = &e->Reason()) {
    if (e->Code() == code) return true;
  }
  return false;
}

}  // namespace Common
