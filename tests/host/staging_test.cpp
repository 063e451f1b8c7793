#include <string>

#include "staging/staging.h"
#include "test_support.h"

namespace {
const std::string kLocalLow = "C:\\Users\\ana\\AppData\\LocalLow";
const std::string kRoaming = "C:\\Documents and Settings\\ana\\Application Data";
const std::string kProfile = "C:\\Documents and Settings\\ana";
}  // namespace

class StagingTest : public FakePlatformTest {
 protected:
  void UseNt6() { fake->major = 6; fake->minor = 1; }
  void UseXp() { fake->major = 5; fake->minor = 1; }
};

TEST_F(StagingTest, BaseFolderBranches) {
  struct Case {
    const char* name;
    bool nt6;
    bool shell32Loads, shell32HasFunction, shell32CallSucceeds;
    bool shfolderLoads, shfolderHasFunction, shfolderCallSucceeds;
    const char* profile;   // nullptr: no USERPROFILE
    bool windowsDirectory;
    bool found;
    std::string folder;
    std::vector<std::string> loaded;  // libraries loaded, in order
  } cases[] = {
      {"nt6 known folder", true, true, true, true, true, true, true, "P", true, true, kLocalLow, {"shell32.dll"}},
      {"nt6 without shell32", true, false, true, true, true, true, true, "P", true, false, "", {}},
      {"nt6 without the function", true, true, false, true, true, true, true, "P", true, false, "", {"shell32.dll"}},
      {"nt6 failing call", true, true, true, false, true, true, true, "P", true, false, "", {"shell32.dll"}},
      {"shfolder", false, true, true, true, true, true, true, "P", true, true, kRoaming, {"shell32.dll", "shfolder.dll"}},
      {"shfolder call fails: no fallback", false, true, true, true, true, true, false, "P", true, false, "", {"shell32.dll", "shfolder.dll"}},
      {"shfolder without the function: profile", false, true, true, true, true, false, true, "P", true, true, kProfile, {"shell32.dll", "shfolder.dll"}},
      {"shell32 special folder", false, true, true, true, false, true, true, "P", true, true, kRoaming, {"shell32.dll"}},
      {"shell32 call fails", false, true, true, false, false, true, true, "P", true, false, "", {"shell32.dll"}},
      {"shell32 without the function: profile", false, true, false, true, false, true, true, "P", true, true, kProfile, {"shell32.dll"}},
      {"no library: profile", false, false, true, true, false, true, true, "P", true, true, kProfile, {}},
      {"no library, no profile: windows", false, false, true, true, false, true, true, nullptr, true, true, "C:\\Windows", {}},
      {"nothing at all", false, false, true, true, false, true, true, nullptr, false, false, "", {}},
      {"profile of 259 characters", false, false, true, true, false, true, true, "L259", true, true, "", {}},
      {"profile of 260 characters", false, false, true, true, false, true, true, "L260", true, false, "", {}},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    if (c.nt6) UseNt6(); else UseXp();
    fake->libraries["shell32.dll"] = {c.shell32Loads, c.shell32HasFunction, c.shell32CallSucceeds,
                                      c.nt6 ? kLocalLow : kRoaming};
    fake->libraries["shfolder.dll"] = {c.shfolderLoads, c.shfolderHasFunction, c.shfolderCallSucceeds, kRoaming};
    std::string expected = c.folder;
    if (c.profile != nullptr) {
      std::string profile = c.profile;
      if (profile == "L259") profile = expected = "C:\\" + std::string(256, 'u');
      if (profile == "L260") profile = "C:\\" + std::string(257, 'u');
      if (profile == "P") profile = kProfile;
      fake->environment["USERPROFILE"] = profile;
    }
    if (!c.windowsDirectory) fake->windowsDirectory = "";
    char buffer[os::kPathCapacity];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(GetStagingBaseFolder(buffer), c.found);
    EXPECT_EQ(std::string(buffer), c.found ? expected : "");
    EXPECT_EQ(fake->loadedLibraries, c.loaded);
    EXPECT_EQ(fake->freedLibraries, static_cast<int>(c.loaded.size())) << "every loaded library is freed";
  }
}

TEST_F(StagingTest, PackagePathAndFolderChain) {
  UseNt6();
  fake->libraries["shell32.dll"] = {true, true, true, kLocalLow};
  char buffer[os::kPathCapacity];
  BuildPackagePath(buffer, X64Build());
  const std::string product = kLocalLow + "\\Velmor\\Tarsk\\" + ProductFolder();
  EXPECT_EQ(std::string(buffer), product + "\\" + PackageName());
  const std::vector<std::string> chain = {kLocalLow, kLocalLow + "\\Velmor\\",
                                          kLocalLow + "\\Velmor\\Tarsk\\", product};
  EXPECT_EQ(fake->createdDirectories, chain);
}

