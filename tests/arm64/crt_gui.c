/* Start of a GUI test program on arm64 (see crt_arm64.c). The programs read
   their own command line with GetCommandLineA; WinMain's is only passed on. */
#include <stdlib.h>
#include <windows.h>

void WinMainCRTStartup(void) {
  exit(WinMain(GetModuleHandleA(NULL), NULL, GetCommandLineA(), SW_SHOWDEFAULT));
}
