#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include "host/SourceLocation.h"
#include <string>
#include <string_view>

#include "host/Strings.h"

namespace Common {

struct SourceLocation {
  std::string file;
  std::string function;
  uint32_t line = 0;

  static SourceLocation From(const Common::source_location& where);
};

// A reference-counted, immutable error record. The default value is the one
// shared success value; a failure carries a nonzero code, a filled message,
// where it was raised, and optionally the error that caused it.
class Error : public std::exception {
 public:
  Error() noexcept = default;
  Error(uint32_t code, WString message, Error reason = Error(),
        Common::source_location where = Common::source_location::current());
  Error(uint32_t code, WString message, Error reason, SourceLocation where);

  static const Error& Success() noexcept;

  bool IsSuccess() const noexcept { return record_ == nullptr; }
  bool IsFailure() const noexcept { return record_ != nullptr; }

  uint32_t Code() const noexcept;
  const WString& Message() const noexcept;
  const SourceLocation& Location() const noexcept;
  // The success value when there is no reason.
  const Error& Reason() const noexcept;
  bool HasReason() const noexcept { return Reason().IsFailure(); }

  // The whole chain, one record per line, outermost first.
  std::string Describe() const;
  // The same, each record's message as `shown` returns it (the log escapes
  // and cuts them, so that no message can add a line of its own).
  std::string Describe(std::string (*shown)(std::string_view message)) const;

  const char* what() const noexcept override;

  bool operator==(const Error& other) const noexcept { return record_ == other.record_; }

 private:
  struct Record;
  std::shared_ptr<const Record> record_;
};

// The first reason of a failure (the cause one level down), or the error
// itself when it has no reason.
const Error& GetFirstReason(const Error& error) noexcept;

// Whether any record of the chain carries the code.
bool ContainsCode(const Error& error, uint32_t code) noexcept;

}  // namespace Common
