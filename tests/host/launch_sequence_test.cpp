#include <string>

#include "launcher/launcher.h"
#include "staging/staging.h"
#include "test_support.h"

namespace {
const std::string kLocalLow = "C:\\Users\\ana\\AppData\\LocalLow";
const std::string kInstallerKey = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer";
const char kVendor[] = "HKLM\\Software\\TarskSoft";
}  // namespace

// A German NT 6 system with a sufficient engine, the package and the eight
// cabinets embedded, and msiexec.exe found through the registry.
class LaunchTest : public FakePlatformTest {
 protected:
  void SetUp() override {
    FakePlatformTest::SetUp();
    fake->userLanguage = 0x0407;
    fake->libraries["shell32.dll"] = {true, true, true, kLocalLow};
    fake->fileVersions["C:\\Windows\\system32\\msi.dll"] = {0x00040005, 0x17711B34};
    fake->SetRegString(kInstallerKey, "InstallerLocation", "C:\\Windows\\system32");
    fake->registry["hklm\\software"];
    fake->resources[{"TARSK_INSTALLER", 101}] = PatternBytes(417);
    for (const CabinetRow& row : CabinetTable) fake->resources[{row.resourceType, row.resourceId}] = PatternBytes(64);
    fake->strings[4] = "engine too old";
  }
  std::string Folder() const { return kLocalLow + "\\Velmor\\Tarsk\\" + ProductFolder(); }
  std::string Package() const { return Folder() + "\\" + PackageName(); }
  std::string Expected(const std::string& middle) const {
    return "\"C:\\Windows\\system32\\msiexec.exe\" /i \"" + Package() + "\" " + middle + " WRAPPER=1";
  }
  uint32_t Run(const std::string& arguments) {
    fake->commandLine = "\"C:\\Downloads\\wrapper.exe\"" + arguments;
    return RunLaunchSequence(fake);
  }
};

TEST_F(LaunchTest, TypicalRun) {
  EXPECT_EQ(Run(" /s /v\"INSTALLDIR=C:\\kit\""), 0u);
  const std::string language = KitEdition() ? "" : "TRANSFORMS=:1031 ";
  EXPECT_EQ(fake->startedCommandLines, std::vector<std::string>{Expected(language + " INSTALLDIR=C:\\kit  /qn")});
  EXPECT_EQ(fake->files[Package()], PatternBytes(417));
  EXPECT_TRUE(fake->messageBoxes.empty());
}

TEST_F(LaunchTest, CommandLines) {
  struct Case {
    uint16_t user;
    const char* arguments;
    std::string kitMiddle;  // between the package and WRAPPER=1, edition "tpz"
  } cases[] = {
      {0x0409, "", ""},
      {0x0411, " /s", "TRANSFORMS=:1041  /qn"},
      {0x0804, "", "TRANSFORMS=:2052 "},
      {0x0411, " /lang=1033", ""},
      {0x0409, " /lang=2052 /qn", "TRANSFORMS=:2052 /qn "},
      {0x0409, " /s /qn", "/qn "},
      {0x0409, " /s /vLOG=a/qnb", " LOG=a/qnb "},
      {0x0409, " /s /QN", "/QN  /qn"},
      {0x0409, " /s /qb", "/qb  /qn"},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.arguments);
    fake->userLanguage = c.user;
    EXPECT_EQ(Run(c.arguments), 0u);
    ASSERT_EQ(fake->startedCommandLines.size(), 1u);
    if (KitEdition()) {
      EXPECT_EQ(fake->startedCommandLines[0], Expected(c.kitMiddle));
    }
  }
}

