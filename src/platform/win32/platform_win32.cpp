// The platform operations on Win32, ANSI character set.
#include <windows.h>

#include "platform/platform.h"
#include "platform/text.h"

namespace os {

bool QueryVersion(uint32_t* platformId, uint32_t* major, uint32_t* minor) {
  OSVERSIONINFOA info;
  FillBytes(&info, sizeof info, 0);
  info.dwOSVersionInfoSize = sizeof info;
  const bool ok = ::GetVersionExA(&info) != FALSE;
  *platformId = info.dwPlatformId;
  *major = info.dwMajorVersion;
  *minor = info.dwMinorVersion;
  return ok;
}

uint16_t GetUserDefaultLangID() { return ::GetUserDefaultLangID(); }
bool IsDBCSLeadByte(unsigned char byte) { return ::IsDBCSLeadByte(byte) != FALSE; }
const char* CommandLineText() { return ::GetCommandLineA(); }
Module ThisModule() { return ::GetModuleHandleA(nullptr); }

void RestrictLibrarySearch() {
  HMODULE kernel32 = ::GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) return;
  // Windows 7 with KB2533623 and later: the system directory only.
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
  auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (setDefault != nullptr && setDefault(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */)) return;
  // Older systems: at least take the current folder out of the search.
  typedef BOOL(WINAPI * SetDllDirectoryFn)(LPCSTR);
  auto setDirectory = reinterpret_cast<SetDllDirectoryFn>(
      reinterpret_cast<void*>(::GetProcAddress(kernel32, "SetDllDirectoryA")));
  if (setDirectory != nullptr) setDirectory("");
}

uint32_t SystemDirectory(char* buffer, uint32_t capacity) {
  return ::GetSystemDirectoryA(buffer, capacity);
}
uint32_t WindowsDirectory(char* buffer, uint32_t capacity) {
  return ::GetWindowsDirectoryA(buffer, capacity);
}
uint32_t EnvironmentVariable(const char* name, char* buffer, uint32_t capacity) {
  return ::GetEnvironmentVariableA(name, buffer, capacity);
}
bool MakeDirectory(const char* path) { return ::CreateDirectoryA(path, nullptr) != FALSE; }

Module LoadSystemLibrary(const char* name) {
  // A full path in the system directory: never the program's or the current
  // folder, where others may have planted a library of the same name.
  char path[MAX_PATH];
  const UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  if (!AppendText(path, sizeof path, "\\") || !AppendText(path, sizeof path, name)) return nullptr;
  return ::LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void FreeLibrary(Module library) { ::FreeLibrary(static_cast<HMODULE>(library)); }

namespace {
template <typename Fn>
Fn Lookup(Module library, const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name)));
}
constexpr int kCsidlAppData = 0x1A;
}  // namespace

