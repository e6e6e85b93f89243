#include "engine/errors/EngineError.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/WinError.h"

namespace ledra {
namespace {

// Raises and returns the exception, failing the test if nothing was thrown.
template <typename Raise>
ELedraEngineError Caught(Raise raise) {
  try {
    raise();
  } catch (const ELedraEngineError& error) {
    return error;
  }
  ADD_FAILURE() << "no engine error raised";
  return ELedraEngineError(LEDRA_NONE);
}

TEST(EngineErrorTest, DuplicateKeyNamesIndexAndTable) {
  ELedraEngineError error = Caught(
      [] { RaiseEngineError(LEDRA_KEYVIOL, {.Index = "X", .Table = "Y", .Database = "DB"}); });
  EXPECT_STREQ(error.what(),
               "Ledra Engine Error # 9729 Duplicate key found in the index 'X' of the table 'Y'");
  EXPECT_EQ(error.ErrorCode, 9729);
  EXPECT_EQ(error.ErrorIndex, "X");
  EXPECT_EQ(error.ErrorTable, "Y");
  EXPECT_EQ(error.ErrorDatabase, "DB");
  EXPECT_EQ(error.ErrorField, "");
  EXPECT_EQ(LastEngineErrorCode(), LEDRA_KEYVIOL);
  EXPECT_EQ(EngineErrorMessage(LEDRA_KEYVIOL),
            "Duplicate key found in the index 'X' of the table 'Y'");
}

TEST(EngineErrorTest, EveryContextSlotReachesItsField) {
  ELedraEngineError error = Caught([] {
    RaiseEngineError(LEDRA_REMOTENODBUSER, {.Server = "srv",
                                            .User = "usr",
                                            .Text = "txt",
                                            .Index = "idx",
                                            .Field = "fld",
                                            .Table = "tbl",
                                            .Database = "db"});
  });
  EXPECT_EQ(error.ErrorServer, "srv");
  EXPECT_EQ(error.ErrorUser, "usr");
  EXPECT_EQ(error.ErrorText, "txt");
  EXPECT_EQ(error.ErrorIndex, "idx");
  EXPECT_EQ(error.ErrorField, "fld");
  EXPECT_EQ(error.ErrorTable, "tbl");
  EXPECT_EQ(error.ErrorDatabase, "db");
  EXPECT_STREQ(error.what(),
               "Ledra Engine Error # 11297 The database user 'usr' does not exist for the "
               "database 'db' on the database server at 'srv'");
}

TEST(EngineErrorTest, MessageWithoutContext) {
  ELedraEngineError error = Caught([] { RaiseEngineError(LEDRA_NOTINITIALIZED); });
  EXPECT_STREQ(error.what(), "Ledra Engine Error # 10758 The database engine is not initialized");
}

TEST(EngineErrorTest, UnknownCode) {
  ELedraEngineError error = Caught([] { RaiseTableError(8707, "T"); });
  EXPECT_STREQ(error.what(), "Ledra Engine Error # 8707 An unknown error occurred");
  EXPECT_EQ(EngineErrorMessage(0), "An unknown error occurred");
  EXPECT_EQ(EngineErrorName(8707), "");
  EXPECT_EQ(EngineErrorName(0xFFFF), "");
}

TEST(EngineErrorTest, RaiseTableErrorFillsTableAndDatabaseOnly) {
  ELedraEngineError error = Caught([] { RaiseTableError(LEDRA_READERR, "Smeadt01", "/data"); });
  EXPECT_STREQ(error.what(), "Ledra Engine Error # 9217 Error reading from the table 'Smeadt01'");
  EXPECT_EQ(error.ErrorTable, "Smeadt01");
  EXPECT_EQ(error.ErrorDatabase, "/data");
  EXPECT_EQ(error.ErrorServer, "");
  EXPECT_EQ(error.ErrorIndex, "");
}

TEST(EngineErrorTest, LongNamesAreCut) {
  const std::string longName(300, 'n');
  ELedraEngineError error = Caught([&] { RaiseTableError(LEDRA_READERR, longName); });
  EXPECT_EQ(error.ErrorTable, std::string(255, 'n'));

  // "Error reading from the table '" is 30 characters; the rest of the 254 is
  // the name, and the closing quote falls off.
  const std::string expectedText = "Error reading from the table '" + std::string(224, 'n');
  EXPECT_EQ(EngineErrorMessage(LEDRA_READERR), expectedText);
  EXPECT_EQ(std::string(error.what()), "Ledra Engine Error # 9217 " + expectedText);

  ELedraEngineError every = Caught([&] {
    RaiseEngineError(LEDRA_REMOTENOTAUTH, {.Server = longName,
                                           .User = longName,
                                           .Text = longName,
                                           .Index = longName,
                                           .Field = longName,
                                           .Table = longName,
                                           .Database = longName});
  });
  for (const std::string* field :
       {&every.ErrorServer, &every.ErrorUser, &every.ErrorText, &every.ErrorIndex,
        &every.ErrorField, &every.ErrorTable, &every.ErrorDatabase}) {
    EXPECT_EQ(field->size(), 255u);
  }
}

TEST(EngineErrorTest, PercentInANameIsText) {
  ELedraEngineError error =
      Caught([] { RaiseEngineError(LEDRA_KEYVIOL, {.Index = "%s%d%n", .Table = "100%s"}); });
  EXPECT_STREQ(error.what(),
               "Ledra Engine Error # 9729 Duplicate key found in the index '%s%d%n' of the table "
               "'100%s'");
}

TEST(EngineErrorTest, OSErrorIsRecordedButNotShown) {
  platform::SetLastError(platform::kErrorSharingViolation);
  ELedraEngineError error = Caught([] { RaiseTableError(LEDRA_OSUNKNOWN, "T"); });
  EXPECT_EQ(error.OSErrorCode, 32);
  EXPECT_EQ(error.SocketErrorCode, 0);
  EXPECT_STREQ(error.what(),
               "Ledra Engine Error # 11047 An unknown operating system error occurred with the "
               "table 'T'");
  platform::SetLastError(platform::kErrorSuccess);
}

TEST(EngineErrorTest, EarlierExceptionKeepsItsFields) {
  ELedraEngineError first =
      Caught([] { RaiseEngineError(LEDRA_KEYVIOL, {.Index = "First", .Table = "One"}); });
  ELedraEngineError second = Caught([] { RaiseTableError(LEDRA_LOCKED, "Two"); });
  EXPECT_EQ(first.ErrorCode, LEDRA_KEYVIOL);
  EXPECT_EQ(first.ErrorIndex, "First");
  EXPECT_EQ(first.ErrorTable, "One");
  EXPECT_STREQ(first.what(),
               "Ledra Engine Error # 9729 Duplicate key found in the index 'First' of the table "
               "'One'");
  // The later raise cleared the slots it did not set.
  EXPECT_EQ(second.ErrorIndex, "");
  EXPECT_EQ(LastEngineErrorCode(), LEDRA_LOCKED);
  EXPECT_EQ(EngineErrorMessage(LEDRA_KEYVIOL),
            "Duplicate key found in the index '' of the table 'Two'");
}

TEST(EngineErrorTest, ErrorCodeOfCaughtExceptions) {
  ELedraEngineError engine = Caught([] { RaiseTableError(LEDRA_RECLOCKFAILED, "T"); });
  EXPECT_EQ(ErrorCodeOf(engine), LEDRA_RECLOCKFAILED);
  EXPECT_EQ(ErrorCodeOf(std::runtime_error("other")), LEDRA_OSUNKNOWN);
  EXPECT_EQ(ErrorCodeOf(EDatabaseError("plain database error")), 11047);

  EXPECT_EQ(ErrorCodeOf(std::make_exception_ptr(engine)), LEDRA_RECLOCKFAILED);
  EXPECT_EQ(ErrorCodeOf(std::make_exception_ptr(std::bad_alloc())), LEDRA_OSUNKNOWN);
  EXPECT_EQ(ErrorCodeOf(std::make_exception_ptr(42)), LEDRA_OSUNKNOWN);
  EXPECT_EQ(ErrorCodeOf(std::exception_ptr()), LEDRA_OSUNKNOWN);
}

TEST(EngineErrorTest, Names) {
  EXPECT_EQ(EngineErrorName(LEDRA_BOF), "LEDRA_BOF");
  EXPECT_EQ(EngineErrorName(9729), "LEDRA_KEYVIOL");
  EXPECT_EQ(EngineErrorName(0x2B27), "LEDRA_OSUNKNOWN");
  EXPECT_EQ(EngineErrorName(LEDRA_CANNOTLOADLDDRV), "LEDRA_CANNOTLOADLDDRV");
  EXPECT_EQ(EngineErrorName(LEDRA_SQLPARSE), "LEDRA_SQLPARSE");
}

struct TMessageCase {
  TEngineErrorCode code;
  const char* expected;
};

// Context used by every case below: each slot holds its own role's name.
TEST(EngineErrorTest, MessagesFillTheirArgumentsInOrder) {
  const TMessageCase cases[] = {
      {LEDRA_EOF, "End of table 'T' unexpectedly encountered"},
      {LEDRA_MINVALERR,
       "The value for the field 'F' in the table 'T' is below the minimum allowable value"},
      {LEDRA_OUTOFRANGE, "Invalid field number or name 'F' specified for the table 'T'"},
      {LEDRA_INVALIDFILTER, "Filter error for the table 'T' - X"},
      {LEDRA_INVALIDIDXDESC,
       "Invalid field number 'F' specified in the index 'I' for the table 'T'"},
      {LEDRA_SEARCHCOLREQD, "Invalid field 'F' specified for the index 'I' in the table 'T'"},
      {LEDRA_REMOTEUNKNOWN,
       "An unknown error ('X') occurred with the connection to the database server at 'S', "
       "please check the server log"},
      {LEDRA_REMOTENOTAUTH,
       "The user 'U' is not authorized to perform this operation with the database 'D' on the "
       "database server at 'S'"},
      {LEDRA_REMOTENODB, "The database 'D' does not exist on the database server at 'S'"},
      {LEDRA_REMOTEINVUSER, "The user name is either invalid or blank"},
      {LEDRA_EXPORTERROR, "An error occurred during the export from the table 'T' - X"},
      {LEDRA_SQLPARSE, "SQL error - X"},
      {LEDRA_OSENOMEM,
       "There is insufficient operating system memory available for the current operation"},
      {LEDRA_UNCOMPRESS, "Error uncompressing data"},
  };
  for (const TMessageCase& c : cases) {
    ELedraEngineError error = Caught([&] {
      RaiseEngineError(c.code, {.Server = "S",
                                .User = "U",
                                .Text = "X",
                                .Index = "I",
                                .Field = "F",
                                .Table = "T",
                                .Database = "D"});
    });
    EXPECT_EQ(std::string(error.what()),
              "Ledra Engine Error # " + std::to_string(c.code) + " " + c.expected)
        << EngineErrorName(c.code);
  }
}

TEST(EngineErrorTest, ConcurrentRaisesKeepTheirOwnContext) {
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &mismatches] {
      const std::string table = "Table" + std::to_string(t);
      for (int i = 0; i < 500; ++i) {
        try {
          RaiseTableError(LEDRA_LOCKED, table);
        } catch (const ELedraEngineError& error) {
          if (error.ErrorTable != table ||
              std::string(error.what()) != "Ledra Engine Error # 10241 The table '" + table +
                                               "' is already locked by another user") {
            ++mismatches[t];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace ledra
