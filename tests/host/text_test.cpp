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
