#include "app/OSData.h"

namespace ostrevo {

using ledra::platform::TWow64Answer;

bool TOSData::ProcessIsWow64(std::string& description) const {
  switch (probe_()) {
    case TWow64Answer::NotFound:
      description = "IsWow64Process Not Found In Kernel32.dll";
      return false;
    case TWow64Answer::CallFailed:
      description = "Error Checking Process Type";
      return false;
    case TWow64Answer::Wow64:
      description = "64bit Process";
      return true;
    case TWow64Answer::Native:
      description = "32bit Process";
      return false;
  }
  description = "Error Checking Process Type";
  return false;
}

bool TOSData::Is32BitOS() const {
  std::string ignored;
  return !ProcessIsWow64(ignored);
}

bool TOSData::Is64BitOS() const {
  std::string ignored;
  return ProcessIsWow64(ignored);
}

}  // namespace ostrevo
