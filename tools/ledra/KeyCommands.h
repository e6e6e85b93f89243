// `ledra find`, `ledra update` and `ledra delete`: one record by its primary
// key, read, changed or deleted through the record update path, so that they
// can run beside other programs using the table. An edit holds the record
// lock from reading the record to writing it back; another program editing
// the same record makes it fail with the engine's record-lock error. Blob
// and memo values are shown and given in the texts export and import use.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/ledra/ToolSession.h"

namespace ledra::tool {

class TKeyCommands {
 public:
  TKeyCommands(TToolSession& session, std::vector<std::string> keyValues);

  // Prints the record's fields; false when no record has the key.
  bool Find(std::ostream& out, bool asJson);
  // Sets FIELD=VALUE assignments on the record; false when it is not found.
  bool Update(const std::vector<std::string>& assignments, std::ostream& out);
  // Deletes the record; false when it is not found.
  bool Delete(std::ostream& out);

  // The key as given, for messages.
  std::string KeyText() const;

 private:
  // Stands the cursor on the record with the key (all key fields given when
  // `whole`), its image in image_: false when there is none.
  bool Locate(bool whole);
  // Sets a field of `image` from its text (the empty text: null, or an
  // empty blob); with `checkOnly` the text is only converted.
  void SetField(int fieldNo, const std::string& text, std::vector<uint8_t>& image,
                bool checkOnly = false);

  TToolSession& session_;
  std::vector<std::string> keyValues_;
  std::vector<uint8_t> image_;
};

}  // namespace ledra::tool
