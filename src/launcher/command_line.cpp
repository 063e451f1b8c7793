#include "launcher/launcher.h"
#include "platform/text.h"

bool AddQuietSwitch(LaunchOptions* options) {
  if (!options->quiet || TextContains(options->forwarded, "/qn")) return true;
  return AppendText(options->forwarded, kForwardedCapacity, " /qn");
}

bool ComposeCommandLine(char* buffer, size_t capacity, const char* installerPath,
                        const char* packagePath, uint16_t transformLanguage,
                        const char* forwarded) {
  if (transformLanguage == kNoTransformLanguage) {
    return FormatText(buffer, capacity, "\"%s\" /i \"%s\" %s WRAPPER=1", installerPath, packagePath,
                      forwarded);
  }
  // The colon takes the transform from the package's own embedded transforms.
  return FormatText(buffer, capacity, "\"%s\" /i \"%s\" TRANSFORMS=:%u %s WRAPPER=1", installerPath,
                    packagePath, static_cast<uint32_t>(transformLanguage), forwarded);
}
