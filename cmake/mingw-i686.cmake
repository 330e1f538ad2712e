# Cross-compiles for Windows (i686) with mingw-w64's win32-thread-model compilers.
#
# The win32 thread model matters: the posix one brings in winpthread, which calls functions
# that the older Windows servers we ship to do not have.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(QBNOTIFY_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QBNOTIFY_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${QBNOTIFY_MINGW_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER ${QBNOTIFY_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QBNOTIFY_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -O2 rather than CMake's -O3: at -O3 GCC 12 reports a false -Wrestrict inside
# std::string's operator+ (GCC bug 105329), and these DLLs are built with -Werror.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of release builds")
