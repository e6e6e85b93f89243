#include "engine/files/TableFileNames.h"

#include <gtest/gtest.h>

#include "platform/File.h"

namespace ledra {
namespace {

const std::string kDir = std::string("data") + platform::PathSeparator();

TEST(TableFileNames, TableNameGetsEachExtension) {
  EXPECT_EQ(TableFileName(kDir, "Smeadt01", kDataFileExt), kDir + "Smeadt01.DAT");
  EXPECT_EQ(TableFileName(kDir, "Smeadt01", kIndexFileExt), kDir + "Smeadt01.IDX");
  EXPECT_EQ(TableFileName(kDir, "Smeadt01", kBlobFileExt), kDir + "Smeadt01.BLB");
  EXPECT_EQ(TableFileName(kDir, "Smeadt01", kDataBackupExt), kDir + "Smeadt01.DBK");
  EXPECT_EQ(TableFileName(kDir, "Smeadt01", kIndexBackupExt), kDir + "Smeadt01.IBK");
  EXPECT_EQ(TableFileName(kDir, "Smeadt01", kBlobBackupExt), kDir + "Smeadt01.BBK");
}

TEST(TableFileNames, DataExtensionInAnyCaseIsReplaced) {
  for (const char* name : {"Smeadt01.dat", "Smeadt01.DAT", "Smeadt01.Dat", "  Smeadt01.dAT  "}) {
    EXPECT_EQ(TableFileName(kDir, name, kDataFileExt), kDir + "Smeadt01.DAT") << name;
    EXPECT_EQ(TableFileName(kDir, name, kIndexFileExt), kDir + "Smeadt01.IDX") << name;
    EXPECT_EQ(TableFileName(kDir, name, kBlobFileExt), kDir + "Smeadt01.BLB") << name;
  }
}

TEST(TableFileNames, OtherExtensionsAreKeptAndTheExtensionAppended) {
  EXPECT_EQ(TableFileName(kDir, "orders.2004", kDataFileExt), kDir + "orders.2004.DAT");
  EXPECT_EQ(TableFileName(kDir, "orders.2004", kIndexFileExt), kDir + "orders.2004.IDX");
  EXPECT_EQ(TableFileName(kDir, "orders.2004", kBlobFileExt), kDir + "orders.2004.BLB");
  EXPECT_EQ(TableFileName(kDir, "orders.data", kIndexFileExt), kDir + "orders.data.IDX");
  EXPECT_EQ(TableFileName(kDir, "x.dat.idx", kIndexFileExt), kDir + "x.dat.idx.IDX");
}

TEST(TableFileNames, DirectoryGetsItsSeparatorOnce) {
  EXPECT_EQ(TableFileName("data", "t", kDataFileExt), kDir + "t.DAT");
  EXPECT_EQ(TableFileName(kDir, "t", kDataFileExt), kDir + "t.DAT");
  EXPECT_EQ(TableFileName("", " t ", kDataFileExt), "t.DAT");
}

TEST(TableFileNames, NameHoldingAPathIgnoresTheDirectory) {
  std::string sep(1, platform::PathSeparator());
  std::string withPath = sep + "elsewhere.d" + sep + "Orders";
  EXPECT_EQ(TableFileName(kDir, withPath + ".dat", kIndexFileExt), withPath + ".IDX");
  // A dot in the directory is not the table name's extension.
  EXPECT_EQ(TableFileName(kDir, withPath, kDataFileExt), withPath + ".DAT");
}

}  // namespace
}  // namespace ledra
