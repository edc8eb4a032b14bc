#include "server_lib/core/Md5Crypt.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <new>

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

  void Begin() { EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr); }
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

  for (int round = 0; round < 1000; ++round) {
    md5.Begin();
    if (round & 1) {
      md5.Add(password);
    } else {
      md5.Add(digest);
    }
    if (round % 3) md5.Add(salt);
    if (round % 7) md5.Add(password);
    if (round & 1) {
      md5.Add(digest);
    } else {
      md5.Add(password);
    }
    digest = md5.End();
  }
  return digest;
}

}  // namespace NFS
