# Cross build of the library alone for Windows x64 with Debian's default
# mingw-w64 (x86_64-w64-mingw32-g++, win32 threads): zev.dll.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
# The posix thread model's compilers (x86_64-w64-mingw32-g++-posix) may be
# given with -DCMAKE_CXX_COMPILER=...
if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc)
endif()
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
endif()
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
