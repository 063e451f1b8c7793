// The process entry. The program needs nothing of a C runtime, so it starts
// here instead: restrict where libraries come from, run, exit with the result.
#include "platform/platform.h"

extern "C" int __stdcall WinMain(os::Module instance, os::Module previous, char* commandLine,
                                 int show);

extern "C" void __cdecl WrapperStartup() {
  os::RestrictLibrarySearch();
  os::ExitProcess(static_cast<uint32_t>(WinMain(os::ThisModule(), nullptr, nullptr, 0)));
}