TEST_F(StagingTest, CabinetPathDoesNotCreateTheBaseFolder) {
  UseXp();
  fake->libraries["shfolder.dll"] = {true, true, true, kRoaming};
  char buffer[os::kPathCapacity];
  BuildCabinetPath(buffer, "sd160130", true);
  const std::string product = kRoaming + "\\Velmor\\Tarsk\\" + ProductName() + "_x64";
  EXPECT_EQ(std::string(buffer), product + "\\sd160130.cab");
  const std::vector<std::string> chain = {kRoaming + "\\Velmor\\", kRoaming + "\\Velmor\\Tarsk\\", product};
  EXPECT_EQ(fake->createdDirectories, chain);
  BuildCabinetPath(buffer, "sr160130", false);
  EXPECT_EQ(std::string(buffer), kRoaming + "\\Velmor\\Tarsk\\" + ProductName() + "\\sr160130.cab");
}

TEST_F(StagingTest, TrailingBackslashIsKeptDoubled) {
  UseXp();
  fake->environment["USERPROFILE"] = "C:\\";
  char buffer[os::kPathCapacity];
  BuildPackagePath(buffer, false);
  EXPECT_EQ(std::string(buffer), "C:\\\\Velmor\\Tarsk\\" + ProductName() + "\\" + PackageName());
}

TEST_F(StagingTest, SamePathTwice) {
  UseNt6();
  fake->libraries["shell32.dll"] = {true, true, true, kLocalLow};
  char first[os::kPathCapacity];
  char second[os::kPathCapacity];
  BuildPackagePath(first, false);
  BuildPackagePath(second, false);
  EXPECT_STREQ(first, second);
}

TEST_F(StagingTest, NoBaseFolderEndsTheRunLoudly) {
  UseNt6();  // shell32 does not load
  char buffer[os::kPathCapacity];
  EXPECT_EQ(ExitCodeOf([&] { BuildPackagePath(buffer, false); }), 3u);
  ASSERT_EQ(fake->messageBoxes.size(), 1u);
  EXPECT_EQ(fake->messageBoxes[0].text,
            "Installer : Wrapper.CreateFile  failed with error 3: The system cannot find the path specified.\r\n");
  EXPECT_TRUE(fake->createdDirectories.empty()) << "nothing is created anywhere else";
}

TEST_F(StagingTest, PathsOverTheLimitEndTheRunLoudly) {
  struct Case {
    size_t baseLength;
    bool package;
    bool fits;
  } cases[] = {
      // base + "\Velmor\Tarsk\tpz1.6.0_13" (25) + "\tpz1.6.0_13.msi" (16)
      {259 - 41, true, true},
      {260 - 41, true, false},
      // base + 25 + "\sd160130.cab" (13)
      {259 - 38, false, true},
      {260 - 38, false, false},
      {240, false, false},  // the folder chain itself does not fit
  };
  for (const Case& c : cases) {
    SetUp();
    UseXp();
    fake->environment["USERPROFILE"] = "C:\\" + std::string(c.baseLength - 3, 'u');
    char buffer[os::kPathCapacity];
    auto build = [&] {
      if (c.package) BuildPackagePath(buffer, false);
      else BuildCabinetPath(buffer, "sd160130", false);
    };
    if (c.fits) {
      build();
      EXPECT_EQ(std::string(buffer).size(), 259u);
    } else {
      EXPECT_EQ(ExitCodeOf(build), 206u) << c.baseLength;
      ASSERT_EQ(fake->messageBoxes.size(), 1u);
      EXPECT_EQ(fake->messageBoxes[0].text,
                "Installer : Wrapper.CreateFile  failed with error 206: The filename or extension is too long.\r\n");
    }
  }
}

TEST_F(StagingTest, BaseFolderIsLookedUpOncePerRun) {
  UseNt6();
  fake->libraries["shell32.dll"] = {true, true, true, kLocalLow};
  char buffer[os::kPathCapacity];
  BuildPackagePath(buffer, false);
  for (int i = 0; i < 8; ++i) BuildCabinetPath(buffer, "sd160130", false);
  EXPECT_EQ(fake->loadedLibraries, std::vector<std::string>{"shell32.dll"});
  EXPECT_EQ(std::string(buffer), kLocalLow + "\\Velmor\\Tarsk\\" + ProductName() + "\\sd160130.cab");
}

// Every folder below the base folder is held once, without its closing
// backslash, so that it cannot be renamed or replaced by a link while the
// run goes on; the cabinets that follow go through the same held folders.
TEST_F(StagingTest, FoldersBelowTheBaseAreHeldOnce) {
  UseNt6();
  fake->libraries["shell32.dll"] = {true, true, true, kLocalLow};
  char buffer[os::kPathCapacity];
  BuildPackagePath(buffer, X64Build());
  BuildCabinetPath(buffer, "sd160130", X64Build());
  const std::string product = kLocalLow + "\\Velmor\\Tarsk\\" + ProductFolder();
  const std::vector<std::string> held = {kLocalLow + "\\Velmor", kLocalLow + "\\Velmor\\Tarsk", product};
  EXPECT_EQ(fake->heldFolders, held);
}

