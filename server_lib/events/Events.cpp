#include "server_lib/events/Events.h"

#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

FileEvent::FileEvent(FileSystemObject& file) : path_(file.GetPath()), id_(file.GetId()) {}

}  // namespace NFS
