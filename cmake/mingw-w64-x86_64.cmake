# Cross-building the Windows products (64-bit) with Debian's mingw-w64, the
# compilers with POSIX threads (std::thread, std::mutex over winpthreads):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PICTORAMA_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PICTORAMA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PICTORAMA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PICTORAMA_MINGW_TRIPLET}-windres)

# Libraries and headers come from the cross tree only, never from the build
# machine's own /usr; programs (cmake's helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${PICTORAMA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
