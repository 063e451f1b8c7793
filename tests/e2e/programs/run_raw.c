/* run_raw JOBFILE RESULTFILE

   Carries out the job file line by line (fields separated by tabs) and appends
   one result line per reporting command to RESULTFILE:

     setval ROOT KEY NAME TYPE HEXDATA   set a value with exact bytes (ROOT: HKLM, HKCU, ...)
     delval ROOT KEY NAME                delete a value
     delkey ROOT KEY                     delete a key with everything below it
     getval ROOT KEY NAME                -> "value NAME TYPE HEXDATA" or "novalue NAME ERROR"
     keyinfo ROOT KEY                    -> "key KEY SUBKEYS VALUES" or "nokey KEY ERROR"
     keyacl ROOT KEY ACCESS              give the key a DACL that grants everyone ACCESS
                                         and WRITE_DAC, nothing else (0x20019: read
                                         only) -> "keyacl KEY ERROR" (0: done)
     openkey ROOT KEY ACCESS             -> "openkey KEY ACCESS ERROR" (0: it opens)
     run TIMEOUT_MS HEXCMDLINE           -> "exit 0xXXXXXXXX", "timeout" or "nostart ERROR"
     hidden                              later runs start on a desktop of a new window
                                         station that is not visible (as for a service
                                         account) -> "hidden VISIBLE ERROR"

   The command line of "run" is hex, so that quotes, backslashes and double-byte
   characters reach CreateProcessA exactly as given; the child gets this
   process's environment and current folder. A child still running at the
   time-out is terminated. The program's own exit code is 0 when every line
   could be carried out, 2 otherwise. */
#define _WIN32_WINNT 0x0601
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common.h"

static const char *resultPath;

static void Report(const char *format, ...) {
  va_list args;
  va_start(args, format);
  AppendLineV(resultPath, format, args);
  va_end(args);
}

/* Splits line at tabs in place; returns the field count. */
static int SplitFields(char *line, char **fields, int maximum) {
  int count = 0;
  fields[count++] = line;
  for (char *p = line; *p != '\0' && count < maximum; ++p) {
    if (*p == '\t') {
      *p = '\0';
      fields[count++] = p + 1;
    }
  }
  return count;
}

