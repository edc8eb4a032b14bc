#include "server_lib/enumerators/OpenListings.h"

namespace NFS {

ParkableListing::ParkableListing() { OpenListings::Instance().kept_.fetch_add(1, std::memory_order_relaxed); }

ParkableListing::~ParkableListing() { OpenListings::Instance().kept_.fetch_sub(1, std::memory_order_relaxed); }

OpenListings& OpenListings::Instance() {
  // Never destroyed: enumerators held by static objects may go late.
  static auto* listings = new OpenListings;
  return *listings;
}

void OpenListings::Touch(ParkableListing& listing) {
  std::lock_guard lock(mutex_);
  if (listing.listed_) {
    open_.splice(open_.begin(), open_, listing.position_);
  } else {
    open_.push_front(&listing);
    listing.position_ = open_.begin();
    listing.listed_ = true;
  }
  Trim(&listing);
}

void OpenListings::Forget(ParkableListing& listing) {
  std::lock_guard lock(mutex_);
  if (!listing.listed_) return;
  open_.erase(listing.position_);
  listing.listed_ = false;
}

bool OpenListings::IsOpen(const Common::WString& path) {
  std::lock_guard lock(mutex_);
  for (const ParkableListing* listing : open_) {
    if (listing->ListedPath() == path) return true;
  }
  return false;
}

void OpenListings::SetLimit(size_t limit) {
  std::lock_guard lock(mutex_);
  limit_ = limit;
  Trim(nullptr);
}

size_t OpenListings::GetLimit() {
  std::lock_guard lock(mutex_);
  return limit_;
}

size_t OpenListings::Count() {
  std::lock_guard lock(mutex_);
  return open_.size();
}

void OpenListings::Trim(ParkableListing* keep) {
  // From the least recently used end; a listing busy on another thread is
  // passed over (never waited for: that thread may be waiting for us).
  auto it = open_.end();
  while (open_.size() > limit_ && it != open_.begin()) {
    --it;
    ParkableListing* listing = *it;
    if (listing == keep || !listing->streamMutex_.try_lock()) continue;
    it = open_.erase(it);
    listing->listed_ = false;
    listing->Park();
    listing->streamMutex_.unlock();
  }
}

}  // namespace NFS
