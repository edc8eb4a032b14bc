#include "server_lib/providers/ClientMountsImpl.h"

namespace NFS {

std::unique_ptr<ClientMounts> CreateClientMounts(size_t capacity) {
  return std::make_unique<ClientMountsImpl>(capacity);
}

bool ClientMountsImpl::Add(const std::string& client) {
  const auto found = index_.find(client);
  if (found != index_.end()) {
    clients_.splice(clients_.begin(), clients_, found->second);
    return false;
  }
  if (index_.size() >= capacity_) {
    index_.erase(clients_.back());
    clients_.pop_back();
  }
  clients_.push_front(client);
  index_.emplace(client, clients_.begin());
  return true;
}

bool ClientMountsImpl::Remove(const std::string& client) {
  const auto found = index_.find(client);
  if (found == index_.end()) return false;
  clients_.erase(found->second);
  index_.erase(found);
  return true;
}

}  // namespace NFS
