#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "server_lib/core/Md5Crypt.h"
#include "server_lib/core/Md5CryptBatch.h"
#include "server_lib/core/ObjectId.h"

namespace {

// The crypt scheme's own text encoding of the digest, to compare with
// `openssl passwd -1`.
std::string CryptEncode(const NFS::Md5Digest& d) {
  static const char kAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string out;
  auto put = [&](uint32_t value, int count) {
    for (int i = 0; i < count; ++i, value >>= 6) out.push_back(kAlphabet[value & 0x3F]);
  };
  put((d[0] << 16) | (d[6] << 8) | d[12], 4);
  put((d[1] << 16) | (d[7] << 8) | d[13], 4);
  put((d[2] << 16) | (d[8] << 8) | d[14], 4);
  put((d[3] << 16) | (d[9] << 8) | d[15], 4);
  put((d[4] << 16) | (d[10] << 8) | d[5], 4);
  put(d[11], 2);
  return out;
}

std::string Crypt(const std::string& password, const std::string& salt) {
  const auto* p = reinterpret_cast<const uint8_t*>(password.data());
  const auto* s = reinterpret_cast<const uint8_t*>(salt.data());
  return "$1$" + salt + "$" + CryptEncode(NFS::Md5Crypt({p, password.size()}, {s, salt.size()}));
}

TEST(Md5CryptTest, MatchesOpensslPasswd) {
  // Produced by `openssl passwd -1 -salt SALT PASSWORD`.
  EXPECT_EQ(Crypt("password", "saltsalt"), "$1$saltsalt$qjXMvbEw8oaL.CzflDtaK/");
  EXPECT_EQ(Crypt("hello world", "ab"), "$1$ab$SfsDN3VogYB83XXCAUx7a/");
  EXPECT_EQ(Crypt("x", "12345678"), "$1$12345678$7y7mHQRucjgVYVF1mZqKC1");
  EXPECT_EQ(Crypt("", "empty"), "$1$empty$dcN8YAzH./JGClDgyY17..");
  EXPECT_EQ(Crypt("a-much-longer-password-than-sixteen-bytes", "s1"),
            "$1$s1$ECPxi3U4O462iLOJtspwI0");
}

TEST(ObjectIdTest, SamePathAndKindGiveTheSameIdKindsDiffer) {
  const NFS::ObjectId dir = NFS::MakeObjectId(NFS::kDirectoryKind, u"/share/docs");
  const NFS::ObjectId again = NFS::MakeObjectId(NFS::kDirectoryKind, u"/share/docs");
  const NFS::ObjectId file = NFS::MakeObjectId(NFS::kFileKind, u"/share/docs");
  const NFS::ObjectId other = NFS::MakeObjectId(NFS::kDirectoryKind, u"/share/Docs");

  ASSERT_EQ(dir.size(), 17u);
  EXPECT_EQ(dir, again);
  EXPECT_EQ(dir[0], 1);
  EXPECT_EQ(file[0], 2);
  EXPECT_NE(NFS::ObjectId(dir.begin() + 1, dir.end()), NFS::ObjectId(file.begin() + 1, file.end()));
  EXPECT_NE(dir, other);

  // The digest covers the path's UTF-16 code units, not a narrowed form.
  const NFS::ObjectId wide = NFS::MakeObjectId(NFS::kFileKind, u"/share/\u00e9");
  const NFS::ObjectId latin = NFS::MakeObjectId(NFS::kFileKind, u"/share/\u00c3\u00a9");
  EXPECT_NE(wide, latin);
}

TEST(ObjectIdTest, ValidityKindAndTextForm) {
  const NFS::ObjectId dir = NFS::MakeObjectId(NFS::kDirectoryKind, u"/share");
  const NFS::ObjectId file = NFS::MakeObjectId(NFS::kFileKind, u"/share/a.txt");
  EXPECT_TRUE(NFS::IsValidObjectId(dir));
  EXPECT_TRUE(NFS::IsValidObjectId(file));

  const std::u16string dirText = NFS::ObjectIdToString(dir);
  ASSERT_EQ(dirText.size(), 34u);
  EXPECT_EQ(dirText.substr(0, 2), u"01");
  EXPECT_EQ(NFS::ObjectIdToString(file).substr(0, 2), u"02");
  for (char16_t c : dirText) EXPECT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'));

  NFS::ObjectId shortId(dir.begin(), dir.end() - 1);
  NFS::ObjectId longId = dir;
  longId.push_back(0);
  NFS::ObjectId zeroKind = dir;
  zeroKind[0] = 0;
  NFS::ObjectId badKind = dir;
  badKind[0] = 3;
  for (const auto& bad : {shortId, longId, zeroKind, badKind, NFS::ObjectId{}}) {
    EXPECT_FALSE(NFS::IsValidObjectId(bad));
    EXPECT_EQ(NFS::ObjectIdToString(bad), u"InvalidHandle");
  }
  EXPECT_EQ(NFS::GetObjectKind(shortId), NFS::kInvalidKind);
  EXPECT_EQ(NFS::GetObjectKind(longId), NFS::kInvalidKind);
  EXPECT_EQ(NFS::GetObjectKind(badKind), 3);
}

}  // namespace

