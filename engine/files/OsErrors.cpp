#include "engine/files/OsErrors.h"

#include "platform/WinError.h"

namespace ledra {

TEngineErrorCode EngineErrorForWinError(uint32_t winError) {
  switch (winError) {
    case platform::kErrorFileNotFound:
    case platform::kErrorPathNotFound:
      return LEDRA_OSENOENT;
    case platform::kErrorTooManyOpenFiles:
      return LEDRA_OSEMFILE;
    // A table held exclusively by another program shows as a sharing
    // violation, so it reports "Access denied".
    case platform::kErrorAccessDenied:
    case platform::kErrorSharingViolation:
    case platform::kErrorNetworkAccessDenied:
      return LEDRA_OSEACCES;
    case platform::kErrorInvalidHandle:
      return LEDRA_OSEBADF;
    case platform::kErrorNotEnoughMemory:
      return LEDRA_OSENOMEM;
    case platform::kErrorInvalidDrive:
      return LEDRA_OSENODEV;
    case platform::kErrorNotSameDevice:
      return LEDRA_OSENOTSAM;
    default:
      return LEDRA_OSUNKNOWN;
  }
}

int32_t LastOsErrorResult() {
  return -int32_t(EngineErrorForWinError(platform::GetLastError()));
}

}  // namespace ledra
