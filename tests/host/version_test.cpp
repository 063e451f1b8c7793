#include "test_support.h"

using VersionTest = FakePlatformTest;

TEST_F(VersionTest, Nt6AndNt52OverTheRecordsThatMatter) {
  struct Case {
    uint32_t platformId, major, minor;
    bool queryFails;
    bool nt6, nt52;
  } cases[] = {
      {2, 6, 0, false, true, false},  {2, 6, 1, false, true, false},
      {2, 6, 2, false, true, false},  {2, 5, 2, false, false, true},
      {1, 5, 2, false, false, true},  {0, 5, 2, false, false, true},
      {2, 5, 1, false, false, false}, {2, 10, 0, false, false, false},
      {1, 6, 0, false, false, false}, {2, 6, 1, true, false, false},
  };
  for (const Case& c : cases) {
    ForgetCachedVersionForTesting();
    fake->platformId = c.platformId;
    fake->major = c.major;
    fake->minor = c.minor;
    fake->versionQueryFails = c.queryFails;
    SCOPED_TRACE(testing::Message() << c.platformId << " " << c.major << "." << c.minor);
    EXPECT_EQ(IsNt6(), c.nt6);
    EXPECT_EQ(IsNt52(), c.nt52);
  }
}

TEST_F(VersionTest, Nt6IsAskedOnceAndCached) {
  fake->major = 6;
  EXPECT_TRUE(IsNt6());
  fake->major = 5;
  const int queries = fake->versionQueries;
  EXPECT_TRUE(IsNt6());
  EXPECT_EQ(fake->versionQueries, queries);
  EXPECT_FALSE(IsNt52()) << "the 5.2 test reads the system afresh";
  fake->minor = 2;
  EXPECT_TRUE(IsNt52());
}
