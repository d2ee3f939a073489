# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix). The
# "-posix" compilers are named in full: the "-win32" flavour has no std::thread. Programs are
# linked statically, so they run without the compiler's DLLs, and run under Wine on this machine
# (CTest and the build-time tools such as the demo package builder).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TPTUNE_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TPTUNE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TPTUNE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TPTUNE_MINGW}-windres)

# Libraries and headers come from the mingw tree only (and what the build makes itself); the
# host's /usr/include must not leak into the cross build.
set(CMAKE_FIND_ROOT_PATH /usr/${TPTUNE_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(TPTUNE_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/bin NO_CMAKE_FIND_ROOT_PATH)
if(TPTUNE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TPTUNE_WINE})
endif()

# mingw's GCC 12 warns wrongly about inlined std::vector and std::string copies (array bounds,
# overlapping or over-reading memcpy) in code that the host's GCC 12 compiles without a word; those
# warnings are off for this compiler only.
set(CMAKE_CXX_FLAGS_INIT "-Wno-array-bounds -Wno-restrict -Wno-stringop-overread")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
