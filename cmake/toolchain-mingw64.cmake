# Cross-builds for 64-bit Windows with Debian's mingw-w64 compilers.
#
#   cmake -S . -B build-win -G Ninja \
#       -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake ...
#
# The -posix compilers use the POSIX thread model; the default (win32) ones
# have no std::thread in GCC 12, which the tests' servers need. The C and C++
# runtimes and winpthread are linked statically, so the DLL and the test
# programs need no mingw DLL beside them. Test programs run under Wine
# (CMAKE_CROSSCOMPILING_EMULATOR) when it is installed.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KIVSDK_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KIVSDK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIVSDK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KIVSDK_MINGW_TRIPLET}-windres)

# Headers and libraries come from the mingw tree (and from prefixes given
# explicitly, such as MbedTLS_DIR); programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${KIVSDK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Debian installs Wine's loader outside PATH.
find_program(KIVSDK_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KIVSDK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KIVSDK_WINE}")
endif()

# Windows finds a program's DLLs beside it: every program and DLL of the build
# goes to one folder.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin" CACHE PATH
  "Where programs and DLLs are built")
