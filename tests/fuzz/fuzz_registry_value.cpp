// Any registry value, of any type and size, read as the install status: the
// string check never reads past what was stored, and only an exact
// "reinstall" asks for a second run.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "installer/installer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FakeSystem system;
  fake = &system;
  const uint32_t type = data[0] % 12;
  std::vector<unsigned char> bytes(data + 1, data + size);
  system.registry["hklm\\software"];
  system.SetRegBytes("HKLM\\Software\\TarskSoft", "InstallStatus", bytes, type);

  char status[kStatusCapacity];
  std::memset(status, 0xCC, sizeof status);
  const bool read = ReadVendorValue(kInstallStatusValue, status, sizeof status);
  if (read && std::memchr(status, 0, sizeof status) == nullptr) std::abort();

  const bool exact = (type == os::kRegSz || type == os::kRegExpandSz || type == os::kRegMultiSz) &&
                     bytes.size() <= kStatusCapacity && read && std::strcmp(status, "reinstall") == 0;
  if (TakeReinstallRequest() != exact) std::abort();
  fake = nullptr;
  return 0;
}
