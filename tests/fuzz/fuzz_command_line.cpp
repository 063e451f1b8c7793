// Any command line, in a single-byte or a double-byte code page, through
// splitting, translation, the quiet switch and the installer command line:
// no overrun, and every buffer stays terminated within its capacity.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "launcher/launcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FakeSystem system;
  fake = &system;
  if (data[0] & 1) {  // the lead bytes of code page 932
    for (int b = 0x81; b <= 0x9F; ++b) system.leadBytes.insert(static_cast<unsigned char>(b));
    for (int b = 0xE0; b <= 0xFC; ++b) system.leadBytes.insert(static_cast<unsigned char>(b));
  }
  std::string commandLine(reinterpret_cast<const char*>(data + 1), size - 1);
  commandLine = commandLine.c_str();  // the system's command line ends at its first NUL

  LaunchOptions options{1033, false, false, ""};
  TranslateCommandLine(commandLine.c_str(), &options);
  if (std::strlen(options.forwarded) >= kForwardedCapacity) std::abort();
  const bool quietFits = AddQuietSwitch(&options);
  if (std::strlen(options.forwarded) >= kForwardedCapacity) std::abort();

  char line[kCommandLineCapacity];
  const std::string path(200, 'p');
  if (ComposeCommandLine(line, sizeof line, path.c_str(), path.c_str(), options.transformLanguage,
                         options.forwarded)) {
    if (std::strlen(line) >= kCommandLineCapacity) std::abort();
  } else if (line[0] != '\0') {
    std::abort();  // a refused command line is never left half written
  }
  (void)quietFits;
  fake = nullptr;
  return 0;
}
