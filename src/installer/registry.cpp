#include "build_constants.h"
#include "installer/installer.h"
#include "platform/text.h"

int32_t RegistryKey::Open(os::RegKey parent, const char* name, uint32_t access) {
  os::RegKey opened = nullptr;
  const int32_t result = os::OpenRegKey(parent, name, access, &opened);
  if (result != 0) return result;
  const int32_t closed = Close();
  key_ = opened;
  return closed;
}

int32_t RegistryKey::Close() {
  if (key_ == nullptr) return 0;
  const int32_t result = os::CloseRegKey(key_);
  key_ = nullptr;
  return result;
}

int32_t RegistryKey::QueryString(const char* name, char* buffer, uint32_t* size) {
  const uint32_t capacity = *size;
  uint32_t type = 0;
  const int32_t result = os::QueryRegValue(key_, name, &type, buffer, size);
  if (result != 0) return result;
  const uint32_t stored = *size;
  // A successful read never stores more than the capacity; kept so that the
  // checks below never look past the buffer if a system did.
  if (stored > capacity) return static_cast<int32_t>(os::kErrorMoreData);
  switch (type) {
    case os::kRegSz:
    case os::kRegExpandSz:
      if (stored == 0 || buffer[stored - 1] != '\0') return static_cast<int32_t>(os::kErrorInvalidData);
      return 0;
    case os::kRegMultiSz:
      if (stored < 2 || buffer[stored - 1] != '\0' || buffer[stored - 2] != '\0') {
        return static_cast<int32_t>(os::kErrorInvalidData);
      }
      return 0;
    default:
      return static_cast<int32_t>(os::kErrorInvalidData);
  }
}

namespace {
constexpr char kSoftwareKey[] = "Software";
// Every open names the vendor key's registry view, so a 64-bit build reads and
// clears the same 32-bit-view key as a 32-bit one. The key itself is deleted
// through the "Software" handle, which already stands in that view.
constexpr uint32_t kRead = os::kKeyRead | build::kVendorKeyView;
constexpr uint32_t kReadWrite = os::kKeyReadWrite | build::kVendorKeyView;
}  // namespace

bool ReadVendorValue(const char* name, char* buffer, size_t capacity) {
  if (capacity == 0) return false;  // the status buffer has 512 bytes; kept so buffer[0] is never out of bounds
  // A successful open always holds a handle; the handle tests stay so that
  // no key operation is ever made on none.
  RegistryKey software;
  RegistryKey vendor;
  bool found = false;
  if (software.Open(os::LocalMachineKey(), kSoftwareKey, kRead) == 0 && software.handle() &&
      vendor.Open(software.handle(), build::kVendorRegistryKey, kRead) == 0 &&
      vendor.handle()) {
    uint32_t size = static_cast<uint32_t>(capacity);
    // A string read that succeeds has stored its terminator (size != 0 always holds).
    found = vendor.QueryString(name, buffer, &size) == 0 && size != 0 && buffer[0] != '\0';
  }
  vendor.Close();
  software.Close();
  return found;
}

bool DeleteVendorValue(const char* name) {
  // The handle tests stay for the reason given in ReadVendorValue.
  RegistryKey software;
  RegistryKey vendor;
  bool opened = software.Open(os::LocalMachineKey(), kSoftwareKey, kRead) == 0 &&
                software.handle() &&
                vendor.Open(software.handle(), build::kVendorRegistryKey, kReadWrite) == 0 &&
                vendor.handle();
  if (opened) {
    os::DeleteRegValue(vendor.handle(), name);
    uint32_t subkeys = 0;
    uint32_t values = 0;
    if (os::QueryRegKeyCounts(vendor.handle(), &subkeys, &values) == 0 && subkeys == 0 &&
        values == 0) {
      os::DeleteRegKey(software.handle(), build::kVendorRegistryKey);
    }
  }
  vendor.Close();
  software.Close();
  return opened;
}

bool ClearInstallStatus() { return DeleteVendorValue(kInstallStatusValue); }

bool TakeReinstallRequest() {
  char status[kStatusCapacity];
  status[0] = '\0';
  if (!ReadVendorValue(kInstallStatusValue, status, sizeof status)) status[0] = '\0';
  if (!TextEquals(status, "reinstall")) return false;
  ClearInstallStatus();
  return true;
}
