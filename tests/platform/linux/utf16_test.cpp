// UTF-8 from the file system into the library's UTF-16 and back.
#include "platform/linux/utf16.h"

#include <gtest/gtest.h>

namespace gpuproc {
namespace {

TEST(Utf8ToUtf16, DecodesWellFormedTextAndReplacesEachBadByte) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"game", u"game"},
      {"\xC3\xBC", u"\u00FC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"a\xFF"
       "b",
       u"a\uFFFDb"},
      {"\xC3", u"\uFFFD"},                                // truncated sequence
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
  };
  for (const auto& [narrow, wide] : cases) {
    EXPECT_EQ(Utf8ToUtf16(narrow), wide) << narrow;
  }
}

TEST(Utf16ToUtf8, MeasuresThenWritesAndRefusesATooSmallBuffer) {
  const std::u16string text = u"\u00FC\U0001F600";
  EXPECT_EQ(Utf16ToUtf8(text.data(), 3, nullptr, 0), 6);
  char out[6];
  EXPECT_EQ(Utf16ToUtf8(text.data(), 3, out, 6), 6);
  EXPECT_EQ(std::string(out, 6), "\xC3\xBC\xF0\x9F\x98\x80");
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(Utf16ToUtf8(text.data(), 3, small, 4), 0);
  EXPECT_EQ(small[2], 'x');  // nothing written for the pair that did not fit
}

TEST(Utf16ToUtf8, RoundTripsEveryScalarValueClass) {
  const std::u16string text = u"A\u007F\u0080\u07FF\u0800\uFFFD\U00010000\U0010FFFF";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
}

}  // namespace
}  // namespace gpuproc
