// What only the Windows side of the platform layer does: locks with their
// 64-bit offsets split in two halves between two handles of one process, the
// machine's registry in its 32-bit view, the WOW64 probe, the system's locale
// functions and the user's folders.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/File.h"
#include "platform/Folders.h"
#include "platform/Locale.h"
#include "platform/Registry.h"
#include "platform/WinError.h"
#include "platform/Wow64.h"
#include "platform/win32/WindowsApi.h"
#include "tests/support/TempDir.h"

namespace ledra::platform {
namespace {

constexpr OpenOptions kSharedReadWrite{};

TEST(Win32FileTest, LocksOfTwoHandlesConflictOnAllSixtyFourBits) {
  test::TempDir dir;
  const std::string name = dir.Write("table.dat", "0123456789");
  auto first = OpenOsFile(name, kSharedReadWrite);
  auto second = OpenOsFile(name, kSharedReadWrite);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);

  constexpr uint64_t kHigh = 0x100000005;  // 5 if cut to its low half
  ASSERT_TRUE(first->Lock(kHigh, 1));
  ASSERT_TRUE(first->Lock(4294901759, 65536));  // the write region below 4 GiB
  EXPECT_TRUE(second->Lock(5, 1));
  EXPECT_FALSE(second->Lock(kHigh - 2, 4));
  EXPECT_EQ(GetLastError(), kErrorLockViolation);
  EXPECT_FALSE(second->Lock(4294967294, 1));
  EXPECT_EQ(GetLastError(), kErrorLockViolation);
  // A length above 4 GiB reaches over both of the first handle's ranges.
  EXPECT_FALSE(second->Lock(10, 0x100000000));
  EXPECT_FALSE(second->Unlock(kHigh, 1));  // not its lock
  EXPECT_EQ(GetLastError(), kErrorNotLocked);

  // Closing a handle releases its locks.
  first.reset();
  EXPECT_TRUE(second->Lock(kHigh - 2, 4));
  EXPECT_TRUE(second->Lock(4294967294, 1));
}

// Windows applies share modes between handles of one process as between
// programs, so what the sharing tests show with a second process holds here
// with a second handle.
TEST(Win32FileTest, ShareModesHoldBetweenHandlesOfOneProcess) {
  test::TempDir dir;
  const std::string name = dir.Write("table.dat", "0123456789");
  constexpr OpenOptions kExclusive{FileAccess::ReadWrite, FileShare::Exclusive};
  constexpr OpenOptions kSharedReadOnly{FileAccess::ReadOnly, FileShare::Shared};
  {
    auto shared = OpenOsFile(name, kSharedReadWrite);
    ASSERT_NE(shared, nullptr);
    EXPECT_NE(OpenOsFile(name, kSharedReadOnly), nullptr);
    EXPECT_EQ(OpenOsFile(name, kExclusive), nullptr);
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    // Neither replaced, removed nor moved while in use, and left intact.
    EXPECT_EQ(CreateOsFile(name, false), nullptr);
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    EXPECT_FALSE(RemoveFile(name));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    EXPECT_FALSE(RenameFile(name, dir.File("moved.dat")));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    char bytes[10];
    EXPECT_EQ(shared->Read(bytes, 10), 10);
  }
  {
    auto exclusive = OpenOsFile(name, kExclusive);
    ASSERT_NE(exclusive, nullptr);
    EXPECT_EQ(OpenOsFile(name, kSharedReadOnly), nullptr);
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  }
  // A created file is held exclusively until it closes.
  auto created = CreateOsFile(dir.File("new.dat"), true);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(OpenOsFile(dir.File("new.dat"), kSharedReadOnly), nullptr);
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  created.reset();
  FileAttributes attributes;
  ASSERT_TRUE(ReadAttributes(dir.File("new.dat"), &attributes));  // kept: not delete-on-close
  EXPECT_TRUE(OpenOsFile(dir.File("new.dat"), kSharedReadOnly) != nullptr);
}

TEST(Win32FileTest, NamesAndFoldersInWindowsForm) {
  EXPECT_EQ(PathSeparator(), '\\');
  EXPECT_TRUE(ContainsPath("data\\Smeadt01"));
  EXPECT_TRUE(ContainsPath("C:Smeadt01"));
  EXPECT_TRUE(ContainsPath("data/Smeadt01"));
  EXPECT_FALSE(ContainsPath("Smeadt01"));
  EXPECT_EQ(IncludeTrailingSeparator("C:\\data"), "C:\\data\\");
  EXPECT_EQ(IncludeTrailingSeparator("C:\\data\\"), "C:\\data\\");
  EXPECT_EQ(IncludeTrailingSeparator("C:/data/"), "C:/data/");
  const std::string temp = GetTempDir();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '\\');
  EXPECT_TRUE(DirectoryExists(temp));

