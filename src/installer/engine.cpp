#include "installer/installer.h"
#include "platform/text.h"

bool IsEngineVersionSufficient(uint32_t ms, uint32_t ls) {
  return ms > kMinimumEngineMs || (ms == kMinimumEngineMs && ls >= kMinimumEngineLs);
}

bool IsInstallerEngineSufficient() {
  char path[1024];
  const uint32_t length = os::SystemDirectory(path, sizeof path);
  // Without the system directory there is no engine to trust.
  if (length == 0 || length >= sizeof path) return false;
  if (!AppendText(path, sizeof path, "\\msi.dll")) return false;
  uint32_t ms = 0;
  uint32_t ls = 0;
  if (!os::GetFixedFileVersion(path, &ms, &ls)) return false;
  return IsEngineVersionSufficient(ms, ls);
}

namespace {

constexpr char kInstallerKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer";

// A folder that is not absolute would be looked up relative to the current
// drive or folder, where anyone may have left an msiexec.exe: never run that.
bool IsAbsolutePath(const char* path) {
  const bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                     path[1] == ':' && path[2] == '\\';
  const bool network = path[0] == '\\' && path[1] == '\\';
  return drive || network;
}

bool ReadInstallerLocation(char* buffer, size_t capacity) {
  os::RegKey key = nullptr;
  if (os::OpenRegKey(os::LocalMachineKey(), kInstallerKey, os::kKeyRead, &key) != 0) return false;
  uint32_t type = 0;
  uint32_t size = static_cast<uint32_t>(capacity);
  const int32_t result = os::QueryRegValue(key, "InstallerLocation", &type, buffer, &size);
  os::CloseRegKey(key);
  // The value's type is not examined, but it must hold a terminated text.
  // (A successful read never reports more than the capacity; the test stays
  // because the loop below must not run past the buffer if one did.)
  if (result != 0 || size == 0 || size > capacity) return false;
  bool terminated = false;
  for (uint32_t i = 0; i < size && !terminated; ++i) terminated = buffer[i] == '\0';
  return terminated && IsAbsolutePath(buffer);
}

}  // namespace

bool GetMsiexecPath(char* buffer, size_t capacity) {
  if (capacity == 0) return false;  // every caller has a path buffer; kept so buffer[0] is never out of bounds
  buffer[0] = '\0';
  if (IsNt52()) {
    // Without the system directory the name alone would be looked up relative
    // to the current drive: treat that as not found rather than run it.
    const uint32_t length = os::SystemDirectory(buffer, static_cast<uint32_t>(capacity));
    if (length == 0 || length >= capacity) {
      buffer[0] = '\0';
      return false;
    }
  } else if (!ReadInstallerLocation(buffer, capacity)) {
    buffer[0] = '\0';
    return false;
  }
  // No separator is normalised: a trailing backslash gives a doubled one.
  return AppendText(buffer, capacity, "\\msiexec.exe");
}
