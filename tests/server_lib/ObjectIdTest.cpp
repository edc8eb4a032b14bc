#include <gtest/gtest.h>

#include <string>

#include "server_lib/core/Md5Crypt.h"
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
