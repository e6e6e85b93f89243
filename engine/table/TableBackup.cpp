#include "engine/table/TableBackup.h"

#include <algorithm>
#include <array>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "engine/errors/EngineError.h"
#include "engine/files/FileHandler.h"
#include "engine/files/OsErrors.h"
#include "engine/files/TableFileNames.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/table/TableCreation.h"
#include "engine/table/TableLock.h"
#include "engine/table/TableVerifier.h"
#include "platform/File.h"
#include "platform/Folders.h"
#include "platform/WinError.h"

namespace ledra {

namespace {

// Copies move this much at a time, as the file layer's own copies do.
constexpr uint32_t kChunkBytes = 65536;

// The last part of a full file name.
std::string BaseName(const std::string& fileName) {
  const size_t separator = fileName.find_last_of(platform::PathSeparator());
  return separator == std::string::npos ? fileName : fileName.substr(separator + 1);
}

[[noreturn]] void RaiseOsFileError(const std::string& fileName) {
  RaiseEngineError(EngineErrorForWinError(platform::GetLastError()), {.Table = fileName});
}

[[noreturn]] void RaiseWriteError(const std::string& fileName) {
  RaiseEngineError(LEDRA_WRITEERR, {.Table = fileName});
}

[[noreturn]] void RaiseReadError(const std::string& fileName) {
  RaiseEngineError(LEDRA_READERR, {.Table = fileName});
}

[[noreturn]] void RaiseBackupError(std::string_view tableName, const std::string& text) {
  RaiseEngineError(LEDRA_EXPORTERROR, {.Text = text, .Table = tableName});
}

[[noreturn]] void RaiseRestoreError(std::string_view tableName, const std::string& text) {
  RaiseEngineError(LEDRA_IMPORTERROR, {.Text = text, .Table = tableName});
}

// Bytes copied so far against the whole, reported after every chunk.
class TCopyCounter {
 public:
  TCopyCounter(const TBackupProgress& progress, int64_t total)
      : progress_(progress), total_(total) {}
  void Add(int64_t bytes) {
    done_ += bytes;
    if (progress_) progress_(done_, total_);
  }
  int64_t Done() const { return done_; }

 private:
  const TBackupProgress& progress_;
  int64_t total_ = 0;
  int64_t done_ = 0;
};

// Writes all of `buffer` at the file's position.
void WriteAll(platform::File& file, const std::string& fileName, const uint8_t* buffer,
              uint32_t length) {
  if (file.Write(buffer, length) != int64_t(length)) RaiseWriteError(fileName);
}

// Copies the first `size` bytes of a table file, read through its handler,
// to the position of `to`.
void CopyFromHandler(TFileHandler& from, int64_t size, platform::File& to,
                     const std::string& toName, TCopyCounter& counter) {
  std::vector<uint8_t> buffer(kChunkBytes);
  for (int64_t offset = 0; offset < size;) {
    const uint32_t length = uint32_t(std::min<int64_t>(kChunkBytes, size - offset));
    from.ReadAt(offset, buffer.data(), length);
    WriteAll(to, toName, buffer.data(), length);
    offset += length;
    counter.Add(length);
  }
}

// Copies the whole of `from` (from its start) to the position of `to`: the
// bytes copied.
int64_t CopyFile(platform::File& from, const std::string& fromName, platform::File& to,
                 const std::string& toName, TCopyCounter* counter) {
  if (from.Seek(0, platform::SeekOrigin::Begin) != 0) RaiseOsFileError(fromName);
  std::vector<uint8_t> buffer(kChunkBytes);
  int64_t copied = 0;
  for (;;) {
    const int64_t read = from.Read(buffer.data(), kChunkBytes);
    if (read < 0) RaiseReadError(fromName);
    if (read == 0) break;
    WriteAll(to, toName, buffer.data(), uint32_t(read));
    copied += read;
    if (counter != nullptr) counter->Add(read);
  }
  return copied;
}

// Ends `file` at its position and writes the system's buffers to the device.
void FinishFile(platform::File& file, const std::string& fileName) {
  if (!file.SetEndOfFile() || !file.Flush()) RaiseWriteError(fileName);
}

std::unique_ptr<platform::File> CreateFileOrRaise(const std::string& name) {
  std::unique_ptr<platform::File> file = platform::CreateOsFile(name, false);
  if (!file) RaiseOsFileError(name);
  return file;
}

// A directory of the session for as long as the scope needs it.
class TDirectoryUse {
 public:
  TDirectoryUse(TDataSession& session, const std::string& path)
      : session_(session), directory_(&session.OpenDirectory(path, path)) {}
  ~TDirectoryUse() {
    // Only reached with a directory still held when an error is on its way.
    try {
      Release();
    } catch (...) {
    }
  }
  TDirectoryUse(const TDirectoryUse&) = delete;
  TDirectoryUse& operator=(const TDirectoryUse&) = delete;

