// The operating-system operations the wrapper uses. Every other part of the
// program reaches the system only through these functions, so that it builds
// and is tested on any host: the product links the Win32 implementation in
// win32/, the host tests link a scripted fake.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Thread procedures use the system's calling convention.
#if defined(_WIN32) && defined(__i386__)
#define OS_THREAD_CALL __stdcall
#else
#define OS_THREAD_CALL
#endif

namespace os {

using Handle = void*;   // file, process, thread or event; nullptr when none
using Module = void*;   // a loaded image (the executable or a library)
using RegKey = void*;   // an open registry key

// Result of looking a folder function up in a library and calling it.
enum class FolderCall { kNotFound, kFailed, kSucceeded };

// Result of finding a resource and mapping its bytes.
enum class ResourceLookup { kNotFound, kNotMapped, kMapped };

constexpr size_t kPathCapacity = 260;
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorInvalidData = 13;
constexpr uint32_t kErrorInvalidCommandLine = 1639;  // the installer engine's own code

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyReadWrite = 0x2001F;

constexpr uint32_t kMbOk = 0;
constexpr uint32_t kMbIconError = 0x10;

// ---- version and language
// Fills the basic version record of the running system; false when the query fails.
bool QueryVersion(uint32_t* platformId, uint32_t* major, uint32_t* minor);
uint16_t GetUserDefaultLangID();
bool IsDBCSLeadByte(unsigned char byte);

// ---- process start-up
const char* CommandLineText();
Module ThisModule();
// Keeps library look-ups of the process out of the current and the program's folder.
void RestrictLibrarySearch();

// ---- folders (each returns the length written, 0 on failure, or the size needed
// when the capacity is too small, as the system does)
uint32_t SystemDirectory(char* buffer, uint32_t capacity);
uint32_t WindowsDirectory(char* buffer, uint32_t capacity);
uint32_t EnvironmentVariable(const char* name, char* buffer, uint32_t capacity);
bool MakeDirectory(const char* path);

// ---- shell folder libraries, loaded from the system directory only
Module LoadSystemLibrary(const char* name);
void FreeLibrary(Module library);
// The per-user LocalAppDataLow folder through SHGetFolderPathEx, converted to
// the ANSI code page into buffer (kPathCapacity bytes).
FolderCall KnownFolderLocalAppDataLow(Module shell32, char* buffer);
// The roaming application-data folder through SHGetFolderPathA (shfolder.dll).
FolderCall ShGetFolderPathAppData(Module shfolder, char* buffer);
// The same folder through SHGetSpecialFolderPathA (shell32.dll), created if missing.
FolderCall ShGetSpecialFolderPathAppData(Module shell32, char* buffer);

// ---- resources (the bytes stay mapped for the life of the process)
ResourceLookup FindResourceBytes(Module module, uint16_t id, const char* type,
                                 const void** bytes, uint32_t* size);
uint32_t LoadStringResource(Module module, uint32_t id, char* buffer, uint32_t capacity);

// ---- files
// What the staging code needs to know of an open file or folder.
struct FileFacts {
  uint32_t attributes;  // kAttribute* bits
  uint32_t links;       // names the file has (hard links)
  uint64_t size;
};
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeReparsePoint = 0x400;
// A reparse point whose tag has this bit is a name surrogate: it names
// another file or folder (symbolic link, junction, mount point). Other
// reparse points (deduplicated, compressed, cloud files) hold their own data.
constexpr uint32_t kReparseTagNameSurrogate = 0x20000000;

// Opens a file for writing, creating it when missing, without sharing and
// without following a reparse point at path; an existing file keeps its
// contents until TruncateFile. nullptr on failure.
Handle CreateFileForWrite(const char* path);
bool TruncateFile(Handle file);
bool GetFileFacts(Handle file, FileFacts* facts);
bool WriteFile(Handle file, const void* bytes, uint32_t count, uint32_t* written);
// Opens a file for reading with read sharing only and without following a
// reparse point: while the handle is open nobody can write, delete or rename
// it, and readers such as the installer can still open it. nullptr on failure.
Handle OpenFileHeld(const char* path);
bool ReadFile(Handle file, void* bytes, uint32_t count, uint32_t* read);
// Zero-filled memory of its own pages, off every thread's stack, for large
// reads; nullptr when none can be had. FreePages releases it.
void* AllocatePages(uint32_t bytes);
void FreePages(void* pages);
// Opens a folder, without following a reparse point at path, so that while
// the handle is open nobody can rename or delete it; files in it can still be
// created and opened. nullptr on failure.
Handle HoldFolder(const char* path);
// The attributes of path itself (a link is not followed); kNoAttributes when
// they cannot be read. With kAttributeReparsePoint, *reparseTag is the reparse
// point's tag, or 0 where the system does not tell it (Wine); else 0.
constexpr uint32_t kNoAttributes = 0xFFFFFFFF;
uint32_t PathAttributes(const char* path, uint32_t* reparseTag);
// Removes the reparse point (of the given tag) of a file opened for writing
// without following it, which then is an ordinary file whose data are its own.
bool RemoveReparsePoint(Handle file, uint32_t reparseTag);
bool CloseHandle(Handle handle);
uint32_t GetLastError();

// ---- processes and threads
// Starts commandLine (no application name, no inheritance, default start-up
// record); the process handle is returned, the primary thread handle closed.
bool StartProcess(char* commandLine, Handle* process);
void WaitForever(Handle handle);
bool GetExitCodeProcess(Handle process, uint32_t* exitCode);
using ThreadProc = uint32_t(OS_THREAD_CALL*)(void* argument);
Handle CreateThread(ThreadProc proc, void* argument);
[[noreturn]] void ExitProcess(uint32_t exitCode);

// ---- events
Handle CreateManualResetEvent(const char* name);
bool SetEvent(Handle event);

// ---- registry (results are platform error codes)
RegKey LocalMachineKey();
int32_t OpenRegKey(RegKey parent, const char* name, uint32_t access, RegKey* key);
int32_t QueryRegValue(RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size);
int32_t DeleteRegValue(RegKey key, const char* name);
int32_t QueryRegKeyCounts(RegKey key, uint32_t* subkeys, uint32_t* values);
int32_t DeleteRegKey(RegKey parent, const char* name);
int32_t CloseRegKey(RegKey key);

// ---- file version (the version service is loaded from the system directory)
// The two halves of the fixed file version of the file at path.
bool GetFixedFileVersion(const char* path, uint32_t* mostSignificant, uint32_t* leastSignificant);

// ---- messages (the window system's library is loaded only when one is due)
void ShowMessageBox(const char* text, const char* caption, uint32_t flags);
// Whether the process's window station is visible (interactive). A service
// account or a session without a desktop has an invisible one, where a
// message box waits for ever for a button nobody can press. Without the
// window system's library (or one of its functions) no box can be shown.
enum class WindowStation { kVisible, kInvisible, kUnknown, kNoUserInterface };
WindowStation QueryWindowStation();
// The system's text for an error code in the user's default language; 0 when none.
uint32_t FormatSystemMessage(uint32_t error, char* buffer, uint32_t capacity);

}  // namespace os

// True on an NT 6 kernel (platform id 2, major version 6); computed once.
bool IsNt6();
// True when the system reports version 5.2, whatever its platform id.
bool IsNt52();
// Forgets the cached NT 6 answer; only the host tests change the system under a process.
void ForgetCachedVersionForTesting();

// Shows an error message box unless the process's window station is
// invisible, where nobody could ever dismiss it and the process would never
// end; the caller goes on (and exits with its code) either way. Where the
// window station cannot be asked, the box is shown as before.
void ShowErrorMessage(const char* text, const char* caption, uint32_t flags);
