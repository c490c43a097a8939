# Cross build of the Windows products with Debian's mingw-w64 (posix threads):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The libraries they link come from scripts/windows-deps (build-win/deps unless
# PICTORAMA_WINDOWS_DEPS names another prefix); tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PICTORAMA_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PICTORAMA_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PICTORAMA_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${PICTORAMA_MINGW}-windres)

if(NOT PICTORAMA_WINDOWS_DEPS)
  if(DEFINED ENV{PICTORAMA_WINDOWS_DEPS})
    set(PICTORAMA_WINDOWS_DEPS $ENV{PICTORAMA_WINDOWS_DEPS})
  else()
    set(PICTORAMA_WINDOWS_DEPS ${CMAKE_BINARY_DIR}/deps)
  endif()
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${PICTORAMA_MINGW} ${PICTORAMA_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static archives only: the products carry no DLL of their own besides themselves.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

# Test programs run under Wine (CTest, and GoogleTest's discovery).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
