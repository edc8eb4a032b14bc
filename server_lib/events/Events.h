#pragma once

#include <cstdint>
#include <memory>

#include "host/Error.h"
#include "host/Strings.h"
#include "server_lib/core/ObjectId.h"

namespace NFS {

class FileSystemObject;

class Event {
 public:
  virtual ~Event() = default;
  virtual uint32_t GetType() const = 0;
};

// A file event copies the file's path and id when it is made; it keeps no
// reference to the object.
class FileEvent : public Event {
 public:
  Common::WString GetPath() const { return path_; }
  void GetId(ObjectId& id) const { id = id_; }

 protected:
  explicit FileEvent(FileSystemObject& file);

 private:
  Common::WString path_;
  ObjectId id_;
};

class CreateFileEvent : public FileEvent {
 public:
  static constexpr uint32_t kType = 1;
  explicit CreateFileEvent(FileSystemObject& file) : FileEvent(file) {}
  uint32_t GetType() const override { return kType; }
};

class DeleteFileEvent : public FileEvent {
 public:
  static constexpr uint32_t kType = 2;
  explicit DeleteFileEvent(FileSystemObject& file) : FileEvent(file) {}
  uint32_t GetType() const override { return kType; }
};

}  // namespace NFS

// Implemented by other modules that watch files created and removed by clients.
class EventObserver {
 public:
  virtual ~EventObserver() = default;
  virtual Common::Error HandleEvent(const std::shared_ptr<NFS::Event>& event) = 0;
};

namespace NFS {

class EventNotifier {
 public:
  virtual ~EventNotifier() = default;
  virtual Common::Error Register(std::shared_ptr<EventObserver> observer, uint32_t& id) = 0;
  virtual Common::Error Unregister(uint32_t id) = 0;
};

}  // namespace NFS
