// The locale services on Windows: the system's own functions, called with the
// arguments the engine gives, so that keys are ordered and mapped exactly as
// by every other program on the machine.
#include "platform/Locale.h"

#include <array>
#include <cstring>
#include <vector>

#include "platform/WinError.h"
#include "platform/win32/Win32Error.h"
#include "platform/win32/WindowsApi.h"

namespace ledra::platform {
namespace {

int Mapped(int result) {
  if (result == 0) KeepSystemError();
  return result;
}

}  // namespace

bool IsValidLocale(Lcid lcid) {
  return ::IsValidLocale(lcid, LCID_INSTALLED) != FALSE;
}

int CompareLocaleStrings(Lcid lcid, uint32_t flags, const char* a, int lengthA, const char* b,
                         int lengthB) {
  int result = ::CompareStringA(lcid, flags, a, lengthA, b, lengthB);
  if (result == 0) KeepSystemError();
  return result;
}

int MapLocaleString(Lcid lcid, uint32_t flags, const char* source, int sourceLength,
                    char* destination, int destinationLength) {
  if (source == nullptr || sourceLength < -1 || destinationLength < 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  // Callers map in place; the system function may not be given overlapping
  // buffers, so the source is copied first when they overlap.
  size_t count = sourceLength == -1 ? std::strlen(source) + 1 : static_cast<size_t>(sourceLength);
  bool overlaps = destination != nullptr && destinationLength > 0 && destination < source + count &&
                  source < destination + destinationLength;
  if (!overlaps)
    return Mapped(
        ::LCMapStringA(lcid, flags, source, sourceLength, destination, destinationLength));
  std::array<char, 256> small;
  std::vector<char> large;
  char* copy = small.data();
  if (count > small.size()) {
    large.resize(count);
    copy = large.data();
  }
  std::memcpy(copy, source, count);
  return Mapped(::LCMapStringA(lcid, flags, copy, sourceLength, destination, destinationLength));
}

}  // namespace ledra::platform
