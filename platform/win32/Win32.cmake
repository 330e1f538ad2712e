# The Windows build: QBNotify.dll, the core over the Win32 platform. Included by the top-level
# CMakeLists.txt when cross-compiling with one of the toolchain files in cmake/.

set(QBNOTIFY_WIN32_DIR ${CMAKE_CURRENT_LIST_DIR})

# The client library's headers only: the DLL loads the library itself at run time.
set(QBNOTIFY_MYSQL_INCLUDE_DIR /usr/include/mariadb CACHE PATH "Directory holding the client library's mysql.h")
if(NOT EXISTS ${QBNOTIFY_MYSQL_INCLUDE_DIR}/mysql.h)
  message(FATAL_ERROR "mysql.h not found in ${QBNOTIFY_MYSQL_INCLUDE_DIR} (install libmariadb-dev)")
endif()

option(QBNOTIFY_WINE_TESTS "Build the Windows test program of tests/wine" ON)

# The core and the Win32 platform, shared by the DLL and the test program.
add_library(qbnotify_win32 OBJECT
  ${QBNOTIFY_CORE_SOURCES}
  ${QBNOTIFY_WIN32_DIR}/Win32Platform.cpp
  ${QBNOTIFY_WIN32_DIR}/Win32Settings.cpp
  ${QBNOTIFY_WIN32_DIR}/Win32Channel.cpp
  ${QBNOTIFY_WIN32_DIR}/Win32Files.cpp
  ${QBNOTIFY_WIN32_DIR}/MysqlApiWin32.cpp)
target_include_directories(qbnotify_win32 PUBLIC ${CMAKE_SOURCE_DIR})
target_include_directories(qbnotify_win32 SYSTEM PUBLIC ${QBNOTIFY_MYSQL_INCLUDE_DIR})
# The generation of Windows that still loads notification packages.
target_compile_definitions(qbnotify_win32 PUBLIC _WIN32_WINNT=0x0502 WINVER=0x0502)
target_compile_options(qbnotify_win32 PUBLIC -Werror)
# Everything static: the DLL imports from system libraries only.
target_link_options(qbnotify_win32 INTERFACE -static)
target_link_libraries(qbnotify_win32 INTERFACE wtsapi32)

add_library(QBNotify SHARED
  notify/QBNotify.cpp
  ${QBNOTIFY_WIN32_DIR}/Win32Entry.cpp
  ${QBNOTIFY_WIN32_DIR}/QBNotify.def)
target_link_libraries(QBNotify PRIVATE qbnotify_win32)
# The handlers take the notification record with the system's calling convention; the .def
# file exports them under their plain names, which on i686 the stdcall fix-up resolves to
# the decorated symbols.
target_compile_definitions(QBNotify PRIVATE QBNOTIFY_CALL=__stdcall)
target_link_options(QBNotify PRIVATE -Wl,--enable-stdcall-fixup -Wl,--no-undefined)
set_target_properties(QBNotify PROPERTIES PREFIX "" OUTPUT_NAME QBNotify
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

if(QBNOTIFY_WINE_TESTS)
  add_subdirectory(tests/wine)
endif()
