# Cross-builds the Windows program with mingw-w64 (x86-64, POSIX thread model: the win32 model has no
# std::mutex or std::thread). Everything links statically, so the .exe needs no DLL of the toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSARINE_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSARINE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSARINE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSARINE_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TESSARINE_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)
