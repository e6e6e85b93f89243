// The process-wide registry of the files the engine has open.
//
// A file used by several tables, cursors or handlers of the process is opened
// by the operating system only once: the registry holds one TAbstractFile per
// file, identified by its kind (memory or physical) and its name (trimmed,
// without regard to case), and hands out numbered handles on it.
//
// Every operation runs whole under the registry's critical section, including
// the operating-system open, close, rename, delete and whole-file copy it
// performs. The registry's section is always taken before a file object's
// section, never the reverse: never call the registry while holding a file's
// section (TFileHandler::EnterFile).
//
// Results are a handle number or 0 on success, a negative engine error code
// on failure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/files/AbstractFile.h"
#include "platform/System.h"

namespace ledra {

// Progress of a whole-file copy: the caller's user data and the percent done.
using TCopyProgress = std::function<void(void* userData, int percent)>;

struct TFileOpenResult {
  int64_t result = 0;  // the handle number, or a negative engine error
  TAbstractFile* file = nullptr;
  bool readOnly = false;
  bool readOnlyAttribute = false;
};

class TFileList {
 public:
  // Whole-file copies move this many bytes at a time.
  static constexpr uint32_t kCopyChunk = 65536;
  // zlib level of compressed copies.
  static constexpr int kCompressionLevel = 9;

  // The registry of the process, created on first use and destroyed when the
  // process ends. Handlers must not outlive it (no handler in static storage).
  static TFileList& Instance();

  TFileList() = default;
  ~TFileList();
  TFileList(const TFileList&) = delete;
  TFileList& operator=(const TFileList&) = delete;

  // Creates the file empty, replacing any existing file, and opens it held
  // exclusively until it is closed.
  TFileOpenResult Create(const std::string& name, bool inMemory, bool temporary);
  // Opens an existing file. A physical file that can be read but not written
  // opens read-only.
  TFileOpenResult Open(const std::string& name, bool inMemory, bool temporary, bool exclusive);
  // Closes one handle. The last handle of a physical file closes the
  // operating-system file (a temporary one is deleted) and removes the object;
  // a memory file stays, with its contents, unless it is temporary.
  int32_t Close(TAbstractFile* file, bool inMemory, uint32_t handle);
  // Refused with -LEDRA_OSEACCES while the file has open handles.
  int32_t Rename(const std::string& name, bool inMemory, const std::string& newName);
  int32_t Delete(const std::string& name, bool inMemory);
  // True if the registry holds the file or, for a physical file, when the
  // operating system finds a file (not a directory) of that name.
  bool Exists(const std::string& name, bool inMemory);

  // Copies the whole file behind a handle into a newly created target file.
  int32_t CopyOut(TAbstractFile* file, uint32_t handle, uint16_t progressStep,
                  const TCopyProgress& progress, void* userData, bool compress,
                  const std::string& targetName, bool targetInMemory);
  // Copies the whole of a source file, opened exclusively, into the file
  // behind a handle, at that file's current position.
  int32_t CopyIn(TAbstractFile* file, uint32_t handle, uint16_t progressStep,
                 const TCopyProgress& progress, void* userData, bool compress,
                 const std::string& sourceName, bool sourceInMemory);

  // The object registered under a name, null when none (for diagnostics).
  TAbstractFile* Find(const std::string& name, bool inMemory);
  size_t FileCount();

 private:
  using TFiles = std::vector<std::unique_ptr<TAbstractFile>>;

  TFiles::iterator Lookup(const std::string& trimmedName, bool inMemory);
  TFiles::iterator LookupObject(const TAbstractFile* file);
  // Copies the source from its start into the target at its position.
  static int32_t CopyContents(TAbstractFile& source, uint32_t sourceHandle, TAbstractFile& target,
                              uint32_t targetHandle, uint16_t progressStep,
                              const TCopyProgress& progress, void* userData, bool compress);

  platform::CriticalSection section_;
  TFiles files_;
};

}  // namespace ledra
