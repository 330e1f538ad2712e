# The Windows build: QBNotify.dll, the layers over the Win32 platform, and the tools as Windows
# programs. Included by the top-level CMakeLists.txt when cross-compiling with one of the
# toolchain files in this folder.

option(QBNOTIFY_WINE_TESTS "Build the Windows test program of tests/wine" ON)

# The Win32 platform.
add_library(qbnotify_win32_platform STATIC
  platform/win32/Win32Platform.cpp
  platform/win32/Win32Settings.cpp
  platform/win32/RegistryViews.cpp
  platform/win32/Win32Channel.cpp
  platform/win32/Win32Files.cpp platform/win32/Win32Access.cpp
  platform/win32/Win32EventLog.cpp)
target_link_libraries(qbnotify_win32_platform PUBLIC qbnotify_platform wtsapi32)

# The client library, loaded at run time.
target_sources(qbnotify_store PRIVATE store/client/MysqlApiWin32.cpp)

# The layers and the Win32 platform, shared by the DLL and the test programs. Everything
# static: the DLL imports from system libraries only.
add_library(qbnotify_win32 INTERFACE)
target_link_libraries(qbnotify_win32 INTERFACE qbnotify_core qbnotify_win32_platform)
target_link_options(qbnotify_win32 INTERFACE -static)

# The DLL's resources: the message table of its event-log entries (windmc, from
# notify/win32/QBNotifyEvents.mc) and its version (notify/win32/VERSION, which the installer
# packages carry too).
enable_language(RC)
file(STRINGS ${CMAKE_SOURCE_DIR}/notify/win32/VERSION QBNOTIFY_VERSION LIMIT_COUNT 1)
string(REPLACE "." "," QBNOTIFY_VERSION_COMMAS "${QBNOTIFY_VERSION}")
set(QBNOTIFY_EVENTS_DIR ${CMAKE_BINARY_DIR}/events)
add_custom_command(
  OUTPUT ${QBNOTIFY_EVENTS_DIR}/QBNotifyEvents.rc ${QBNOTIFY_EVENTS_DIR}/QBNotifyEvents.h ${QBNOTIFY_EVENTS_DIR}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QBNOTIFY_EVENTS_DIR}
  COMMAND ${QBNOTIFY_MINGW_TRIPLET}-windmc -h ${QBNOTIFY_EVENTS_DIR} -r ${QBNOTIFY_EVENTS_DIR}
    ${CMAKE_SOURCE_DIR}/notify/win32/QBNotifyEvents.mc
  DEPENDS ${CMAKE_SOURCE_DIR}/notify/win32/QBNotifyEvents.mc
  COMMENT "Compiling the event-log message table")
configure_file(notify/win32/QBNotify.rc.in ${QBNOTIFY_EVENTS_DIR}/QBNotify.rc @ONLY)
set_source_files_properties(${QBNOTIFY_EVENTS_DIR}/QBNotify.rc PROPERTIES
  OBJECT_DEPENDS "${QBNOTIFY_EVENTS_DIR}/QBNotifyEvents.rc;${QBNOTIFY_EVENTS_DIR}/MSG00409.bin")
file(WRITE ${CMAKE_BINARY_DIR}/version.txt "${QBNOTIFY_VERSION}\n")

add_library(QBNotify SHARED
  notify/QBNotify.cpp
  notify/win32/Win32Entry.cpp
  notify/win32/QBNotify.def
  ${QBNOTIFY_EVENTS_DIR}/QBNotify.rc)
target_include_directories(QBNotify PRIVATE ${QBNOTIFY_EVENTS_DIR})
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
# same way. Each tool's main() receives UTF-8 arguments (tools/common/win32/ToolMain.cpp); the
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
  platform/hosted/HostedFilesWindows.cpp
  platform/win32/Win32CodePage.cpp
  platform/win32/ToolText.cpp
  tools/common/ToolSupport.cpp
  tools/common/AccountGrants.cpp
  tools/common/win32/SystemInstallPath.cpp
  tools/common/win32/InstallPathViews.cpp
  tools/qbnotify-host/SessionFile.cpp)
target_link_libraries(qbnotify_win32_tools PUBLIC qbnotify_win32 shell32)
set_source_files_properties(platform/hosted/HostedPlatform.cpp PROPERTIES
  COMPILE_OPTIONS "-include;${CMAKE_SOURCE_DIR}/platform/win32/PosixTime.h")
target_include_directories(qbnotify_win32_tools SYSTEM PUBLIC ${QBNOTIFY_TOOL_HEADERS})

# qbnotify_windows_tool(NAME [SOURCES...]) builds NAME.exe from tools/NAME/*.cpp (or the
# sources given) and lists it in windows-tools.txt, which scripts/build-windows and the checks
# read: adding a tool to the Windows kit is one call below.
set(QBNOTIFY_WINDOWS_TOOLS "" CACHE INTERNAL "")
function(qbnotify_windows_tool name)
  set(sources ${ARGN})
  if(NOT sources)
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/${name}/*.cpp)
    list(FILTER sources EXCLUDE REGEX "_win32\\.cpp$")
  endif()
  add_executable(${name} ${sources} ${CMAKE_SOURCE_DIR}/tools/common/win32/ToolMain.cpp)
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
qbnotify_windows_tool(qbnotify-doctor ${QBNOTIFY_DOCTOR_SOURCES} tools/qbnotify-doctor/main_win32.cpp)

list(JOIN QBNOTIFY_WINDOWS_TOOLS "\n" QBNOTIFY_TOOL_LIST)
file(WRITE ${CMAKE_BINARY_DIR}/windows-tools.txt "${QBNOTIFY_TOOL_LIST}\n")

if(QBNOTIFY_WINE_TESTS)
  add_subdirectory(tests/wine)
endif()
