#include "StandInServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace qbnotify::test {
namespace {

// Every wait of the stand-in is bounded: a client that says nothing is dropped.
constexpr int kWaitMilliseconds = 2000;

bool WaitReadable(int fd) {
  pollfd watched{fd, POLLIN, 0};
  return ::poll(&watched, 1, kWaitMilliseconds) == 1;
}

bool SendPacket(int fd, std::uint8_t sequence, const std::string& payload) {
  std::string packet;
  packet.push_back(static_cast<char>(payload.size() & 0xFF));
  packet.push_back(static_cast<char>((payload.size() >> 8) & 0xFF));
  packet.push_back(static_cast<char>((payload.size() >> 16) & 0xFF));
  packet.push_back(static_cast<char>(sequence));
  packet += payload;
  return ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size());
}

// Reads one packet's payload; false at the end of the stream, an error or a silent client.
bool ReadPacket(int fd, std::string& payload) {
  const auto readExactly = [fd](char* into, std::size_t size) {
    for (std::size_t got = 0; got < size;) {
      if (!WaitReadable(fd)) return false;
      const ssize_t n = ::recv(fd, into + got, size - got, 0);
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    return true;
  };
  unsigned char header[4];
  if (!readExactly(reinterpret_cast<char*>(header), 4)) return false;
  payload.assign(header[0] | (header[1] << 8) | (header[2] << 16), '\0');
  return readExactly(payload.data(), payload.size());
}

std::string Greeting(const std::string& method) {
  std::string g;
  g.push_back('\x0a');                                 // protocol 10
  g += std::string("5.5.5-10.11.0-stand-in") + '\0';  // server version
  g += std::string("\x01\x00\x00\x00", 4);             // connection id
  g += "abcdefgh";                                     // first part of the challenge
  g.push_back('\0');
  // Long password, found rows, long flag, connect with db, protocol 4.1, transactions, secure
  // connection; above them multi results and plugin authentication.
  g += std::string("\x0f\xa2", 2);
  g.push_back('\x21');                   // character set
  g += std::string("\x02\x00", 2);       // status: autocommit
  g += std::string("\x0a\x00", 2);       // capabilities: multi results, plugin authentication
  g.push_back('\x15');                   // challenge length 21
  g += std::string(10, '\0');            // reserved
  g += std::string("ijklmnopqrst") + '\0';  // second part of the challenge
  g += method + '\0';
  return g;
}

}  // namespace

StandInServer::StandInServer(std::string greetingMethod, std::string switchMethod)
    : greetingMethod_(std::move(greetingMethod)), switchMethod_(std::move(switchMethod)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 8) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("the stand-in server cannot listen on loopback");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

StandInServer::~StandInServer() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

void StandInServer::Serve() {
  while (!stop_) {
    pollfd watched{listener_, POLLIN, 0};
    if (::poll(&watched, 1, 50) != 1) continue;
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) continue;
    Converse(client);
    ::close(client);
  }
}

void StandInServer::Converse(int client) {
  if (!SendPacket(client, 0, Greeting(greetingMethod_))) return;
  std::string answer;
  if (!ReadPacket(client, answer)) return;
  ++answers_;
  if (!switchMethod_.empty()) {
    // Authentication switch request: 0xFE, the method's name, its challenge.
    if (!SendPacket(client, 2, "\xfe" + switchMethod_ + '\0' + "abcdefghijklmnopqrst" + '\0')) return;
  }
  // Whatever the client says next, the stand-in waits for it to give up and close.
  while (ReadPacket(client, answer)) {
  }
}

}  // namespace qbnotify::test
