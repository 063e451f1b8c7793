#include <string>

#include "installer/installer.h"
#include "test_support.h"

using EngineTest = FakePlatformTest;

namespace {
constexpr uint32_t Half(uint32_t high, uint32_t low) { return (high << 16) | low; }
const char kMsiDll[] = "C:\\Windows\\system32\\msi.dll";
}  // namespace

TEST_F(EngineTest, VersionTable) {
  struct Case {
    uint32_t major, minor, build, revision;
    bool sufficient;
  } cases[] = {
      {2, 0, 2600, 0, true},    {2, 0, 2600, 5, true},   {2, 0, 2599, 0xFFFF, false},
      {2, 0, 2599, 0, false},   {2, 0, 0, 0, false},     {2, 1, 0, 0, true},
      {3, 0, 0, 0, true},       {3, 1, 4000, 0, true},   {1, 0xFFFF, 0xFFFF, 0xFFFF, false},
      {1, 20, 2600, 0, false},  {4, 5, 6001, 22308, true},
  };
  for (const Case& c : cases) {
    SetUp();
    fake->fileVersions[kMsiDll] = {Half(c.major, c.minor), Half(c.build, c.revision)};
    EXPECT_EQ(IsInstallerEngineSufficient(), c.sufficient)
        << c.major << "." << c.minor << "." << c.build << "." << c.revision;
    EXPECT_EQ(fake->versionFilesRead, std::vector<std::string>{kMsiDll});
  }
}

TEST_F(EngineTest, EveryFailureCountsAsInsufficient) {
  const std::string tooLong(1024, 's');      // the system reports the size it needs
  const std::string noRoom = "C:\\" + std::string(1013, 's');  // 1016: no room for "\msi.dll"
  const std::string justFits = "C:\\" + std::string(1012, 's');
  struct Case {
    const char* name;
    std::string systemDirectory;
    std::function<void()> arrange;
    bool sufficient;
  } cases[] = {
      {"missing file or version resource", "C:\\Windows\\system32", [] { fake->fileVersions.clear(); }, false},
      {"the version cannot be read", "C:\\Windows\\system32", [] { fake->FailCall("GetFixedFileVersion", 1, 5); }, false},
      {"no system directory", "", [] {}, false},
      {"the system directory cannot be read", "C:\\Windows\\system32", [] { fake->FailCall("SystemDirectory", 1, 5); }, false},
      {"a system directory longer than the buffer", tooLong, [] {}, false},
      {"a system directory without room for the name", noRoom, [] {}, false},
      {"a system directory with just room for the name", justFits, [] {}, true},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    fake->systemDirectory = c.systemDirectory;
    for (const std::string& folder : {std::string("C:\\Windows\\system32"), std::string(), tooLong, noRoom, justFits}) {
      fake->fileVersions[folder + "\\msi.dll"] = {Half(5, 0), 0};
    }
    c.arrange();
    EXPECT_EQ(IsInstallerEngineSufficient(), c.sufficient);
  }
}

