#include "tools/ledra/Maintenance.h"

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <utility>

#include "engine/errors/EngineError.h"
#include "engine/table/TableBackup.h"
#include "engine/table/TableRepair.h"
#include "tools/ledra/ToolError.h"

namespace ledra::tool {

// ---- repair ---------------------------------------------------------------------

int RunRepair(const TTableOptions& options, bool keepBackup, std::ostream& out, std::ostream& err) {
  TToolSession session(options);
  if (!session.TableExists()) {
    RaiseTableError(LEDRA_OSENOENT, options.Table, session.Directory().DatabaseName());
  }
  TRepairOptions repairOptions;
  repairOptions.KeepBackup = keepBackup;
  TRepairReport report;
  try {
    report = RepairTable(session.Directory(), options.Table, repairOptions);
  } catch (const ELedraEngineError& error) {
    // The reason is what tells the user whether anything was written.
    const std::string name = EngineErrorName(error.ErrorCode);
    err << "ledra: cannot repair " << options.Table << ": " << error.what()
        << (name.empty() ? "" : " (" + name + ")")
        << (error.ErrorText.empty() ? "" : ": " + error.ErrorText) << "\n";
    return kExitFailure;
  }
  if (!report.Changed()) {
    out << "Table " << options.Table << " is sound; nothing changed.\n";
    return kExitOk;
  }
  for (const std::string& line : report.Changes) out << line << "\n";
  out << "Table " << options.Table << " repaired: " << report.Changes.size() << " changes";
  if (report.BackupTaken) {
    // The table's files as they were, under the backup extensions (a file
    // the table did not have has no backup).
    std::string kept;
    for (const char* ext : {".DBK", ".IBK", ".BBK"}) {
      const std::filesystem::path backup =
          std::filesystem::path(options.Directory) / (options.Table + ext);
      std::error_code error;
      if (!std::filesystem::exists(backup, error)) continue;
      kept += (kept.empty() ? "" : ", ") + backup.filename().string();
    }
    if (!kept.empty()) out << "; the files as they were are kept as " << kept;
  }
  out << ".\n";
  return kExitOk;
}

// ---- backup, restore -------------------------------------------------------------

namespace {

// Tables of this size and more show how far a copy has come.
constexpr int64_t kProgressFromBytes = int64_t(4) << 20;

// One line on standard error, rewritten in place as the percentage grows.
class TPercentLine {
 public:
  TPercentLine(std::ostream& err, std::string label) : err_(err), label_(std::move(label)) {}
  ~TPercentLine() { End(); }
  TPercentLine(const TPercentLine&) = delete;
  TPercentLine& operator=(const TPercentLine&) = delete;

  void Show(int64_t done, int64_t total) {
    if (total < kProgressFromBytes) return;
    const int percent = int(done * 100 / total);
    if (percent == shown_) return;
    shown_ = percent;
    err_ << "\r" << label_ << percent << "%" << std::flush;
  }
  void End() {
    if (shown_ >= 0) err_ << "\n" << std::flush;
    shown_ = -1;
  }

 private:
  std::ostream& err_;
  std::string label_;
  int shown_ = -1;
};

}  // namespace

int RunBackup(const TTableOptions& options, const std::string& destination, std::ostream& out,
              std::ostream& err) {
  TToolSession session(options);
  if (!session.TableExists()) {
    RaiseTableError(LEDRA_OSENOENT, options.Table, session.Directory().DatabaseName());
  }
  TPercentLine line(err, "ledra: backing up " + options.Table + " ");
  TBackupOptions backupOptions;
  backupOptions.Progress = [&](int64_t done, int64_t total) { line.Show(done, total); };
  const TBackupResult result =
      BackupTable(session.Directory(), options.Table, destination, backupOptions);
  line.End();
  out << "Backed up " << options.Table << " to " << destination << ": " << result.LiveRecords
      << " records in " << result.Files.size() << " files, " << result.Bytes
      << " bytes; the copy verifies.\n";
  return kExitOk;
}

int RunRestore(const TTableOptions& options, const std::string& source, std::ostream& out,
               std::ostream& err) {
  TToolSession session(options);
  TPercentLine line(err, "ledra: restoring " + options.Table + " ");
  TBackupOptions restoreOptions;
  restoreOptions.Progress = [&](int64_t done, int64_t total) { line.Show(done, total); };
  TBackupResult result;
  try {
    result = RestoreTable(session.Directory(), options.Table, source, restoreOptions);
  } catch (const ELedraEngineError& error) {
    if (error.ErrorCode != LEDRA_OSEACCES) throw;
    line.End();
    err << "ledra: cannot restore " << options.Table << ": another program has the table open "
        << "(or its files cannot be written); close every program that uses it, the shipping "
        << "application too, and try again. Nothing was changed. (" << error.what() << ")\n";
    return kExitFailure;
  }
  line.End();
  out << "Restored " << options.Table << " from " << source << ": " << result.LiveRecords
      << " records.";
  if (!result.Kept.empty()) {
    out << " The files it replaced are kept as";
    for (size_t i = 0; i < result.Kept.size(); ++i) {
      out << (i == 0 ? " " : ", ") << result.Kept[i];
    }
    out << ".";
  }
  out << "\n";
  return kExitOk;
}

}  // namespace ledra::tool
