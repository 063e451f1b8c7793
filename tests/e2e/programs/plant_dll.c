/* A DLL to plant under the names of system libraries. When a process loads
   it, it leaves a mark: a file named after itself ("shell32.dll.mark") in the
   folder named by PLANT_MARK_DIR (default C:\planted), holding the path of
   the program that loaded it. It exports nothing, so a process that really
   needed the library it impersonates fails to find its functions. */
#include <windows.h>

BOOL WINAPI DllEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char folder[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("PLANT_MARK_DIR", folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) lstrcpyA(folder, "C:\\planted");
  char self[MAX_PATH];
  if (GetModuleFileNameA(instance, self, MAX_PATH) == 0) lstrcpyA(self, "unknown");
  const char *name = self;
  for (const char *p = self; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') name = p + 1;
  }
  char path[2 * MAX_PATH + 16];
  lstrcpyA(path, folder);
  lstrcatA(path, "\\");
  lstrcatA(path, name);
  lstrcatA(path, ".mark");
  CreateDirectoryA(folder, NULL);
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    char program[MAX_PATH + 2];
    DWORD size = GetModuleFileNameA(NULL, program, MAX_PATH);
    program[size++] = '\n';
    DWORD done = 0;
    WriteFile(file, program, size, &done, NULL);
    CloseHandle(file);
  }
  return TRUE;
}
