#include "build_constants.h"
#include "installer/installer.h"
#include "launcher/launcher.h"
#include "platform/text.h"
#include "staging/staging.h"

namespace {

constexpr char kCommandLineTooLong[] =
    "The command line is too long for the installer. The installation was not started.";

// A command line that does not fit is refused, never cut: a cut one could drop
// or change a property the installation depends on.
uint32_t RefuseCommandLine(bool quiet) {
  if (!quiet) ShowErrorMessage(kCommandLineTooLong, "Error", os::kMbIconError);
  return os::kErrorInvalidCommandLine;
}

void ShowEngineMessage(os::Module instance) {
  char message[1024];
  if (os::LoadStringResource(instance, kEngineMessageId, message, sizeof message) == 0) {
    message[0] = '\0';
  }
  ShowErrorMessage(message, "", os::kMbIconError);
}

}  // namespace

uint32_t RunAndWait(char* commandLine) {
  os::Handle process = nullptr;
  if (!os::StartProcess(commandLine, &process)) return kExitFailure;
  os::WaitForever(process);
  uint32_t exitCode = kExitFailure;
  if (!os::GetExitCodeProcess(process, &exitCode)) exitCode = kExitFailure;
  os::CloseHandle(process);
  return exitCode;
}

uint32_t RunLaunchSequence(os::Module instance) {
  LaunchOptions options;
  options.transformLanguage = SelectDefaultLanguage();
  options.quiet = false;
  options.overflow = false;
  options.forwarded[0] = '\0';
  TranslateCommandLine(os::CommandLineText(), &options);
  // " /qn" is added now rather than after staging, so that a command line
  // too long for it is refused before anything is written.
  if (options.overflow || !AddQuietSwitch(&options)) return RefuseCommandLine(options.quiet);

  const bool x64 = IsX64Variant();
  if (!IsInstallerEngineSufficient()) {
    ShowEngineMessage(instance);
    return kExitEngineTooOld;
  }

  char packagePath[os::kPathCapacity];
  BuildPackagePath(packagePath, x64);
  if (!ExtractResourceToFile(instance, build::kPackageResourceId, build::kPackageResourceType,
                             packagePath)) {
    return kExitFailure;
  }

  char installerPath[os::kPathCapacity];
  if (!GetMsiexecPath(installerPath, sizeof installerPath)) return kExitNoMsiexec;

  char commandLine[kCommandLineCapacity];
  if (!ComposeCommandLine(commandLine, sizeof commandLine, installerPath, packagePath,
                          options.transformLanguage, options.forwarded)) {
    return RefuseCommandLine(options.quiet);
  }

  // The event exists before the installer starts, and its handle stays open
  // for the life of the process so that a signal outlives the thread.
  CreateExtractionEvent();
  os::Handle thread = os::CreateThread(CabinetExtractionThread, instance);
  if (thread != nullptr) {
    os::CloseHandle(thread);
  } else {
    // Without the thread nobody would write the cabinets or signal the event,
    // and the package would wait for them in vain: write them first instead.
    CabinetExtractionThread(instance);
  }

  uint32_t result = RunAndWait(commandLine);
  if (TakeReinstallRequest()) result = RunAndWait(commandLine);
  return result;
}
