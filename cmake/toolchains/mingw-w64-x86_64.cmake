# Cross build for 64-bit Windows with mingw-w64 (posix thread model, so that
# std::thread and std::mutex are available), from a Linux host.
set(OSTREVO_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
