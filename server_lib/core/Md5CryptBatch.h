#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "server_lib/core/Md5Crypt.h"

namespace NFS {

// One password and salt of a batch.
struct Md5CryptInput {
  std::span<const uint8_t> password;
  std::span<const uint8_t> salt;
};

// Md5Crypt of every input, equal to it digest for digest, computed several
// at a time where the processor offers wide vectors (16 lanes with
// AVX-512, 8 with AVX2, and two such vectors side by side when the batch
// fills more than one; one at a time otherwise). `lanes` asks for narrower
// vectors than the processor offers (1, 8 or 16; 0 for the widest), for
// comparison.
std::vector<Md5Digest> Md5CryptBatch(std::span<const Md5CryptInput> inputs, size_t lanes = 0);

// The lanes of one vector on this processor (16, 8 or 1): the widest
// `lanes` the batch takes.
size_t Md5CryptLanes();

}  // namespace NFS
