// The client library of the Windows build, loaded at first use by its full path: the
// libmariadb.dll in the folder of the module that holds this code (QBNotify.dll, or the tool's
// program), never one found through the search path. Every function is looked up by name; a
// library that lacks one of them is not used.
#include <winsock2.h>

#include "platform/win32/WindowsApi.h"
#include "store/client/MysqlApi.h"

#include <type_traits>

namespace qbnotify {
namespace {

using win32::LoadedModule;

constexpr const char* kClientLibrary = "libmariadb.dll";

// The module that holds this code.
HMODULE ThisModule() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&ThisModule), &module))
    return nullptr;
  return module;
}

// Fills `api` from `module`; false when a function is missing.
bool LookupAll(HMODULE module, MysqlApi& api) {
  bool complete = true;
  const auto find = [&](auto& slot, const char* name) {
    slot = LoadedModule::LookupIn<std::remove_reference_t<decltype(slot)>>(module, name);
    complete = complete && slot != nullptr;
  };
  find(api.init, "mysql_init");
  find(api.options, "mysql_options");
  find(api.real_connect, "mysql_real_connect");
  find(api.close, "mysql_close");
  find(api.real_query, "mysql_real_query");
  find(api.store_result, "mysql_store_result");
  find(api.free_result, "mysql_free_result");
  find(api.num_rows, "mysql_num_rows");
  find(api.num_fields, "mysql_num_fields");
  find(api.fetch_row, "mysql_fetch_row");
  find(api.fetch_lengths, "mysql_fetch_lengths");
  find(api.fetch_field_direct, "mysql_fetch_field_direct");
  find(api.field_count, "mysql_field_count");
  find(api.real_escape_string, "mysql_real_escape_string");
  find(api.error, "mysql_error");
  find(api.errno_, "mysql_errno");
  find(api.affected_rows, "mysql_affected_rows");
  find(api.insert_id, "mysql_insert_id");
  find(api.get_socket, "mysql_get_socket");
  find(api.send_query, "mysql_send_query");
  find(api.read_query_result, "mysql_read_query_result");
  // Only a library with TLS has it; without it no connection is encrypted.
  api.get_ssl_cipher = LoadedModule::LookupIn<decltype(api.get_ssl_cipher)>(module, "mysql_get_ssl_cipher");
  find(api.more_results, "mysql_more_results");
  find(api.next_result, "mysql_next_result");
  return complete;
}

// The module of the client library in use, once one has been loaded.
HMODULE clientModule = nullptr;

// The client library beside this module when it has every function, kept loaded for the
// life of the process; nullptr otherwise.
const MysqlApi* LoadClient() {
  static MysqlApi api{};
  const HMODULE self = ThisModule();
  if (!self) return nullptr;
  LoadedModule library(win32::ModuleFolderFile(self, kClientLibrary));
  if (!library || !LookupAll(library.Get(), api)) return nullptr;
  clientModule = library.Keep();
  return &api;
}

}  // namespace

const MysqlApi* MysqlClient() {
  // Loaded once, at the first connection, never from the loader's lock.
  static const MysqlApi* const api = LoadClient();
  return api;
}

MysqlClientIdentity DescribeMysqlClient() {
  MysqlClientIdentity identity;
  if (!MysqlClient()) return identity;
  char path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(clientModule, path, MAX_PATH);
  if (length > 0 && length < MAX_PATH) identity.file.assign(path, length);
  // Looked up apart from the table: a library without it is still a usable one.
  using VersionFunction = decltype(&::mysql_get_client_info);
  if (const auto version = LoadedModule::LookupIn<VersionFunction>(clientModule, "mysql_get_client_info")) {
    if (const char* text = version()) identity.version = text;
  }
  return identity;
}

// The socket calls come from the Windows sockets library that the client library has
// loaded already; the DLL itself imports nothing from it.
bool ConnectionClosedByServer(MYSQL* handle) {
  const MysqlApi* api = MysqlClient();
  HMODULE sockets = GetModuleHandleA("ws2_32.dll");
  if (!api || !sockets) return false;
  using SelectFunction = int(WSAAPI*)(int, fd_set*, fd_set*, fd_set*, const timeval*);
  using ReceiveFunction = int(WSAAPI*)(SOCKET, char*, int, int);
  const auto selectReadable = win32::LoadedModule::LookupIn<SelectFunction>(sockets, "select");
  const auto receive = win32::LoadedModule::LookupIn<ReceiveFunction>(sockets, "recv");
  if (!selectReadable || !receive) return false;
  const SOCKET socket = static_cast<SOCKET>(api->get_socket(handle));
  if (socket == INVALID_SOCKET) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  const timeval now{0, 0};
  if (selectReadable(0, &readable, nullptr, nullptr, &now) != 1) return false;
  char byte;
  // Readable while idle: the end of the stream (0), a message nobody asked for (1), or an
  // error of the socket: none of them leaves a connection that can run a statement.
  receive(socket, &byte, 1, MSG_PEEK);
  return true;
}

// A folder of the system folder: only administrators can create or write it. Nothing
// creates it; it holds no plugin.
std::string ClientPluginDirectory() {
  const std::string folder = win32::ModuleFolderFile(nullptr, "QBNotify");
  return folder.empty() ? std::string() : folder + "\\client-plugins";
}

// The kit's client library is built without TLS: Windows of the generation that loads
// notification packages has no TLS 1.2 of its own, and the kit carries no TLS library built
// for it. Encryption asked for is therefore refused, never replaced by clear text.
bool ClientCarriesTls() { return false; }

bool WaitForAnswer(MYSQL* handle, long long milliseconds) {
  const MysqlApi* api = MysqlClient();
  HMODULE sockets = GetModuleHandleA("ws2_32.dll");
  if (!api || !sockets) return true;
  using SelectFunction = int(WSAAPI*)(int, fd_set*, fd_set*, fd_set*, const timeval*);
  const auto selectReadable = win32::LoadedModule::LookupIn<SelectFunction>(sockets, "select");
  const SOCKET socket = static_cast<SOCKET>(api->get_socket(handle));
  if (!selectReadable || socket == INVALID_SOCKET) return true;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  const long long wait = milliseconds > 0 ? milliseconds : 0;
  const timeval limit{static_cast<long>(wait / 1000), static_cast<long>((wait % 1000) * 1000)};
  // An error of the socket (-1) is left to the client library's read, which reports it.
  return selectReadable(0, &readable, nullptr, nullptr, &limit) != 0;
}

void PauseMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

}  // namespace qbnotify