  const std::string data = UserDataDirectory();
  ASSERT_FALSE(data.empty());
  EXPECT_NE(data.back(), '\\');
  EXPECT_TRUE(DirectoryExists(data));

  test::TempDir dir;
  const std::string nested = dir.File("Backups\\2026\\December");
  ASSERT_TRUE(ForceDirectories(nested + "\\"));
  EXPECT_TRUE(DirectoryExists(nested));
  EXPECT_TRUE(SameDirectory(dir.File("BACKUPS\\2026\\december"), nested));
  EXPECT_FALSE(SameDirectory(dir.File("Backups\\2026"), nested));
  EXPECT_EQ(ResolveFileName(dir.File("BACKUPS\\2026\\DECEMBER\\new.dat")),
            dir.File("Backups\\2026\\December\\new.dat"));
  EXPECT_FALSE(RemoveEmptyDirectory(dir.File("Backups")));
  EXPECT_TRUE(RemoveEmptyDirectory(nested));
  EXPECT_FALSE(DirectoryExists(nested));
  EXPECT_FALSE(ForceDirectories("Q:\\"));  // a drive that is not there is never made
}

// A key of the machine's registry for one test, written as the shipping
// application (a 32-bit program) writes it, and removed afterwards.
class Win32RegistryTest : public ::testing::Test {
 protected:
  static constexpr const char* kKey = "SOFTWARE\\Ostrevo Test\\Tolvenar";

  void SetUp() override {
    const char* named = std::getenv("OSTREVO_REGISTRY");
    if (named != nullptr) {
      saved_ = named;
      hadFile_ = true;
    }
    ::_putenv_s("OSTREVO_REGISTRY", "");
  }
  void TearDown() override {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKey, view, 0);
      ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrevo Test", view, 0);
    }
    ::_putenv_s("OSTREVO_REGISTRY", hadFile_ ? saved_.c_str() : "");
  }

  static void Write(REGSAM view, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE | view, nullptr,
                                &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(::RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
  }

  std::string saved_;
  bool hadFile_ = false;
};

TEST_F(Win32RegistryTest, ReadsTheThirtyTwoBitViewOfTheMachine) {
  const char kPath[] = "C:\\Tolvenar\\Data";
  Write(KEY_WOW64_32KEY, "DataDirectory", REG_SZ, kPath, sizeof kPath);
  const uint32_t number = 7;
  Write(KEY_WOW64_32KEY, "Build", REG_DWORD, &number, sizeof number);

  TRegistry registry;
  EXPECT_EQ(registry.FileName(), "");  // the machine's registry
  registry.SetRootKey(TRegistryRoot::LocalMachine);
  ASSERT_TRUE(registry.OpenKeyReadOnly("\\SOFTWARE\\Ostrevo Test\\Tolvenar"));
  EXPECT_TRUE(registry.ValueExists("datadirectory"));
  EXPECT_EQ(registry.ReadString("DataDirectory"), kPath);  // without its terminating zero
  EXPECT_EQ(registry.ReadString("Missing"), "");
  EXPECT_THROW(registry.ReadString("Build"), ERegistryError);
  registry.CloseKey();
  EXPECT_FALSE(registry.KeyOpen());
  EXPECT_FALSE(registry.OpenKeyReadOnly("\\SOFTWARE\\Ostrevo Test\\Nothing"));
  // The root starts as the current user's, where the key is not.
  EXPECT_FALSE(TRegistry().OpenKeyReadOnly("\\SOFTWARE\\Ostrevo Test\\Tolvenar"));
}

