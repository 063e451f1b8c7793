#include <string>

#include "launcher/launcher.h"
#include "test_support.h"

TEST(CommandLine, Formats) {
  const char* msiexec = "C:\\Windows\\system32\\msiexec.exe";
  const char* package = "C:\\Users\\ana\\AppData\\LocalLow\\Velmor\\Tarsk\\tpz1.6.0_13\\tpz1.6.0_13.msi";
  struct Case {
    uint16_t language;
    const char* forwarded;
    std::string expected;
  } cases[] = {
      {1033, "", std::string("\"") + msiexec + "\" /i \"" + package + "\"  WRAPPER=1"},
      {1041, " /qn", std::string("\"") + msiexec + "\" /i \"" + package + "\" TRANSFORMS=:1041  /qn WRAPPER=1"},
      {2052, "A=1 ", std::string("\"") + msiexec + "\" /i \"" + package + "\" TRANSFORMS=:2052 A=1  WRAPPER=1"},
      {65535, "", std::string("\"") + msiexec + "\" /i \"" + package + "\" TRANSFORMS=:65535  WRAPPER=1"},
  };
  for (const Case& c : cases) {
    char buffer[kCommandLineCapacity];
    ASSERT_TRUE(ComposeCommandLine(buffer, sizeof buffer, msiexec, package, c.language, c.forwarded));
    EXPECT_EQ(std::string(buffer), c.expected);
  }
}

TEST(CommandLine, RefusedWhenItDoesNotFit) {
  char buffer[kCommandLineCapacity];
  const std::string path(259, 'p');
  // 2 quotes + 259 + " /i " + 2 quotes + 259 + " " + forwarded + " WRAPPER=1"
  const size_t fixedPart = 2 + 259 + 4 + 2 + 259 + 1 + 10;
  const std::string fits(kCommandLineCapacity - 1 - fixedPart, 'f');
  EXPECT_TRUE(ComposeCommandLine(buffer, sizeof buffer, path.c_str(), path.c_str(), 1033, fits.c_str()));
  EXPECT_EQ(std::string(buffer).size(), kCommandLineCapacity - 1);
  const std::string tooLong = fits + "f";
  EXPECT_FALSE(ComposeCommandLine(buffer, sizeof buffer, path.c_str(), path.c_str(), 1033, tooLong.c_str()));
  EXPECT_STREQ(buffer, "") << "never a cut command line";
}

TEST(CommandLine, QuietSwitch) {
  struct Case {
    bool quiet;
    const char* forwarded;
    const char* expected;
  } cases[] = {
      {false, "", ""},
      {true, "", " /qn"},
      {true, "/qn ", "/qn "},
      {true, " LOG=a/qnb ", " LOG=a/qnb "},
      {true, "/QN ", "/QN  /qn"},
      {true, "/qb ", "/qb  /qn"},
      {false, "/qb ", "/qb "},
  };
  for (const Case& c : cases) {
    LaunchOptions options{1033, c.quiet, false, ""};
    std::snprintf(options.forwarded, sizeof options.forwarded, "%s", c.forwarded);
    EXPECT_TRUE(AddQuietSwitch(&options));
    EXPECT_STREQ(options.forwarded, c.expected) << c.forwarded;
  }
}

TEST(CommandLine, QuietSwitchThatDoesNotFitIsRefused) {
  LaunchOptions options{1033, true, false, ""};
  std::string full(kForwardedCapacity - 4, 'x');  // 1020 characters: " /qn" would need 1024
  std::snprintf(options.forwarded, sizeof options.forwarded, "%s", full.c_str());
  EXPECT_FALSE(AddQuietSwitch(&options));
  EXPECT_EQ(std::string(options.forwarded), full);
  options.forwarded[kForwardedCapacity - 5] = '\0';  // 1019 characters: fits exactly
  EXPECT_TRUE(AddQuietSwitch(&options));
  EXPECT_EQ(std::string(options.forwarded).size(), kForwardedCapacity - 1);
}
