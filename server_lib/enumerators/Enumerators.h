#pragma once

#include <memory>

#include "server_lib/objects/DirEntriesEnumerator.h"

namespace NFS {

// The enumerator table of one directory; the source must outlive it.
std::unique_ptr<DirEntriesEnumeratorsProvider> CreateDirEntriesEnumeratorsProvider(
    DirEntriesEnumeratorsProvider::IteratorSource& source);

}  // namespace NFS