TEST_F(StagingTest, RedirectedOrMissingFoldersAreRefusedBeforeAnyFile) {
  const std::string vendor = kLocalLow + "\\Velmor";
  const std::string family = vendor + "\\Tarsk";
  const std::string product = family + "\\" + ProductFolder();
  const std::string refusal = "Installer : Wrapper.CreateFile  failed with error 1920: The file cannot be accessed.\r\n";
  const std::string notFound = "Installer : Wrapper.CreateFile  failed with error 3: The system cannot find the path specified.\r\n";
  struct Case {
    const char* name;
    std::function<void()> arrange;
    uint32_t exitCode;
    std::string message;
  } cases[] = {
      {"vendor folder is a junction", [&] { fake->pathFacts[vendor] = {0x410, 1, 0}; }, 1920, refusal},
      {"family folder is a symbolic link", [&] { fake->pathFacts[family] = {0x410, 1, 0}; }, 1920, refusal},
      {"product folder is a mount point", [&] { fake->pathFacts[product] = {0x410, 1, 0}; }, 1920, refusal},
      {"a link seen only by its name", [&] { fake->nameAttributes[family] = 0x410; }, 1920, refusal},
      {"a junction with its tag", [&] { fake->pathFacts[vendor] = {0x410, 1, 0}; fake->reparseTags[vendor] = 0xA0000003; },
       1920, refusal},
      {"a symbolic link with its tag, seen only by its name",
       [&] { fake->nameAttributes[product] = 0x410; fake->reparseTags[product] = 0xA000000C; }, 1920, refusal},
      {"a reparse point whose name cannot be looked at",
       [&] { fake->pathFacts[family] = {0x410, 1, 0}; fake->reparseTags[family] = 0x9000701A; fake->FailCall("PathAttributes", 2, 5); },
       1920, refusal},
      {"a folder's facts cannot be read", [&] { fake->FailCall("GetFileFacts", 2, 21); }, 21,
       "Installer : Wrapper.CreateFile  failed with error 21: The device is not ready.\r\n"},
      {"a folder that cannot be held, without an error code", [&] { fake->unholdablePaths[product] = 0; }, 31,
       "Installer : Wrapper.CreateFile  failed with error 31: A device attached to the system is not functioning.\r\n"},
      {"a file where the product folder belongs", [&] { fake->pathFacts[product] = {0x80, 1, 0}; }, 3, notFound},
      {"a folder that could not be made", [&] { fake->unholdablePaths[family] = 2; }, 3, notFound},
      {"a folder held by someone else", [&] { fake->unholdablePaths[product] = 32; }, 32,
       "Installer : Wrapper.CreateFile  failed with error 32: "},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    UseNt6();
    fake->libraries["shell32.dll"] = {true, true, true, kLocalLow};
    c.arrange();
    char buffer[os::kPathCapacity];
    EXPECT_EQ(ExitCodeOf([&] { BuildPackagePath(buffer, X64Build()); }), c.exitCode);
    ASSERT_EQ(fake->messageBoxes.size(), 1u);
    EXPECT_EQ(fake->messageBoxes[0].text, c.message);
    EXPECT_TRUE(fake->files.empty());
  }
}

// Reparse points that name no other folder (a cloud or compressed folder)
// are folders like any other: held, and the files go into them.
TEST_F(StagingTest, ReparsePointsThatNameNoOtherFolderAreHeldAsFolders) {
  const std::string family = kLocalLow + "\\Velmor\\Tarsk";
  for (const uint32_t tag : {0x9000701Au, 0x80000017u, 0x00001234u}) {
    SetUp();
    SCOPED_TRACE(tag);
    UseNt6();
    fake->libraries["shell32.dll"] = {true, true, true, kLocalLow};
    fake->pathFacts[family] = {0x410, 1, 0};
    fake->reparseTags[family] = tag;
    char buffer[os::kPathCapacity];
    BuildPackagePath(buffer, false);
    EXPECT_EQ(std::string(buffer), family + "\\" + ProductName() + "\\" + PackageName());
    EXPECT_EQ(fake->heldFolders.size(), 3u);
    EXPECT_TRUE(fake->messageBoxes.empty());
  }
}

// A folder service that reports success with an empty folder found nothing:
// the run then ends like one without a base folder, never writing elsewhere.
TEST_F(StagingTest, AnEmptyAnswerIsNoBaseFolder) {
  for (const bool nt6 : {true, false}) {
    SetUp();
    SCOPED_TRACE(nt6 ? "known folder" : "shfolder");
    if (nt6) UseNt6(); else UseXp();
    fake->libraries[nt6 ? "shell32.dll" : "shfolder.dll"] = {true, true, true, ""};
    char buffer[os::kPathCapacity];
    EXPECT_FALSE(GetStagingBaseFolder(buffer));
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(ExitCodeOf([&] { BuildPackagePath(buffer, false); }), 3u);
    EXPECT_TRUE(fake->createdDirectories.empty());
  }
}
