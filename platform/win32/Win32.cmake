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
  ${QBNOTIFY_WIN32_DIR}/RegistryViews.cpp
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

# --- The administrators' tools as Windows programs -------------------------------------
# Static like the DLL, at the same Windows floor, the client library loaded at run time the
# same way. Each tool's main() receives UTF-8 arguments (platform/win32/ToolMain.cpp); the
# hosted platform serves what a tool reads from a settings file as on Linux, and code page
# 936 is converted by the system's tables. CLI11 and nlohmann-json are header-only: their
# Debian headers are used through a directory that holds nothing else.
set(QBNOTIFY_TOOL_HEADERS ${CMAKE_BINARY_DIR}/tool-headers)
file(MAKE_DIRECTORY ${QBNOTIFY_TOOL_HEADERS})
foreach(library CLI nlohmann)
  if(EXISTS /usr/include/${library} AND NOT EXISTS ${QBNOTIFY_TOOL_HEADERS}/${library})
    file(CREATE_LINK /usr/include/${library} ${QBNOTIFY_TOOL_HEADERS}/${library} SYMBOLIC)
  endif()
endforeach()

add_library(qbnotify_win32_tools STATIC
  platform/hosted/HostedPlatform.cpp
  ${QBNOTIFY_WIN32_DIR}/HostedFilesUnavailable.cpp
  ${QBNOTIFY_WIN32_DIR}/Win32CodePage.cpp
  ${QBNOTIFY_WIN32_DIR}/ToolText.cpp
  tools/common/ToolSupport.cpp
  ${QBNOTIFY_WIN32_DIR}/ToolInstallPath.cpp
  tools/qbnotify-host/SessionFile.cpp)
target_link_libraries(qbnotify_win32_tools PUBLIC qbnotify_win32 shell32)
set_source_files_properties(platform/hosted/HostedPlatform.cpp PROPERTIES
  COMPILE_OPTIONS "-include;${QBNOTIFY_WIN32_DIR}/PosixTime.h")
target_include_directories(qbnotify_win32_tools SYSTEM PUBLIC ${QBNOTIFY_TOOL_HEADERS})

# qbnotify_windows_tool(NAME [SOURCES...]) builds NAME.exe from tools/NAME/*.cpp (or the
# sources given) and lists it in windows-tools.txt, which scripts/build-windows and the checks
# read: adding a tool to the Windows kit is one call below.
set(QBNOTIFY_WINDOWS_TOOLS "" CACHE INTERNAL "")
function(qbnotify_windows_tool name)
  set(sources ${ARGN})
  if(NOT sources)
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/${name}/*.cpp)
  endif()
  add_executable(${name} ${sources} ${QBNOTIFY_WIN32_DIR}/ToolMain.cpp)
  target_link_libraries(${name} PRIVATE qbnotify_win32_tools)
  set_source_files_properties(${sources} TARGET_DIRECTORY ${name} PROPERTIES COMPILE_DEFINITIONS main=qbnotify_tool_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
  list(APPEND QBNOTIFY_WINDOWS_TOOLS ${name})
  set(QBNOTIFY_WINDOWS_TOOLS ${QBNOTIFY_WINDOWS_TOOLS} CACHE INTERNAL "")
endfunction()

qbnotify_windows_tool(qbnotify-settings)
qbnotify_windows_tool(qbnotify-explain)
qbnotify_windows_tool(qbnotify-lint)
qbnotify_windows_tool(qbnotify-report)
qbnotify_windows_tool(qbnotify-doctor tools/qbnotify-doctor/Doctor.cpp ${QBNOTIFY_WIN32_DIR}/DoctorMain.cpp)

list(JOIN QBNOTIFY_WINDOWS_TOOLS "\n" QBNOTIFY_TOOL_LIST)
file(WRITE ${CMAKE_BINARY_DIR}/windows-tools.txt "${QBNOTIFY_TOOL_LIST}\n")

if(QBNOTIFY_WINE_TESTS)
  add_subdirectory(tests/wine)
endif()
