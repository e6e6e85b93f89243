// There is no WOW64 outside Windows, and no kernel32 to ask about it.
#include "platform/Wow64.h"

namespace ledra::platform {

TWow64Answer ProbeWow64Process() {
  return TWow64Answer::NotFound;
}

}  // namespace ledra::platform