namespace {

// Every lane of every width this processor offers gives the one-at-a-time
// digest: random paths of every length from 1 to 300 units, non-ASCII
// included, groups mixing lengths so that lanes need different numbers of
// blocks and take the digest at different places, and the two kinds'
// salts; batches of a few inputs more or less than one or two vectors hold,
// so that partial groups of one and of two vectors run.
TEST(Md5CryptBatchTest, EveryLaneEqualsTheScalarDigest) {
  std::mt19937 random(20261207);
  const char16_t alphabet[] = u"abcXYZ019/._- \u00e9\u00fc\u4e2d\u0416\U0001F600";
  constexpr size_t kAlphabet = sizeof alphabet / sizeof alphabet[0] - 1;
  std::vector<std::vector<uint8_t>> passwords;
  std::vector<std::array<uint8_t, 4>> salts;
  for (size_t length = 1; length <= 300; ++length) {
    std::u16string path;
    while (path.size() < length) path.push_back(alphabet[random() % kAlphabet]);
    std::vector<uint8_t> bytes;
    for (char16_t unit : path) {
      bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
      bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    passwords.push_back(std::move(bytes));
    salts.push_back({static_cast<uint8_t>(1 + length % 2), 0, 0, 0});
  }
  std::shuffle(passwords.begin(), passwords.end(), random);
  std::vector<NFS::Md5CryptInput> inputs;
  for (size_t i = 0; i < passwords.size(); ++i) inputs.push_back({passwords[i], salts[i]});

  std::vector<NFS::Md5Digest> expected;
  for (const auto& input : inputs) expected.push_back(NFS::Md5Crypt(input.password, input.salt));
  for (size_t lanes : {size_t{1}, size_t{8}, size_t{16}}) {
    if (lanes > NFS::Md5CryptLanes()) continue;
    const auto digests = NFS::Md5CryptBatch(inputs, lanes);
    ASSERT_EQ(digests.size(), expected.size());
    for (size_t i = 0; i < digests.size(); ++i) EXPECT_EQ(digests[i], expected[i]) << lanes << " lanes, input " << i;
    const int width = static_cast<int>(lanes);
    for (int many : {1, 2, width - 1, width + 1, width + 2, 2 * width - 3, 2 * width + 1, 3 * width + 2}) {
      if (many < 1) continue;
      const size_t count = static_cast<size_t>(many);
      const auto some = NFS::Md5CryptBatch(std::span(inputs).first(count), lanes);
      ASSERT_EQ(some.size(), count);
      for (size_t i = 0; i < count; ++i) EXPECT_EQ(some[i], expected[i]) << lanes << " lanes, " << count << " inputs";
    }
  }
  // The known answer of the scheme stands whatever the width.
  const uint8_t password[] = {'p', 'a', 's', 's', 'w', 'o', 'r', 'd'};
  const uint8_t salt[] = {'s', 'a', 'l', 't'};
  std::vector<NFS::Md5CryptInput> same(17, NFS::Md5CryptInput{password, salt});
  for (const auto& digest : NFS::Md5CryptBatch(same)) EXPECT_EQ(digest, NFS::Md5Crypt(password, salt));
}

}  // namespace
