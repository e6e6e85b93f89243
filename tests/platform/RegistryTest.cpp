#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/Wow64.h"
#include "tests/support/TempDir.h"

namespace ledra::platform {
namespace {

constexpr const char* kKey = "\\SOFTWARE\\Halvik\\Tolvenar";

// A registry file as the shipping application's installer leaves it, in the
// line ends and encodings that occur.
std::string File(const std::string& body, const char* eol = "\r\n") {
  std::string text = "Windows Registry Editor Version 5.00" + std::string(eol) + eol;
  for (char c : body) {
    if (c == '\n') {
      text += eol;
    } else {
      text += c;
    }
  }
  return text;
}

std::string Utf16(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

// Reads `DataDirectory` from a registry file holding `bytes`, as start-up does.
std::string ReadDataDirectory(const test::TempDir& dir, const std::string& bytes) {
  TRegistry registry(dir.Write("registry.reg", bytes));
  registry.SetRootKey(TRegistryRoot::LocalMachine);
  EXPECT_TRUE(registry.OpenKeyReadOnly(kKey));
  EXPECT_TRUE(registry.ValueExists("DataDirectory"));
  return registry.ReadString("DataDirectory");
}

TEST(RegistryTest, ReadsStringsInEveryEncodingAndLineEnd) {
  test::TempDir dir;
  const std::string body =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\n"
      "\"DataDirectory\"=\"C:\\\\Tolvenar\\\\Data\"\n";
  EXPECT_EQ(ReadDataDirectory(dir, File(body)), "C:\\Tolvenar\\Data");
  EXPECT_EQ(ReadDataDirectory(dir, File(body, "\n")), "C:\\Tolvenar\\Data");
  EXPECT_EQ(ReadDataDirectory(dir, File(body, "\r")), "C:\\Tolvenar\\Data");
  EXPECT_EQ(ReadDataDirectory(dir, Utf16(File(body))), "C:\\Tolvenar\\Data");
  EXPECT_EQ(ReadDataDirectory(dir, "\xEF\xBB\xBF" + File(body)), "C:\\Tolvenar\\Data");

  // 8-bit text is code page 1252 and stays so; UTF-8 and UTF-16 come out in it.
  const std::string accented =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\n\"DataDirectory\"=\"/srv/Donn\xE9"
      "es\"\n";
  EXPECT_EQ(ReadDataDirectory(dir, File(accented)),
            "/srv/Donn\xE9"
            "es");
  const std::string utf8 =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\n\"DataDirectory\"=\"/srv/Donn\xC3\xA9"
      "es\"\n";
  EXPECT_EQ(ReadDataDirectory(dir, "\xEF\xBB\xBF" + File(utf8)),
            "/srv/Donn\xE9"
            "es");
}

TEST(RegistryTest, QuotingEscapesAndOtherLines) {
  test::TempDir dir;
  const std::string text = File(
      "; written by hand\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"
      "\"DataDirectory\"=\"wrong key\"\n"
      "\n"
      "[hkey_local_machine\\software\\HALVIK\\tolvenar]\n"
      "@=\"the default\"\n"
      "\"Quoted \\\"Name\\\"\"=\"say \\\"hi\\\" = ; [x]\"\n"
      "  \"DataDirectory\"  =  \"/data/tolvenar/\"  \n"
      "\"Count\"=dword:0000001f\n");
  TRegistry registry(dir.Write("r.reg", text));
  registry.SetRootKey(TRegistryRoot::LocalMachine);
  ASSERT_TRUE(registry.OpenKeyReadOnly("SOFTWARE\\Halvik\\Tolvenar\\"));
  EXPECT_EQ(registry.ReadString("datadirectory"), "/data/tolvenar/");
  EXPECT_EQ(registry.ReadString(""), "the default");
  EXPECT_EQ(registry.ReadString("Quoted \"Name\""), "say \"hi\" = ; [x]");
  EXPECT_TRUE(registry.ValueExists("Count"));
  EXPECT_FALSE(registry.ValueExists("Missing"));
  EXPECT_EQ(registry.ReadString("Missing"), "");
  registry.CloseKey();
  EXPECT_FALSE(registry.ValueExists("DataDirectory"));
  EXPECT_EQ(registry.ReadString("DataDirectory"), "");
}

TEST(RegistryTest, MissingFileOrKeyCannotBeOpened) {
  test::TempDir dir;
  TRegistry absent(dir.File("none.reg"));
  absent.SetRootKey(TRegistryRoot::LocalMachine);
  EXPECT_FALSE(absent.OpenKeyReadOnly(kKey));
  EXPECT_FALSE(absent.KeyOpen());

  const std::string path = dir.Write(
      "r.reg", File("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar\\Sub]\n\"A\"=\"1\"\n"
                    "[HKEY_CURRENT_USER\\SOFTWARE\\Wow6432Node\\Halvik\\Tolvenar]\n\"A\"=\"2\"\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\n\"A\"=\"3\"\n"
                    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar\\Sub]\n\"A\"=-\n"));
  TRegistry registry(path);
  registry.SetRootKey(TRegistryRoot::LocalMachine);
  // A key with only keys below it exists; its values are none.
  ASSERT_TRUE(registry.OpenKeyReadOnly(kKey));
  EXPECT_FALSE(registry.ValueExists("A"));
  ASSERT_TRUE(registry.OpenKeyReadOnly("\\SOFTWARE\\Halvik\\Tolvenar\\Sub"));
  EXPECT_FALSE(registry.ValueExists("A"));  // deleted by "-"
  EXPECT_FALSE(registry.OpenKeyReadOnly("\\SOFTWARE\\Halvik\\Tolvenarx"));
  EXPECT_FALSE(registry.OpenKeyReadOnly("\\SOFTWARE\\Gone"));
  // The key under the other root and the other view is not this one.
  EXPECT_FALSE(registry.OpenKeyReadOnly("\\SOFTWARE\\Wow6432Node\\Halvik\\Tolvenar"));
  registry.SetRootKey(TRegistryRoot::CurrentUser);
  ASSERT_TRUE(registry.OpenKeyReadOnly("\\SOFTWARE\\Wow6432Node\\Halvik\\Tolvenar"));
  EXPECT_EQ(registry.ReadString("A"), "2");
}

TEST(RegistryTest, ValuesThatAreNotStringsRaise) {
  test::TempDir dir;
  const std::string text = File(
      "[HKLM\\SOFTWARE\\Halvik\\Tolvenar]\n"
      "\"Number\"=dword:00000001\n"
      "\"Binary\"=hex:2f,64,\\\n"
      "  61,74,61\n"
      "\"Expand\"=hex(2):2f,00,64,00,\\\n"
      "  61,00,00,00\n"
      "\"Text\"=hex(1):41,00,42,00,00,00\n"
      "\"List\"=hex(7):41,00,00,00,00,00\n");
  TRegistry registry(dir.Write("r.reg", text));
  registry.SetRootKey(TRegistryRoot::LocalMachine);
  ASSERT_TRUE(registry.OpenKeyReadOnly(kKey));
  EXPECT_EQ(registry.ReadString("Expand"), "/da");
  EXPECT_EQ(registry.ReadString("Text"), "AB");
  for (const char* name : {"Number", "Binary", "List"}) {
    EXPECT_TRUE(registry.ValueExists(name));
    try {
      registry.ReadString(name);
      ADD_FAILURE() << name << " was read as a string";
    } catch (const ERegistryError& error) {
      EXPECT_EQ(std::string(error.what()), "Invalid data type for '" + std::string(name) + "'");
    }
  }
}

TEST(RegistryTest, FilesThatAreNotRegistryFilesRaise) {
  test::TempDir dir;
  auto opening = [&](const std::string& bytes) -> std::string {
    TRegistry registry(dir.Write("bad.reg", bytes));
    registry.SetRootKey(TRegistryRoot::LocalMachine);
    try {
      registry.OpenKeyReadOnly(kKey);
    } catch (const ERegistryError& error) {
      return error.what();
    }
    return "opened";
  };
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\n";
  EXPECT_EQ(opening(""), "The registry file '" + dir.File("bad.reg") + "' is empty.");
  EXPECT_NE(opening("DataDirectory=/x\r\n").find("does not start with"), std::string::npos);
  EXPECT_NE(opening(File(key + "\"DataDirectory\"=\"/x\n")).find("closing quote (line 4)"),
            std::string::npos);
  EXPECT_NE(opening(File(key + "\"DataDirectory\"=/x\n")).find("unknown kind"), std::string::npos);
  EXPECT_NE(opening(File(key + "\"N\"=hex:4g\n")).find("malformed byte"), std::string::npos);
  EXPECT_NE(opening(File(key + "\"N\"=dword:123456789\n")).find("malformed number"),
            std::string::npos);
  EXPECT_NE(opening(File("\"N\"=\"x\"\n")).find("before any key"), std::string::npos);
  EXPECT_NE(opening(File("[HKEY_LOCAL_MACHINE\n")).find("closing ']'"), std::string::npos);
  EXPECT_NE(opening("\xFF\xFE\x41").find("UTF-16"), std::string::npos);
  EXPECT_EQ(opening(File(key)), "opened");
}

TEST(RegistryTest, FileNamedByTheEnvironment) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows reads the machine's registry unless a file is named (tested in win32/)";
#else
  const char* before = std::getenv("OSTREVO_REGISTRY");
  std::string saved = before != nullptr ? before : "";
  ::setenv("OSTREVO_REGISTRY", "/tmp/some.reg", 1);
  EXPECT_EQ(TRegistry().FileName(), "/tmp/some.reg");
  ::unsetenv("OSTREVO_REGISTRY");
  EXPECT_EQ(TRegistry().FileName(), "/etc/ostrevo/registry.reg");
  if (before != nullptr) ::setenv("OSTREVO_REGISTRY", saved.c_str(), 1);
#endif
}

TEST(Wow64Test, NoCompatibilityLayerOutsideWindows) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows answers from the system (tested in win32/)";
#endif
  EXPECT_EQ(ProbeWow64Process(), TWow64Answer::NotFound);
}

}  // namespace
}  // namespace ledra::platform