static BOOL SetValue(char **f) {
  REGSAM view;
  HKEY root = RootKeyByName(f[1], &view);
  static unsigned char data[65536];
  int size = HexDecode(f[5], strlen(f[5]), data, sizeof data);
  if (root == NULL || size < 0) return FALSE;
  HKEY key;
  if (RegCreateKeyExA(root, f[2], 0, NULL, 0, KEY_SET_VALUE | view, NULL, &key, NULL) != ERROR_SUCCESS) return FALSE;
  LONG result = RegSetValueExA(key, f[3], 0, strtoul(f[4], NULL, 0), data, (DWORD)size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

static BOOL DeleteValue(char **f) {
  REGSAM view;
  HKEY root = RootKeyByName(f[1], &view);
  HKEY key;
  if (root == NULL) return FALSE;
  LONG result = RegOpenKeyExA(root, f[2], 0, KEY_SET_VALUE | view, &key);
  if (result == ERROR_FILE_NOT_FOUND) return TRUE;
  if (result != ERROR_SUCCESS) return FALSE;
  result = RegDeleteValueA(key, f[3]);
  RegCloseKey(key);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

static BOOL DeleteKey(char **f) {
  REGSAM view;
  HKEY root = RootKeyByName(f[1], &view);
  if (root == NULL) return FALSE;
  HKEY key;
  LONG result = RegOpenKeyExA(root, f[2], 0, KEY_ALL_ACCESS | view, &key);
  if (result == ERROR_SUCCESS) {
    result = RegDeleteTreeA(key, NULL);
    RegCloseKey(key);
  }
  if (result == ERROR_SUCCESS) result = RegDeleteKeyExA(root, f[2], view, 0);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

static BOOL GetValue(char **f) {
  REGSAM view;
  HKEY root = RootKeyByName(f[1], &view);
  HKEY key;
  if (root == NULL) return FALSE;
  LONG result = RegOpenKeyExA(root, f[2], 0, KEY_QUERY_VALUE | view, &key);
  if (result == ERROR_SUCCESS) {
    static unsigned char data[65536];
    static char hex[2 * sizeof data + 1];
    DWORD type = 0, size = sizeof data;
    result = RegQueryValueExA(key, f[3], NULL, &type, data, &size);
    RegCloseKey(key);
    if (result == ERROR_SUCCESS) {
      HexEncode(data, size, hex);
      Report("value\t%s\t%lu\t%s", f[3], type, hex);
      return TRUE;
    }
  }
  Report("novalue\t%s\t%ld", f[3], result);
  return TRUE;
}

static BOOL KeyInfo(char **f) {
  REGSAM view;
  HKEY root = RootKeyByName(f[1], &view);
  HKEY key;
  if (root == NULL) return FALSE;
  LONG result = RegOpenKeyExA(root, f[2], 0, KEY_QUERY_VALUE | view, &key);
  if (result == ERROR_SUCCESS) {
    DWORD subkeys = 0, values = 0;
    result = RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    if (result == ERROR_SUCCESS) {
      Report("key\t%s\t%lu\t%lu", f[2], subkeys, values);
      return TRUE;
    }
  }
  Report("nokey\t%s\t%ld", f[2], result);
  return TRUE;
}

static BOOL KeyAcl(char **f) {
  REGSAM view;
  HKEY root = RootKeyByName(f[1], &view);
  if (root == NULL) return FALSE;
  SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
  PSID everyone = NULL;
  static unsigned char aclBuffer[256];
  PACL acl = (PACL)aclBuffer;
  SECURITY_DESCRIPTOR descriptor;
  LONG result = ERROR_INVALID_FUNCTION;
  if (AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone) &&
      InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION) &&
      AddAccessAllowedAce(acl, ACL_REVISION, strtoul(f[3], NULL, 0) | WRITE_DAC, everyone) &&
      InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
    HKEY key;
    result = RegOpenKeyExA(root, f[2], 0, WRITE_DAC | view, &key);
    if (result == ERROR_SUCCESS) {
      result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
      RegCloseKey(key);
    }
  } else {
    result = (LONG)GetLastError();
  }
  if (everyone != NULL) FreeSid(everyone);
  Report("keyacl\t%s\t%ld", f[2], result);
  return TRUE;
}

static BOOL OpenKey(char **f) {
  REGSAM view;
  HKEY root = RootKeyByName(f[1], &view);
  if (root == NULL) return FALSE;
  HKEY key;
  LONG result = RegOpenKeyExA(root, f[2], 0, strtoul(f[3], NULL, 0) | view, &key);
  if (result == ERROR_SUCCESS) RegCloseKey(key);
  Report("openkey\t%s\t%s\t%ld", f[2], f[3], result);
  return TRUE;
}

/* A window station is visible only when it is the interactive one; a new one
   is not. This process moves onto it too, because threads that the child
   creates later land on the desktop of its parent's thread. The window
   system's library is loaded only here: most jobs never need it, and under an
   emulator every library a process loads costs its start-up time. */
typedef HWINSTA(WINAPI *CreateWindowStationFn)(LPCSTR, DWORD, ACCESS_MASK, LPSECURITY_ATTRIBUTES);
typedef BOOL(WINAPI *SetProcessWindowStationFn)(HWINSTA);
typedef HDESK(WINAPI *CreateDesktopFn)(LPCSTR, LPCSTR, DEVMODEA *, DWORD, ACCESS_MASK, LPSECURITY_ATTRIBUTES);
typedef BOOL(WINAPI *SetThreadDesktopFn)(HDESK);
typedef BOOL(WINAPI *GetUserObjectInformationFn)(HANDLE, int, PVOID, DWORD, LPDWORD);

static BOOL Hidden(void) {
  static const char station[] = "wrapper-e2e-hidden";
  HMODULE user32 = LoadLibraryA("user32.dll");
  CreateWindowStationFn createStation =
      user32 ? (CreateWindowStationFn)(void (*)(void))GetProcAddress(user32, "CreateWindowStationA") : NULL;
  SetProcessWindowStationFn setStation =
      user32 ? (SetProcessWindowStationFn)(void (*)(void))GetProcAddress(user32, "SetProcessWindowStation") : NULL;
  CreateDesktopFn createDesktop =
      user32 ? (CreateDesktopFn)(void (*)(void))GetProcAddress(user32, "CreateDesktopA") : NULL;
  SetThreadDesktopFn setDesktop =
      user32 ? (SetThreadDesktopFn)(void (*)(void))GetProcAddress(user32, "SetThreadDesktop") : NULL;
  GetUserObjectInformationFn objectInformation =
      user32 ? (GetUserObjectInformationFn)(void (*)(void))GetProcAddress(user32, "GetUserObjectInformationA") : NULL;
  HWINSTA winsta = NULL;
  HDESK desktop = NULL;
  LONG error = 0;
  USEROBJECTFLAGS flags = {0};
  if (!createStation || !setStation || !createDesktop || !setDesktop || !objectInformation) {
    error = (LONG)GetLastError();
    if (error == 0) error = ERROR_PROC_NOT_FOUND;
  } else if ((winsta = createStation(station, 0, WINSTA_ALL_ACCESS, NULL)) == NULL || !setStation(winsta) ||
             (desktop = createDesktop("hidden", NULL, NULL, 0, GENERIC_ALL, NULL)) == NULL ||
             !setDesktop(desktop) ||
             !objectInformation(winsta, UOI_FLAGS, &flags, sizeof flags, NULL)) {
    error = (LONG)GetLastError();
  }
  Report("hidden\t%d\t%ld", (flags.dwFlags & WSF_VISIBLE) ? 1 : 0, error);
  if (error == 0) childDesktop = "wrapper-e2e-hidden\\hidden";
  return error == 0;
}

static BOOL Run(char **f) {
  DWORD timeout = strtoul(f[1], NULL, 0);
  static char commandLine[40000];
  int size = HexDecode(f[2], strlen(f[2]), (unsigned char *)commandLine, sizeof commandLine - 1);
  if (size < 0) return FALSE;
  commandLine[size] = '\0';
  DWORD result = 0;
  switch (RunChild(commandLine, timeout, &result)) {
    case CHILD_NOT_STARTED: Report("nostart\t%lu", result); break;
    case CHILD_TIMED_OUT: Report("timeout"); break;
    case CHILD_EXITED: Report("exit\t0x%08lx", result); break;
  }
  return TRUE;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: run_raw JOBFILE RESULTFILE\n");
    return 2;
  }
  resultPath = argv[2];
  char *job = ReadWholeFile(argv[1], NULL);
  if (job == NULL) {
    fprintf(stderr, "run_raw: cannot read %s\n", argv[1]);
    return 2;
  }
  int failures = 0;
  for (char *line = strtok(job, "\r\n"); line != NULL; line = strtok(NULL, "\r\n")) {
    char *f[8] = {0};
    int n = SplitFields(line, f, 8);
    BOOL ok = FALSE;
    if (strcmp(f[0], "setval") == 0 && n == 6) ok = SetValue(f);
    else if (strcmp(f[0], "delval") == 0 && n == 4) ok = DeleteValue(f);
    else if (strcmp(f[0], "delkey") == 0 && n == 3) ok = DeleteKey(f);
    else if (strcmp(f[0], "getval") == 0 && n == 4) ok = GetValue(f);
    else if (strcmp(f[0], "keyinfo") == 0 && n == 3) ok = KeyInfo(f);
    else if (strcmp(f[0], "keyacl") == 0 && n == 4) ok = KeyAcl(f);
    else if (strcmp(f[0], "openkey") == 0 && n == 4) ok = OpenKey(f);
    else if (strcmp(f[0], "run") == 0 && n == 3) ok = Run(f);
    else if (strcmp(f[0], "hidden") == 0 && n == 1) ok = Hidden();
    if (!ok) {
      Report("error\t%s", f[0]);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 2;
}
