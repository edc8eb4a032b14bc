#include "host/Records.h"

#include "host/HostErrors.h"

namespace Core {

void Record::ThrowNotFound(const std::string& name) const {
  throw Common::Error(HostErrorCode::PropertyNotFound,
                      Common::FormatMessage(HostMessages::PropertyNotFound, name, typeName_));
}

void Record::ThrowWrongType(const std::string& name, const char* type) const {
  throw Common::Error(HostErrorCode::PropertyTypeMismatch,
                      Common::FormatMessage(HostMessages::PropertyTypeMismatch, name, typeName_, type));
}

}  // namespace Core
