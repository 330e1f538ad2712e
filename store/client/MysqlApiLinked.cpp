// The client library linked into the hosted build.
#include "store/client/MysqlApi.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace qbnotify {

const MysqlApi* MysqlClient() {
  static const MysqlApi api{
      &::mysql_init,         &::mysql_options,      &::mysql_real_connect,       &::mysql_close,
      &::mysql_real_query,   &::mysql_store_result, &::mysql_free_result,        &::mysql_num_rows,
      &::mysql_num_fields,   &::mysql_fetch_row,    &::mysql_fetch_lengths,      &::mysql_fetch_field_direct,
      &::mysql_field_count,  &::mysql_real_escape_string, &::mysql_error,        &::mysql_errno,
      &::mysql_affected_rows, &::mysql_insert_id,   &::mysql_get_socket,         &::mysql_send_query,
      &::mysql_read_query_result, &::mysql_get_ssl_cipher, &::mysql_more_results, &::mysql_next_result,
  };
  return &api;
}

MysqlClientIdentity DescribeMysqlClient() {
  // Linked, not loaded: the file is whatever the dynamic linker chose for the build.
  const char* version = ::mysql_get_client_info();
  return {"(linked into this program)", version ? version : ""};
}

bool ConnectionClosedByServer(MYSQL* handle) {
  const int socket = static_cast<int>(::mysql_get_socket(handle));
  if (socket < 0) return false;
  char byte;
  const ssize_t received = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (received >= 0) return true;  // end of stream, or a message nobody asked for
  return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

// Owned by root and writable by root alone on every system the hosted build runs on; the
// folder itself is never created by the build or the kit.
std::string ClientPluginDirectory() { return "/usr/lib/qbnotify/client-plugins"; }

// Debian's Connector/C links OpenSSL.
bool ClientCarriesTls() { return true; }

bool WaitForAnswer(MYSQL* handle, long long milliseconds) {
  const int socket = static_cast<int>(::mysql_get_socket(handle));
  if (socket < 0) return true;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    pollfd watched{socket, POLLIN, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(std::max<long long>(left, 0)));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return true;
  }
}

void PauseMilliseconds(unsigned milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace qbnotify
