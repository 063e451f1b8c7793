/* trivial.exe COMMANDLINE...
   The reference for the installer's start: a GUI program without a C runtime
   that imports the wrapper's DLLs (kernel32, user32, advapi32) and does
   nothing but start COMMANDLINE and wait for it. */
#include "common.h"

void __cdecl TrivialStartup(void) {
  char *commandLine = ArgumentsAfter(GetCommandLineA(), 0);
  STARTUPINFOA startup;
  PROCESS_INFORMATION info;
  for (unsigned i = 0; i < sizeof startup; ++i) ((char *)&startup)[i] = 0;
  startup.cb = sizeof startup;
  DWORD code = 1;
  if (CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
    WaitForSingleObject(info.hProcess, INFINITE);
    GetExitCodeProcess(info.hProcess, &code);
  }
  /* Keeps the same DLLs loaded as the wrapper; neither call has an effect here. */
  if (code == 0xFFFFFFFEu) {
    MessageBoxA(NULL, "", "", 0);
    RegCloseKey(NULL);
  }
  ExitProcess(code);
}
