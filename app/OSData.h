// The platform probe that tells a 32-bit process on 32-bit Windows from one
// under the 64-bit compatibility layer, so that start-up reads the registry
// key the 32-bit shipping application wrote.
#pragma once

#include <string>

#include "platform/Wow64.h"

namespace ostrevo {

class TOSData {
 public:
  using TProbe = ledra::platform::TWow64Answer (*)();
  // Tests hand in a probe of their own; the program uses the platform's.
  explicit TOSData(TProbe probe = &ledra::platform::ProbeWow64Process) : probe_(probe) {}

  // True only when the process is known to run under WOW64; `description`
  // says what the probe found.
  bool ProcessIsWow64(std::string& description) const;
  // Each probes afresh.
  bool Is32BitOS() const;
  bool Is64BitOS() const;

 private:
  TProbe probe_;
};

}  // namespace ostrevo
