#include "platform/text.h"
#include "staging/staging.h"

const char kCreateFileFailure[] = "Installer : Wrapper.CreateFile ";
const char kWriteFileFailure[] = "Installer : Wrapper.WriteFile (In small chunks) ";
const char kCloseHandleFailure[] = "Installer : Wrapper.CloseHandle ";
const char kVerifyFailure[] = "Installer : Wrapper.VerifyFile ";

namespace {
constexpr uint32_t kErrorWriteFault = 29;  // "The system cannot write to the specified device."
constexpr uint32_t kErrorGenFailure = 31;

// Compares the file behind held with the resource's bytes, in pieces of
// chunkSize read into chunk: the payload is never copied whole. Anything else
// than exactly those bytes (another process changed the file between the
// writes and the hold) ends the run.
void CompareHeldFile(os::Handle held, const unsigned char* expected, uint32_t size,
                     unsigned char* chunk, uint32_t chunkSize) {
  uint32_t checked = 0;
  for (;;) {
    uint32_t read = 0;
    if (!os::ReadFile(held, chunk, chunkSize, &read)) FailWithSystemError(kVerifyFailure);
    if (read == 0) break;
    // A read never reports more than it was given room for; the test stays
    // because the comparison must not run past the chunk if one did.
    if (read > chunkSize || read > size - checked || !BytesEqual(chunk, expected + checked, read)) {
      FailWithError(kVerifyFailure, kErrorFileInvalid);
    }
    checked += read;
  }
  if (checked != size) FailWithError(kVerifyFailure, kErrorFileInvalid);
}

// Few large reads: the read-back then costs little next to the writes. The
// pages are the calling thread's own, so the two threads never share them.
void VerifyHeldFile(os::Handle held, const unsigned char* expected, uint32_t size) {
  unsigned char* pages = static_cast<unsigned char*>(os::AllocatePages(kVerifyChunk));
  if (pages == nullptr) {
    unsigned char chunk[kWriteChunk];
    CompareHeldFile(held, expected, size, chunk, sizeof chunk);
    return;
  }
  // A failure ends the process, which releases the pages with everything else.
  CompareHeldFile(held, expected, size, pages, kVerifyChunk);
  os::FreePages(pages);
}
}  // namespace

bool IsRedirectingReparseTag(uint32_t tag) {
  return tag == 0 || (tag & os::kReparseTagNameSurrogate) != 0;
}

StagedObject RefuseRedirection(os::Handle handle, const char* path, const char* what) {
  StagedObject staged;
  if (!os::GetFileFacts(handle, &staged.facts)) FailWithSystemError(what);
  uint32_t tag = 0;
  const uint32_t named = os::PathAttributes(path, &tag);
  const bool namedReparsePoint = named != os::kNoAttributes && (named & os::kAttributeReparsePoint) != 0;
  staged.reparsePoint = (staged.facts.attributes & os::kAttributeReparsePoint) != 0 || namedReparsePoint;
  staged.reparseTag = namedReparsePoint ? tag : 0;
  if (staged.reparsePoint && IsRedirectingReparseTag(staged.reparseTag)) {
    FailWithError(what, kErrorCantAccessFile);
  }
  return staged;
}

void RefuseUnlessOrdinaryFile(os::Handle handle, const char* what) {
  os::FileFacts facts;
  if (!os::GetFileFacts(handle, &facts)) FailWithSystemError(what);
  if ((facts.attributes & os::kAttributeReparsePoint) != 0 || facts.links > 1) {
    FailWithError(what, kErrorCantAccessFile);
  }
}

void FailWithError(const char* what, uint32_t error) {
  // A failure must never end the process with the success code: one that
  // leaves no error code is reported as a device that does not work.
  if (error == 0) error = kErrorGenFailure;
  char systemText[512];
  if (os::FormatSystemMessage(error, systemText, sizeof systemText) == 0) systemText[0] = '\0';
  char message[1024];
  // Kept although no text reaches it today (the three texts and a system
  // text cut to 511 bytes fit): the message is cut rather than lost.
  if (!FormatText(message, sizeof message, "%s failed with error %d: %s", what,
                  static_cast<int32_t>(error), systemText)) {
    FormatText(message, sizeof message, "%s failed with error %d", what, static_cast<int32_t>(error));
  }
  // Without a visible desktop the process ends at once with the error, as if
  // the box had been answered.
  ShowErrorMessage(message, "Error", os::kMbOk);
  os::ExitProcess(error);
}

void FailWithSystemError(const char* what) { FailWithError(what, os::GetLastError()); }

bool ExtractResourceToFile(os::Module module, uint16_t id, const char* type, const char* path) {
  const void* bytes = nullptr;
  uint32_t size = 0;
  const os::ResourceLookup lookup = os::FindResourceBytes(module, id, type, &bytes, &size);
  if (lookup == os::ResourceLookup::kNotFound) return false;
  // A resource that is found but cannot be mapped is a failed write of its bytes.
  if (lookup == os::ResourceLookup::kNotMapped) FailWithSystemError(kWriteFileFailure);

  // An existing file is looked at before its contents are replaced: writing
  // through a link planted under the staged name would land in another file.
  os::Handle file = os::CreateFileForWrite(path);
  if (file == nullptr) FailWithSystemError(kCreateFileFailure);
  const StagedObject existing = RefuseRedirection(file, path, kCreateFileFailure);
  if (existing.facts.links > 1) FailWithError(kCreateFileFailure, kErrorCantAccessFile);
  // A reparse point left here that names no other file (a deduplicated,
  // compressed or cloud file, after a filter processed an earlier run's
  // files) keeps its data where writes through this handle do not go: it is
  // made an ordinary file first, whose own data are then replaced.
  if (existing.reparsePoint && !os::RemoveReparsePoint(file, existing.reparseTag)) {
    FailWithSystemError(kCreateFileFailure);
  }
  // A new file needs no truncation (which, under Wine, fails on a full disk
  // before a single byte would be written).
  if ((existing.facts.size != 0 || existing.reparsePoint) && !os::TruncateFile(file)) {
    FailWithSystemError(kCreateFileFailure);
  }

  const unsigned char* next = static_cast<const unsigned char*>(bytes);
  uint32_t remaining = size;
  while (remaining > 0) {
    const uint32_t chunk = remaining < kWriteChunk ? remaining : kWriteChunk;
    uint32_t written = 0;
    if (!os::WriteFile(file, next, chunk, &written)) FailWithSystemError(kWriteFileFailure);
    // A write that reports no progress (or more than it was given) would loop
    // for ever or run past the resource.
    if (written == 0 || written > chunk) FailWithError(kWriteFileFailure, kErrorWriteFault);
    next += written;
    remaining -= written;
  }
  if (!os::CloseHandle(file)) FailWithSystemError(kCloseHandleFailure);

  // From here until the process ends the file is held: no other process can
  // write, delete or rename it, while the installer can still read it. What
  // it reads is verified through that very handle, which closes the moment
  // between the writes and the hold. The handle is never closed; the process's
  // end releases it, after the installer's last run.
  os::Handle held = os::OpenFileHeld(path);
  if (held == nullptr) FailWithSystemError(kVerifyFailure);
  // What is compared must be what every reader gets: an ordinary file.
  RefuseUnlessOrdinaryFile(held, kVerifyFailure);
  VerifyHeldFile(held, static_cast<const unsigned char*>(bytes), size);
  return true;
}
