#include "server_lib/core/Md5Crypt.h"

// MD5 is not used for security here, only to reproduce the id scheme; the
// classic functions are deprecated in favour of EVP but remain supported.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <algorithm>
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
  Md5 md5;
  Md5Digest digest = Md5CryptOpening(password, salt);

  // Each round's input is gathered first and digested in one update: the
  // per-call overhead of the digest interface outweighs these few bytes.
  std::vector<uint8_t> input;
  input.reserve(2 * password.size() + salt.size() + digest.size());
  const auto append = [&input](std::span<const uint8_t> bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); };
  for (int round = 0; round < 1000; ++round) {
    input.clear();
    if (round & 1) {
      append(password);
    } else {
      append(digest);
    }
    if (round % 3) append(salt);
    if (round % 7) append(password);
    if (round & 1) {
      append(digest);
    } else {
      append(password);
    }
    md5.Begin();
    md5.Add(input);
    digest = md5.End();
  }
  return digest;
}

}  // namespace NFS
