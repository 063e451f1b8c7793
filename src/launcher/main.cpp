// The platform's GUI entry: the arguments come from the command line itself.
#include "launcher/launcher.h"

extern "C" int __stdcall WinMain(os::Module instance, os::Module, char*, int) {
  return static_cast<int>(RunLaunchSequence(instance));
}