  TDataDirectory& Directory() { return *directory_; }
  void Release() {
    if (directory_ == nullptr) return;
    TDataDirectory* directory = std::exchange(directory_, nullptr);
    session_.ReleaseDirectory(*directory);
  }

 private:
  TDataSession& session_;
  TDataDirectory* directory_;
};

// One open of a table (a cursor's open, headers checked) for the scope.
class TTableUse {
 public:
  TTableUse(TDataDirectory& directory, std::string_view tableName, bool exclusive,
            const TPasswordCallback& passwordCallback)
      : directory_(directory),
        table_(&OpenCursorTable(directory, tableName, exclusive, false, passwordCallback)) {}
  ~TTableUse() {
    try {
      Close();
    } catch (...) {
    }
  }
  TTableUse(const TTableUse&) = delete;
  TTableUse& operator=(const TTableUse&) = delete;

  TDataTable& Table() { return *table_; }
  void Close() {
    if (table_ == nullptr) return;
    TDataTable* table = std::exchange(table_, nullptr);
    directory_.CloseTable(*table, false);
  }

 private:
  TDataDirectory& directory_;
  TDataTable* table_;
};

// The handlers of the table files that are open: the .DAT, the .IDX and,
// with blob fields, the .BLB, in that order (null where there is none).
std::array<TFileHandler*, 3> OpenHandlers(TDataTable& table) {
  return {&table.DataFile(), table.IndexFile().IsOpen() ? &table.IndexFile() : nullptr,
          table.HasBlobs() && table.BlobFile().IsOpen() ? &table.BlobFile() : nullptr};
}

constexpr std::array<std::string_view, 3> kTableExts = {kDataFileExt, kIndexFileExt, kBlobFileExt};
constexpr std::array<std::string_view, 3> kKeptExts = {kDataBackupExt, kIndexBackupExt,
                                                       kBlobBackupExt};

// Whatever keeps a table copy from being whole: empty when nothing does.
std::string MissingFiles(const TDataDirectory& directory, std::string_view tableName) {
  const std::vector<TVerifyFinding> missing = MissingTableFiles(directory, tableName);
  return missing.empty() ? std::string() : missing.front().Text;
}

// Checks an open table copy in full: empty when sound, else what is wrong.
std::string Problems(TDataTable& table, int32_t* liveRecords) {
  TTableReadLockGuard readLock(table.Lock());
  TTableVerifier verifier(table);
  const std::vector<TVerifyFinding> findings = verifier.Run();
  readLock.Release();
  if (liveRecords != nullptr) *liveRecords = verifier.LiveRecords();
  if (findings.empty()) return {};
  std::string text = findings.front().Area + ": " + findings.front().Text;
  if (findings.size() > 1) text += " (and " + std::to_string(findings.size() - 1) + " more)";
  return text;
}

// ---- Backup -------------------------------------------------------------------

// The staging folder of one backup: the copies are made there and leave it
// only when they verify; whatever is left is removed with it.
class TStaging {
 public:
  explicit TStaging(std::string path) : path_(std::move(path)) {}
  ~TStaging() { Remove(); }
  TStaging(const TStaging&) = delete;
  TStaging& operator=(const TStaging&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& baseName) const { return path_ + baseName; }

