// `ledra export`: every live record of a table to a stream, as CSV with a
// header row or as a JSON array of objects, in the order of an index (the
// primary index unless told otherwise) or in record-number order.
#pragma once

#include <ostream>
#include <string>

#include "tools/ledra/ToolSession.h"

namespace ledra::tool {

enum class TTextFormat { Csv, Json };

struct TExportOptions {
  // Empty: the primary index.
  std::string IndexName;
  bool Natural = false;
  TTextFormat Format = TTextFormat::Csv;
};

class TExporter {
 public:
  TExporter(TToolSession& session, TExportOptions options);
  // Writes the records; the number written.
  int64_t Run(std::ostream& out);

 private:
  TToolSession& session_;
  TExportOptions options_;
};

}  // namespace ledra::tool