TEST_F(LaunchTest, ExitCodes) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    uint32_t exitCode;
    size_t runs;
  } cases[] = {
      {"installer success", [] { fake->exitCodes = {0}; }, 0, 1},
      {"restart required passes through", [] { fake->exitCodes = {3010}; }, 3010, 1},
      {"installer failure passes through", [] { fake->exitCodes = {1603}; }, 1603, 1},
      {"full 32 bits", [] { fake->exitCodes = {0xC0000005u}; }, 0xC0000005u, 1},
      {"installer not startable", [] { fake->processStartFails = true; }, 1, 0},
      {"exit code unreadable", [] { fake->exitCodeReadFails = true; }, 1, 1},
      {"package resource missing", [] { fake->resources.erase({"TARSK_INSTALLER", 101}); }, 1, 0},
      {"engine too old", [] { fake->fileVersions.clear(); }, 0xFFFFFFFEu, 0},
      {"msiexec not located", [] { fake->registry.erase(Lower(kInstallerKey)); }, 0xFFFFFFFDu, 0},
      {"engine too old, its message cannot be loaded",
       [] { fake->fileVersions.clear(); fake->FailCall("LoadStringResource", 1, 1814); }, 0xFFFFFFFEu, 0},
      {"the ready event cannot be created", [] { fake->FailCall("CreateManualResetEvent", 1, 5); }, 0, 1},
      {"the ready event cannot be opened to signal it", [] { fake->FailCall("CreateManualResetEvent", 2, 5); }, 0, 1},
      {"the cabinet thread's handle cannot be closed",
       [] {
         fake->runThreadsImmediately = false;  // the package's handle is closed first, then the thread's
         fake->FailCall("CloseHandle", 2, 6);
       },
       0, 1},
      {"reinstall requested: the second run's code",
       [] {
         fake->exitCodes = {3010, 1603};
         fake->SetRegString(kVendor, "InstallStatus", "reinstall");
       },
       1603, 2},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    c.arrange();
    EXPECT_EQ(Run(""), c.exitCode);
    EXPECT_EQ(fake->startedCommandLines.size(), c.runs);
  }
}

TEST_F(LaunchTest, TooOldEngineShowsTheMessageAndWritesNothing) {
  fake->fileVersions.clear();
  EXPECT_EQ(Run(" /s /lang=1041"), 0xFFFFFFFEu);
  ASSERT_EQ(fake->messageBoxes.size(), 1u) << "quiet does not silence it";
  EXPECT_EQ(fake->messageBoxes[0].text, "engine too old");
  EXPECT_EQ(fake->messageBoxes[0].caption, "");
  EXPECT_EQ(fake->messageBoxes[0].flags, 0x10u);
  EXPECT_TRUE(fake->createdDirectories.empty());
  EXPECT_TRUE(fake->files.empty());
  EXPECT_TRUE(fake->events.empty());
}

TEST_F(LaunchTest, PackageStaysWhenMsiexecIsNotFound) {
  fake->registry.erase(Lower(kInstallerKey));
  EXPECT_EQ(Run(""), 0xFFFFFFFDu);
  EXPECT_EQ(fake->files.count(Package()), 1u);
  EXPECT_TRUE(fake->events.empty()) << "no event and no cabinets before msiexec is found";
}

TEST_F(LaunchTest, OrderOfTheRun) {
  fake->runThreadsImmediately = false;  // the installer starts before the thread has run
  EXPECT_EQ(Run(""), 0u);
  const size_t package = fake->IndexInLog("create " + Package());
  const size_t event = fake->IndexInLog("event VelmorTPZCabExtractWaitEvent");
  const size_t thread = fake->IndexInLog("thread");
  const size_t start = fake->IndexInLog("start");
  ASSERT_NE(start, SIZE_MAX);
  EXPECT_LT(package, event);
  EXPECT_LT(event, thread);
  EXPECT_LT(thread, start);
  EXPECT_EQ(fake->pendingThreads.size(), 1u);
  fake->RunPendingThreads();
  EXPECT_TRUE(fake->events["VelmorTPZCabExtractWaitEvent"]);
}

TEST_F(LaunchTest, CabinetsAreWrittenBeforeTheInstallerWhenTheThreadCannotStart) {
  fake->threadStartFails = true;
  EXPECT_EQ(Run(""), 0u);
  EXPECT_EQ(fake->files.size(), 1u + kCabinetCount);
  EXPECT_LT(fake->IndexInLog("signal VelmorTPZCabExtractWaitEvent"), fake->IndexInLog("start"));
}

TEST_F(LaunchTest, ReinstallRunsTheSameCommandLineOnceMore) {
  fake->SetRegString(kVendor, "InstallStatus", "reinstall");
  fake->exitCodes = {0, 0, 0};
  bool valueSeenBySecondRun = true;
  int runs = 0;
  fake->onProcessRun = [&](const std::string&) {
    if (++runs == 2) valueSeenBySecondRun = fake->HasRegValue(kVendor, "InstallStatus");
    fake->SetRegString(kVendor, "InstallStatus", "reinstall");  // every run asks again
  };
  EXPECT_EQ(Run(" /s"), 0u);
  ASSERT_EQ(fake->startedCommandLines.size(), 2u) << "never a third run";
  EXPECT_EQ(fake->startedCommandLines[0], fake->startedCommandLines[1]);
  EXPECT_FALSE(valueSeenBySecondRun) << "the value is cleared before the second run";
  EXPECT_TRUE(fake->HasRegValue(kVendor, "InstallStatus")) << "left for the next process";
}

