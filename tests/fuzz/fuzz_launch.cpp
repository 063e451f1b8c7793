// A whole run against a system that fails: the input scripts which calls of
// the platform fail (the Nth call of an operation, with an error code), what
// an earlier run left in the staging folder (reparse points of any tag, hard
// links), the kind of system and the command line. Whatever fails, the run
// never ends with exit code 0 after a failure, never reports success with a
// staged file that is not the embedded one, never writes through a name that
// leads elsewhere, and leaves no key or page behind.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "build_constants.h"
#include "fake_platform.h"
#include "launcher/launcher.h"
#include "staging/staging.h"

namespace {

const char* const kOperations[] = {
    "CreateFileForWrite", "TruncateFile", "GetFileFacts", "WriteFile", "CloseHandle",
    "OpenFileHeld", "ReadFile", "AllocatePages", "HoldFolder", "PathAttributes",
    "RemoveReparsePoint", "MakeDirectory", "OpenRegKey", "QueryRegValue", "DeleteRegValue",
    "QueryRegKeyCounts", "DeleteRegKey", "CloseRegKey", "StartProcess", "GetExitCodeProcess",
    "CreateThread", "CreateManualResetEvent", "SetEvent", "SystemDirectory", "WindowsDirectory",
    "EnvironmentVariable", "LoadSystemLibrary", "GetFixedFileVersion", "QueryVersion",
    "FormatSystemMessage", "LoadStringResource", "FindResourceBytes", "QueryWindowStation",
};
constexpr size_t kOperationCount = sizeof kOperations / sizeof kOperations[0];

// Tags an earlier run's file or folder may carry: none told, name surrogates, and others.
const uint32_t kTags[] = {0, 0xA000000C, 0xA0000003, 0x80000013, 0x80000017, 0x9000001A, 0x00001234};
constexpr size_t kTagCount = sizeof kTags / sizeof kTags[0];

const std::string kLocalLow = "C:\\Users\\ana\\AppData\\LocalLow";
const std::string kRoaming = "C:\\Documents and Settings\\ana\\Application Data";

bool Redirects(uint32_t tag) { return tag == 0 || (tag & os::kReparseTagNameSurrogate) != 0; }

struct Input {
  const uint8_t* data;
  size_t size;
  size_t next;
  uint8_t Byte() { return next < size ? data[next++] : 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  Input input{data, size, 0};
  FakeSystem system;
  fake = &system;
  ForgetCachedVersionForTesting();
  ForgetCachedBaseFolderForTesting();

  const uint8_t flags = input.Byte();
  const bool nt6 = (flags & 1) != 0;
  system.major = nt6 ? 6 : 5;
  system.minor = nt6 ? 1 : 1;
  system.runThreadsImmediately = (flags & 2) == 0;
  system.windowStation = (flags & 4) != 0 ? os::WindowStation::kInvisible : os::WindowStation::kVisible;
  const std::string base = nt6 ? kLocalLow : kRoaming;
  system.libraries[nt6 ? "shell32.dll" : "shfolder.dll"] = {true, true, true, base};
  system.environment["USERPROFILE"] = "C:\\Users\\ana";
  system.fileVersions["C:\\Windows\\system32\\msi.dll"] = {0x00040005, 0};
  system.SetRegString("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer", "InstallerLocation",
                      "C:\\Windows\\system32");
  system.registry["hklm\\software"];
  if ((flags & 8) != 0) system.SetRegString("HKLM\\Software\\TarskSoft", "InstallStatus", "reinstall");
  system.exitCodes = {0, 0};
  system.strings[4] = "engine too old";
  const std::vector<unsigned char> package = PatternBytes(20000);
  system.resources[{build::kPackageResourceType, build::kPackageResourceId}] = package;
  for (const CabinetRow& row : CabinetTable) {
    system.resources[{row.resourceType, row.resourceId}] = PatternBytes(row.resourceId * 37u);
  }

  // What an earlier run left: the package file, with a tag and a second name,
  // and a reparse point in place of one folder of the chain.
  const std::string folder = base + "\\" + build::kVendorFolder + "\\" + build::kFamilyFolder + "\\" +
                             build::kProductTag + build::kProductVersion + (IsX64Variant() ? "_x64" : "");
  const std::string packagePath = folder + "\\" + build::kProductTag + build::kProductVersion + ".msi";
  const uint8_t earlier = input.Byte();
  const std::vector<unsigned char> planted(300, 0x5A);
  bool plantedRedirects = false;
  if ((earlier & 1) != 0) {
    const uint32_t tag = kTags[(earlier >> 1) % kTagCount];
    const bool reparse = (earlier & 0x10) != 0;
    const uint32_t links = (earlier & 0x20) != 0 ? 2 : 1;
    system.files[packagePath] = planted;
    system.pathFacts[packagePath] = {reparse ? 0x480u : 0x80u, links, planted.size()};
    if (reparse) system.reparseTags[packagePath] = tag;
    plantedRedirects = (reparse && Redirects(tag)) || links > 1;
  }
  if ((earlier & 0x40) != 0) {
    const std::string chain[] = {base + "\\" + build::kVendorFolder,
                                 base + "\\" + build::kVendorFolder + "\\" + build::kFamilyFolder, folder};
    const std::string& which = chain[(earlier >> 1) % 3];
    system.pathFacts[which] = {0x410, 1, 0};
    system.reparseTags[which] = kTags[(earlier >> 3) % kTagCount];
  }

  const uint8_t failureCount = input.Byte() % 8;
  for (uint8_t i = 0; i < failureCount; ++i) {
    const char* operation = kOperations[input.Byte() % kOperationCount];
    const int nth = 1 + input.Byte() % 12;
    system.FailCall(operation, nth, input.Byte());
  }
  std::string arguments(reinterpret_cast<const char*>(data + input.next), size - input.next);
  system.commandLine = "\"C:\\Downloads\\wrapper.exe\" " + std::string(arguments.c_str());

  uint32_t result = 0;
  bool ended = false;  // by the fatal-error path
  try {
    result = RunLaunchSequence(&system);
    system.RunPendingThreads();  // the cabinet thread, after the installer
  } catch (const FakeExit& exit) {
    ended = true;
    result = exit.code;
  }

  if (ended) {
    if (result == 0) std::abort();  // a failure never ends as success
    for (const FakeMessageBox& box : system.messageBoxes) {
      if (box.text.rfind("Installer : Wrapper.", 0) == 0 &&
          box.text.find(" failed with error " + std::to_string(static_cast<int32_t>(result))) == std::string::npos) {
        std::abort();  // the box names the code the process ends with
      }
    }
  } else {
    if (system.openRegKeys != 0) std::abort();
    if (!system.pages.empty()) std::abort();
    if (result == 0) {
      // Success: the installer ran, and what it reads is what was embedded.
      if (system.startedCommandLines.empty()) std::abort();
      // The package the installer was given (a fallback base folder may have served).
      const std::string& line = system.startedCommandLines[0];
      const size_t open = line.find("/i \"");
      if (open == std::string::npos) std::abort();
      const size_t close = line.find('"', open + 4);
      if (close == std::string::npos) std::abort();
      const std::string staged = line.substr(open + 4, close - open - 4);
      if (system.files[staged] != package) std::abort();
      const std::string stagedFolder = staged.substr(0, staged.rfind('\\'));
      for (const CabinetRow& row : CabinetTable) {
        char name[os::kPathCapacity];
        name[0] = '\0';
        std::snprintf(name, sizeof name, row.nameFormat, build::kVersionPart1, build::kVersionPart2,
                      build::kVersionPart3, build::kVersionPart4);
        auto cabinet = system.files.find(stagedFolder + "\\" + name + ".cab");
        if (cabinet != system.files.end() && cabinet->second != PatternBytes(row.resourceId * 37u)) std::abort();
      }
    }
  }
  // A name that leads elsewhere is never written through.
  if (plantedRedirects && system.files[packagePath] != planted) std::abort();
  fake = nullptr;
  return 0;
}
