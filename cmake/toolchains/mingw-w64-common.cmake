# Shared part of the mingw-w64 toolchains; OSTREVO_MINGW_TRIPLET names the
# target. Programs are linked statically so that each .exe runs on its own,
# without the compiler's run-time DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${OSTREVO_MINGW_TRIPLET})

set(CMAKE_C_COMPILER ${OSTREVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OSTREVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${OSTREVO_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OSTREVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine. Each build directory keeps its own Wine prefix
# so that builds never share registry or drive state.
find_program(OSTREVO_WINE NAMES wine wine64)
set(OSTREVO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
if(OSTREVO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEPREFIX=${OSTREVO_WINEPREFIX} WINEDEBUG=-all ${OSTREVO_WINE})
endif()
