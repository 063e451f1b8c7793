/* boxreader [WAIT_MS]

   Prints one line per visible message box (a top-level dialog of class #32770)
   on the desktop, waiting up to WAIT_MS for the first one:

     box PID CAPTION_W TEXT_W CAPTION_A TEXT_A BUTTONS ICON

   CAPTION_W/TEXT_W are hex UTF-16LE as shown on screen, CAPTION_A/TEXT_A hex
   bytes read back in this process's ANSI code page, BUTTONS the button texts
   (hex UTF-16LE) joined by '|', ICON "icon" when the box shows an icon, else "none"
   (which icon cannot be told from another process under Wine).
   Exit code: 0 when a box was found, 1 otherwise. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common.h"

struct Box {
  WCHAR textW[4096];
  char textA[8192];
  char buttons[2048];
  HICON icon;
};

static BOOL CALLBACK VisitChild(HWND child, LPARAM parameter) {
  struct Box *box = (struct Box *)parameter;
  char className[64];
  GetClassNameA(child, className, sizeof className);
  if (lstrcmpiA(className, "Static") == 0) {
    HICON icon = (HICON)SendMessageA(child, STM_GETICON, 0, 0);
    if (icon != NULL) box->icon = icon;
    WCHAR text[4096];
    if (box->textW[0] == 0 && GetWindowTextW(child, text, 4096) > 0 && icon == NULL) {
      lstrcpyW(box->textW, text);
      GetWindowTextA(child, box->textA, sizeof box->textA);
    }
  } else if (lstrcmpiA(className, "Button") == 0) {
    WCHAR text[64];
    char hex[sizeof text * 2 + 1];
    int length = GetWindowTextW(child, text, 64);
    HexEncode(text, (size_t)length * 2, hex);
    if (box->buttons[0] != '\0') strncat(box->buttons, "|", sizeof box->buttons - strlen(box->buttons) - 1);
    strncat(box->buttons, hex, sizeof box->buttons - strlen(box->buttons) - 1);
  }
  return TRUE;
}

static int found;

static BOOL CALLBACK VisitTop(HWND window, LPARAM parameter) {
  (void)parameter;
  char className[64];
  if (!IsWindowVisible(window) || !GetClassNameA(window, className, sizeof className) ||
      strcmp(className, "#32770") != 0) {
    return TRUE;
  }
  static struct Box box;
  memset(&box, 0, sizeof box);
  EnumChildWindows(window, VisitChild, (LPARAM)&box);
  WCHAR captionW[1024];
  char captionA[2048];
  int captionLength = GetWindowTextW(window, captionW, 1024);
  int captionALength = GetWindowTextA(window, captionA, sizeof captionA);
  static char hex[4][16384 * 2 + 1];
  HexEncode(captionW, (size_t)captionLength * 2, hex[0]);
  HexEncode(box.textW, lstrlenW(box.textW) * 2, hex[1]);
  HexEncode(captionA, (size_t)captionALength, hex[2]);
  HexEncode(box.textA, strlen(box.textA), hex[3]);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  const char *icon = box.icon != NULL ? "icon" : "none";
  printf("box\t%lu\t%s\t%s\t%s\t%s\t%s\t%s\n", pid, hex[0], hex[1], hex[2], hex[3], box.buttons, icon);
  ++found;
  return TRUE;
}

int main(int argc, char **argv) {
  DWORD wait = argc > 1 ? strtoul(argv[1], NULL, 0) : 0;
  DWORD start = GetTickCount();
  for (;;) {
    EnumWindows(VisitTop, 0);
    if (found > 0 || GetTickCount() - start >= wait) break;
    Sleep(100);
  }
  fflush(stdout);
  return found > 0 ? 0 : 1;
}
