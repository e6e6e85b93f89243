// Start-up's search for the address book against the machine's registry, with
// the key put there by regedit from an export file as an installer or an
// administrator puts it, and removed again the same way. The data directory
// is read from the key the WOW64 probe selects, through the registry view the
// program reads, so a key regedit wrote anywhere else is not found.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/DataFolder.h"
#include "app/OSData.h"
#include "platform/Registry.h"
#include "platform/win32/WindowsApi.h"
#include "tests/support/TempDir.h"

namespace ostrevo {
namespace {

constexpr bool kSixtyFourBitProcess = sizeof(void*) == 8;

// Doubles every backslash, as string values are written in an export file.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '\\') out += '\\';
  }
  return out;
}

bool KeyExists(const char* key, REGSAM view) {
  HKEY opened = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | view, &opened) != ERROR_SUCCESS) {
    return false;
  }
  ::RegCloseKey(opened);
  return true;
}

class RegistryStartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A machine where the shipping application is installed keeps its key;
    // these tests only run where they can make and remove it themselves.
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      if (KeyExists("SOFTWARE\\Halvik\\Tolvenar", view)) {
        GTEST_SKIP() << "this machine already has the Tolvenar key; it is left alone";
      }
    }
    owner_ = true;
    const char* named = std::getenv("OSTREVO_REGISTRY");
    if (named != nullptr) saved_ = named;
    ::_putenv_s("OSTREVO_REGISTRY", "");  // the machine's registry, not a file
  }

  void TearDown() override {
    if (!owner_) return;
    Import("[-HKEY_LOCAL_MACHINE" + ImportedKey() +
           "]\r\n\r\n"
           "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\r\n");
    // The parent goes only when nothing else lives below it.
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Halvik", view, 0);
    }
    EXPECT_FALSE(KeyExists("SOFTWARE\\Halvik\\Tolvenar", KEY_WOW64_32KEY));
    EXPECT_FALSE(KeyExists("SOFTWARE\\Halvik\\Tolvenar", KEY_WOW64_64KEY));
    ::_putenv_s("OSTREVO_REGISTRY", saved_.c_str());
  }

  // Where an export file must name the key for this program to read it as
  // the key the probe selects. A 64-bit regedit writes the 64-bit view, in
  // which the 32-bit programs' keys (the view this program reads) live below
  // Wow6432Node; a 32-bit regedit writes its own view, as this program reads.
  static std::string ImportedKey() {
    const std::string key = RegistryKeyPath(TOSData());
    if (!kSixtyFourBitProcess) return key;
    return "\\SOFTWARE\\Wow6432Node" + key.substr(std::string("\\SOFTWARE").size());
  }

  // Imports the entries given after the export file's first line with
  // `regedit /S`, waiting for it to finish.
  void Import(const std::string& entries) {
    const std::string file =
        dir_.Write("import.reg", "Windows Registry Editor Version 5.00\r\n\r\n" + entries);
    std::string command = "regedit.exe /S \"" + file + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &process))
        << "regedit cannot be started (Windows error " << ::GetLastError() << ")";
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    EXPECT_EQ(exitCode, 0u) << "regedit refused " << file;
  }

  void ImportDataDirectory(const std::string& valueText) {
    Import("[HKEY_LOCAL_MACHINE" + ImportedKey() + "]\r\n\"DataDirectory\"=" + valueText + "\r\n");
  }

  static TDataFolder Find() {
    ledra::platform::TRegistry registry;
    return FindDataFolder(registry, TOSData());
  }

  ledra::test::TempDir dir_;
  std::string saved_;
  bool owner_ = false;
};

TEST_F(RegistryStartupTest, FindsTheAddressBookWhereTheImportedKeySays) {
  // A 64-bit process never runs under WOW64, so it takes the plain key.
  if (kSixtyFourBitProcess) {
    EXPECT_EQ(RegistryKeyPath(TOSData()), kRegistryKey32);
  }

  ledra::test::TempDir data;
  data.Write("SMEADT01.DAT", "");  // found without regard to case
  const std::string path = data.Path().string();
  for (const std::string& stored : {path, path + "\\"}) {
    SCOPED_TRACE(stored);
    ImportDataDirectory("\"" + Escaped(stored) + "\"");
    const TDataFolder found = Find();
    EXPECT_TRUE(found.TablesReady);
    EXPECT_EQ(found.Path, stored);  // exactly as stored, trailing backslash or not
    EXPECT_EQ(found.Problem, "");
  }
}

TEST_F(RegistryStartupTest, AMissingKeyOrValueIsReportedInTheUsersWords) {
  const std::string missingKey =
      "Cannot locate Tolvenar registry information!\r\n\r\nRegistry Key = '" +
      RegistryKeyPath(TOSData()) + "'.'";
  TDataFolder found = Find();
  EXPECT_FALSE(found.TablesReady);
  EXPECT_EQ(found.Problem, missingKey);

  if (kSixtyFourBitProcess) {
    // The same key in the 64-bit view is not the one the shipping (32-bit)
    // application wrote.
    ledra::test::TempDir data;
    data.Write("SmeAdt01.dat", "");
    Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\r\n\"DataDirectory\"=\"" +
           Escaped(data.Path().string()) + "\"\r\n");
    ASSERT_TRUE(KeyExists("SOFTWARE\\Halvik\\Tolvenar", KEY_WOW64_64KEY));
    found = Find();
    EXPECT_FALSE(found.TablesReady);
    EXPECT_EQ(found.Problem, missingKey);
  }

  // The key without the value: an empty path, where the address book is not.
  Import("[HKEY_LOCAL_MACHINE" + ImportedKey() + "]\r\n\"Version\"=\"3.12\"\r\n");
  found = Find();
  EXPECT_FALSE(found.TablesReady);
  EXPECT_EQ(found.Path, "");
  EXPECT_EQ(found.Problem, "Tolvenar Address Book table not found.");

  // The value naming a directory without the address book.
  ledra::test::TempDir empty;
  ImportDataDirectory("\"" + Escaped(empty.Path().string()) + "\"");
  found = Find();
  EXPECT_FALSE(found.TablesReady);
  EXPECT_EQ(found.Path, empty.Path().string());
  EXPECT_EQ(found.Problem, "Tolvenar Address Book table not found.");
}

TEST_F(RegistryStartupTest, AValueThatIsNotTextIsReportedWithTheRegistrysMessage) {
  ImportDataDirectory("dword:00000007");
  const TDataFolder found = Find();
  EXPECT_FALSE(found.TablesReady);
  EXPECT_EQ(found.Problem, "Invalid data type for 'DataDirectory'");
}

}  // namespace
}  // namespace ostrevo
