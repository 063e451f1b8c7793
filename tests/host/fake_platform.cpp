#include "fake_platform.h"

#include <algorithm>
#include <cstring>

#include <sys/mman.h>

FakeSystem* fake = nullptr;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::vector<unsigned char> Bytes(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

std::vector<unsigned char> PatternBytes(size_t count) {
  std::vector<unsigned char> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>((i * 31 + 7) & 0xFF);
  return bytes;
}

void FakeSystem::SetRegBytes(const std::string& keyPath, const std::string& name,
                             const std::vector<unsigned char>& bytes, uint32_t type) {
  registry[Lower(keyPath)].values[Lower(name)] = FakeRegValue{type, bytes};
}

void FakeSystem::SetRegString(const std::string& keyPath, const std::string& name,
                              const std::string& text, uint32_t type) {
  std::vector<unsigned char> bytes = Bytes(text);
  bytes.push_back(0);
  SetRegBytes(keyPath, name, bytes, type);
}

bool FakeSystem::HasRegValue(const std::string& keyPath, const std::string& name) const {
  auto key = registry.find(Lower(keyPath));
  return key != registry.end() && key->second.values.count(Lower(name)) != 0;
}

bool FakeSystem::HasRegKey(const std::string& keyPath) const {
  return registry.count(Lower(keyPath)) != 0;
}

size_t FakeSystem::IndexInLog(const std::string& entry) const {
  auto it = std::find(log.begin(), log.end(), entry);
  return it == log.end() ? SIZE_MAX : static_cast<size_t>(it - log.begin());
}

void FakeSystem::FailCall(const std::string& operation, int nth, uint32_t error) {
  failures.push_back({operation, nth, error});
}

bool FakeSystem::Fails(const std::string& operation) {
  const int call = ++calls[operation];
  for (const Failure& failure : failures) {
    if (failure.operation == operation && failure.nth == call) {
      lastError = failure.error;
      log.push_back("fail " + operation);
      return true;
    }
  }
  return false;
}

void FakeSystem::RunPendingThreads() {
  auto threads = pendingThreads;
  pendingThreads.clear();
  for (auto& [proc, argument] : threads) proc(argument);
}

namespace {

// Writes text into a buffer as the system's "A" functions do: the length on
// success, the size needed (with terminator) when it does not fit.
uint32_t CopyOut(const std::string& text, char* buffer, uint32_t capacity) {
  if (text.empty()) return 0;
  if (text.size() + 1 > capacity) return static_cast<uint32_t>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<uint32_t>(text.size());
}

struct FakeProcess {
  uint32_t exitCode;
};
using FakeOpenKey = std::pair<std::string, bool>;  // path, writable

FakeOpenKey localMachine{"hklm", false};

const std::map<uint32_t, std::string> kSystemTexts = {
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {21, "The device is not ready.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {1006, "The volume for a file has been externally altered so that the opened file is no longer valid.\r\n"},
    {1920, "The file cannot be accessed.\r\n"},
};

uint64_t TotalFileBytes() {
  uint64_t total = 0;
  for (auto& [path, content] : fake->files) total += content.size();
  for (auto& [path, length] : fake->zeroFileLengths) total += length;
  return total;
}

// 4 GiB of zero pages, readable and reserved once for the whole test run:
// the bytes of every zero resource. Pages are given only as they are read.
constexpr uint64_t kZeroSpan = uint64_t{1} << 32;
const unsigned char* ZeroPages() {
  static const unsigned char* pages = [] {
    void* mapped = mmap(nullptr, kZeroSpan, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return mapped == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(mapped);
  }();
  return pages;
}

bool FromZeroPages(const void* bytes) {
  const unsigned char* zero = ZeroPages();
  const auto* p = static_cast<const unsigned char*>(bytes);
  return zero != nullptr && p >= zero && p < zero + kZeroSpan;
}

}  // namespace

namespace os {

bool QueryVersion(uint32_t* platformId, uint32_t* major, uint32_t* minor) {
  ++fake->versionQueries;
  if (fake->versionQueryFails || fake->Fails("QueryVersion")) {
    *platformId = *major = *minor = 0;
    return false;
  }
  *platformId = fake->platformId;
  *major = fake->major;
  *minor = fake->minor;
  return true;
}

uint16_t GetUserDefaultLangID() { return fake->userLanguage; }
bool IsDBCSLeadByte(unsigned char byte) { return fake->leadBytes.count(byte) != 0; }
const char* CommandLineText() { return fake->commandLine.c_str(); }
Module ThisModule() { return fake; }
void RestrictLibrarySearch() { fake->log.push_back("restrict"); }

uint32_t SystemDirectory(char* buffer, uint32_t capacity) {
  if (fake->Fails("SystemDirectory")) return 0;
  return CopyOut(fake->systemDirectory, buffer, capacity);
}
uint32_t WindowsDirectory(char* buffer, uint32_t capacity) {
  if (fake->Fails("WindowsDirectory")) return 0;
  return CopyOut(fake->windowsDirectory, buffer, capacity);
}
uint32_t EnvironmentVariable(const char* name, char* buffer, uint32_t capacity) {
  if (fake->Fails("EnvironmentVariable")) return 0;
  auto it = fake->environment.find(name);
  return it == fake->environment.end() ? 0 : CopyOut(it->second, buffer, capacity);
}
bool MakeDirectory(const char* path) {
  fake->createdDirectories.push_back(path);
  fake->log.push_back(std::string("mkdir ") + path);
  return !fake->Fails("MakeDirectory");
}

Module LoadSystemLibrary(const char* name) {
  fake->log.push_back(std::string("loadlib ") + name);
  if (fake->Fails("LoadSystemLibrary")) return nullptr;
  auto it = fake->libraries.find(name);
  if (it == fake->libraries.end() || !it->second.loads) return nullptr;
  fake->loadedLibraries.push_back(name);
  return &it->second;
}

void FreeLibrary(Module) { ++fake->freedLibraries; }

namespace {
FolderCall CallFolder(Module library, char* buffer) {
  auto* lib = static_cast<FakeLibrary*>(library);
  if (!lib->hasFunction) return FolderCall::kNotFound;
  if (!lib->callSucceeds) return FolderCall::kFailed;
  if (lib->folder.size() + 1 > kPathCapacity) return FolderCall::kFailed;
  std::memcpy(buffer, lib->folder.c_str(), lib->folder.size() + 1);
  return FolderCall::kSucceeded;
}
}  // namespace

FolderCall KnownFolderLocalAppDataLow(Module shell32, char* buffer) {
  fake->log.push_back("SHGetFolderPathEx");
  return CallFolder(shell32, buffer);
}
FolderCall ShGetFolderPathAppData(Module shfolder, char* buffer) {
  fake->log.push_back("SHGetFolderPathA");
  return CallFolder(shfolder, buffer);
}
FolderCall ShGetSpecialFolderPathAppData(Module shell32, char* buffer) {
  fake->log.push_back("SHGetSpecialFolderPathA");
  return CallFolder(shell32, buffer);
}

ResourceLookup FindResourceBytes(Module, uint16_t id, const char* type, const void** bytes,
                                 uint32_t* size) {
  auto key = std::make_pair(std::string(type), static_cast<int>(id));
  auto zero = fake->zeroResources.find(key);
  if (zero != fake->zeroResources.end() && ZeroPages() != nullptr) {
    *size = zero->second;
    *bytes = ZeroPages();
    return ResourceLookup::kMapped;
  }
  auto it = fake->resources.find(key);
  if (it == fake->resources.end()) return ResourceLookup::kNotFound;
  *size = static_cast<uint32_t>(it->second.size());
  if (fake->Fails("FindResourceBytes")) {
    *bytes = nullptr;
    return ResourceLookup::kNotMapped;
  }
  if (fake->unmappableResources.count(key) != 0) {
    fake->lastError = 1812;  // ERROR_RESOURCE_DATA_NOT_FOUND
    *bytes = nullptr;
    return ResourceLookup::kNotMapped;
  }
  *bytes = it->second.data();
  return ResourceLookup::kMapped;
}

uint32_t LoadStringResource(Module, uint32_t id, char* buffer, uint32_t capacity) {
  if (fake->Fails("LoadStringResource")) return 0;
  auto it = fake->strings.find(id);
  if (it == fake->strings.end() || capacity == 0) return 0;
  const size_t count = std::min<size_t>(it->second.size(), capacity - 1);
  std::memcpy(buffer, it->second.data(), count);
  buffer[count] = '\0';
  return static_cast<uint32_t>(count);
}

Handle CreateFileForWrite(const char* path) {
  fake->log.push_back(std::string("create ") + path);
  if (fake->Fails("CreateFileForWrite")) return nullptr;
  auto refused = fake->uncreatableFiles.find(path);
  if (refused != fake->uncreatableFiles.end()) {
    fake->lastError = refused->second;
    return nullptr;
  }
  fake->files[path];  // created when missing; contents stay until truncated
  fake->fileHandles.push_back({path, 0, false});
  return &fake->fileHandles.back();
}

bool TruncateFile(Handle file) {
  const std::string& path = static_cast<FakeSystem::FileHandle*>(file)->path;
  if (fake->Fails("TruncateFile")) return false;
  fake->log.push_back("truncate " + path);
  fake->files[path].clear();
  fake->zeroFileLengths.erase(path);
  return true;
}

bool GetFileFacts(Handle file, FileFacts* facts) {
  const auto* handle = static_cast<FakeSystem::FileHandle*>(file);
  if (fake->Fails("GetFileFacts")) return false;
  auto it = fake->pathFacts.find(handle->path);
  if (it != fake->pathFacts.end()) {
    *facts = it->second;
  } else {
    *facts = {handle->folder ? kAttributeDirectory : 0x80u, 1, 0};
  }
  if (!handle->folder) {
    auto zero = fake->zeroFileLengths.find(handle->path);
    facts->size = fake->files[handle->path].size() + (zero != fake->zeroFileLengths.end() ? zero->second : 0);
  }
  return true;
}

Handle OpenFileHeld(const char* path) {
  if (fake->beforeHold) fake->beforeHold(path);
  if (fake->Fails("OpenFileHeld")) return nullptr;
  auto refused = fake->unholdablePaths.find(path);
  if (refused != fake->unholdablePaths.end()) {
    fake->lastError = refused->second;
    return nullptr;
  }
  if (fake->files.count(path) == 0) {
    fake->lastError = 2;
    return nullptr;
  }
  fake->log.push_back(std::string("hold ") + path);
  fake->heldFiles.push_back(path);
  fake->fileHandles.push_back({path, 0, false});
  return &fake->fileHandles.back();
}

bool ReadFile(Handle file, void* bytes, uint32_t count, uint32_t* read) {
  auto* handle = static_cast<FakeSystem::FileHandle*>(file);
  fake->readRequests.push_back(count);
  *read = 0;
  if (fake->Fails("ReadFile")) return false;
  auto zero = fake->zeroFileLengths.find(handle->path);
  if (zero != fake->zeroFileLengths.end()) {
    const uint64_t left = zero->second - std::min<uint64_t>(handle->position, zero->second);
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(std::min(count, fake->maxBytesPerRead), left));
    std::memset(bytes, 0, n);
    handle->position += n;
    *read = n;
    return true;
  }
  const std::vector<unsigned char>& content = fake->files[handle->path];
  const size_t n = std::min<size_t>(std::min(count, fake->maxBytesPerRead),
                                    content.size() - std::min(handle->position, content.size()));
  if (n > 0) std::memcpy(bytes, content.data() + handle->position, n);
  handle->position += n;
  *read = static_cast<uint32_t>(n);
  return true;
}

void* AllocatePages(uint32_t bytes) {
  if (fake->pagesUnavailable || fake->Fails("AllocatePages")) return nullptr;
  std::unique_ptr<unsigned char[]> pages(new unsigned char[bytes]());
  void* address = pages.get();
  fake->pages[address] = std::move(pages);
  return address;
}

void FreePages(void* pages) {
  if (pages == nullptr) return;
  fake->pages.erase(pages);
}

Handle HoldFolder(const char* path) {
  if (fake->Fails("HoldFolder")) return nullptr;
  auto refused = fake->unholdablePaths.find(path);
  if (refused != fake->unholdablePaths.end()) {
    fake->lastError = refused->second;
    return nullptr;
  }
  fake->log.push_back(std::string("hold folder ") + path);
  fake->heldFolders.push_back(path);
  fake->fileHandles.push_back({path, 0, true});
  return &fake->fileHandles.back();
}

uint32_t PathAttributes(const char* path, uint32_t* reparseTag) {
  *reparseTag = 0;
  if (fake->Fails("PathAttributes")) return kNoAttributes;
  uint32_t attributes = fake->files.count(path) != 0 ? 0x80u : kAttributeDirectory;
  auto it = fake->pathFacts.find(path);
  if (it != fake->pathFacts.end()) attributes = it->second.attributes;
  auto named = fake->nameAttributes.find(path);
  if (named != fake->nameAttributes.end()) attributes = named->second;
  auto tag = fake->reparseTags.find(path);
  if ((attributes & kAttributeReparsePoint) != 0 && tag != fake->reparseTags.end()) *reparseTag = tag->second;
  return attributes;
}

bool RemoveReparsePoint(Handle file, uint32_t reparseTag) {
  const std::string& path = static_cast<FakeSystem::FileHandle*>(file)->path;
  if (fake->Fails("RemoveReparsePoint")) return false;
  auto tag = fake->reparseTags.find(path);
  if (tag == fake->reparseTags.end() || tag->second != reparseTag) {
    fake->lastError = 4394;  // ERROR_REPARSE_TAG_MISMATCH
    return false;
  }
  fake->log.push_back("remove reparse point " + path);
  fake->reparseTags.erase(tag);
  auto facts = fake->pathFacts.find(path);
  if (facts != fake->pathFacts.end()) facts->second.attributes &= ~kAttributeReparsePoint;
  fake->nameAttributes.erase(path);
  return true;
}

bool WriteFile(Handle file, const void* bytes, uint32_t count, uint32_t* written) {
  const std::string& path = static_cast<FakeSystem::FileHandle*>(file)->path;
  fake->writeSizes.push_back(count);
  *written = 0;
  if (fake->Fails("WriteFile")) return false;
  if (fake->zeroByteWrites) return true;
  uint32_t n = std::min(count, fake->maxBytesPerWrite);
  const uint64_t used = TotalFileBytes();
  if (used + n > fake->diskSpace) {
    n = static_cast<uint32_t>(fake->diskSpace - used);
    auto* p = static_cast<const unsigned char*>(bytes);
    fake->files[path].insert(fake->files[path].end(), p, p + n);
    fake->lastError = 112;
    return false;
  }
  auto* p = static_cast<const unsigned char*>(bytes);
  if (FromZeroPages(bytes) && fake->files[path].empty()) {
    fake->zeroFileLengths[path] += n;
  } else {
    fake->files[path].insert(fake->files[path].end(), p, p + n);
  }
  *written = n;
  return true;
}

bool CloseHandle(Handle handle) {
  // Files, processes, events and threads are told apart by the log only.
  if (fake->closeFails) {
    fake->lastError = 5;
    return false;
  }
  if (fake->Fails("CloseHandle")) return false;
  fake->log.push_back("close");
  (void)handle;
  return true;
}

uint32_t GetLastError() { return fake->lastError; }

bool StartProcess(char* commandLine, Handle* process) {
  fake->log.push_back("start");
  if (fake->Fails("StartProcess")) return false;
  if (fake->processStartFails) {
    fake->lastError = 2;
    return false;
  }
  fake->startedCommandLines.push_back(commandLine);
  uint32_t code = 0;
  if (!fake->exitCodes.empty()) {
    code = fake->exitCodes.front();
    fake->exitCodes.pop_front();
  }
  if (fake->onProcessRun) fake->onProcessRun(commandLine);
  static FakeProcess processes[16];
  static size_t next = 0;
  FakeProcess* p = &processes[next++ % 16];
  p->exitCode = code;
  *process = p;
  return true;
}

void WaitForever(Handle) { fake->log.push_back("wait"); }

bool GetExitCodeProcess(Handle process, uint32_t* exitCode) {
  if (fake->exitCodeReadFails || fake->Fails("GetExitCodeProcess")) return false;
  *exitCode = static_cast<FakeProcess*>(process)->exitCode;
  return true;
}

Handle CreateThread(ThreadProc proc, void* argument) {
  fake->log.push_back("thread");
  if (fake->threadStartFails || fake->Fails("CreateThread")) return nullptr;
  if (fake->runThreadsImmediately) {
    proc(argument);
  } else {
    fake->pendingThreads.emplace_back(proc, argument);
  }
  static int threadHandle;
  return &threadHandle;
}

void ExitProcess(uint32_t exitCode) {
  fake->log.push_back("exit " + std::to_string(exitCode));
  throw FakeExit{exitCode};
}

Handle CreateManualResetEvent(const char* name) {
  fake->log.push_back(std::string("event ") + name);
  if (fake->Fails("CreateManualResetEvent")) return nullptr;
  fake->events.emplace(name, false);  // an existing event keeps its state
  ++fake->openEventHandles;
  fake->eventHandles.push_back(name);
  return &fake->eventHandles.back();
}

bool SetEvent(Handle event) {
  const std::string& name = *static_cast<std::string*>(event);
  if (fake->Fails("SetEvent")) return false;
  fake->log.push_back("signal " + name);
  fake->events[name] = true;
  ++fake->eventSignals;
  return true;
}

RegKey LocalMachineKey() { return &localMachine; }

namespace {
constexpr uint32_t kKeyWow64_64Key = 0x0100;

// A registry call never fails with the success code: a scripted 0 stands for
// ERROR_INVALID_FUNCTION.
int32_t RegistryError() { return fake->lastError != 0 ? static_cast<int32_t>(fake->lastError) : 1; }
constexpr uint32_t kKeyWow64_32Key = 0x0200;

// The key a name opens below parent, with the registry redirection of 64-bit
// Windows for HKLM\Software.
std::string RegKeyPath(RegKey parent, const char* name, uint32_t access) {
  std::string sub = Lower(name);
  const bool view32 = (access & kKeyWow64_32Key) != 0 ||
                      ((access & kKeyWow64_64Key) == 0 && FAKE_PROCESS_BITS == 32);
  if (fake->windows64 && view32 && parent == &localMachine &&
      (sub == "software" || sub.compare(0, 9, "software\\") == 0)) {
    sub.insert(8, "\\wow6432node");
  }
  return static_cast<FakeOpenKey*>(parent)->first + "\\" + sub;
}
}  // namespace

int32_t OpenRegKey(RegKey parent, const char* name, uint32_t access, RegKey* key) {
  if (fake->Fails("OpenRegKey")) return RegistryError();
  const std::string path = RegKeyPath(parent, name, access);
  auto it = fake->registry.find(path);
  if (it == fake->registry.end()) return 2;
  const bool writable = (access & ~(kKeyWow64_32Key | kKeyWow64_64Key)) != kKeyRead;
  if (writable && it->second.readOnly) return 5;
  ++fake->openRegKeys;
  fake->regKeyHandles.emplace_back(path, writable);
  *key = &fake->regKeyHandles.back();
  return 0;
}

int32_t QueryRegValue(RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size) {
  if (fake->Fails("QueryRegValue")) return RegistryError();
  auto it = fake->registry.find(static_cast<FakeOpenKey*>(key)->first);
  if (it == fake->registry.end()) return 1018;  // ERROR_KEY_DELETED
  auto value = it->second.values.find(Lower(name));
  if (value == it->second.values.end()) return 2;
  const uint32_t capacity = *size;
  *type = value->second.type;
  *size = static_cast<uint32_t>(value->second.data.size());
  if (value->second.data.size() > capacity) return 234;
  if (!value->second.data.empty()) std::memcpy(data, value->second.data.data(), *size);
  return 0;
}

int32_t DeleteRegValue(RegKey key, const char* name) {
  auto* k = static_cast<FakeOpenKey*>(key);
  if (fake->Fails("DeleteRegValue")) return RegistryError();
  if (!k->second) return 5;
  auto it = fake->registry.find(k->first);
  if (it == fake->registry.end() || it->second.values.erase(Lower(name)) == 0) return 2;
  fake->log.push_back("delete value " + Lower(name));
  return 0;
}

int32_t QueryRegKeyCounts(RegKey key, uint32_t* subkeys, uint32_t* values) {
  if (fake->Fails("QueryRegKeyCounts")) return RegistryError();
  const std::string path = static_cast<FakeOpenKey*>(key)->first;
  auto it = fake->registry.find(path);
  if (it == fake->registry.end()) return 1018;
  uint32_t children = 0;
  for (auto& [other, content] : fake->registry) {
    if (other.size() > path.size() + 1 && other.compare(0, path.size() + 1, path + "\\") == 0 &&
        other.find('\\', path.size() + 1) == std::string::npos) {
      ++children;
    }
  }
  *subkeys = children;
  *values = static_cast<uint32_t>(it->second.values.size());
  return 0;
}

int32_t DeleteRegKey(RegKey parent, const char* name) {
  const std::string path = static_cast<FakeOpenKey*>(parent)->first + "\\" + Lower(name);
  if (fake->Fails("DeleteRegKey")) return RegistryError();
  fake->log.push_back("delete key " + path);
  return fake->registry.erase(path) != 0 ? 0 : 2;
}

int32_t CloseRegKey(RegKey key) {
  if (key == &localMachine) return 0;
  --fake->openRegKeys;  // a failed close still releases the handle, as the system does
  return fake->Fails("CloseRegKey") ? RegistryError() : 0;
}

bool GetFixedFileVersion(const char* path, uint32_t* mostSignificant, uint32_t* leastSignificant) {
  fake->versionFilesRead.push_back(path);
  if (fake->Fails("GetFixedFileVersion")) return false;
  auto it = fake->fileVersions.find(path);
  if (it == fake->fileVersions.end()) return false;
  *mostSignificant = it->second.first;
  *leastSignificant = it->second.second;
  return true;
}

void ShowMessageBox(const char* text, const char* caption, uint32_t flags) {
  fake->log.push_back("messagebox");
  fake->messageBoxes.push_back({text, caption, flags});
}

WindowStation QueryWindowStation() {
  return fake->Fails("QueryWindowStation") ? WindowStation::kUnknown : fake->windowStation;
}

uint32_t FormatSystemMessage(uint32_t error, char* buffer, uint32_t capacity) {
  if (fake->Fails("FormatSystemMessage")) return 0;
  auto it = kSystemTexts.find(error);
  if (it == kSystemTexts.end()) return 0;
  const uint32_t length = CopyOut(it->second, buffer, capacity);
  return length <= it->second.size() ? length : 0;  // a text that does not fit is none
}

}  // namespace os
