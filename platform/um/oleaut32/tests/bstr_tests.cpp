#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>

namespace {

// The 32-bit byte length stored just before a BSTR's first character.
DWORD length_prefix(BSTR s) {
  DWORD length;
  std::memcpy(&length, reinterpret_cast<const BYTE *>(s) - sizeof length, sizeof length);
  return length;
}

TEST(Bstr, ByteLengthPrecedesTheCharactersAndANulFollows) {
  BSTR s = SysAllocString(u"hello");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(length_prefix(s), 10u);
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(SysStringByteLen(s), 10u);
  EXPECT_EQ(std::u16string_view(s), u"hello");
  SysFreeString(s);
  BSTR empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(length_prefix(empty), 0u);
  EXPECT_EQ(empty[0], u'\0');
  SysFreeString(empty);
}

TEST(Bstr, EmbeddedNulsAreKept) {
  const OLECHAR text[] = {u'a', 0, u'b', 0, u'c'};
  BSTR s = SysAllocStringLen(text, 5);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(length_prefix(s), 10u);
  EXPECT_EQ(std::memcmp(s, text, sizeof text), 0);
  EXPECT_EQ(s[5], u'\0');
  SysFreeString(s);
  BSTR blank = SysAllocStringLen(nullptr, 4);
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringLen(blank), 4u);
  EXPECT_EQ(blank[4], u'\0');
  SysFreeString(blank);
}

TEST(Bstr, OddByteLengthIsKeptAndFollowedByAWholeNulCharacter) {
  BSTR s = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(length_prefix(s), 3u);
  EXPECT_EQ(SysStringByteLen(s), 3u);
  EXPECT_EQ(SysStringLen(s), 1u);
  EXPECT_EQ(std::memcmp(s, "abc\0\0", 5), 0);
  SysFreeString(s);
}

TEST(Bstr, NullStringsHaveNoLengthAndFreeHarmlessly) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_FALSE(SysReAllocStringLen(nullptr, u"x", 1));
}

TEST(Bstr, LengthsBeyondThirtyTwoBitsAreRefused) {
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
  // Prefix, bytes and terminator must fit in 32 bits together.
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFAu), nullptr);
  BSTR s = SysAllocString(u"kept");
  BSTR before = s;
  EXPECT_FALSE(SysReAllocStringLen(&s, nullptr, 0x80000000u));
  EXPECT_EQ(s, before);
  SysFreeString(s);
}

TEST(Bstr, ReAllocStringLenCopiesEvenFromItselfAndKeepsContentsWithoutSource) {
  BSTR s = SysAllocString(u"0123456789");
  ASSERT_TRUE(SysReAllocStringLen(&s, s + 4, 3));
  EXPECT_EQ(std::u16string_view(s), u"456");
  ASSERT_TRUE(SysReAllocStringLen(&s, nullptr, 5));
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(std::u16string_view(s, 3), u"456");
  EXPECT_EQ(s[5], u'\0');
  SysFreeString(s);
}

} // namespace
