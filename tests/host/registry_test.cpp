#include <string>

#include "installer/installer.h"
#include "test_support.h"

namespace {
const char kVendor[] = "HKLM\\Software\\TarskSoft";
void Request() { fake->SetRegString(kVendor, "InstallStatus", "reinstall"); }
std::vector<unsigned char> WithZeros(const std::string& text, int zeros) {
  std::vector<unsigned char> bytes = Bytes(text);
  bytes.insert(bytes.end(), zeros, 0);
  return bytes;
}
}  // namespace

class RegistryTest : public FakePlatformTest {
 protected:
  void SetUp() override {
    FakePlatformTest::SetUp();
    fake->registry["hklm\\software"];
  }
};

TEST_F(RegistryTest, QueryStringAcceptsOnlyTerminatedStrings) {
  struct Case {
    const char* name;
    uint32_t type;
    std::vector<unsigned char> data;
    int32_t result;
  } cases[] = {
      {"REG_SZ", os::kRegSz, WithZeros("reinstall", 1), 0},
      {"REG_EXPAND_SZ", os::kRegExpandSz, WithZeros("reinstall", 1), 0},
      {"REG_MULTI_SZ", os::kRegMultiSz, WithZeros("reinstall", 2), 0},
      {"REG_MULTI_SZ of two bytes", os::kRegMultiSz, WithZeros("", 2), 0},
      {"REG_MULTI_SZ with one terminator", os::kRegMultiSz, WithZeros("reinstall", 1), 13},
      {"REG_MULTI_SZ of one byte", os::kRegMultiSz, WithZeros("", 1), 13},
      {"REG_MULTI_SZ without terminators", os::kRegMultiSz, Bytes("reinstall"), 13},
      {"REG_SZ without terminator", os::kRegSz, Bytes("reinstall"), 13},
      {"REG_SZ of size 0", os::kRegSz, {}, 13},
      {"REG_DWORD", os::kRegDword, {1, 0, 0, 0}, 13},
      {"REG_BINARY spelling reinstall", os::kRegBinary, WithZeros("reinstall", 1), 13},
      {"511 characters fill the buffer", os::kRegSz, WithZeros(std::string(511, 'r'), 1), 0},
      {"512 characters do not fit", os::kRegSz, WithZeros(std::string(512, 'r'), 1), 234},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    fake->SetRegBytes(kVendor, "InstallStatus", c.data, c.type);
    RegistryKey software;
    RegistryKey vendor;
    ASSERT_EQ(software.Open(os::LocalMachineKey(), "Software", os::kKeyRead), 0);
    ASSERT_EQ(vendor.Open(software.handle(), "TarskSoft", os::kKeyRead), 0);
    char buffer[kStatusCapacity];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(vendor.QueryString("InstallStatus", buffer, &size), c.result);
  }
}

TEST_F(RegistryTest, OpenKeepsTheHeldKeyOnFailureAndReplacesItOnSuccess) {
  fake->registry[Lower(kVendor)];
  RegistryKey key;
  EXPECT_EQ(key.Close(), 0) << "nothing held";
  ASSERT_EQ(key.Open(os::LocalMachineKey(), "Software", os::kKeyRead), 0);
  os::RegKey held = key.handle();
  EXPECT_EQ(key.Open(os::LocalMachineKey(), "Missing", os::kKeyRead), 2);
  EXPECT_EQ(key.handle(), held);
  EXPECT_EQ(key.Open(held, "TarskSoft", os::kKeyRead), 0);
  EXPECT_NE(key.handle(), held);
  EXPECT_EQ(fake->openRegKeys, 1);
  EXPECT_EQ(key.Close(), 0);
  EXPECT_EQ(fake->openRegKeys, 0);
}

