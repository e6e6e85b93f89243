#include "engine/table/TableCreation.h"

#include <algorithm>

#include "engine/errors/EngineError.h"
#include "engine/files/DataHeader.h"
#include "engine/files/TableFileNames.h"
#include "engine/index/IndexFile.h"
#include "engine/index/IndexHeader.h"
#include "engine/index/PageCodec.h"
#include "engine/table/DataTable.h"
#include "platform/File.h"

namespace ledra {

static_assert(kMaxTableFields == kMaxFieldCount);
static_assert(kMaxTableDescriptionLength == kTableDescriptionLength);
static_assert(kMaxTablePasswordLength == kTablePasswordLength);
static_assert(kMaxIndexNameLength == kIndexNameLength);

bool TableDataFileExists(const TDataDirectory& directory, std::string_view tableName) {
  return directory.TableExists(tableName, false) ||
         platform::RegularFileExists(
             platform::ResolveFileName(TableFileName(directory.Path(), tableName, kDataFileExt)));
}

TTextParams DefaultTextParams(std::vector<std::string> stopWords) {
  TTextParams params;
  for (int c = 0; c < 256; ++c) {
    const bool word = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      c == '\'' || (c >= 128 && c != 160);
    std::array<uint8_t, kCharSetSize>& set = word ? params.IncludeChars : params.SpaceChars;
    set[size_t(c) >> 3] = uint8_t(set[size_t(c) >> 3] | (1u << (c & 7)));
  }
  params.StopWords = std::move(stopWords);
  return params;
}

void WriteTextParams(TDataTable& table, const TTextParams& params) {
  std::vector<uint8_t> bodies;
  EncodeTextParams(params, bodies);
  TIndexFile& file = table.IndexFile();
  TPage* previous = nullptr;
  try {
    for (size_t offset = 0; offset < bodies.size(); offset += kPageBodySize) {
      TPage* page = file.AllocatePage(kTextSlot);
      page->PageType = kPageParam;
      std::copy(bodies.begin() + std::ptrdiff_t(offset),
                bodies.begin() + std::ptrdiff_t(offset + kPageBodySize), page->ParamBody());
      page->Dirty = true;
      if (previous == nullptr) {
        file.SetTextParamPage(page->PageNo);
      } else {
        previous->NextPage = page->PageNo;
        file.ReleasePage(previous);
      }
      previous = page;
    }
  } catch (...) {
    if (previous != nullptr) file.ReleasePage(previous);
    throw;
  }
  if (previous != nullptr) file.ReleasePage(previous);
}

void CreateNewTable(TDataDirectory& directory, std::string_view tableName,
                    const TTableDefinition& definition,
                    const std::optional<TTextParams>& textParams) {
  if (TableDataFileExists(directory, tableName)) {
    RaiseTableError(LEDRA_TABLEEXISTS, tableName, directory.DatabaseName());
  }
  TOpenTableResult created = directory.CreateTable(tableName, false, false, definition);
  if (created.Result < 0 || created.Table == nullptr) {
    RaiseTableError(TEngineErrorCode(created.Result < 0 ? -created.Result : LEDRA_OSEACCES),
                    tableName, directory.DatabaseName());
  }
  TDataTable& table = *created.Table;
  try {
    if (!definition.TextIndexFields.empty()) {
      WriteTextParams(table, textParams ? *textParams : DefaultTextParams());
    }
  } catch (...) {
    try {
      directory.CloseTable(table, true);
      directory.DeleteTable(tableName, false);
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
  directory.CloseTable(table, false);
}

}  // namespace ledra
