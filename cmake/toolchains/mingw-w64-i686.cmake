# Cross build for 32-bit Windows with mingw-w64 (posix thread model), from a
# Linux host: the shape in which the program runs beside the shipping
# application.
set(OSTREVO_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
