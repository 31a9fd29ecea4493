# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix threading model, which
# std::thread and std::mutex need) and run the built programs under wine:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BRENNIC_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BRENNIC_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRENNIC_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${BRENNIC_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BRENNIC_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthread are linked in statically: the programs, the DLL and
# the tests then run without libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll beside
# them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Built programs (tests, test discovery) run under wine, headless.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
