# What a Windows build made on a Linux host (cmake/toolchains) takes from the
# host: GoogleTest built from its sources with the cross compiler, and the
# header-only libraries of the table utility. Nothing compiled for Linux is
# used; the host's Qt is never found, so the windows of the application and
# their tests are left out of such a build.

# GCC 12 warns of overlapping copies inside std::string's operator+ when it
# inlines them at -O2, where none can happen (its bug 105329); Linux builds
# are Debug and do not inline them.
add_compile_options(-Wno-restrict)

# Each program runs alone, so zlib is linked in, not taken from a DLL.
set(ZLIB_USE_STATIC_LIBS ON)

# The header-only libraries: only their own folders are put on the include
# path, never the host's /usr/include as a whole, whose C library headers
# would shadow the Windows ones.
set(_hostHeaders ${CMAKE_BINARY_DIR}/host-headers)
set(_hostPackages ${CMAKE_BINARY_DIR}/host-packages)
foreach(_entry "CLI11;CLI11::CLI11;CLI/CLI.hpp"
               "nlohmann_json;nlohmann_json::nlohmann_json;nlohmann/json.hpp")
  list(GET _entry 0 _package)
  list(GET _entry 1 _target)
  list(GET _entry 2 _header)
  get_filename_component(_folder ${_header} DIRECTORY)
  if(NOT EXISTS /usr/include/${_header})
    message(FATAL_ERROR "${_package}: /usr/include/${_header} is missing (scripts/setup installs it)")
  endif()
  file(MAKE_DIRECTORY ${_hostHeaders})
  if(NOT EXISTS ${_hostHeaders}/${_folder})
    file(CREATE_LINK /usr/include/${_folder} ${_hostHeaders}/${_folder} SYMBOLIC)
  endif()
  file(WRITE ${_hostPackages}/${_package}/${_package}Config.cmake
       "if(NOT TARGET ${_target})\n"
       "  add_library(${_target} INTERFACE IMPORTED)\n"
       "  set_target_properties(${_target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_hostHeaders})\n"
       "endif()\n")
  set(${_package}_DIR ${_hostPackages}/${_package} CACHE PATH "" FORCE)
endforeach()

if(OSTREVO_TESTS)
  set(OSTREVO_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian: googletest)")
  if(NOT EXISTS ${OSTREVO_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${OSTREVO_GOOGLETEST_SOURCE} (scripts/setup installs them)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${OSTREVO_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(_library gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${_library})
      add_library(GTest::${_library} ALIAS ${_library})
    endif()
  endforeach()

  # The tests run under Wine, in a prefix of this build's own. Making a prefix
  # takes a while, so it is made here once rather than by the first test.
  if(OSTREVO_WINE)
    if(NOT EXISTS ${OSTREVO_WINEPREFIX}/system.reg)
      message(STATUS "Making the Wine prefix ${OSTREVO_WINEPREFIX}")
      execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${OSTREVO_WINEPREFIX}
                              WINEDEBUG=-all wineboot --init
                      RESULT_VARIABLE _wineResult OUTPUT_QUIET ERROR_QUIET)
      if(NOT _wineResult EQUAL 0)
        message(WARNING "wineboot failed (${_wineResult}); the tests will make the prefix")
      endif()
    endif()
  else()
    message(WARNING "No Wine on this host: the Windows tests are built but cannot run here")
  endif()
endif()
