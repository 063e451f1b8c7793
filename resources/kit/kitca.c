/*
 * Custom actions of the sample kit package.
 *
 * WaitForCabinets   immediate, before InstallFiles: with WRAPPER=1 the package
 *                   is started before its external cabinets exist; the wrapper
 *                   writes them and then sets a named manual-reset event.
 * PrepareInstallStatus  immediate: turns REQUEST_REINSTALL / INSTALL_STATUS_*
 *                   into "TYPE:HEXBYTES" for the deferred writer, so that all
 *                   parsing (and its errors) happens before the script runs.
 * WriteInstallStatus    deferred, system context: writes InstallStatus.
 * ClearInstallStatus    deferred, on uninstall: removes InstallStatus and the
 *                   company key once nothing else is left in it.
 *
 * InstallStatus lives in the 32-bit registry view whatever the package's
 * architecture: the wrapper, 32-bit or 64-bit, reads and clears it there, so
 * one package serves both. A 32-bit build sees that view as its own (on a
 * 64-bit system the registry redirects it), so only the 64-bit build names
 * the view; it also keeps the 32-bit build free of RegDeleteKeyExA, which
 * 32-bit Windows XP lacks.
 *
 * Built for x86 (kitca.def), x64 and arm64 (kitca64.def). Only kernel32,
 * advapi32, user32 (wsprintfA) and msi are used, so the DLL loads on any
 * system of its architecture.
 */
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#define WAIT_EVENT_NAME "VelmorTPZCabExtractWaitEvent"
#define DEFAULT_WAIT_MS 600000u /* ten minutes */
#define COMPANY_KEY "Software\\TarskSoft"
#define STATUS_VALUE "InstallStatus"
#define MAX_DATA 4096

#ifdef _WIN64
#define STATUS_VIEW KEY_WOW64_32KEY
#define delete_company_key() RegDeleteKeyExA(HKEY_LOCAL_MACHINE, COMPANY_KEY, STATUS_VIEW, 0)
#else
#define STATUS_VIEW 0
#define delete_company_key() RegDeleteKeyA(HKEY_LOCAL_MACHINE, COMPANY_KEY)
#endif

static void log_info(MSIHANDLE install, const char *text)
{
    MSIHANDLE rec = MsiCreateRecord(0);
    if (!rec)
        return;
    MsiRecordSetStringA(rec, 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, rec);
    MsiCloseHandle(rec);
}

/* The property's value, or "" when it is unset or too long for buf. */
static void get_property(MSIHANDLE install, const char *name, char *buf, DWORD size)
{
    DWORD len = size;
    if (MsiGetPropertyA(install, name, buf, &len) != ERROR_SUCCESS)
        buf[0] = 0;
}

