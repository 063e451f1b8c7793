#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "test_support.h"

namespace {

std::vector<std::string> Split(const std::string& commandLine) {
  ArgumentCursor cursor;
  StartArguments(&cursor, commandLine.c_str());
  std::vector<std::string> arguments;
  char buffer[kArgumentCapacity];
  bool cut = false;
  while (NextArgument(&cursor, buffer, sizeof buffer, &cut)) arguments.push_back(buffer);
  return arguments;
}

LaunchOptions Translate(const std::string& commandLine, uint16_t language = 1033) {
  LaunchOptions options;
  options.transformLanguage = language;
  options.quiet = false;
  options.overflow = false;
  options.forwarded[0] = '\0';
  TranslateCommandLine(commandLine.c_str(), &options);
  return options;
}

using Args = std::vector<std::string>;

}  // namespace

using SplitTest = FakePlatformTest;

TEST_F(SplitTest, CommandLineRules) {
  struct Case {
    const char* commandLine;
    Args expected;
  } cases[] = {
      {"", {}},
      {"wrapper.exe", {}},
      {"wrapper.exe   ", {}},
      {"wrapper.exe /s /vA=1", {"/s", "/vA=1"}},
      {"wrapper.exe \t/s\t\t/x ", {"/s", "/x"}},
      // the program name keeps its backslashes and ends at the first blank outside quotes
      {"\"C:\\Program Files\\wrapper.exe\" /s", {"/s"}},
      {"C:\\dir\\\"quoted name\".exe /s", {"/s"}},
      {"\"C:\\wrapper.exe\"/s", {}},
      {"w /v\"INSTALLDIR=C:\\kit\"", {"/vINSTALLDIR=C:\\kit"}},
      {"w \"a\"\"b c\"", {"a\"b", "c"}},
      {"w a\\\\\\\"b", {"a\\\"b"}},          // 3 backslashes and a quote
      {"w a\\\\\"b c\"", {"a\\b c"}},        // 2 backslashes and a quote
      {"w a\\\\b", {"a\\\\b"}},              // backslashes without a quote
      {"w \\\"", {"\""}},
      {"w \"a b", {"a b"}},                  // unbalanced quote runs to the end
      {"w \"\"", {""}},
      {"w /v\"\\\"", {"/v\""}},
      {"w \"/v\"\"\"", {"/v\""}},
      {"w /v\"INSTALLDIR=\\\"C:\\Program Files\\kit\\\"\"",
       {"/vINSTALLDIR=\"C:\\Program Files\\kit\""}},
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.commandLine), c.expected) << c.commandLine;
}

TEST_F(SplitTest, DoubleByteTrailBytesAreNeverSeparatorsOrQuotes) {
  fake->leadBytes = {0x95, 0x81};  // lead bytes of code page 932 used here
  struct Case {
    const char* commandLine;
    Args expected;
  } cases[] = {
      // \x95\x5C is one character whose trail byte is a backslash
      {"w /v\"INSTALLDIR=C:\\\x95\x5C\" /s", {"/vINSTALLDIR=C:\\\x95\x5C", "/s"}},
      {"w a\x95\x22 b", {"a\x95\x22", "b"}},   // trail byte 0x22 is not a quote
      {"w a\x81\x20" "b", {"a\x81\x20" "b"}},  // trail byte 0x20 is not a blank
      {"w a\x95", {"a\x95"}},                  // a lead byte at the very end stands alone
      {"\"C:\\\x95\x5C\".exe /s", {"/s"}},
      {"C:\\\x95\x20.exe /s", {"/s"}},         // also in the program name
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.commandLine), c.expected) << c.commandLine;
}

TEST_F(SplitTest, AnArgumentLongerThanItsBufferIsCutAndReported) {
  std::string line = "w " + std::string(20, 'x') + " y";
  ArgumentCursor cursor;
  StartArguments(&cursor, line.c_str());
  char buffer[8];
  bool cut = false;
  ASSERT_TRUE(NextArgument(&cursor, buffer, sizeof buffer, &cut));
  EXPECT_TRUE(cut);
  EXPECT_STREQ(buffer, "xxxxxxx");
  ASSERT_TRUE(NextArgument(&cursor, buffer, sizeof buffer, &cut));
  EXPECT_FALSE(cut);
  EXPECT_STREQ(buffer, "y");
}

TEST(ParseLanguageNumber, BehavesLikeAtolWithWrapAround) {
  struct Case {
    const char* text;
    int32_t expected;
  } cases[] = {
      {"1041", 1041},   {"+1041", 1041},    {"1041x", 1041},      {" \t\n\v\f\r1041", 1041},
      {"-5", -5},       {"", 0},            {"x1041", 0},         {"- 1", 0},
      {"4294968337", 1041},                 // 2^32 + 1041 wraps to 1041
      {"-4294966255", 1041},                // -(2^32 - 1041)
      {"99999999999999999999", static_cast<int32_t>(1661992959u)},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseLanguageNumber(c.text), c.expected) << c.text;
}

