#include "build_constants.h"
#include "platform/text.h"
#include "staging/staging.h"

namespace {

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorFilenameTooLong = 206;

// True when the system call filled buffer with a usable, terminated folder.
bool Fits(uint32_t length) { return length != 0 && length < os::kPathCapacity; }

bool FromKnownFolder(char* buffer) {
  os::Module shell32 = os::LoadSystemLibrary("shell32.dll");
  if (shell32 == nullptr) return false;
  const bool found = os::KnownFolderLocalAppDataLow(shell32, buffer) == os::FolderCall::kSucceeded;
  os::FreeLibrary(shell32);
  return found;
}

bool FromProfileOrWindows(char* buffer) {
  const uint32_t length = os::EnvironmentVariable("USERPROFILE", buffer, os::kPathCapacity);
  if (length != 0) return Fits(length);  // too long a profile is not replaced by another folder
  return Fits(os::WindowsDirectory(buffer, os::kPathCapacity));
}

bool FromShellFolders(char* buffer) {
  // shfolder.dll forwards its function to shell32.dll, and the loader resolves
  // a forward by name, searching the program's folder too. Loaded first from
  // the system directory, shell32.dll is already in the process by then.
  os::Module shell32 = os::LoadSystemLibrary("shell32.dll");
  os::Module shfolder = os::LoadSystemLibrary("shfolder.dll");
  os::FolderCall call = os::FolderCall::kNotFound;
  if (shfolder != nullptr) {
    call = os::ShGetFolderPathAppData(shfolder, buffer);
    os::FreeLibrary(shfolder);
  } else if (shell32 != nullptr) {
    call = os::ShGetSpecialFolderPathAppData(shell32, buffer);
  }
  if (shell32 != nullptr) os::FreeLibrary(shell32);
  if (call == os::FolderCall::kNotFound) return FromProfileOrWindows(buffer);
  return call == os::FolderCall::kSucceeded;
}

void RequireFits(bool fits) {
  if (!fits) FailWithError(kCreateFileFailure, kErrorFilenameTooLong);
}

// Set once the folders below the base folder are held (on the main thread,
// before the cabinet thread exists); the handles stay open until the process ends.
bool chainHeld = false;

// Holds a folder of the chain for the rest of the run, so that no other
// process can rename or delete it or put a link in its place while the
// elevated writes and the installer go through it. A folder that is a
// link (a junction or symbolic link planted in advance) is refused before
// anything is written through it; so is a file in a folder's place. Other
// reparse points (a cloud or compressed folder) hold files like any folder.
void HoldChainFolder(const char* path) {
  if (chainHeld) return;
  // Without its closing backslash: a trailing separator would make the system
  // look through a link instead of at it.
  char folderPath[os::kPathCapacity];
  CopyText(folderPath, sizeof folderPath, path);
  const size_t length = TextLength(folderPath);
  // Every folder of the chain has a name; the length test only keeps the index in the buffer.
  if (length > 0 && folderPath[length - 1] == '\\') folderPath[length - 1] = '\0';
  os::Handle folder = os::HoldFolder(folderPath);
  if (folder == nullptr) {
    // A folder that is not there means the file's path is not found either.
    const uint32_t error = os::GetLastError();
    FailWithError(kCreateFileFailure, error == kErrorFileNotFound ? kErrorPathNotFound : error);
  }
  const os::FileFacts facts = RefuseRedirection(folder, folderPath, kCreateFileFailure).facts;
  if ((facts.attributes & os::kAttributeDirectory) == 0) {
    FailWithError(kCreateFileFailure, kErrorPathNotFound);
  }
}

// Creates the vendor, family and product folders below the base folder in
// buffer, holds them, and leaves the product folder's path there.
void AppendFolderChain(char* buffer, bool x64) {
  RequireFits(AppendFormat(buffer, os::kPathCapacity, "\\%s\\", build::kVendorFolder));
  os::MakeDirectory(buffer);
  HoldChainFolder(buffer);
  RequireFits(AppendFormat(buffer, os::kPathCapacity, "%s\\", build::kFamilyFolder));
  os::MakeDirectory(buffer);
  HoldChainFolder(buffer);
  RequireFits(AppendFormat(buffer, os::kPathCapacity, "%s%s%s", build::kProductTag,
                           build::kProductVersion, x64 ? build::kX64FolderSuffix : ""));
  os::MakeDirectory(buffer);
  HoldChainFolder(buffer);
  chainHeld = true;
}

// The base folder is looked up once per run: every look-up loads and unloads
// the shell's libraries, which costs the cabinet thread more than a cabinet's
// writes. It is filled on the main thread (package path) before the cabinet
// thread exists, and only read afterwards.
char cachedBaseFolder[os::kPathCapacity];

void StartAtBaseFolder(char* buffer) {
  if (cachedBaseFolder[0] == '\0' && !GetStagingBaseFolder(cachedBaseFolder)) {
    FailWithError(kCreateFileFailure, kErrorPathNotFound);
  }
  CopyText(buffer, os::kPathCapacity, cachedBaseFolder);
}

}  // namespace

void ForgetCachedBaseFolderForTesting() {
  cachedBaseFolder[0] = '\0';
  chainHeld = false;
}

bool IsX64Variant() { return TextEqualsIgnoreCase(build::kArchitectureTag, "amd64"); }

bool GetStagingBaseFolder(char* buffer) {
  buffer[0] = '\0';
  const bool found = IsNt6() ? FromKnownFolder(buffer) : FromShellFolders(buffer);
  if (!found || buffer[0] == '\0') {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

void BuildPackagePath(char* buffer, bool x64) {
  StartAtBaseFolder(buffer);
  os::MakeDirectory(buffer);
  AppendFolderChain(buffer, x64);
  RequireFits(AppendFormat(buffer, os::kPathCapacity, "\\%s%s.msi", build::kProductTag,
                           build::kProductVersion));
}

void BuildCabinetPath(char* buffer, const char* cabinetName, bool x64) {
  StartAtBaseFolder(buffer);  // the base folder itself is not created here
  AppendFolderChain(buffer, x64);
  RequireFits(AppendFormat(buffer, os::kPathCapacity, "\\%s.cab", cabinetName));
}
