/*
 * Test helper for the sample kit, run under Wine.
 *
 *   kittool run COMMAND LINE...      runs it, prints "exit=N" with the full
 *                                    32-bit exit code (Linux sees it mod 256)
 *   kittool wait-event TIMEOUT_MS    waits until the cabinet event exists,
 *                                    prints "signalled=0|1"; exit 1 on time-out
 *   kittool deliver SRC DST [HOLD]   copies the eight cabinets in the order the
 *                                    installation needs them, then sets the
 *                                    event and keeps it open HOLD ms
 *   kittool set-event HOLD_MS        creates and sets the event, keeps it open
 *   kittool reg-query KEY VALUE [32|64]
 *                                    HKLM value: "type=N data=HEX" with the
 *                                    bytes as stored (strings in UTF-16),
 *                                    "absent" or "nokey"; 32 or 64 reads that
 *                                    registry view (KEY_WOW64_32KEY /
 *                                    KEY_WOW64_64KEY), otherwise the
 *                                    program's own
 *   kittool reset UNINSTALL_KEY ARP_VIEW VIEW...
 *                                    one start for a case's clean state:
 *                                    deletes HKLM\Software\TarskSoft in each
 *                                    VIEW (32, 64 or "own") and prints
 *                                    "installed=0|1": whether the HKLM key
 *                                    UNINSTALL_KEY exists in ARP_VIEW
 *   kittool apply-transform DB MST DIR TABLE...
 *                                    applies MST to DB with the installer
 *                                    engine and exports the tables to DIR
 *   kittool export DB DIR TABLE...   exports the tables of DB to DIR
 */
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <stdio.h>
#include <string.h>
#include <stdlib.h>

#define WAIT_EVENT_NAME "VelmorTPZCabExtractWaitEvent"

static const char *const cabinets[] = {"sd160130.cab", "ss160130.cab", "st160130.cab",
                                       "sj160130.cab", "sp160130.cab", "sz160130.cab",
                                       "sb160130.cab", "sr160130.cab"};

/* The raw command line after the first two words (program and subcommand). */
static const char *command_tail(void)
{
    const char *p = GetCommandLineA();
    int word;
    for (word = 0; word < 2; word++) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (*p == '"') {
            p++;
            while (*p && *p != '"')
                p++;
            if (*p)
                p++;
        } else {
            while (*p && *p != ' ' && *p != '\t')
                p++;
        }
    }
    while (*p == ' ' || *p == '\t')
        p++;
    return p;
}

static int cmd_run(void)
{
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    DWORD code = 0;
    char *line = _strdup(command_tail());

    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        printf("CreateProcess failed: %lu\n", GetLastError());
        return 2;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    printf("exit=%lu\n", code);
    fflush(stdout);
    return 0;
}

static int cmd_wait_event(DWORD timeout)
{
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, WAIT_EVENT_NAME);
        if (e) {
            int signalled = WaitForSingleObject(e, 0) == WAIT_OBJECT_0;
            printf("signalled=%d\n", signalled);
            CloseHandle(e);
            return 0;
        }
        if (GetTickCount() - start >= timeout) {
            printf("no event\n");
            return 1;
        }
        Sleep(20);
    }
}

/* Creates (or opens) the event, sets it and keeps it alive for hold ms, so
   that an installation started later still finds it. */
static int set_event_and_hold(DWORD hold)
{
    /* Made signalled: an event made unsignalled and then set could be opened
       in between by a program waiting for it, which would see it unset. */
    HANDLE e = CreateEventA(NULL, TRUE, TRUE, WAIT_EVENT_NAME);
    if (!e || !SetEvent(e)) {
        printf("event failed: %lu\n", GetLastError());
        return 1;
    }
    printf("set\n");
    fflush(stdout);
    Sleep(hold);
    CloseHandle(e);
    return 0;
}

static int cmd_deliver(const char *src, const char *dst, DWORD hold)
{
    char from[MAX_PATH], to[MAX_PATH];
    unsigned i;
    for (i = 0; i < sizeof cabinets / sizeof cabinets[0]; i++) {
        snprintf(from, sizeof from, "%s\\%s", src, cabinets[i]);
        snprintf(to, sizeof to, "%s\\%s", dst, cabinets[i]);
        if (!CopyFileA(from, to, FALSE)) {
            printf("copy %s failed: %lu\n", from, GetLastError());
            return 1;
        }
    }
    return set_event_and_hold(hold);
}