using TranslateTest = FakePlatformTest;

TEST_F(TranslateTest, Rules) {
  struct Case {
    const char* commandLine;
    uint16_t kitLanguage;    // with the default 1033, edition "tpz"
    uint16_t otherLanguage;  // another edition
    bool quiet;
    const char* forwarded;
  } cases[] = {
      {"w", 1033, 1033, false, ""},
      {"w B=2 /vA=1 /x", 1033, 1033, false, "B=2  A=1 /x "},
      {"w /lang=1041", 1041, 1041, false, ""},
      {"w /lang=1031", 1033, 1031, false, ""},
      {"w /lang=+1041", 1041, 1041, false, ""},
      {"w /lang=1041x", 1041, 1041, false, ""},
      {"w /lang=-4294966255", 1041, 1041, false, ""},
      {"w /lang=4294968337", 1041, 1041, false, ""},
      {"w /lang=0", 1033, 1033, false, ""},
      {"w /lang=", 1033, 1033, false, ""},
      {"w /LANG=1041", 1033, 1033, false, "/LANG=1041 "},
      {"w A=1/lang=1041", 1033, 1033, false, ""},
      {"w /v/lang=1041", 1041, 1041, false, ""},
      {"w /S", 1033, 1033, false, "/S "},
      {"w /s /s", 1033, 1033, true, ""},
      {"w /v", 1033, 1033, false, "  "},
      {"w /v\\\"", 1033, 1033, false, "  "},
      {"w /vx", 1033, 1033, false, " x "},
      {"w /v\\\"x\\\"", 1033, 1033, false, " x "},
      {"w /verbose", 1033, 1033, false, " erbose "},
      {"w /v\\\"abc", 1033, 1033, false, " ab "},
      {"w /s /v\"INSTALLDIR=C:\\kit\"", 1033, 1033, true, " INSTALLDIR=C:\\kit "},
      {"w /v\"INSTALLDIR=\\\"C:\\Program Files\\kit\\\"\"", 1033, 1033, false,
       " INSTALLDIR=\"C:\\Program Files\\kit\" "},
  };
  for (const Case& c : cases) {
    LaunchOptions options = Translate(c.commandLine);
    SCOPED_TRACE(c.commandLine);
    EXPECT_EQ(options.transformLanguage, KitEdition() ? c.kitLanguage : c.otherLanguage);
    EXPECT_EQ(options.quiet, c.quiet);
    EXPECT_FALSE(options.overflow);
    EXPECT_STREQ(options.forwarded, c.forwarded);
  }
}

TEST_F(TranslateTest, UnsupportedLanguageKeepsTheCurrentOne) {
  LaunchOptions options = Translate("w /lang=1049", 2052);
  EXPECT_EQ(options.transformLanguage, 2052);
}

TEST_F(TranslateTest, EmptyCommandLineHasNoArguments) {
  // the module's file name stands for the program name, even with blanks in its path
  LaunchOptions options = Translate("");
  EXPECT_STREQ(options.forwarded, "");
  EXPECT_FALSE(options.quiet);
}

TEST_F(TranslateTest, ArgvInterfaceSkipsTheProgramName) {
  const char* argv[] = {"/s", "B=2", "/vA=1", "/lang=1041"};
  LaunchOptions options{1033, false, false, ""};
  TranslateArguments(4, argv, &options);
  EXPECT_FALSE(options.quiet) << "argv[0] is the program name";
  EXPECT_STREQ(options.forwarded, "B=2  A=1 ");
  EXPECT_EQ(options.transformLanguage, 1041);
}

TEST_F(TranslateTest, ForwardedTextLimit) {
  struct Case {
    size_t argumentLength;  // one plain argument of this many characters
    bool overflow;
  } cases[] = {
      {1022, false},  // with its blank: 1023 characters, the whole capacity
      {1023, true},
      {5000, true},   // longer than the argument buffer itself
      {40000, true},
  };
  for (const Case& c : cases) {
    LaunchOptions options = Translate("w " + std::string(c.argumentLength, 'p'));
    EXPECT_EQ(options.overflow, c.overflow) << c.argumentLength;
    EXPECT_LT(std::string(options.forwarded).size(), kForwardedCapacity);
  }
}

TEST_F(TranslateTest, ManyArgumentsOverflowTogether) {
  std::string line = "w";
  for (int i = 0; i < 300; ++i) line += " /vP=1";
  LaunchOptions options = Translate(line);
  EXPECT_TRUE(options.overflow);
  EXPECT_LT(std::string(options.forwarded).size(), kForwardedCapacity);
}
