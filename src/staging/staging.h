// Payload staging: the per-user staging folder, extraction of the embedded
// package and cabinets, and the event that tells the package the cabinets are ready.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

// ---- staging folder and paths (buffers of os::kPathCapacity bytes)
// Writes the per-user base folder; false (and an empty buffer) when none is found.
bool GetStagingBaseFolder(char* buffer);
// Compose the package or a cabinet path, creating the folders on the way. A
// base folder that cannot be found or a path that does not fit ends the
// process through the fatal-error path: nothing is ever written elsewhere.
void BuildPackagePath(char* buffer, bool x64);
void BuildCabinetPath(char* buffer, const char* cabinetName, bool x64);
bool IsX64Variant();
// Forgets the base folder found by the first path of the run (host tests only).
void ForgetCachedBaseFolderForTesting();

// ---- resource extraction
constexpr uint32_t kWriteChunk = 8192;
// A held file is read back in pieces of this size (each read costs a fixed
// amount, under Wine much like a write), from pages of its own; in write-sized
// pieces on the stack when no such pages can be had.
constexpr uint32_t kVerifyChunk = 256 * 1024;
// Writes a resource into a file, then holds the file for the rest of the
// run and verifies it through the held handle; false when the module has no
// such resource. Never returns on a file error.
bool ExtractResourceToFile(os::Module module, uint16_t id, const char* type, const char* path);
// Shows "<what> failed with error <e>: <system text>" and ends the process with e.
[[noreturn]] void FailWithSystemError(const char* what);
[[noreturn]] void FailWithError(const char* what, uint32_t error);

extern const char kCreateFileFailure[];
extern const char kWriteFileFailure[];
extern const char kCloseHandleFailure[];
extern const char kVerifyFailure[];

// A staged file or folder that leads elsewhere (a name surrogate: junction,
// symbolic link, mount point) or a file with more than one name would
// redirect the writes of an elevated process: refused with this code ("The
// file cannot be accessed.").
constexpr uint32_t kErrorCantAccessFile = 1920;
// A staged file whose contents are not the resource's when held ("externally altered").
constexpr uint32_t kErrorFileInvalid = 1006;

// True for a reparse point that names another file or folder, and for one
// whose tag the system does not tell (Wine shows a Unix symbolic link to a
// folder so). Other reparse points (deduplicated, compressed, cloud files)
// hold their own data and redirect nothing.
bool IsRedirectingReparseTag(uint32_t tag);
// What an open staged file or folder is: the handle's facts, and whether the
// handle or the name is a reparse point, with the name's tag.
struct StagedObject {
  os::FileFacts facts;
  bool reparsePoint;
  uint32_t reparseTag;
};
// Looks at the handle and at the name: a handle may stand for a link's target
// where the system cannot open the link itself (under Wine, a Unix symbolic
// link), and only the name tells the tag. The handle is open without delete
// sharing, so the name cannot be replaced in between. A redirecting reparse
// point ends the process with the message of what and 1920.
StagedObject RefuseRedirection(os::Handle handle, const char* path, const char* what);
// The same for a held file that must be an ordinary one (no reparse point, one name).
void RefuseUnlessOrdinaryFile(os::Handle handle, const char* what);

// ---- background cabinets and the ready event
struct CabinetRow {
  const char* nameFormat;  // two-letter prefix, four version parts, "0"
  const char* resourceType;
  uint16_t resourceId;
};
constexpr size_t kCabinetCount = 8;
extern const CabinetRow CabinetTable[kCabinetCount];

os::Handle CreateExtractionEvent();
uint32_t OS_THREAD_CALL CabinetExtractionThread(void* module);
bool SignalExtractionDone();