FolderCall KnownFolderLocalAppDataLow(Module shell32, char* buffer) {
  typedef HRESULT(WINAPI * Fn)(const GUID&, DWORD, HANDLE, LPWSTR, UINT);
  Fn getFolder = Lookup<Fn>(shell32, "SHGetFolderPathEx");
  if (getFolder == nullptr) return FolderCall::kNotFound;
  static const GUID kLocalAppDataLow = {
      0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
  WCHAR wide[MAX_PATH];
  if (getFolder(kLocalAppDataLow, 0, nullptr, wide, MAX_PATH) != 0) return FolderCall::kFailed;
  if (::WideCharToMultiByte(CP_ACP, 0, wide, -1, buffer, MAX_PATH, nullptr, nullptr) == 0) {
    buffer[0] = '\0';
    return FolderCall::kFailed;
  }
  return FolderCall::kSucceeded;
}

FolderCall ShGetFolderPathAppData(Module shfolder, char* buffer) {
  typedef HRESULT(WINAPI * Fn)(HWND, int, HANDLE, DWORD, LPSTR);
  Fn getFolder = Lookup<Fn>(shfolder, "SHGetFolderPathA");
  if (getFolder == nullptr) return FolderCall::kNotFound;
  return getFolder(nullptr, kCsidlAppData, nullptr, 0, buffer) >= 0 ? FolderCall::kSucceeded
                                                                     : FolderCall::kFailed;
}

FolderCall ShGetSpecialFolderPathAppData(Module shell32, char* buffer) {
  typedef BOOL(WINAPI * Fn)(HWND, LPSTR, int, BOOL);
  Fn getFolder = Lookup<Fn>(shell32, "SHGetSpecialFolderPathA");
  if (getFolder == nullptr) return FolderCall::kNotFound;
  return getFolder(nullptr, buffer, kCsidlAppData, TRUE) ? FolderCall::kSucceeded
                                                         : FolderCall::kFailed;
}

ResourceLookup FindResourceBytes(Module module, uint16_t id, const char* type, const void** bytes,
                                 uint32_t* size) {
  HMODULE image = static_cast<HMODULE>(module);
  HRSRC resource = ::FindResourceA(image, MAKEINTRESOURCEA(id), type);
  if (resource == nullptr) return ResourceLookup::kNotFound;
  *size = ::SizeofResource(image, resource);
  HGLOBAL loaded = ::LoadResource(image, resource);
  *bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  return *bytes != nullptr ? ResourceLookup::kMapped : ResourceLookup::kNotMapped;
}

Handle CreateFileForWrite(const char* path) {
  HANDLE file = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

bool TruncateFile(Handle file) {
  return ::SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
         ::SetEndOfFile(file) != FALSE;
}

bool GetFileFacts(Handle file, FileFacts* facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file, &info)) return false;
  facts->attributes = info.dwFileAttributes;
  facts->links = info.nNumberOfLinks;
  facts->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

Handle OpenFileHeld(const char* path) {
  HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

bool ReadFile(Handle file, void* bytes, uint32_t count, uint32_t* read) {
  DWORD done = 0;
  const bool ok = ::ReadFile(file, bytes, count, &done, nullptr) != FALSE;
  *read = done;
  return ok;
}

void* AllocatePages(uint32_t bytes) {
  return ::VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void FreePages(void* pages) {
  if (pages != nullptr) ::VirtualFree(pages, 0, MEM_RELEASE);
}

Handle HoldFolder(const char* path) {
  // Read access, not just attributes: sharing is enforced only against opens
  // that ask for data access, and a rename asks for delete access.
  HANDLE folder = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return folder == INVALID_HANDLE_VALUE ? nullptr : folder;
}

uint32_t PathAttributes(const char* path, uint32_t* reparseTag) {
  *reparseTag = 0;
  // The name's own entry in its folder: never a link's target, and on every
  // version since Windows 2000 it carries a reparse point's tag (dwReserved0),
  // which GetFileAttributesA does not. Wine 8 does not write that field at
  // all (nor may every file system), so it starts as 0: a tag not told.
  WIN32_FIND_DATAA entry;
  FillBytes(&entry, sizeof entry, 0);
  HANDLE find = ::FindFirstFileA(path, &entry);
  if (find == INVALID_HANDLE_VALUE) return kNoAttributes;
  ::FindClose(find);
  if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) *reparseTag = entry.dwReserved0;
  return entry.dwFileAttributes;
}

bool RemoveReparsePoint(Handle file, uint32_t reparseTag) {
  // A Microsoft tag is named by the tag alone (an 8-byte header); another
  // vendor's also by its GUID, which is read from the reparse point itself.
  REPARSE_GUID_DATA_BUFFER header;
  FillBytes(&header, sizeof header, 0);
  DWORD headerSize = 8;
  DWORD done = 0;
  if (!IsReparseTagMicrosoft(reparseTag)) {
    auto* point = static_cast<REPARSE_GUID_DATA_BUFFER*>(AllocatePages(MAXIMUM_REPARSE_DATA_BUFFER_SIZE));
    if (point == nullptr) return false;
    const bool read = ::DeviceIoControl(file, FSCTL_GET_REPARSE_POINT, nullptr, 0, point,
                                        MAXIMUM_REPARSE_DATA_BUFFER_SIZE, &done, nullptr) != FALSE;
    const DWORD error = ::GetLastError();
    if (read && done >= REPARSE_GUID_DATA_BUFFER_HEADER_SIZE) header.ReparseGuid = point->ReparseGuid;
    FreePages(point);
    if (!read || done < REPARSE_GUID_DATA_BUFFER_HEADER_SIZE) {
      ::SetLastError(read ? ERROR_INVALID_DATA : error);
      return false;
    }
    headerSize = REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
  }
  header.ReparseTag = reparseTag;
  return ::DeviceIoControl(file, FSCTL_DELETE_REPARSE_POINT, &header, headerSize, nullptr, 0, &done,
                           nullptr) != FALSE;
}

bool WriteFile(Handle file, const void* bytes, uint32_t count, uint32_t* written) {
  DWORD done = 0;
  const bool ok = ::WriteFile(file, bytes, count, &done, nullptr) != FALSE;
  *written = done;
  return ok;
}

bool CloseHandle(Handle handle) { return ::CloseHandle(handle) != FALSE; }
uint32_t GetLastError() { return ::GetLastError(); }

bool StartProcess(char* commandLine, Handle* process) {
  STARTUPINFOA startup;
  FillBytes(&startup, sizeof startup, 0);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  FillBytes(&info, sizeof info, 0);
  if (!::CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
    return false;
  }
  ::CloseHandle(info.hThread);
  *process = info.hProcess;
  return true;
}

void WaitForever(Handle handle) { ::WaitForSingleObject(handle, INFINITE); }

bool GetExitCodeProcess(Handle process, uint32_t* exitCode) {
  DWORD code = 0;
  if (!::GetExitCodeProcess(process, &code)) return false;
  *exitCode = code;
  return true;
}

Handle CreateThread(ThreadProc proc, void* argument) {
  return ::CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(proc), argument, 0,
                        nullptr);
}

void ExitProcess(uint32_t exitCode) { ::ExitProcess(exitCode); }

Handle CreateManualResetEvent(const char* name) { return ::CreateEventA(nullptr, TRUE, FALSE, name); }
bool SetEvent(Handle event) { return ::SetEvent(event) != FALSE; }

RegKey LocalMachineKey() { return HKEY_LOCAL_MACHINE; }

int32_t OpenRegKey(RegKey parent, const char* name, uint32_t access, RegKey* key) {
  HKEY opened = nullptr;
  const LONG result = ::RegOpenKeyExA(static_cast<HKEY>(parent), name, 0, access, &opened);
  if (result == ERROR_SUCCESS) *key = opened;
  return result;
}

int32_t QueryRegValue(RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size) {
  DWORD valueType = 0;
  DWORD valueSize = *size;
  const LONG result = ::RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, &valueType,
                                         static_cast<BYTE*>(data), &valueSize);
  *type = valueType;
  *size = valueSize;
  return result;
}