TEST_F(EngineTest, MsiexecPath) {
  const std::string key = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer";
  struct Case {
    const char* name;
    uint32_t minor;  // of version 5
    std::function<void()> arrange;
    bool found;
    std::string path;
  } cases[] = {
      {"5.2: system directory, registry not consulted", 2,
       [&] { fake->SetRegString(key, "InstallerLocation", "D:\\elsewhere"); }, true,
       "C:\\Windows\\system32\\msiexec.exe"},
      {"5.2 without a system directory", 2, [] { fake->systemDirectory = ""; }, false, ""},
      {"value present", 1, [&] { fake->SetRegString(key, "InstallerLocation", "C:\\WINDOWS\\system32"); },
       true, "C:\\WINDOWS\\system32\\msiexec.exe"},
      {"trailing backslash is doubled", 1,
       [&] { fake->SetRegString(key, "InstallerLocation", "C:\\WINDOWS\\system32\\"); }, true,
       "C:\\WINDOWS\\system32\\\\msiexec.exe"},
      {"type not examined", 1,
       [&] { fake->SetRegString(key, "InstallerLocation", "C:\\msi", os::kRegExpandSz); }, true,
       "C:\\msi\\msiexec.exe"},
      {"missing key", 1, [] {}, false, ""},
      {"missing value", 1, [&] { fake->SetRegString(key, "Other", "C:\\x"); }, false, ""},
      {"unterminated value", 1,
       [&] { fake->SetRegBytes(key, "InstallerLocation", Bytes("C:\\WINDOWS"), os::kRegSz); }, false, ""},
      {"empty data", 1, [&] { fake->SetRegBytes(key, "InstallerLocation", {}, os::kRegSz); }, false, ""},
      {"empty string", 1, [&] { fake->SetRegString(key, "InstallerLocation", ""); }, false, ""},
      {"DWORD 0 reads as an empty string", 1,
       [&] { fake->SetRegBytes(key, "InstallerLocation", {0, 0, 0, 0}, os::kRegDword); }, false, ""},
      {"relative folder", 1, [&] { fake->SetRegString(key, "InstallerLocation", "system32"); }, false, ""},
      {"drive-relative folder", 1, [&] { fake->SetRegString(key, "InstallerLocation", "C:msi"); }, false, ""},
      {"root-relative folder", 1, [&] { fake->SetRegString(key, "InstallerLocation", "\\Windows"); }, false, ""},
      {"lower-case drive letter", 1, [&] { fake->SetRegString(key, "InstallerLocation", "c:\\windows\\system32"); },
       true, "c:\\windows\\system32\\msiexec.exe"},
      {"a drive that is no letter", 1, [&] { fake->SetRegString(key, "InstallerLocation", "{:\\msi"); }, false, ""},
      {"the value cannot be read", 1,
       [&] { fake->SetRegString(key, "InstallerLocation", "C:\\msi"); fake->FailCall("QueryRegValue", 1, 1450); }, false, ""},
      {"the key cannot be closed", 1,
       [&] { fake->SetRegString(key, "InstallerLocation", "C:\\msi"); fake->FailCall("CloseRegKey", 1, 6); }, true,
       "C:\\msi\\msiexec.exe"},
      {"5.2 with a system directory longer than the buffer", 2, [] { fake->systemDirectory = std::string(260, 's'); },
       false, ""},
      {"5.2 with a system directory that cannot be read", 2, [] { fake->FailCall("SystemDirectory", 1, 5); }, false, ""},
      {"network folder", 1, [&] { fake->SetRegString(key, "InstallerLocation", "\\\\server\\msi"); }, true,
       "\\\\server\\msi\\msiexec.exe"},
      {"no room for the name", 1,
       [&] { fake->SetRegString(key, "InstallerLocation", "C:\\" + std::string(245, 'd')); }, false, ""},
      {"exactly room for the name", 1,
       [&] { fake->SetRegString(key, "InstallerLocation", "C:\\" + std::string(244, 'd')); }, true,
       "C:\\" + std::string(244, 'd') + "\\msiexec.exe"},
      {"larger than the buffer", 1,
       [&] { fake->SetRegString(key, "InstallerLocation", std::string(300, 'd')); }, false, ""},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    fake->major = 5;
    fake->minor = c.minor;
    c.arrange();
    char buffer[os::kPathCapacity];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(GetMsiexecPath(buffer, sizeof buffer), c.found);
    if (c.found) {
      EXPECT_EQ(std::string(buffer), c.path);
    }
    EXPECT_EQ(fake->openRegKeys, 0) << "the key is closed";
  }
}

// The installer's location is read in the process's own registry view: a
// 32-bit build finds the 32-bit msiexec.exe, the 64-bit build the 64-bit one.
TEST_F(EngineTest, MsiexecPathComesFromTheProcesssOwnViewOn64BitWindows) {
  fake->windows64 = true;
  fake->major = 6;
  fake->minor = 1;
  fake->SetRegString("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer",
                     "InstallerLocation", "C:\\Windows\\system32");
  fake->SetRegString("HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Installer",
                     "InstallerLocation", "C:\\Windows\\SysWOW64");
  char buffer[os::kPathCapacity];
  ASSERT_TRUE(GetMsiexecPath(buffer, sizeof buffer));
  EXPECT_EQ(std::string(buffer), FAKE_PROCESS_BITS == 64 ? "C:\\Windows\\system32\\msiexec.exe"
                                                         : "C:\\Windows\\SysWOW64\\msiexec.exe");
}
