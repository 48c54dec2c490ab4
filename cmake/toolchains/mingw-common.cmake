# What the two MinGW-w64 cross builds share; mingw-i686.cmake and
# mingw-x86_64.cmake set CMAKE_SYSTEM_PROCESSOR and RECBASE_MINGW_PREFIX
# (the compilers' target triplet) and include this file.
# The posix thread variant of the compilers, which GoogleTest needs
# (std::mutex). Programs built here run on Linux under wine, which is
# also how CTest and the test discovery start them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${RECBASE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RECBASE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${RECBASE_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${RECBASE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
