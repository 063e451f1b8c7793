/* desktop_keeper

   Holds the prefix's desktop open for the whole test run. Wine's desktop
   process (explorer.exe /desktop) ends one second after the last other
   program of its desktop, and the next program to need the desktop starts it
   again with that program's own environment. A case that refuses shell32
   through WINEDLLOVERRIDES would then start a desktop process that crashes
   at once (it needs shell32) and stays frozen under the debugger: no message
   box of that prefix would be shown again. Started first, with a neutral
   environment, this program makes the desktop process start once, from here,
   and keeps it, since it stays a program of that desktop until the prefix's
   server ends it.

   Prints "desktop PID" (the desktop window's process) once the desktop is
   there, then waits for ever. */
#include <windows.h>

int main(void) {
  DWORD owner = 0;
  GetWindowThreadProcessId(GetDesktopWindow(), &owner);
  /* "desktop " and the number, formatted here: no C runtime formatting. */
  char line[32] = "desktop ";
  char digits[12];
  int count = 0;
  do {
    digits[count++] = (char)('0' + owner % 10);
    owner /= 10;
  } while (owner != 0);
  int length = 8;
  while (count > 0) line[length++] = digits[--count];
  line[length++] = '\n';
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)length, &written, NULL);
  Sleep(INFINITE);
  return 0;
}
