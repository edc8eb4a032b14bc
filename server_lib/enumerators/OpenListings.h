#pragma once

#include <atomic>
#include <cstddef>
#include <list>
#include <mutex>

#include "host/Strings.h"

namespace NFS {

// A listing that can give its directory stream back and take it up again
// later at the same position.
class ParkableListing {
 public:
  ParkableListing();
  virtual ~ParkableListing();
  ParkableListing(const ParkableListing&) = delete;
  ParkableListing& operator=(const ParkableListing&) = delete;

 protected:
  friend class OpenListings;
  // Guards the listing's stream against parking from another thread.
  std::mutex streamMutex_;
  // Closes the stream, keeping the position. Called with streamMutex_ held.
  virtual void Park() = 0;
  // The path of the directory listed; fixed for the listing's life.
  virtual const Common::WString& ListedPath() const = 0;

 private:
  bool listed_ = false;
  std::list<ParkableListing*>::iterator position_;
};

// The process-wide budget of listings that hold an open directory stream.
// Clients may start listings and never finish them; each open stream costs
// a descriptor and a buffer, so beyond the budget the least recently used
// listing is parked (closed) and reopens by counting entries when next used.
class OpenListings {
 public:
  static constexpr size_t kDefaultLimit = 64;

  static OpenListings& Instance();

  // Marks `listing` as just used with an open stream; parks others beyond
  // the limit. The caller holds listing.streamMutex_.
  void Touch(ParkableListing& listing);
  // The listing no longer holds a stream (parked, or being destroyed).
  void Forget(ParkableListing& listing);

  // Whether some listing of this directory holds an open stream: a client
  // is in the middle of reading it.
  bool IsOpen(const Common::WString& path);

  void SetLimit(size_t limit);
  size_t GetLimit();
  size_t Count();
  // Listings that exist, open or parked: the enumerators directories keep.
  size_t CountKept() const { return kept_.load(std::memory_order_relaxed); }

 private:
  void Trim(ParkableListing* keep);

  std::mutex mutex_;
  std::list<ParkableListing*> open_;  // most recently used first
  size_t limit_ = kDefaultLimit;
  friend class ParkableListing;
  std::atomic<size_t> kept_{0};
};

}  // namespace NFS
