// A stand-in for a database server on loopback that speaks only the start of the server's
// handshake: its greeting names an authentication method, and after the client's answer it may
// ask to switch to another one. It never admits anyone; it shows what a client does when a
// server (or whoever sits on the link) asks for a method the client does not carry.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace qbnotify::test {

class StandInServer {
 public:
  // `greetingMethod` is named in the greeting; a non-empty `switchMethod` is asked for after
  // the client's first answer.
  StandInServer(std::string greetingMethod, std::string switchMethod);
  ~StandInServer();
  StandInServer(const StandInServer&) = delete;
  StandInServer& operator=(const StandInServer&) = delete;

  int Port() const { return port_; }
  // How many clients sent an answer to the greeting.
  int Answers() const { return answers_; }

 private:
  void Serve();
  void Converse(int client);

  std::string greetingMethod_;
  std::string switchMethod_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> answers_{0};
  std::thread thread_;
};

}  // namespace qbnotify::test
