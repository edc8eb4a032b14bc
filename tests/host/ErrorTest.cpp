#include <gtest/gtest.h>

#include "host/Error.h"
#include "host/Messages.h"
#include "host/Strings.h"

namespace {

using Common::Error;

Error Raise(uint32_t code, const char16_t* text, Error reason = Error()) {
  return Error(code, text, std::move(reason));
}

TEST(ErrorTest, SuccessIsSharedAndEmpty) {
  const Error none;
  EXPECT_TRUE(none.IsSuccess());
  EXPECT_EQ(none, Error::Success());
  EXPECT_EQ(none.Code(), 0u);
  EXPECT_TRUE(none.Reason().IsSuccess());
  EXPECT_EQ(Common::GetFirstReason(none), Error::Success());
}

TEST(ErrorTest, ChainCarriesCodesMessagesAndLocations) {
  const Error inner = Raise(0x1830002, u"inner");
  const Error middle = Raise(0x182000E, u"middle", inner);
  const Error outer = Raise(0x182000F, u"outer", middle);

  EXPECT_EQ(outer.Code(), 0x182000Fu);
  EXPECT_EQ(outer.Message(), u"outer");
  EXPECT_EQ(outer.Reason(), middle);
  EXPECT_EQ(Common::GetFirstReason(outer).Code(), 0x182000Eu);
  EXPECT_EQ(Common::GetFirstReason(inner), inner);
  EXPECT_TRUE(Common::ContainsCode(outer, 0x1830002));
  EXPECT_FALSE(Common::ContainsCode(outer, 0x1820001));

  EXPECT_NE(outer.Location().file.find("ErrorTest.cpp"), std::string::npos);
  EXPECT_NE(outer.Location().function.find("Raise"), std::string::npos);
  EXPECT_GT(outer.Location().line, 0u);

  const std::string described = outer.Describe();
  for (const char* part : {"0x0182000F: outer", "0x0182000E: middle", "0x01830002: inner"}) {
    EXPECT_NE(described.find(part), std::string::npos) << described;
  }
}

TEST(ErrorTest, ThrownAndCaughtKeepsTheRecord) {
  const Error original = Raise(0x1820014, u"The file does not exist.");
  try {
    throw original;
  } catch (const Error& caught) {
    EXPECT_EQ(caught, original);
    EXPECT_STREQ(caught.what(), "The file does not exist.");
  }
}

TEST(MessagesTest, PlaceholdersFillInOrderFromAnyStringKind) {
  constexpr Common::Message kMessage{1, "Failed to read data (Handle: {0}; Offset: {1}; Size: {2})."};
  EXPECT_EQ(Common::FormatMessage(kMessage, Common::WString(u"ABC"), uint64_t{4096}, 12),
            u"Failed to read data (Handle: ABC; Offset: 4096; Size: 12).");
  constexpr Common::Message kSwapped{2, "Virtual file '{1}' in folder '{0}' is already registered."};
  EXPECT_EQ(Common::FormatMessage(kSwapped, u"/share/dir", std::string("a.bin")),
            u"Virtual file 'a.bin' in folder '/share/dir' is already registered.");
  // Non-ASCII text survives the round trip through the formatter.
  EXPECT_EQ(Common::FormatText("'{0}'", Common::WString(u"\u00e9\u4e2d")), u"'\u00e9\u4e2d'");
  // A malformed pattern comes back unfilled instead of failing.
  EXPECT_EQ(Common::FormatText("broken {", 1), u"broken {");
}

TEST(MessagesTest, CatalogueTextReplacesTheEnglishText) {
  constexpr Common::Message kMessage{0x7777, "Mounting share '{0}'."};
  Common::MessageCatalogue::SetText(0x7777, u"Montage de '{0}'.");
  EXPECT_EQ(Common::FormatMessage(kMessage, u"/share"), u"Montage de '/share'.");
  Common::MessageCatalogue::Clear();
  EXPECT_EQ(Common::FormatMessage(kMessage, u"/share"), u"Mounting share '/share'.");
}

TEST(StringsTest, ConversionsHandleInvalidInput) {
  std::string utf8;
  EXPECT_TRUE(Common::TryToUtf8(u"a\u00e9\U0001F600", utf8));
  EXPECT_EQ(utf8, "a\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(Common::FromUtf8(utf8), u"a\u00e9\U0001F600");

  const Common::WString lone(1, char16_t(0xD800));
  EXPECT_FALSE(Common::TryToUtf8(lone, utf8));
  EXPECT_EQ(Common::ToUtf8(lone), "\xEF\xBF\xBD");

  // Bytes that are not UTF-8 map one byte to one code unit.
  EXPECT_EQ(Common::FromUtf8("a\xFF\xFE"), (Common::WString{u'a', char16_t(0xFF), char16_t(0xFE)}));
}

}  // namespace
