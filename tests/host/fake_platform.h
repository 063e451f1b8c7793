// A scripted stand-in for the operating system: tests set up its state, run
// the product's code against it and read back what the code did.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

// Thrown by the fake ExitProcess: the product's code never returns from it.
struct FakeExit {
  uint32_t code;
};

struct FakeLibrary {
  bool loads = true;
  bool hasFunction = true;      // the folder function the code looks up
  bool callSucceeds = true;
  std::string folder;           // what a successful call writes
};

struct FakeRegValue {
  uint32_t type = os::kRegSz;
  std::vector<unsigned char> data;
};

struct FakeRegKey {
  std::map<std::string, FakeRegValue> values;  // names in lower case
  bool readOnly = false;
};

struct FakeMessageBox {
  std::string text;
  std::string caption;
  uint32_t flags;
};

struct FakeSystem {
  // version and language
  bool versionQueryFails = false;
  uint32_t platformId = 2, major = 6, minor = 1;
  int versionQueries = 0;
  uint16_t userLanguage = 0x0409;
  std::set<unsigned char> leadBytes;
  std::string commandLine = "wrapper.exe";

  // folders and environment ("" makes the call fail)
  std::string systemDirectory = "C:\\Windows\\system32";
  std::string windowsDirectory = "C:\\Windows";
  std::map<std::string, std::string> environment;
  std::vector<std::string> createdDirectories;

  // folder libraries by name; a name missing here does not load
  std::map<std::string, FakeLibrary> libraries;
  std::vector<std::string> loadedLibraries;
  int freedLibraries = 0;

  // resources: (type, id) -> bytes; strings by id
  std::map<std::pair<std::string, int>, std::vector<unsigned char>> resources;
  std::set<std::pair<std::string, int>> unmappableResources;
  // Resources too large to hold as bytes: (type, id) -> size. Their bytes are
  // zero pages the system maps on demand, and a file written from one keeps
  // only its length (zeroFileLengths), so sizes up to 4 GiB cost no memory.
  std::map<std::pair<std::string, int>, uint32_t> zeroResources;
  std::map<std::string, uint64_t> zeroFileLengths;
  std::map<uint32_t, std::string> strings;

  // files: path -> content; paths that cannot be created -> error code
  std::map<std::string, std::vector<unsigned char>> files;
  std::map<std::string, uint32_t> uncreatableFiles;
  // What a file or folder reports when opened (default: a plain file or
  // folder with one name); paths that cannot be held -> error code.
  std::map<std::string, os::FileFacts> pathFacts;
  std::map<std::string, uint32_t> unholdablePaths;
  // What a path itself shows, where that differs from its handle (a link
  // whose handle stands for its target).
  std::map<std::string, uint32_t> nameAttributes;
  // The tag a reparse point's name reports (0, as Wine reports it, when missing).
  std::map<std::string, uint32_t> reparseTags;
  // Runs just before a written file is opened to be held: another process's
  // chance to change it.
  std::function<void(const std::string&)> beforeHold;
  std::vector<std::string> heldFiles;    // in order; never closed
  std::vector<std::string> heldFolders;
  uint32_t maxBytesPerWrite = UINT32_MAX;  // short writes
  bool zeroByteWrites = false;
  uint64_t diskSpace = UINT64_MAX;         // writes beyond it fail with error 112
  bool closeFails = false;
  std::vector<uint32_t> writeSizes;
  // Reads: the count asked for by each call, and at most this much given.
  std::vector<uint32_t> readRequests;
  uint32_t maxBytesPerRead = UINT32_MAX;
  bool pagesUnavailable = false;  // AllocatePages finds no memory
  // Pages allocated and not yet freed; the fake process's end (this object's)
  // releases the rest, as the system does.
  std::map<void*, std::unique_ptr<unsigned char[]>> pages;
  uint32_t lastError = 0;

  // file versions of files the engine check reads: path -> {ms, ls}
  std::map<std::string, std::pair<uint32_t, uint32_t>> fileVersions;
  std::vector<std::string> versionFilesRead;

  // processes: exit codes of successive installer runs
  std::vector<std::string> startedCommandLines;
  std::deque<uint32_t> exitCodes;
  bool processStartFails = false;
  bool exitCodeReadFails = false;
  std::function<void(const std::string&)> onProcessRun;  // the installer's effects
  bool runThreadsImmediately = true;
  bool threadStartFails = false;
  std::vector<std::pair<os::ThreadProc, void*>> pendingThreads;

  // events: name -> signalled
  std::map<std::string, bool> events;
  int openEventHandles = 0;
  int eventSignals = 0;

  // registry: full path in lower case ("hklm\\software\\tarsksoft") -> key
  std::map<std::string, FakeRegKey> registry;
  // 64-bit Windows: HKLM\Software has a 32-bit view below
  // "hklm\\software\\wow6432node", seen by a 32-bit process and by any
  // open with KEY_WOW64_32KEY. Off: one view, and the view flags are ignored.
  bool windows64 = false;
  int openRegKeys = 0;

  // Storage behind the handles the fake gives out (stable addresses).
  struct FileHandle {
    std::string path;
    size_t position;
    bool folder;
  };
  std::deque<FileHandle> fileHandles;
  std::deque<std::string> eventHandles;
  std::deque<std::pair<std::string, bool>> regKeyHandles;  // path, writable

  std::vector<FakeMessageBox> messageBoxes;
  os::WindowStation windowStation = os::WindowStation::kVisible;
  // What the code did, in order: "mkdir <path>", "create <path>", "close <path>",
  // "event", "thread", "start", "signal", "messagebox", "loadlib <name>" ...
  std::vector<std::string> log;

  // Scripted failures: the nth call (from 1) of an operation, named as in
  // platform.h ("ReadFile", "QueryRegKeyCounts" ...), fails with error: the
  // registry operations return it (1 for 0), the others leave it as the last error.
  struct Failure {
    std::string operation;
    int nth;
    uint32_t error;
  };
  std::vector<Failure> failures;
  std::map<std::string, int> calls;  // per operation, counted by Fails
  void FailCall(const std::string& operation, int nth, uint32_t error);
  // Counts a call of operation; true when it is scripted to fail.
  bool Fails(const std::string& operation);

  void SetRegString(const std::string& keyPath, const std::string& name, const std::string& text,
                    uint32_t type = os::kRegSz);
  void SetRegBytes(const std::string& keyPath, const std::string& name,
                   const std::vector<unsigned char>& bytes, uint32_t type);
  bool HasRegValue(const std::string& keyPath, const std::string& name) const;
  bool HasRegKey(const std::string& keyPath) const;
  size_t IndexInLog(const std::string& entry) const;  // SIZE_MAX when absent
  void RunPendingThreads();
};

// The system the product's code sees; tests reset it through FakePlatformTest.
extern FakeSystem* fake;

std::string Lower(std::string text);
std::vector<unsigned char> Bytes(const std::string& text);
std::vector<unsigned char> PatternBytes(size_t count);