int32_t DeleteRegValue(RegKey key, const char* name) {
  return ::RegDeleteValueA(static_cast<HKEY>(key), name);
}

int32_t QueryRegKeyCounts(RegKey key, uint32_t* subkeys, uint32_t* values) {
  DWORD subkeyCount = 0;
  DWORD valueCount = 0;
  const LONG result =
      ::RegQueryInfoKeyA(static_cast<HKEY>(key), nullptr, nullptr, nullptr, &subkeyCount, nullptr,
                         nullptr, &valueCount, nullptr, nullptr, nullptr, nullptr);
  *subkeys = subkeyCount;
  *values = valueCount;
  return result;
}

int32_t DeleteRegKey(RegKey parent, const char* name) {
  return ::RegDeleteKeyA(static_cast<HKEY>(parent), name);
}

int32_t CloseRegKey(RegKey key) { return ::RegCloseKey(static_cast<HKEY>(key)); }

bool GetFixedFileVersion(const char* path, uint32_t* mostSignificant, uint32_t* leastSignificant) {
  Module version = LoadSystemLibrary("version.dll");
  if (version == nullptr) return false;
  typedef BOOL(WINAPI * GetInfoFn)(LPCSTR, DWORD, DWORD, LPVOID);
  typedef BOOL(WINAPI * QueryFn)(LPCVOID, LPCSTR, LPVOID*, PUINT);
  GetInfoFn getInfo = Lookup<GetInfoFn>(version, "GetFileVersionInfoA");
  QueryFn query = Lookup<QueryFn>(version, "VerQueryValueA");
  bool found = false;
  // The fixed file information leads the block, so 1024 bytes hold it even
  // when the whole version resource is larger.
  DWORD block[1024 / sizeof(DWORD)];
  if (getInfo != nullptr && query != nullptr && getInfo(path, 0, sizeof block, block)) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (query(block, "\\", reinterpret_cast<LPVOID*>(&fixed), &length) && fixed != nullptr &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
      *mostSignificant = fixed->dwFileVersionMS;
      *leastSignificant = fixed->dwFileVersionLS;
      found = true;
    }
  }
  FreeLibrary(version);
  return found;
}

uint32_t FormatSystemMessage(uint32_t error, char* buffer, uint32_t capacity) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return 0;
  buffer[0] = '\0';
  const bool fits = AppendBytes(buffer, capacity, text, length < capacity ? length : capacity - 1);
  ::LocalFree(text);
  return fits ? static_cast<uint32_t>(TextLength(buffer)) : 0;
}

}  // namespace os