  // Makes the folder afresh (a failed earlier backup may have left one).
  void Make(std::string_view tableName, const std::string& dataBaseName) {
    RemoveTableFiles(dataBaseName);
    platform::RemoveEmptyDirectory(path_);
    if (!platform::ForceDirectories(path_)) {
      RaiseBackupError(tableName, "cannot make the folder " + path_);
    }
    made_ = true;
  }
  // Removes the staged files (the ones not moved out) and the folder.
  void Remove() noexcept {
    if (!made_) return;
    for (const std::string& name : files_) platform::RemoveFile(name);
    files_.clear();
    platform::RemoveEmptyDirectory(path_);
    made_ = false;
  }
  void Add(const std::string& name) { files_.push_back(name); }
  void Moved(const std::string& name) { std::erase(files_, name); }

 private:
  // The names a table's files would have here.
  void RemoveTableFiles(const std::string& dataBaseName) {
    for (std::string_view ext : kTableExts) {
      const std::string name =
          platform::ResolveFileName(File(ApplyTableExtension(dataBaseName, ext)));
      if (platform::RegularFileExists(name)) platform::RemoveFile(name);
    }
  }

  std::string path_;
  bool made_ = false;
  std::vector<std::string> files_;
};

}  // namespace

std::string BackupStagingFolder(std::string_view tableName) {
  return TrimBlanks(tableName) + ".partial";
}

TBackupResult BackupTable(TDataDirectory& directory, std::string_view tableName,
                          const std::string& destination, const TBackupOptions& options) {
  if (TrimBlanks(destination).empty()) RaiseBackupError(tableName, "no destination folder given");
  if (platform::ContainsPath(std::string(tableName))) {
    RaiseBackupError(tableName, "the table name holds a folder; name the table alone");
  }
  const std::string target = platform::IncludeTrailingSeparator(destination);
  if (platform::SameDirectory(
          target, directory.Path().empty() ? platform::GetCurrentDir() : directory.Path())) {
    RaiseBackupError(
        tableName, "the destination " + target + " is the table's own folder; choose another one");
  }
  if (!platform::ForceDirectories(target)) {
    RaiseBackupError(tableName, "cannot make the folder " + target);
  }

  TDataSession& session = directory.Session();
  TBackupResult result;
  TStaging staging(platform::IncludeTrailingSeparator(target + BackupStagingFolder(tableName)));
  std::array<std::string, 3> baseNames;  // the table's own file names, "" where none
  {
    TTableUse use(directory, tableName, false, options.PasswordCallback);
    TDataTable& table = use.Table();
    const std::array<TFileHandler*, 3> handlers = OpenHandlers(table);
    for (size_t i = 0; i < handlers.size(); ++i) {
      if (handlers[i] != nullptr) {
        baseNames[i] = BaseName(platform::ResolveFileName(handlers[i]->FileName()));
      }
    }
    staging.Make(tableName, baseNames[0]);

    // Writers stay out from here to the last byte copied.
    TTableReadLockGuard readLock(table.Lock());
    std::array<int64_t, 3> sizes = {};
    int64_t total = 0;
    for (size_t i = 0; i < handlers.size(); ++i) {
      if (handlers[i] == nullptr) continue;
      sizes[i] = handlers[i]->FileSize();
      total += sizes[i];
    }
    TCopyCounter counter(options.Progress, total);
    for (size_t i = 0; i < handlers.size(); ++i) {
      if (handlers[i] == nullptr) continue;
      const std::string staged = staging.File(baseNames[i]);
      std::unique_ptr<platform::File> file = CreateFileOrRaise(staged);
      staging.Add(staged);
      CopyFromHandler(*handlers[i], sizes[i], *file, staged, counter);
      FinishFile(*file, staged);
    }
    readLock.Release();
    use.Close();
    result.Bytes = counter.Done();
  }

  {
    TDirectoryUse staged(session, staging.Path());
    std::string problem = MissingFiles(staged.Directory(), baseNames[0]);
    if (problem.empty()) {
      TTableUse copy(staged.Directory(), baseNames[0], true, options.PasswordCallback);
      problem = Problems(copy.Table(), &result.LiveRecords);
      copy.Close();
    }
    staged.Release();
    if (!problem.empty()) {
      RaiseBackupError(tableName, "the copy does not verify, so it was not kept: " + problem);
    }
  }

  // Into place. A previous backup's files go first, its .DAT before all, so
  // that no mix of old and new files ever looks like a whole table.
  for (std::string_view ext : kTableExts) {
    const std::string old =
        platform::ResolveFileName(target + ApplyTableExtension(baseNames[0], ext));
    if (platform::RegularFileExists(old) && !platform::RemoveFile(old)) RaiseOsFileError(old);
  }
  for (size_t i : {size_t(1), size_t(2), size_t(0)}) {
    if (baseNames[i].empty()) continue;
    const std::string from = staging.File(baseNames[i]);
    const std::string to = target + baseNames[i];
    if (!platform::RenameFile(from, to)) RaiseOsFileError(to);
    staging.Moved(from);
    result.Files.push_back(to);
  }
  staging.Remove();
  return result;
}

// ---- Restore ------------------------------------------------------------------

namespace {

// One of the table's three files during a restore.
struct TTargetFile {
  std::string Name;      // full name in the table's folder
  std::string KeptName;  // the same with the kept-copy extension
  std::unique_ptr<platform::File> Handle;
  bool Existed = false;            // the table had this file
  bool Kept = false;               // its bytes are in the kept copy
  bool Created = false;            // made by the restore
  bool Changed = false;            // written or removed by the restore
  TFileHandler* Source = nullptr;  // the backup's file, null when it has none
};

// Puts a file back as the kept copy has it; false when that fails too.
bool PutBack(TTargetFile& target) noexcept {
  try {
    if (target.Created) {
      target.Handle.reset();
      return platform::RemoveFile(target.Name) || !platform::RegularFileExists(target.Name);
    }
    if (!target.Existed || !target.Changed) return true;
    if (!target.Kept) return false;
    std::unique_ptr<platform::File> kept = platform::OpenOsFile(
        target.KeptName, {platform::FileAccess::ReadOnly, platform::FileShare::Shared});
    if (!kept) return false;
    if (!target.Handle) target.Handle = CreateFileOrRaise(target.Name);  // it was removed
    if (target.Handle->Seek(0, platform::SeekOrigin::Begin) != 0) return false;
    CopyFile(*kept, target.KeptName, *target.Handle, target.Name, nullptr);
    FinishFile(*target.Handle, target.Name);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

TBackupResult RestoreTable(TDataDirectory& directory, std::string_view tableName,
                           const std::string& source, const TBackupOptions& options) {
  if (TrimBlanks(source).empty()) RaiseRestoreError(tableName, "no backup folder given");
  if (platform::ContainsPath(std::string(tableName))) {
    RaiseRestoreError(tableName, "the table name holds a folder; name the table alone");
  }
  const std::string from = platform::IncludeTrailingSeparator(source);
  const std::string tablePath =
      directory.Path().empty() ? platform::GetCurrentDir() : directory.Path();
  if (!platform::DirectoryExists(from)) {
    RaiseRestoreError(tableName, "there is no backup folder " + from);
  }
  if (platform::SameDirectory(from, tablePath)) {
    RaiseRestoreError(tableName, "the backup folder " + from + " is the table's own folder");
  }

  TDataSession& session = directory.Session();
  TDirectoryUse backup(session, from);
  if (!TableDataFileExists(backup.Directory(), tableName)) {
    RaiseRestoreError(tableName, "there is no backup of the table in " + from);
  }
  // The backup must be whole and sound before anything of the table is
  // touched, and it is held exclusively while its bytes are read, so that
  // nobody changes it meanwhile.
  TBackupResult result;
  std::optional<TTableUse> backupTable;
  std::string problem = MissingFiles(backup.Directory(), tableName);
  if (problem.empty()) {
    try {
      backupTable.emplace(backup.Directory(), tableName, true, options.PasswordCallback);
      problem = Problems(backupTable->Table(), &result.LiveRecords);
    } catch (const ELedraEngineError& error) {
      if (!IsDamagedFileError(error.ErrorCode)) throw;
      problem = error.what();
    }
  }
  if (!problem.empty()) {
    RaiseRestoreError(tableName, "the backup in " + from + " is not sound: " + problem);
  }
  const std::array<TFileHandler*, 3> sources = OpenHandlers(backupTable->Table());

  std::array<TTargetFile, 3> targets;
  int64_t total = 0;
  for (size_t i = 0; i < targets.size(); ++i) {
    TTargetFile& target = targets[i];
    target.Name =
        platform::ResolveFileName(TableFileName(directory.Path(), tableName, kTableExts[i]));
    target.KeptName =
        platform::ResolveFileName(TableFileName(directory.Path(), tableName, kKeptExts[i]));
    target.Source = sources[i];
    if (target.Source != nullptr) total += target.Source->FileSize();
  }

  // The claim: every file the table has, opened for this program alone, the
  // .DAT first and last to go. A table open anywhere else is refused here.
  for (TTargetFile& target : targets) {
    if (!platform::RegularFileExists(target.Name)) continue;
    target.Handle = platform::OpenOsFile(
        target.Name, {platform::FileAccess::ReadWrite, platform::FileShare::Exclusive});
    if (!target.Handle)
      RaiseEngineError(EngineErrorForWinError(platform::GetLastError()), {.Table = tableName});
    target.Existed = true;
  }
  if (!targets[0].Handle) {
    // No table to claim: the .DAT is made first, and held, before the others.
    targets[0].Handle = CreateFileOrRaise(targets[0].Name);
    targets[0].Created = true;
  }

  TCopyCounter counter(options.Progress, total);
  try {
    // The current files are kept before anything is overwritten; older kept
    // copies of files the table no longer has would not match, so they go.
    for (TTargetFile& target : targets) {
      if (target.Existed) {
        std::unique_ptr<platform::File> kept = CreateFileOrRaise(target.KeptName);
        CopyFile(*target.Handle, target.Name, *kept, target.KeptName, nullptr);
        FinishFile(*kept, target.KeptName);
        target.Kept = true;
      } else if (platform::RegularFileExists(target.KeptName) &&
                 !platform::RemoveFile(target.KeptName)) {
        RaiseOsFileError(target.KeptName);
      }
    }

    for (size_t i : {size_t(1), size_t(2), size_t(0)}) {
      TTargetFile& target = targets[i];
      if (target.Source == nullptr) continue;
      if (!target.Handle) {
        target.Handle = CreateFileOrRaise(target.Name);
        target.Created = true;
      }
      target.Changed = true;
      if (target.Handle->Seek(0, platform::SeekOrigin::Begin) != 0) RaiseOsFileError(target.Name);
      CopyFromHandler(*target.Source, target.Source->FileSize(), *target.Handle, target.Name,
                      counter);
      FinishFile(*target.Handle, target.Name);
      result.Files.push_back(target.Name);
    }
    // A file the backup does not have would not belong to the restored table.
    for (TTargetFile& target : targets) {
      if (target.Source != nullptr || !target.Existed) continue;
      target.Changed = true;
      target.Handle.reset();
      if (!platform::RemoveFile(target.Name)) RaiseOsFileError(target.Name);
    }
  } catch (...) {
    std::exception_ptr failure = std::current_exception();
    for (TTargetFile& target : targets) {
      // A kept copy cut short must not pass for the table's previous state.
      if (target.Existed && !target.Kept) platform::RemoveFile(target.KeptName);
    }
    bool putBack = true;
    for (size_t i : {size_t(1), size_t(2), size_t(0)}) putBack = PutBack(targets[i]) && putBack;
    if (putBack) std::rethrow_exception(failure);
    std::string why;
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& error) {
      why = error.what();
    }
    RaiseRestoreError(tableName, "restoring failed (" + why +
                                     ") and the table could not be put back; its previous "
                                     "files are kept as " +
                                     targets[0].KeptName + " and beside it");
  }
  result.Bytes = counter.Done();
  for (const TTargetFile& target : targets) {
    if (target.Kept) result.Kept.push_back(target.KeptName);
  }
  // Released the .DAT last: until then nobody can open the table.
  for (size_t i : {size_t(2), size_t(1), size_t(0)}) targets[i].Handle.reset();
  backupTable->Close();
  backup.Release();
  return result;
}

}  // namespace ledra
