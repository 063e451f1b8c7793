#include "launcher/launcher.h"
#include "test_support.h"

using LanguageTest = FakePlatformTest;

TEST_F(LanguageTest, DefaultFromTheUserLanguage) {
  struct Case {
    uint16_t user;
    uint16_t kit;    // edition "tpz"
    uint16_t other;  // any other edition
  } cases[] = {
      {0x0411, 1041, 1041}, {0x0804, 2052, 2052}, {0x0404, 1033, 1028}, {0x0C04, 1033, 1028},
      {0x1004, 1033, 1028}, {0x0407, 1033, 1031}, {0x0807, 1033, 1031}, {0x0409, 1033, 1033},
      {0x0809, 1033, 1033}, {0x040A, 1033, 1034}, {0x040C, 1033, 1036}, {0x0410, 1033, 1040},
      {0x0412, 1033, 1042}, {0x041D, 1033, 1053}, {0x0419, 1033, 1033}, {0x0000, 1033, 1033},
  };
  for (const Case& c : cases) {
    fake->userLanguage = c.user;
    EXPECT_EQ(SelectDefaultLanguage(), KitEdition() ? c.kit : c.other) << std::hex << c.user;
  }
}

TEST_F(LanguageTest, SupportedLanguagesCompareTheLow16Bits) {
  struct Case {
    int32_t value;
    bool kit;
    bool other;
  } cases[] = {
      {1033, true, true},     {1041, true, true},     {2052, true, true},
      {1031, false, true},    {1028, false, true},    {1034, false, true},
      {1036, false, true},    {1040, false, true},    {1042, false, true},
      {1053, false, true},    {0, false, false},      {1049, false, false},
      {0x10411, true, true},  {-64495, true, true},  // 0xFFFF0411
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsLanguageSupported(c.value), KitEdition() ? c.kit : c.other) << c.value;
  }
}

TEST_F(LanguageTest, EditionFollowsTheProductTag) { EXPECT_EQ(IsKitProduct(), KitEdition()); }
