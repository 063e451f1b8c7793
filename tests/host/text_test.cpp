#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "platform/text.h"

TEST(Text, AppendFormatFillsExactlyToCapacity) {
  char buffer[8] = "ab";
  EXPECT_TRUE(AppendFormat(buffer, sizeof buffer, "%s%d", "cd", 123));
  EXPECT_STREQ(buffer, "abcd123");
  EXPECT_FALSE(AppendFormat(buffer, sizeof buffer, "x"));
  EXPECT_STREQ(buffer, "abcd123") << "a refused append leaves the buffer as it was";
}

TEST(Text, AppendRefusesAnUnterminatedBuffer) {
  char buffer[4];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_FALSE(AppendText(buffer, sizeof buffer, ""));
  EXPECT_FALSE(AppendFormat(buffer, sizeof buffer, "a"));
  EXPECT_EQ(std::string(buffer, 4), "zzzz");
}

TEST(Text, FormatNumbers) {
  struct Case {
    const char* format;
    int32_t value;
    const char* expected;
  } cases[] = {
      {"%d", 0, "0"},          {"%d", -5, "-5"},
      {"%d", INT_MIN, "-2147483648"}, {"%d", INT_MAX, "2147483647"},
      {"%u", -1, "4294967295"}, {"%u", 1041, "1041"},
      {"100%%", 0, "100%"},
  };
  for (const Case& c : cases) {
    char buffer[32];
    ASSERT_TRUE(FormatText(buffer, sizeof buffer, c.format, c.value)) << c.format;
    EXPECT_STREQ(buffer, c.expected) << c.format;
  }
}

TEST(Text, FormatThatDoesNotFitLeavesAnEmptyBuffer) {
  char buffer[6] = "old";
  EXPECT_FALSE(FormatText(buffer, sizeof buffer, "%s", "toolong"));
  EXPECT_STREQ(buffer, "");
  EXPECT_FALSE(FormatText(buffer, 0, "%s", ""));
}

TEST(Text, Comparisons) {
  EXPECT_TRUE(TextEqualsIgnoreCase("AMD64", "amd64"));
  EXPECT_FALSE(TextEqualsIgnoreCase("amd6", "amd64"));
  EXPECT_TRUE(TextContains("a /qn b", "/qn"));
  EXPECT_FALSE(TextContains("a /QN b", "/qn"));
  EXPECT_TRUE(TextStartsWith("/verbose", "/v"));
  EXPECT_FALSE(TextStartsWith("/", "/v"));
  const char text[] = "a=b=c";
  EXPECT_EQ(FindChar(text, '='), text + 1);
  EXPECT_EQ(FindChar(text, 'x'), nullptr);
}

// The guards of the bounded helpers that no caller reaches today: a buffer
// of no capacity, text that does not fit, a conversion the helpers do not know.
TEST(Text, GuardsRefuseWhatDoesNotFit) {
  char buffer[4] = "ab";
  EXPECT_FALSE(AppendFormat(buffer, 0, "x"));
  EXPECT_FALSE(AppendText(buffer, 0, "x"));
  EXPECT_FALSE(AppendBytes(buffer, 0, "x", 1));
  EXPECT_FALSE(CopyText(buffer, 0, "x"));
  EXPECT_STREQ(buffer, "ab") << "nothing is written without capacity";
  EXPECT_FALSE(CopyText(buffer, sizeof buffer, "abcd"));
  EXPECT_STREQ(buffer, "ab") << "a copy that does not fit leaves the buffer";
  EXPECT_TRUE(CopyText(buffer, sizeof buffer, "abc"));
  EXPECT_STREQ(buffer, "abc");
  EXPECT_FALSE(FormatText(buffer, sizeof buffer, "%x", 1));
  EXPECT_STREQ(buffer, "") << "an unknown conversion is refused, never half written";
}

TEST(Text, BytesEqualAndFillBytes) {
  unsigned char a[19];
  unsigned char b[19];
  for (size_t i = 0; i < sizeof a; ++i) a[i] = b[i] = static_cast<unsigned char>(i * 7);
  EXPECT_TRUE(BytesEqual(a, b, sizeof a));
  EXPECT_TRUE(BytesEqual(a, b, 0));
  for (const size_t changed : {size_t{0}, size_t{7}, size_t{8}, size_t{16}, size_t{18}}) {
    b[changed] ^= 0x10;
    EXPECT_FALSE(BytesEqual(a, b, sizeof a)) << changed;
    EXPECT_EQ(BytesEqual(a, b, changed), true) << "only the first bytes are compared";
    b[changed] ^= 0x10;
  }
  FillBytes(a, 5, 0xAB);
  EXPECT_EQ(a[4], 0xAB);
  EXPECT_EQ(a[5], 5 * 7) << "no byte past the count";
  FillBytes(a, 0, 0);
  EXPECT_EQ(a[0], 0xAB);
}
