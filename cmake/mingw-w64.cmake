# Cross toolchain: 64-bit Windows programs with mingw-w64 (posix threads), linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${TB_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Resources are UTF-8 sources.
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001" CACHE STRING "" FORCE)
# Static libraries only: the programs must run with nothing but system DLLs beside them.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(ZLIB_USE_STATIC_LIBS ON)
# Address-space layout randomisation (a movable image at high-entropy addresses) and data
# execution prevention for every program, stated rather than left to the linker's defaults;
# tb_check_hardening fails the build of a program without them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat")
