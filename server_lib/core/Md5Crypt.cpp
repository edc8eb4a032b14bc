#include "server_lib/core/Md5Crypt.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

namespace NFS {

namespace {

class Md5 {
 public:
  Md5() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ == nullptr) throw std::bad_alloc();
  }
  ~Md5() { EVP_MD_CTX_free(ctx_); }
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  // The algorithm is fetched once: an implicit fetch on every one of the
  // thousand rounds costs more than the digest itself.
  void Begin() { EVP_DigestInit_ex2(ctx_, Algorithm(), nullptr); }
  void Add(std::span<const uint8_t> bytes) {
    if (!bytes.empty()) EVP_DigestUpdate(ctx_, bytes.data(), bytes.size());
  }
  Md5Digest End() {
    Md5Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx_, digest.data(), &length);
    return digest;
  }

 private:
  static const EVP_MD* Algorithm() {
    static const EVP_MD* const md5 = [] {
      const EVP_MD* fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
      return fetched != nullptr ? fetched : EVP_md5();
    }();
    return md5;
  }

  EVP_MD_CTX* ctx_;
};

constexpr uint8_t kMagic[] = {'$', '1', '$'};

}  // namespace

Md5Digest Md5Crypt(std::span<const uint8_t> password, std::span<const uint8_t> salt) {
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
  Md5Digest digest = md5.End();

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
