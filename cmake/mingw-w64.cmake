# Cross-builds korproxy.exe for 64-bit Windows with Debian's mingw-w64 (posix threads) compiler:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORPROXY_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORPROXY_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORPROXY_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KORPROXY_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KORPROXY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Every program is linked whole, so it needs only the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# The tests run under wine (tests/wine/run-exe); the project sets the emulator to it.