TEST_F(LaunchTest, StatusIsReadEvenWhenTheFirstRunCannotStart) {
  fake->SetRegString(kVendor, "InstallStatus", "reinstall");
  fake->processStartFails = true;
  EXPECT_EQ(Run(""), 1u);
  EXPECT_EQ(std::count(fake->log.begin(), fake->log.end(), "start"), 2);
  EXPECT_FALSE(fake->HasRegValue(kVendor, "InstallStatus"));
}

TEST_F(LaunchTest, TooLongCommandLinesAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    std::string arguments;
    bool message;
  } cases[] = {
      {" /v" + std::string(1100, 'p'), true},
      {" /s /v" + std::string(1100, 'p'), false},
      {" /s /v" + std::string(1018, 'p'), false},  // fits only without " /qn"
      {" " + std::string(40000, 'p'), true},
  };
  for (const Case& c : cases) {
    SetUp();
    EXPECT_EQ(Run(c.arguments), 1639u);
    EXPECT_EQ(fake->messageBoxes.size(), c.message ? 1u : 0u);
    if (c.message) {
      EXPECT_EQ(fake->messageBoxes[0].flags, 0x10u);
      EXPECT_EQ(fake->messageBoxes[0].text,
                "The command line is too long for the installer. The installation was not started.");
    }
    EXPECT_TRUE(fake->files.empty());
    EXPECT_TRUE(fake->startedCommandLines.empty());
  }
}

TEST_F(LaunchTest, CommandLineOverTheLimitAfterStagingIsRefused) {
  // fits as forwarded text, but not with the two paths around it
  EXPECT_EQ(Run(" /v" + std::string(960, 'p')), 1639u);
  EXPECT_TRUE(fake->startedCommandLines.empty());
  EXPECT_TRUE(fake->events.empty());
  EXPECT_EQ(fake->messageBoxes.size(), 1u);
}

// Where the window station is invisible (a service account, a session
// without a desktop) no box is shown, since nobody could ever answer it, and
// every run ends with the code the box would have preceded. Where it cannot
// be asked, the boxes are shown as on a visible desktop.
TEST_F(LaunchTest, NoMessageBoxWithoutAVisibleDesktop) {
  const std::string cabinet = Folder() + "\\ss160130.cab";
  struct Situation {
    const char* name;
    std::function<void()> arrange;
    std::string arguments;
    uint32_t exitCode;
    bool box;  // on a visible desktop
  } situations[] = {
      {"engine too old, quiet", [] { fake->fileVersions.clear(); }, " /s", 0xFFFFFFFEu, true},
      {"package cannot be created", [&] { fake->uncreatableFiles[Package()] = 5; }, " /s", 5, true},
      {"cabinet cannot be created", [&] { fake->uncreatableFiles[cabinet] = 5; }, " /s", 5, true},
      {"overlong command line", [] {}, " /v" + std::string(1100, 'p'), 1639, true},
      {"overlong command line, quiet", [] {}, " /s /v" + std::string(1100, 'p'), 1639, false},
  };
  const std::pair<const char*, os::WindowStation> stations[] = {
      {"visible", os::WindowStation::kVisible},
      {"invisible", os::WindowStation::kInvisible},
      {"unknown", os::WindowStation::kUnknown},
      {"no window-system library", os::WindowStation::kNoUserInterface},
  };
  for (const Situation& s : situations) {
    for (const auto& [stationName, station] : stations) {
      SetUp();
      SCOPED_TRACE(std::string(s.name) + ", " + stationName);
      fake->windowStation = station;
      s.arrange();
      uint32_t exitCode = 0;
      try {
        exitCode = Run(s.arguments);
      } catch (const FakeExit& exit) {
        exitCode = exit.code;  // a fatal staging error ends the process
      }
      EXPECT_EQ(exitCode, s.exitCode);
      const bool shown = s.box && (station == os::WindowStation::kVisible ||
                                   station == os::WindowStation::kUnknown);
      EXPECT_EQ(fake->messageBoxes.size(), shown ? 1u : 0u);
      EXPECT_TRUE(fake->startedCommandLines.empty());
    }
  }
}