/* Parses a decimal or 0x-prefixed unsigned number; returns FALSE on junk or overflow. */
static BOOL parse_number(const char *s, unsigned long long max, unsigned long long *out)
{
    unsigned long long v = 0;
    unsigned base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    if (!*s)
        return FALSE;
    for (; *s; s++) {
        unsigned d;
        if (*s >= '0' && *s <= '9')
            d = *s - '0';
        else if (base == 16 && *s >= 'a' && *s <= 'f')
            d = *s - 'a' + 10;
        else if (base == 16 && *s >= 'A' && *s <= 'F')
            d = *s - 'A' + 10;
        else
            return FALSE;
        if (v > (max - d) / base)
            return FALSE;
        v = v * base + d;
    }
    *out = v;
    return TRUE;
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Decodes pairs of hex digits; returns the byte count or -1. */
static int decode_hex(const char *s, BYTE *out, int cap)
{
    int n = 0;
    while (*s) {
        int hi = hex_digit(s[0]), lo = hi < 0 ? -1 : hex_digit(s[1]);
        if (hi < 0 || lo < 0 || n >= cap)
            return -1;
        out[n++] = (BYTE)(hi << 4 | lo);
        s += 2;
    }
    return n;
}

static void encode_hex(const BYTE *data, int len, char *out)
{
    static const char digits[] = "0123456789abcdef";
    int i;
    for (i = 0; i < len; i++) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
    out[2 * len] = 0;
}

UINT __stdcall WaitForCabinets(MSIHANDLE install)
{
    char buf[64], msg[256];
    unsigned long long timeout = DEFAULT_WAIT_MS;
    DWORD start, waited;
    HANDLE event;

    get_property(install, "WRAPPER_WAIT_MS", buf, sizeof buf);
    if (buf[0] && !parse_number(buf, 0xFFFFFFFEull, &timeout)) {
        wsprintfA(msg, "WaitForCabinets: WRAPPER_WAIT_MS '%s' is not a number, using %u ms",
                  buf, DEFAULT_WAIT_MS);
        log_info(install, msg);
        timeout = DEFAULT_WAIT_MS;
    }

    /* Manual reset and not signalled: if the wrapper has not created it yet it
       finds ours, and once set it stays set for any later reader. */
    event = CreateEventA(NULL, TRUE, FALSE, WAIT_EVENT_NAME);
    if (!event) {
        wsprintfA(msg, "WaitForCabinets: CreateEvent failed, error %lu", GetLastError());
        log_info(install, msg);
        return ERROR_INSTALL_FAILURE;
    }
    wsprintfA(msg, "WaitForCabinets: waiting up to %lu ms for event " WAIT_EVENT_NAME,
              (DWORD)timeout);
    log_info(install, msg);

    /* Wait in slices so that a user's Cancel in a UI session is seen. */
    start = GetTickCount();
    for (;;) {
        DWORD slice, r;
        MSIHANDLE rec;
        waited = GetTickCount() - start;
        if (waited >= timeout) {
            CloseHandle(event);
            wsprintfA(msg, "WaitForCabinets: cabinets not ready after %lu ms, giving up", waited);
            log_info(install, msg);
            return ERROR_INSTALL_FAILURE;
        }
        slice = (DWORD)timeout - waited;
        if (slice > 500)
            slice = 500;
        r = WaitForSingleObject(event, slice);
        if (r == WAIT_OBJECT_0)
            break;
        if (r != WAIT_TIMEOUT) {
            CloseHandle(event);
            log_info(install, "WaitForCabinets: wait failed");
            return ERROR_INSTALL_FAILURE;
        }
        rec = MsiCreateRecord(2);
        if (rec) {
            int answer;
            MsiRecordSetInteger(rec, 1, 2); /* progress increment of 0: keeps alive */
            MsiRecordSetInteger(rec, 2, 0);
            answer = MsiProcessMessage(install, INSTALLMESSAGE_PROGRESS, rec);
            MsiCloseHandle(rec);
            if (answer == IDCANCEL) {
                CloseHandle(event);
                log_info(install, "WaitForCabinets: cancelled");
                return ERROR_INSTALL_USEREXIT;
            }
        }
    }
    CloseHandle(event);
    wsprintfA(msg, "WaitForCabinets: event set after %lu ms", GetTickCount() - start);
    log_info(install, msg);
    return ERROR_SUCCESS;
}

struct reg_type {
    const char *name;
    DWORD type;
};

static const struct reg_type reg_types[] = {
    {"REG_SZ", REG_SZ},         {"REG_EXPAND_SZ", REG_EXPAND_SZ}, {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_DWORD", REG_DWORD},   {"REG_BINARY", REG_BINARY},       {"REG_QWORD", REG_QWORD},
};

/* Builds the stored bytes of INSTALL_STATUS_VALUE for the given type; strings
   are stored as UTF-16, as the registry keeps them. */
static int build_status_data(DWORD type, const char *value, BYTE *out, int cap)
{
    static char text[MAX_DATA];
    unsigned long long number;
    int len, chars;

    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ: {
        /* Multi-string items are separated by "[~]", as in the Registry table. */
        const char *p = value;
        len = 0;
        for (;;) {
            const char *sep = p;
            int item;
            while (*sep && !(type == REG_MULTI_SZ && sep[0] == '[' && sep[1] == '~' &&
                             sep[2] == ']'))
                sep++;
            item = (int)(sep - p);
            if (len + item + 2 > (int)sizeof text)
                return -1;
            CopyMemory(text + len, p, item);
            len += item;
            text[len++] = 0;
            if (!*sep)
                break;
            p = sep + 3;
        }
        if (type == REG_MULTI_SZ)
            text[len++] = 0;
        chars = MultiByteToWideChar(CP_ACP, 0, text, len, (WCHAR *)out, cap / 2);
        return chars > 0 ? chars * 2 : -1;
    }
    case REG_DWORD:
        if (!parse_number(value, 0xFFFFFFFFull, &number) || cap < 4)
            return -1;
        *(DWORD *)out = (DWORD)number;
        return 4;
    case REG_QWORD:
        if (!parse_number(value, ~0ull, &number) || cap < 8)
            return -1;
        CopyMemory(out, &number, 8);
        return 8;
    case REG_BINARY:
        return decode_hex(value, out, cap);
    }
    return -1;
}

UINT __stdcall PrepareInstallStatus(MSIHANDLE install)
{
    static char value[MAX_DATA], hex[2 * MAX_DATA + 1], data_prop[2 * MAX_DATA + 32];
    static BYTE data[MAX_DATA];
    char type_name[64], msg[256];
    DWORD type = 0;
    int len = -1;
    unsigned i;

    get_property(install, "INSTALL_STATUS_TYPE", type_name, sizeof type_name);
    if (!type_name[0]) {
        get_property(install, "REQUEST_REINSTALL", value, sizeof value);
        if (lstrcmpA(value, "1") != 0)
            return ERROR_SUCCESS;
        type = REG_SZ;
        len = build_status_data(type, "reinstall", data, sizeof data);
    } else {
        for (i = 0; i < sizeof reg_types / sizeof reg_types[0]; i++)
            if (!lstrcmpiA(type_name, reg_types[i].name))
                type = reg_types[i].type;
        if (!type) {
            wsprintfA(msg, "PrepareInstallStatus: unknown INSTALL_STATUS_TYPE '%s'", type_name);
            log_info(install, msg);
            return ERROR_INSTALL_FAILURE;
        }
        /* INSTALL_STATUS_HEX gives the exact stored bytes (UTF-16 for
           strings), for malformed data such as a missing terminator. */
        get_property(install, "INSTALL_STATUS_HEX", value, sizeof value);
        if (value[0])
            len = decode_hex(value, data, sizeof data);
        else {
            get_property(install, "INSTALL_STATUS_VALUE", value, sizeof value);
            len = build_status_data(type, value, data, sizeof data);
        }
        if (len < 0) {
            wsprintfA(msg, "PrepareInstallStatus: value not valid for %s", type_name);
            log_info(install, msg);
            return ERROR_INSTALL_FAILURE;
        }
    }
    encode_hex(data, len, hex);
    wsprintfA(data_prop, "%lu:", type);
    lstrcatA(data_prop, hex);
    MsiSetPropertyA(install, "WriteInstallStatus", data_prop);
    return ERROR_SUCCESS;
}

UINT __stdcall WriteInstallStatus(MSIHANDLE install)
{
    static char data_prop[2 * MAX_DATA + 32];
    static BYTE data[MAX_DATA];
    unsigned long long type;
    char *colon, msg[128];
    int len;
    HKEY key;
    LONG r;

    get_property(install, "CustomActionData", data_prop, sizeof data_prop);
    colon = data_prop;
    while (*colon && *colon != ':')
        colon++;
    if (!*colon)
        return ERROR_SUCCESS;
    *colon = 0;
    if (!parse_number(data_prop, 0xFFFFFFFFull, &type) ||
        (len = decode_hex(colon + 1, data, sizeof data - 2)) < 0) {
        log_info(install, "WriteInstallStatus: malformed CustomActionData");
        return ERROR_INSTALL_FAILURE;
    }
    /* RegSetValueEx counts a terminator that follows a string's data in
       memory but is left out of its length; a non-zero guard keeps the
       stored bytes exactly as given. */
    data[len] = data[len + 1] = 0xFF;
    r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, COMPANY_KEY, 0, NULL, 0, KEY_SET_VALUE | STATUS_VIEW,
                        NULL, &key, NULL);
    if (r == ERROR_SUCCESS) {
        /* The wide call stores the bytes as they are; the ANSI one would
           convert strings and add a terminator. */
        r = RegSetValueExW(key, L"" STATUS_VALUE, 0, (DWORD)type, data, (DWORD)len);
        RegCloseKey(key);
    }
    if (r != ERROR_SUCCESS) {
        wsprintfA(msg, "WriteInstallStatus: registry write failed, error %ld", r);
        log_info(install, msg);
        return ERROR_INSTALL_FAILURE;
    }
    wsprintfA(msg, "WriteInstallStatus: wrote type %lu, %d bytes", (DWORD)type, len);
    log_info(install, msg);
    return ERROR_SUCCESS;
}

UINT __stdcall ClearInstallStatus(MSIHANDLE install)
{
    DWORD subkeys = 0, values = 0;
    HKEY key;

    (void)install;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, COMPANY_KEY, 0,
                      KEY_SET_VALUE | KEY_QUERY_VALUE | STATUS_VIEW, &key) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    RegDeleteValueA(key, STATUS_VALUE);
    if (RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL,
                         NULL) != ERROR_SUCCESS)
        subkeys = 1; /* unknown: keep the key */
    RegCloseKey(key);
    /* Another product of the company may still keep data there. */
    if (!subkeys && !values)
        delete_company_key();
    return ERROR_SUCCESS;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
