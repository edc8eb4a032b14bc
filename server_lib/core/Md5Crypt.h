#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace NFS {

using Md5Digest = std::array<uint8_t, 16>;

// The raw 16-byte result of the MD5-based "$1$" crypt scheme, before its
// text encoding. Password and salt are taken as bytes, whatever they hold.
Md5Digest Md5Crypt(std::span<const uint8_t> password, std::span<const uint8_t> salt);

// The digest the scheme's thousand rounds start from; shared with the
// batch computation, which runs the rounds several lanes at a time.
Md5Digest Md5CryptOpening(std::span<const uint8_t> password, std::span<const uint8_t> salt);

}  // namespace NFS