/* The wide query returns string data exactly as written, terminator or not. */
static int cmd_reg_query(const char *path, const char *name, REGSAM view)
{
    WCHAR wpath[512], wname[256];
    HKEY key;
    DWORD type = 0, size = 0, i;
    BYTE *data;

    MultiByteToWideChar(CP_ACP, 0, path, -1, wpath, 512);
    MultiByteToWideChar(CP_ACP, 0, name, -1, wname, 256);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wpath, 0, KEY_QUERY_VALUE | view, &key) !=
        ERROR_SUCCESS) {
        printf("nokey\n");
        return 0;
    }
    if (RegQueryValueExW(key, wname, NULL, &type, NULL, &size) != ERROR_SUCCESS) {
        printf("absent\n");
        RegCloseKey(key);
        return 0;
    }
    data = malloc(size + 1);
    RegQueryValueExW(key, wname, NULL, &type, data, &size);
    RegCloseKey(key);
    printf("type=%lu data=", type);
    for (i = 0; i < size; i++)
        printf("%02x", data[i]);
    printf("\n");
    free(data);
    return 0;
}

/* 32, 64 or "own" (the program's own view); -1 for anything else. */
static REGSAM parse_view(const char *text)
{
    if (!strcmp(text, "32"))
        return KEY_WOW64_32KEY;
    if (!strcmp(text, "64"))
        return KEY_WOW64_64KEY;
    if (!strcmp(text, "own") || !*text)
        return 0;
    return (REGSAM)-1;
}

static int cmd_reset(const char *uninstall_key, const char *arp_view, int count, char **views)
{
    WCHAR wpath[512];
    HKEY key;
    REGSAM view = parse_view(arp_view);
    int i, installed = 0;
    LONG rc;

    if (view == (REGSAM)-1) {
        fprintf(stderr, "reset: a view is 32, 64 or own\n");
        return 2;
    }
    MultiByteToWideChar(CP_ACP, 0, uninstall_key, -1, wpath, 512);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wpath, 0, KEY_QUERY_VALUE | view, &key) == ERROR_SUCCESS) {
        installed = 1;
        RegCloseKey(key);
    }
    for (i = 0; i < count; i++) {
        view = parse_view(views[i]);
        if (view == (REGSAM)-1) {
            fprintf(stderr, "reset: a view is 32, 64 or own\n");
            return 2;
        }
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS) {
            fprintf(stderr, "reset: HKLM\\Software cannot be opened\n");
            return 1;
        }
        rc = RegDeleteTreeW(key, L"TarskSoft");
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
            fprintf(stderr, "reset: HKLM\\Software\\TarskSoft cannot be deleted: %ld\n", rc);
            return 1;
        }
    }
    printf("installed=%d\n", installed);
    return 0;
}

static int export_tables(MSIHANDLE db, const char *dir, int count, char **tables)
{
    char file[256];
    int i;
    for (i = 0; i < count; i++) {
        UINT r;
        snprintf(file, sizeof file, "%s.idt", tables[i]);
        r = MsiDatabaseExportA(db, tables[i], dir, file);
        if (r != ERROR_SUCCESS) {
            printf("export %s failed: %u\n", tables[i], r);
            return 1;
        }
    }
    return 0;
}

static int cmd_export(const char *path, const char *mst, const char *dir, int count, char **tables)
{
    MSIHANDLE db;
    UINT r = MsiOpenDatabaseA(path, MSIDBOPEN_READONLY, &db);
    int rc;
    if (r != ERROR_SUCCESS) {
        printf("open %s failed: %u\n", path, r);
        return 1;
    }
    if (mst) {
        r = MsiDatabaseApplyTransformA(db, mst, 0);
        if (r != ERROR_SUCCESS) {
            printf("transform failed: %u\n", r);
            MsiCloseHandle(db);
            return 1;
        }
    }
    rc = export_tables(db, dir, count, tables);
    MsiCloseHandle(db);
    return rc;
}

int main(int argc, char **argv)
{
    if (argc >= 3 && !strcmp(argv[1], "run"))
        return cmd_run();
    if (argc == 3 && !strcmp(argv[1], "wait-event"))
        return cmd_wait_event(strtoul(argv[2], NULL, 10));
    if ((argc == 4 || argc == 5) && !strcmp(argv[1], "deliver"))
        return cmd_deliver(argv[2], argv[3], argc == 5 ? strtoul(argv[4], NULL, 10) : 2000);
    if (argc == 3 && !strcmp(argv[1], "set-event"))
        return set_event_and_hold(strtoul(argv[2], NULL, 10));
    if ((argc == 4 || argc == 5) && !strcmp(argv[1], "reg-query")) {
        REGSAM view = argc == 5 ? parse_view(argv[4]) : 0;
        if (view == (REGSAM)-1) {
            fprintf(stderr, "reg-query: the view is 32, 64 or own\n");
            return 2;
        }
        return cmd_reg_query(argv[2], argv[3], view);
    }
    if (argc >= 4 && !strcmp(argv[1], "reset"))
        return cmd_reset(argv[2], argv[3], argc - 4, argv + 4);
    if (argc >= 6 && !strcmp(argv[1], "apply-transform"))
        return cmd_export(argv[2], argv[3], argv[4], argc - 5, argv + 5);
    if (argc >= 5 && !strcmp(argv[1], "export"))
        return cmd_export(argv[2], NULL, argv[3], argc - 4, argv + 4);
    fprintf(stderr, "usage: see the comment at the top of kittool.c\n");
    return 2;
}
