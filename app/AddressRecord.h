// The current address record as the windows and the update run read it: the
// text of a field, asked for by name (any case), in code page 1252. The main
// window answers it from the address-book table; tests answer it from a map.
#pragma once

#include <string>
#include <string_view>

namespace ostrevo {

class TAddressRecord {
 public:
  virtual ~TAddressRecord() = default;
  virtual std::string FieldText(std::string_view fieldName) const = 0;
};

}  // namespace ostrevo
