#include "tools/ledra/LedraTool.h"

#include <CLI/CLI.hpp>

#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/errors/EngineError.h"
#include "engine/table/TableCreation.h"
#include "engine/table/TableDescription.h"
#include "engine/table/TableLock.h"
#include "engine/table/TableVerifier.h"
#include "tools/ledra/DemoData.h"
#include "tools/ledra/Exporter.h"
#include "tools/ledra/Importer.h"
#include "tools/ledra/KeyCommands.h"
#include "tools/ledra/Maintenance.h"
#include "tools/ledra/TableArguments.h"
#include "tools/ledra/TableInfo.h"
#include "tools/ledra/ToolError.h"
#include "tools/ledra/ToolSession.h"

namespace ledra::tool {

namespace {

using json = nlohmann::ordered_json;

// What every command on one table takes.
void AddTableArguments(CLI::App& command, TTableOptions& options, bool exclusive) {
  command.add_option("DIR", options.Directory, "The directory holding the table")->required();
  command.add_option("TABLE", options.Table, "The table's name (without extension)")->required();
  command.add_option("--password", options.Password, "The password of an enciphered table");
  if (exclusive) {
    command.add_flag("--exclusive", options.Exclusive,
                     "Open the table for this program alone (faster; refused while others use it)");
  }
}

TTextFormat ParseFormat(const std::string& format) {
  if (format == "csv") return TTextFormat::Csv;
  if (format == "json") return TTextFormat::Json;
  throw EToolError("--format is csv or json");
}

// ---- create ---------------------------------------------------------------------

int RunCreate(const TTableOptions& options, TTableArguments newTable, std::ostream& out) {
  newTable.Password = options.Password;
  TTableDefinition definition = newTable.BuildDefinition();
  const TTextParams textParams = newTable.TextParams();
  TToolSession session(options);
  CreateNewTable(session.Directory(), options.Table, definition, textParams);
  out << "Created table " << options.Table << ": " << definition.Fields.size() << " fields, "
      << definition.SecondaryIndexes.size() + (definition.PrimaryIndex.Fields.empty() ? 0 : 1)
      << " indexes.\n";
  return kExitOk;
}

// ---- info -----------------------------------------------------------------------

int RunInfo(const TTableOptions& options, bool asJson, std::ostream& out) {
  TToolSession session(options);
  TDataTable& table = session.OpenTable();
  TTableReadLockGuard readLock(table.Lock());
  json info = TableInfoJson(DescribeTable(table, false));
  readLock.Release();
  session.CloseTable();
  if (asJson) {
    out << info.dump(2) << "\n";
  } else {
    PrintTableInfo(info, out);
  }
  return kExitOk;
}

// ---- verify ---------------------------------------------------------------------

int ReportFindings(const std::string& table, const std::vector<TVerifyFinding>& findings,
                   int32_t records, int indexes, bool asJson, std::ostream& out) {
  if (asJson) {
    json list = json::array();
    for (const TVerifyFinding& f : findings) {
      json item = {{"area", f.Area}, {"text", f.Text}};
      if (f.Slot >= 0) item["slot"] = f.Slot;
      if (f.Page != 0) item["page"] = f.Page;
      if (f.Record != 0) item["record"] = f.Record;
      list.push_back(item);
    }
    out << json{{"table", table},
                {"sound", findings.empty()},
                {"liveRecords", records},
                {"indexesChecked", indexes},
                {"findings", list}}
               .dump(2)
        << "\n";
  } else if (findings.empty()) {
    out << "Table " << table << " is sound: " << records << " live records, " << indexes
        << " indexes checked.\n";
  } else {
    for (const TVerifyFinding& f : findings) out << f.Area << ": " << f.Text << "\n";
  }
  return findings.empty() ? kExitOk : kExitFindings;
}

int RunVerify(const TTableOptions& options, bool asJson, std::ostream& out) {
  TToolSession session(options);
  if (!session.TableExists()) {
    RaiseTableError(LEDRA_OSENOENT, options.Table, session.Directory().DatabaseName());
  }
  // Opening would make a missing index file afresh; a check writes nothing.
  const std::vector<TVerifyFinding> missing = MissingTableFiles(session.Directory(), options.Table);
  if (!missing.empty()) return ReportFindings(options.Table, missing, 0, 0, asJson, out);

  TDataTable* table = nullptr;
  try {
    table = &session.OpenTable();
  } catch (const ELedraEngineError& error) {
    if (!IsDamagedFileError(error.ErrorCode)) throw;
    return ReportFindings(
        options.Table,
        {{"table", -1, 0, 0, std::string("the table cannot be opened: ") + error.what()}}, 0, 0,
        asJson, out);
  }
  TTableReadLockGuard readLock(table->Lock());
  TTableVerifier verifier(*table);
  std::vector<TVerifyFinding> findings = verifier.Run();
  readLock.Release();
  session.CloseTable();
  return ReportFindings(options.Table, findings, verifier.LiveRecords(), verifier.IndexesChecked(),
                        asJson, out);
}

// ---- export ---------------------------------------------------------------------

int RunExport(const TTableOptions& options, const TExportOptions& exportOptions,
              std::ostream& out) {
  TToolSession session(options);
  TExporter exporter(session, exportOptions);
  exporter.Run(out);
  return kExitOk;
}

// ---- import ---------------------------------------------------------------------

int RunImport(const TTableOptions& options, const std::string& file, TTextFormat format,
              std::istream& in, std::ostream& out, std::ostream& err) {
  std::ifstream opened;
  std::istream* input = &in;
  if (file != "-") {
    opened.open(file, std::ios::binary);
    if (!opened) throw EToolError("cannot read '" + file + "'");
    input = &opened;
  }
  TToolSession session(options);
  TImporter importer(session.OpenCursor(), err);
  importer.Run(*input, format);
  session.CloseCursor();
  if (importer.BadRows() > 0) {
    err << "ledra: " << importer.BadRows() << " of " << importer.Rows()
        << " rows cannot be imported; nothing was added to " << options.Table << "\n";
    return kExitFindings;
  }
  out << "Added " << importer.Added() << " records.\n";
  return kExitOk;
}

// ---- find, update, delete -----------------------------------------------------------

int NotFound(const TTableOptions& options, const TKeyCommands& commands, std::ostream& err) {
  err << "ledra: no record of " << options.Table << " has the key " << commands.KeyText() << "\n";
  return kExitFindings;
}

int RunFind(const TTableOptions& options, const std::vector<std::string>& key, bool asJson,
            std::ostream& out, std::ostream& err) {
  TToolSession session(options);
  TKeyCommands commands(session, key);
  return commands.Find(out, asJson) ? kExitOk : NotFound(options, commands, err);
}

int RunUpdate(const TTableOptions& options, const std::vector<std::string>& key,
              const std::vector<std::string>& assignments, std::ostream& out, std::ostream& err) {
  TToolSession session(options);
  TKeyCommands commands(session, key);
  return commands.Update(assignments, out) ? kExitOk : NotFound(options, commands, err);
}

int RunDelete(const TTableOptions& options, const std::vector<std::string>& key, std::ostream& out,
              std::ostream& err) {
  TToolSession session(options);
  TKeyCommands commands(session, key);
  return commands.Delete(out) ? kExitOk : NotFound(options, commands, err);
}

std::string EngineErrorLine(const ELedraEngineError& error) {
  std::string name = EngineErrorName(error.ErrorCode);
  return std::string(error.what()) + (name.empty() ? "" : " (" + name + ")");
}

}  // namespace

int RunLedraTool(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                 std::ostream& err) {
  CLI::App app{"ledra: looks into, checks and fills the tables of the Ledra engine", "ledra"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Help on every command");

  TTableOptions table;
  TTableArguments newTable;
  CLI::App* create = app.add_subcommand("create", "Create a new, empty table");
  AddTableArguments(*create, table, false);
  create->add_option("--field", newTable.Fields, std::string(kFieldArgumentHelp))
      ->required()
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  create->add_option("--primary", newTable.Primary, std::string(kPrimaryArgumentHelp));
  create->add_option("--index", newTable.Indexes, std::string(kIndexArgumentHelp))
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  create->add_option("--text-index", newTable.TextIndex,
                     "F1[,F2...]: string fields whose words the text index keeps");
  create->add_option("--stop-words", newTable.StopWords,
                     "W1[,W2...]: words the text index leaves out");
  create->add_option("--blob-block-size", newTable.BlobBlockSize,
                     "Block size of the blob file (default 512)");
  create->add_option("--description", newTable.Description, "The table's description");
  create->footer(
      "Example:\n  ledra create data Towns --field Code:string:9:required:upper "
      "--field Name:string:40 --field Founded:date --primary Code --index ByName:Name:nocase");

  bool asJson = false;
  CLI::App* info = app.add_subcommand("info", "Show a table's header, fields and indexes");
  AddTableArguments(*info, table, true);
  info->add_flag("--json", asJson, "As JSON");

  CLI::App* verify = app.add_subcommand(
      "verify",
      "Check a table's data, index and blob files in full; exit 0 when sound, 1 with one line "
      "per finding, 2 when the table cannot be opened");
  AddTableArguments(*verify, table, true);
  verify->add_flag("--json", asJson, "As JSON");

  TExportOptions exportOptions;
  std::string format = "csv";
  CLI::App* exportCommand =
      app.add_subcommand("export", "Write every live record to standard output");
  AddTableArguments(*exportCommand, table, true);
  auto* indexOption =
      exportCommand->add_option("--index", exportOptions.IndexName, "In the order of this index");
  exportCommand->add_flag("--natural", exportOptions.Natural, "In record-number order")
      ->excludes(indexOption);
  exportCommand->add_option("--format", format, "csv (the default, with a header row) or json");

  std::string importFile;
  CLI::App* import = app.add_subcommand(
      "import",
      "Append records from a CSV file with a header row naming the fields (any order and case) "
      "or from a JSON array of objects. All rows are added or none: every row is checked "
      "first, and the rows are written in one transaction. Exit code 1 when any row is bad "
      "or refused by the table (each is reported with its line; nothing is added), 2 when the "
      "input as a whole is malformed or the table cannot be written (nothing is added)");
  AddTableArguments(*import, table, true);
  import->add_option("FILE", importFile, "The file to read, - for standard input")->required();
  import->add_option("--format", format, "csv (the default) or json");

  std::vector<std::string> key;
  CLI::App* find = app.add_subcommand(
      "find", "Show the record with a primary key (exit code 1 when there is none)");
  AddTableArguments(*find, table, true);
  find->add_option("VALUE", key, "The values of the primary key's fields, in order")->required();
  find->add_flag("--json", asJson, "As JSON");

  std::vector<std::string> assignments;
  CLI::App* update = app.add_subcommand(
      "update", "Change fields of the record with a primary key, under its record lock");
  AddTableArguments(*update, table, true);
  update->add_option("VALUE", key, "The values of the primary key's fields, in order")->required();
  update
      ->add_option("--set", assignments,
                   "FIELD=VALUE (an empty VALUE makes the field null, a blob or memo empty)")
      ->required()
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);

  CLI::App* remove =
      app.add_subcommand("delete", "Delete the record with a primary key, under its record lock");
  AddTableArguments(*remove, table, true);
  remove->add_option("VALUE", key, "The values of the primary key's fields, in order")->required();

  bool noBackup = false;
  CLI::App* repair = app.add_subcommand(
      "repair",
      "Mend a damaged table: rebuild its indexes, free slot chain, counters and blob free list "
      "from its records, after copying its files to .DBK, .IBK and .BBK; a sound table is left "
      "untouched. Exit 0 when repaired or sound, 2 when it cannot be repaired");
  AddTableArguments(*repair, table, false);
  repair->add_flag("--no-backup", noBackup, "Do not copy the files before changing them");

  std::string backupFolder;
  CLI::App* backup = app.add_subcommand(
      "backup",
      "Copy a table's files into a folder while other programs may keep using the table: the "
      "copy is one consistent state (writers wait until it is taken) and is verified before "
      "it is kept");
  AddTableArguments(*backup, table, false);
  backup->add_option("DEST", backupFolder, "The folder to copy into (made when missing)")
      ->required();
  CLI::App* restore = app.add_subcommand(
      "restore",
      "Put a backup back in place of a table, only while no program has the table open; the "
      "backup is verified first, and the files it replaces are kept as .DBK, .IBK and .BBK");
  AddTableArguments(*restore, table, false);
  restore->add_option("SOURCE", backupFolder, "The folder holding the backup")->required();

  TDemoOptions demo;
  CLI::App* demoCommand = app.add_subcommand(
      "demo",
      "Make a demo data directory: the address book Smeadt01, the new-town table "
      "NewChinaTowns and a registry file naming the directory");
  demoCommand->add_option("DIR", demo.Directory, "The directory (made when missing)")->required();
  demoCommand->add_option("--records", demo.Records, "Addresses to make (default 5000)");
  demoCommand->add_option("--seed", demo.Seed, "The seed of the random choices (default 1)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error, out, err);
    return code == 0 ? kExitOk : kExitFailure;
  }

  try {
    if (create->parsed()) return RunCreate(table, newTable, out);
    if (info->parsed()) return RunInfo(table, asJson, out);
    if (verify->parsed()) return RunVerify(table, asJson, out);
    if (exportCommand->parsed()) {
      exportOptions.Format = ParseFormat(format);
      return RunExport(table, exportOptions, out);
    }
    if (import->parsed()) return RunImport(table, importFile, ParseFormat(format), in, out, err);
    if (find->parsed()) return RunFind(table, key, asJson, out, err);
    if (update->parsed()) return RunUpdate(table, key, assignments, out, err);
    if (remove->parsed()) return RunDelete(table, key, out, err);
    if (repair->parsed()) return RunRepair(table, !noBackup, out, err);
    if (backup->parsed()) return RunBackup(table, backupFolder, out, err);
    if (restore->parsed()) return RunRestore(table, backupFolder, out, err);
    if (demoCommand->parsed()) {
      TDemoData(demo).Run(out, err);
      return kExitOk;
    }
  } catch (const ELedraEngineError& error) {
    out.flush();
    err << "ledra: " << EngineErrorLine(error) << "\n";
    return kExitFailure;
  } catch (const EToolError& error) {
    out.flush();
    err << "ledra: " << error.what() << "\n";
    return error.ExitCode();
  } catch (const std::exception& error) {
    out.flush();
    err << "ledra: " << error.what() << "\n";
    return kExitFailure;
  }
  return kExitFailure;
}

}  // namespace ledra::tool
