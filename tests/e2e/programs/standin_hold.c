/* A stand-in for msiexec.exe that behaves like the real engine towards the
   package: it opens the package named after /i with read access and read
   sharing only, holds it for STANDIN_HOLD_MS milliseconds (default 2000),
   then does what the recording stand-in does (standin_msiexec.c, compiled
   into this program under another entry name). Built as hold/msiexec.exe. */
#include <windows.h>
#include <stdlib.h>
#include <string.h>

int WINAPI StandinWinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR ignored, int show) {
  const char *commandLine = GetCommandLineA();
  char package[MAX_PATH] = "";
  const char *start = strstr(commandLine, " /i \"");
  if (start != NULL) {
    start += 5;
    const char *end = strchr(start, '"');
    if (end != NULL && (size_t)(end - start) < sizeof package) {
      memcpy(package, start, (size_t)(end - start));
      package[end - start] = '\0';
    }
  }
  char value[64];
  DWORD hold = 2000;
  if (GetEnvironmentVariableA("STANDIN_HOLD_MS", value, sizeof value)) hold = strtoul(value, NULL, 0);
  HANDLE file = CreateFileA(package, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  Sleep(hold);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return StandinWinMain(instance, previous, ignored, show);
}
