/* hostile REPORT FOLDER NAME...

   A process of the same user that tries to change the staged files while the
   installer waits: for each NAME in FOLDER it opens the file for writing,
   deletes it, renames it and moves another file onto it; then it renames
   FOLDER itself. Each attempt is appended to REPORT as
   "attempt WHAT NAME SUCCEEDED ERROR" (SUCCEEDED 1 when the system allowed
   it). The control attempts on a file of its own ("decoy") show that the
   same calls do succeed where nothing holds the file. Exit code 0. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "common.h"

static const char *report;

static void Record(const char *what, const char *name, BOOL ok) {
  DWORD error = ok ? 0 : GetLastError();
  char line[1024];
  int length = snprintf(line, sizeof line, "attempt\t%s\t%s\t%d\t%lu\n", what, name, ok ? 1 : 0, error);
  if (length > 0) AppendToFile(report, line, (DWORD)length);
}

static BOOL MakeFile(const char *path, const char *text) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  DWORD done = 0;
  BOOL ok = WriteFile(file, text, (DWORD)strlen(text), &done, NULL);
  CloseHandle(file);
  return ok;
}

/* The four attacks on one file; the file is left in place when they fail.
   With recreate, the file is made anew before each (the control). */
static void Attack(const char *folder, const char *name, BOOL recreate) {
  char path[MAX_PATH], moved[MAX_PATH], decoy[MAX_PATH];
  snprintf(path, sizeof path, "%s\\%s", folder, name);
  snprintf(moved, sizeof moved, "%s\\%s.moved", folder, name);
  snprintf(decoy, sizeof decoy, "%s\\%s.decoy", folder, name);
  if (recreate) MakeFile(path, "control");

  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD done = 0;
    WriteFile(file, "HOSTILE", 7, &done, NULL);
    CloseHandle(file);
    Record("write", name, TRUE);
  } else {
    Record("write", name, FALSE);
  }
  if (recreate) MakeFile(path, "control");
  Record("delete", name, DeleteFileA(path));
  if (recreate) MakeFile(path, "control");
  Record("rename", name, MoveFileA(path, moved));
  if (recreate) {
    DeleteFileA(moved);
    MakeFile(path, "control");
  }
  BOOL made = MakeFile(decoy, "HOSTILE REPLACEMENT");
  Record("replace", name, made && MoveFileExA(decoy, path, MOVEFILE_REPLACE_EXISTING));
  DeleteFileA(decoy);
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: hostile REPORT FOLDER NAME...\n");
    return 2;
  }
  report = argv[1];
  const char *folder = argv[2];
  for (int i = 3; i < argc; ++i) Attack(folder, argv[i], FALSE);

  /* Control: the same calls on a file nobody holds. */
  char control[MAX_PATH];
  snprintf(control, sizeof control, "%s\\control.tmp", folder);
  Attack(folder, "control.tmp", TRUE);
  DeleteFileA(control);

  char other[MAX_PATH];
  snprintf(other, sizeof other, "%s-moved", folder);
  BOOL renamed = MoveFileA(folder, other);
  Record("rename-folder", "", renamed);
  if (renamed) MoveFileA(other, folder);
  return 0;
}
