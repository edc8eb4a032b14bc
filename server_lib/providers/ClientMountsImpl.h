#pragma once

#include <list>
#include <string>
#include <unordered_map>

#include "server_lib/providers/ClientMounts.h"

namespace NFS {

class ClientMountsImpl : public ClientMounts {
 public:
  explicit ClientMountsImpl(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

  bool Add(const std::string& client) override;
  bool Remove(const std::string& client) override;
  size_t Count() const override { return index_.size(); }

 private:
  size_t capacity_;
  // Most recently seen first.
  std::list<std::string> clients_;
  std::unordered_map<std::string, std::list<std::string>::iterator> index_;
};

}  // namespace NFS