TEST_F(RegistryTest, ReinstallHandshake) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool reinstall;
    bool valueRemains;
    bool keyRemains;
  } cases[] = {
      {"reinstall, the key's only content", [] { fake->SetRegString(kVendor, "InstallStatus", "reinstall"); },
       true, false, false},
      {"reinstall beside another value",
       [] {
         fake->SetRegString(kVendor, "InstallStatus", "reinstall");
         fake->SetRegString(kVendor, "Other", "x");
       },
       true, false, true},
      {"reinstall beside a subkey",
       [] {
         fake->SetRegString(kVendor, "InstallStatus", "reinstall");
         fake->registry["hklm\\software\\tarsksoft\\kit"];
       },
       true, false, true},
      {"REG_EXPAND_SZ", [] { fake->SetRegString(kVendor, "InstallStatus", "reinstall", os::kRegExpandSz); },
       true, false, false},
      {"REG_MULTI_SZ", [] { fake->SetRegBytes(kVendor, "InstallStatus", WithZeros("reinstall", 2), os::kRegMultiSz); },
       true, false, false},
      {"Reinstall", [] { fake->SetRegString(kVendor, "InstallStatus", "Reinstall"); }, false, true, true},
      {"reinstall and a blank", [] { fake->SetRegString(kVendor, "InstallStatus", "reinstall "); }, false, true, true},
      {"REG_DWORD", [] { fake->SetRegBytes(kVendor, "InstallStatus", {1, 0, 0, 0}, os::kRegDword); }, false, true, true},
      {"REG_BINARY", [] { fake->SetRegBytes(kVendor, "InstallStatus", WithZeros("reinstall", 1), os::kRegBinary); },
       false, true, true},
      {"empty string", [] { fake->SetRegString(kVendor, "InstallStatus", ""); }, false, true, true},
      {"read-only vendor key",
       [] {
         fake->SetRegString(kVendor, "InstallStatus", "reinstall");
         fake->registry[Lower(kVendor)].readOnly = true;
       },
       true, true, true},
      {"under the current user only", [] { fake->SetRegString("HKCU\\Software\\TarskSoft", "InstallStatus", "reinstall"); },
       false, false, false},
      {"no vendor key", [] {}, false, false, false},
      // The registry failing on the way (a locked key, a hive being unloaded):
      // a read that fails asks for nothing; once the request is read, the
      // second run happens whatever the clearing meets, and nothing stays open.
      {"the Software key cannot be opened", [] { Request(); fake->FailCall("OpenRegKey", 1, 5); }, false, true, true},
      {"the vendor key cannot be opened", [] { Request(); fake->FailCall("OpenRegKey", 2, 1018); }, false, true, true},
      {"the value cannot be read", [] { Request(); fake->FailCall("QueryRegValue", 1, 1450); }, false, true, true},
      {"the vendor key cannot be opened to clear it", [] { Request(); fake->FailCall("OpenRegKey", 4, 5); },
       true, true, true},
      {"the value cannot be deleted", [] { Request(); fake->FailCall("DeleteRegValue", 1, 5); }, true, true, true},
      {"the vendor key's contents cannot be counted", [] { Request(); fake->FailCall("QueryRegKeyCounts", 1, 1018); },
       true, false, true},
      {"the emptied vendor key cannot be deleted", [] { Request(); fake->FailCall("DeleteRegKey", 1, 5); },
       true, false, true},
      {"a key cannot be closed", [] { Request(); fake->FailCall("CloseRegKey", 1, 6); fake->FailCall("CloseRegKey", 3, 6); },
       true, false, false},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    c.arrange();
    EXPECT_EQ(TakeReinstallRequest(), c.reinstall);
    EXPECT_EQ(fake->HasRegValue(kVendor, "InstallStatus"), c.valueRemains);
    EXPECT_EQ(fake->HasRegKey(kVendor), c.keyRemains);
    EXPECT_EQ(fake->openRegKeys, 0) << "every key is closed";
  }
}

// On 64-bit Windows the package's request lives in the 32-bit view
// (HKLM\Software\Wow6432Node\TarskSoft), where every build must look for it
// and clear it; the 64-bit view's key of the same name is someone else's.
TEST_F(RegistryTest, ReinstallHandshakeUsesThe32BitViewOn64BitWindows) {
  const char kVendor32[] = "HKLM\\Software\\Wow6432Node\\TarskSoft";
  struct Case {
    const char* name;
    const char* requestKey;
    bool reinstall;
  } cases[] = {
      {"request in the 32-bit view", kVendor32, true},
      {"request in the 64-bit view only", kVendor, false},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    fake->windows64 = true;
    fake->registry["hklm\\software\\wow6432node"];
    fake->SetRegString(c.requestKey, "InstallStatus", "reinstall");
    // The other view holds a key of the same name that must stay untouched.
    const char* other = c.requestKey == kVendor32 ? kVendor : kVendor32;
    fake->SetRegString(other, "Unrelated", "x");
    EXPECT_EQ(TakeReinstallRequest(), c.reinstall);
    EXPECT_EQ(fake->HasRegValue(c.requestKey, "InstallStatus"), !c.reinstall);
    EXPECT_EQ(fake->HasRegKey(c.requestKey), !c.reinstall) << "an emptied vendor key is deleted";
    EXPECT_TRUE(fake->HasRegValue(other, "Unrelated"));
    EXPECT_EQ(fake->openRegKeys, 0);
  }
}
