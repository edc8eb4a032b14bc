#pragma once

#include <memory>

#include "host/Strings.h"
#include "server_lib/objects/Attributes.h"

namespace NFS {

class DirectoryIterator {
 public:
  virtual ~DirectoryIterator() = default;
  virtual bool IsValid() = 0;
  virtual Common::WString GetName() = 0;
  virtual std::shared_ptr<AttributesAccessor> GetAttributes() = 0;
  virtual void Next() = 0;
};

}  // namespace NFS