TEST_F(Win32RegistryTest, AKeyOnlyInTheSixtyFourBitViewIsNotTheShippingApplications) {
  if (sizeof(void*) == 4) GTEST_SKIP() << "a 32-bit build sees its own view only";
  const char kPath[] = "C:\\Elsewhere";
  Write(KEY_WOW64_64KEY, "DataDirectory", REG_SZ, kPath, sizeof kPath);
  TRegistry registry;
  registry.SetRootKey(TRegistryRoot::LocalMachine);
  EXPECT_FALSE(registry.OpenKeyReadOnly("\\SOFTWARE\\Ostrevo Test\\Tolvenar"));
}

TEST_F(Win32RegistryTest, ARegistryFileStillStandsInWhenNamed) {
  test::TempDir dir;
  const std::string file = dir.Write("registry.reg",
                                     "Windows Registry Editor Version 5.00\r\n\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrevo "
                                     "Test\\Tolvenar]\r\n\"DataDirectory\"=\"D:\\\\Data\"\r\n");
  ::_putenv_s("OSTREVO_REGISTRY", file.c_str());
  TRegistry registry;
  EXPECT_EQ(registry.FileName(), file);
  registry.SetRootKey(TRegistryRoot::LocalMachine);
  ASSERT_TRUE(registry.OpenKeyReadOnly("\\SOFTWARE\\Ostrevo Test\\Tolvenar"));
  EXPECT_EQ(registry.ReadString("DataDirectory"), "D:\\Data");
}

TEST(Win32Wow64Test, TheProbeAnswersFromTheSystem) {
  const TWow64Answer answer = ProbeWow64Process();
  if (sizeof(void*) == 8) {
    EXPECT_EQ(answer, TWow64Answer::Native);  // a 64-bit process is never under WOW64
  } else {
    EXPECT_TRUE(answer == TWow64Answer::Native || answer == TWow64Answer::Wow64);
  }
}

TEST(Win32LocaleTest, TheSystemFunctionsAnswer) {
  EXPECT_TRUE(IsValidLocale(kLocaleEnglishUnitedStates));
  EXPECT_FALSE(IsValidLocale(0x7FFF));  // no such language

  constexpr uint32_t kKeyFlags = kCompareStringSort | kCompareIgnoreNonSpace;
  EXPECT_EQ(
      CompareLocaleStrings(1033, kKeyFlags | kCompareIgnoreCase, "Baoshan", -1, "BAOSHAN", -1),
      kCompareEqual);
  EXPECT_EQ(CompareLocaleStrings(1033, kKeyFlags, "Baoshan", -1, "Baoshen", -1), kCompareLessThan);
  // Zero padding weighs nothing, as in fixed-length fields.
  EXPECT_EQ(CompareLocaleStrings(1033, kKeyFlags, "Wuhan\0\0\0", 8, "Wuhan", 5), kCompareEqual);

  char text[] = "Zh\xE8jiang";  // è
  EXPECT_EQ(MapLocaleString(1033, kMapUpperCase, text, -1, text, sizeof text), int(sizeof text));
  EXPECT_STREQ(text, "ZH\xC8JIANG");  // in place, È
  char shorter[4];
  EXPECT_EQ(MapLocaleString(1033, kMapLowerCase, text, -1, shorter, sizeof shorter), 0);
  EXPECT_EQ(GetLastError(), 122u);  // the buffer is too short
}

}  // namespace
}  // namespace ledra::platform
