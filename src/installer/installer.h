// Installer engine integration: the engine version check, the location of
// msiexec.exe, and the vendor registry value behind the reinstall handshake.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

// ---- engine checks
constexpr uint32_t kMinimumEngineMs = 0x00020000;  // 2.0
constexpr uint32_t kMinimumEngineLs = 0x0A280000;  // build 2600, revision 0
constexpr uint32_t kEngineMessageId = 4;

bool IsEngineVersionSufficient(uint32_t mostSignificant, uint32_t leastSignificant);
bool IsInstallerEngineSufficient();
// Full path of msiexec.exe; false when it cannot be located (or does not fit).
bool GetMsiexecPath(char* buffer, size_t capacity);

// ---- vendor registry store
// Owns at most one open registry key.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() { Close(); }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  int32_t Open(os::RegKey parent, const char* name, uint32_t access);
  int32_t Close();
  // Reads a string value (REG_SZ or REG_EXPAND_SZ ending in a terminator, or
  // REG_MULTI_SZ ending in two); size is the capacity in, the stored size out.
  int32_t QueryString(const char* name, char* buffer, uint32_t* size);
  os::RegKey handle() const { return key_; }

 private:
  os::RegKey key_ = nullptr;
};

constexpr char kInstallStatusValue[] = "InstallStatus";
constexpr size_t kStatusCapacity = 512;

bool ReadVendorValue(const char* name, char* buffer, size_t capacity);
bool DeleteVendorValue(const char* name);
bool ClearInstallStatus();
// True when the package left "reinstall" in the status value; the value is
// then cleared (whether or not that succeeds).
bool TakeReinstallRequest();
