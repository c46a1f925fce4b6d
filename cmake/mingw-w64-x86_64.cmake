# Cross build for 64-bit Windows with the MinGW-w64 toolchain (Debian's
# g++-mingw-w64-x86-64). Programs built here run under Wine when it is there.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELKOR_MINGW_PREFIX x86_64-w64-mingw32)
# The POSIX thread model, where Debian has it, gives the C++ library its
# std::thread and std::mutex (GoogleTest needs them); its thread library is
# linked statically below.
find_program(VELKOR_MINGW_GCC NAMES ${VELKOR_MINGW_PREFIX}-gcc-posix ${VELKOR_MINGW_PREFIX}-gcc
  REQUIRED)
find_program(VELKOR_MINGW_GXX NAMES ${VELKOR_MINGW_PREFIX}-g++-posix ${VELKOR_MINGW_PREFIX}-g++
  REQUIRED)
set(CMAKE_C_COMPILER ${VELKOR_MINGW_GCC})
set(CMAKE_CXX_COMPILER ${VELKOR_MINGW_GXX})
set(CMAKE_RC_COMPILER ${VELKOR_MINGW_PREFIX}-windres)
set(CMAKE_AR ${VELKOR_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VELKOR_MINGW_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${VELKOR_MINGW_PREFIX}-objdump CACHE FILEPATH "")

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VELKOR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and the DLL carry the GCC runtime and the thread library
# inside them, so that nothing but Windows' own DLLs is needed to run them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine; wine64 where it is separate, else wine.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(VELKOR_WINE NAMES wine64 wine)
  if(VELKOR_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELKOR_WINE})
  endif()
endif()
