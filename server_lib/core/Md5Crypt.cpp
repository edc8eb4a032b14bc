#include "server_lib/core/Md5Crypt.h"

// MD5 is not used for security here, only to reproduce the id scheme; the
// classic functions are deprecated in favour of EVP but remain supported.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <vector>

namespace NFS {

namespace {

// The one-shot digest functions: a thousand small digests per id, and the
// provider-based EVP interface allocates and frees its state on every one
// of them, which costs as much as the digest itself.
class Md5 {
 public:
  void Begin() { MD5_Init(&ctx_); }
  void Add(std::span<const uint8_t> bytes) {
    if (!bytes.empty()) MD5_Update(&ctx_, bytes.data(), bytes.size());
  }
  Md5Digest End() {
    Md5Digest digest{};
    MD5_Final(digest.data(), &ctx_);
    return digest;
  }

 private:
  MD5_CTX ctx_{};
};

constexpr uint8_t kMagic[] = {'$', '1', '$'};

}  // namespace

Md5Digest Md5CryptOpening(std::span<const uint8_t> password, std::span<const uint8_t> salt) {
  Md5 md5;

  md5.Begin();
  md5.Add(password);
  md5.Add(salt);
  md5.Add(password);
  const Md5Digest alternate = md5.End();

  md5.Begin();
  md5.Add(password);
  md5.Add(kMagic);
  md5.Add(salt);
  for (size_t left = password.size(); left > 0; left -= std::min<size_t>(left, 16)) {
    md5.Add(std::span(alternate).first(std::min<size_t>(left, 16)));
  }
  // The historic bit loop adds a zero byte for set bits and the first
  // password byte for clear ones.
  const uint8_t zero = 0;
  for (size_t bits = password.size(); bits != 0; bits >>= 1) {
    md5.Add((bits & 1) ? std::span(&zero, 1) : password.first(1));
  }
  return md5.End();
}

Md5Digest Md5Crypt(std::span<const uint8_t> password, std::span<const uint8_t> salt) {
  Md5Digest digest = Md5CryptOpening(password, salt);
  // A round's input depends on round % 2, % 3 and % 7 only through which
  // pieces it holds, so each of the four salt/password choices is laid out
  // once. An odd round starts with fixed pieces: their digest state is
  // computed once and copied, and the round adds only the previous digest.
  // An even round starts with that digest: it is written in front of the
  // fixed rest, and the whole input digested in one update.
  std::array<MD5_CTX, 4> oddStart{};
  std::array<std::vector<uint8_t>, 4> evenInput;
  for (int choice = 0; choice < 4; ++choice) {
    const bool withSalt = choice & 1;
    const bool withPassword = choice & 2;
    MD5_Init(&oddStart[choice]);
    MD5_Update(&oddStart[choice], password.data(), password.size());
    if (withSalt) MD5_Update(&oddStart[choice], salt.data(), salt.size());
    if (withPassword) MD5_Update(&oddStart[choice], password.data(), password.size());
    std::vector<uint8_t>& even = evenInput[choice];
    even.assign(digest.size(), 0);
    if (withSalt) even.insert(even.end(), salt.begin(), salt.end());
    if (withPassword) even.insert(even.end(), password.begin(), password.end());
    even.insert(even.end(), password.begin(), password.end());
  }
  for (int round = 0; round < 1000; ++round) {
    const int choice = (round % 3 ? 1 : 0) | (round % 7 ? 2 : 0);
    MD5_CTX ctx;
    if (round & 1) {
      ctx = oddStart[choice];
      MD5_Update(&ctx, digest.data(), digest.size());
    } else {
      std::vector<uint8_t>& even = evenInput[choice];
      std::copy(digest.begin(), digest.end(), even.begin());
      MD5_Init(&ctx);
      MD5_Update(&ctx, even.data(), even.size());
    }
    MD5_Final(digest.data(), &ctx);
  }
  return digest;
}

}  // namespace NFS
