/* A DLL that only carries a version resource: the product reads the file
   version of msi.dll and never loads it. */
#include <windows.h>

BOOL WINAPI DllEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
