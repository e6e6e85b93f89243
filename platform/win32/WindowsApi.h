// The one way the Win32 implementations include the Windows headers: without
// the rarely used parts and without the min and max macros, which would break
// std::min and std::numeric_limits<>::max in the same file.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
