// A list of servers against the private server: a dead or hung first server is passed and
// denied, the deny state saves the next session the wait, a planted state never keeps a
// working server out, read-only servers are a last resort, and a single server costs no
// statement more than it did.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "store/EventLog.h"
#include "store/Identifiers.h"

#include "TestDatabase.h"
#include "store/ServerDeny.h"
#include "store/StateDirectory.h"

namespace qbnotify {
namespace {

using Clock = std::chrono::steady_clock;

// A port that takes TCP connections (the kernel completes the handshake) and never says a
// word: a server that hangs.
class SilentPort {
 public:
  SilentPort() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 64) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      ADD_FAILURE() << "no listening socket";
    port_ = ntohs(address.sin_port);
  }
  ~SilentPort() {
    if (fd_ >= 0) close(fd_);
  }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port that passes connections on to the server until it is shut, which closes every
// connection it carries and refuses new ones: a server that dies.
class Relay {
 public:
  explicit Relay(int serverPort) : serverPort_(serverPort) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 64) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      ADD_FAILURE() << "no relay";
    port_ = ntohs(address.sin_port);
    accepter_ = std::thread([this] { Accept(); });
  }
  ~Relay() { Shut(); }
  int Port() const { return port_; }

  void Shut() {
    if (shut_.exchange(true)) return;
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (int fd : sockets_) shutdown(fd, SHUT_RDWR);
    }
    if (accepter_.joinable()) accepter_.join();
    for (std::thread& pump : pumps_) pump.join();
    for (int fd : sockets_) close(fd);
  }

 private:
  static sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
  }
  void Accept() {
    for (;;) {
      const int client = accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      const int upstream = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address = Loopback(serverPort_);
      if (connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(client);
        close(upstream);
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (shut_) {
        close(client);
        close(upstream);
        return;
      }
      sockets_.insert(sockets_.end(), {client, upstream});
      pumps_.emplace_back([client, upstream] { Pump(client, upstream); });
    }
  }
  static void Pump(int a, int b) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    char buffer[16384];
    for (;;) {
      if (poll(fds, 2, -1) <= 0) return;
      for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0 || write(fds[1 - i].fd, buffer, static_cast<std::size_t>(n)) != n) {
          shutdown(a, SHUT_RDWR);
          shutdown(b, SHUT_RDWR);
          return;
        }
      }
    }
  }

  int serverPort_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> shut_{false};
  std::mutex mutex_;
  std::vector<int> sockets_;
  std::vector<std::thread> pumps_;
  std::thread accepter_;
};

class FailoverTest : public test::DatabaseTest {
 protected:
  std::string Here() const { return "127.0.0.1:" + std::to_string(server().port); }
  // The same server under another name (127.1 is 127.0.0.1), so that one server can stand
  // for two listed ones.
  std::string Alias() const { return "127.1:" + std::to_string(server().port); }

  void WriteList(const std::string& list, unsigned connectSeconds = 0) {
    std::string text = test::SettingsText(server(), list);
    if (connectSeconds) {
      const std::size_t after = text.find("\r\n", text.find("DSHost=")) + 2;
      text.insert(after, "ServerConnectSeconds=" + std::to_string(connectSeconds) + "\r\n");
    }
    test::WriteSettingsFile(installPath(), text);
  }

  // Opens one session's connections; answers the server in use ("" when none opened) and
  // the time the open took.
  std::pair<std::string, double> OpenOnce(std::uint64_t* queries = nullptr) {
    hosted::HostedPlatform platform(Session());
    Connections connections;
    connections.BeginHandler();
    const auto start = Clock::now();
    const bool opened = OpenConnections(platform, connections);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (queries && opened)
      *queries = connections.DS->QueriesSent() + connections.DC->QueriesSent() + connections.Log->QueriesSent();
    return {opened ? connections.Log->ServerInUse() : std::string(), seconds};
  }

  ServerDenyState Denied() {
    hosted::HostedPlatform platform(Session());
    return LoadServerDenyState(platform, SystemSecondsNow());
  }
};

TEST_F(FailoverTest, ADeadFirstServerIsPassedAndDenied) {
  WriteList("127.0.0.1:1, " + Here());
  std::uint64_t queries = 0;
  EXPECT_EQ(OpenOnce(&queries).first, Here());
  EXPECT_EQ(queries, 1u);  // the readiness query, once for the three connections
  const ServerDenyState denied = Denied();
  EXPECT_TRUE(denied.IsDenied("127.0.0.1:1"));
  EXPECT_FALSE(denied.IsDenied(Here()));
}

TEST_F(FailoverTest, AHungFirstServerCostsItsConnectTimeOnce) {
  SilentPort hung;
  WriteList("127.0.0.1:" + std::to_string(hung.Port()) + "," + Here(), 1);
  const auto [first, firstSeconds] = OpenOnce();
  EXPECT_EQ(first, Here());
  EXPECT_GE(firstSeconds, 0.9);
  EXPECT_LT(firstSeconds, 3.0);
  const auto [second, secondSeconds] = OpenOnce();  // the next session skips it
  EXPECT_EQ(second, Here());
  EXPECT_LT(secondSeconds, 0.5);
}

TEST_F(FailoverTest, WhenEveryServerIsDeniedAllAreTriedInOrder) {
  WriteList(Here() + "," + Alias());
  {
    hosted::HostedPlatform platform(Session());
    ServerDenyState planted;
    planted.Deny(Here(), "planted", SystemSecondsNow());
    planted.Deny(Alias(), "planted", SystemSecondsNow());
    ASSERT_TRUE(SaveServerDenyState(platform, planted));
  }
  EXPECT_EQ(OpenOnce().first, Here());
  EXPECT_FALSE(Denied().IsDenied(Here()));  // it served: no longer denied
  EXPECT_TRUE(Denied().IsDenied(Alias()));
}

TEST_F(FailoverTest, ADeniedFirstServerIsSkippedWhileAnotherServes) {
  WriteList(Alias() + "," + Here());
  {
    hosted::HostedPlatform platform(Session());
    ServerDenyState planted;
    planted.Deny(Alias(), "planted", SystemSecondsNow());
    ASSERT_TRUE(SaveServerDenyState(platform, planted));
  }
  EXPECT_EQ(OpenOnce().first, Here());
  // A state that is not a deny state's (a planted far-off time) denies nothing.
  {
    hosted::HostedPlatform platform(Session());
    StateDirectory state(platform, installPath().string() + "\\Data\\State");
    ASSERT_TRUE(state.Write(kServerDenyStateName, Alias() + "\t" + std::to_string(SystemSecondsNow() + 86400) + "\tx\n"));
  }
  EXPECT_EQ(OpenOnce().first, Alias());
}

TEST_F(FailoverTest, ReadOnlyServersAreALastResort) {
  struct ReadOnly {
    explicit ReadOnly(test::AdminConnection& admin) : admin_(admin) { admin_.Exec("SET GLOBAL read_only=ON"); }
    ~ReadOnly() { admin_.Exec("SET GLOBAL read_only=OFF"); }
    test::AdminConnection& admin_;
  } readOnly(ds());
  WriteList(Here() + "," + Alias() + ",127.0.0.1:1");
  EXPECT_EQ(OpenOnce().first, Here());  // every one read-only or dead: the first that answered
  const ServerDenyState denied = Denied();
  EXPECT_TRUE(denied.IsDenied(Here()));
  EXPECT_EQ(denied.Entries().at(Alias()).reason, "read-only");
  EXPECT_TRUE(denied.IsDenied("127.0.0.1:1"));
}

TEST_F(FailoverTest, StatementsGoOnOnTheNextServerWhenTheirsDies) {
  Relay relay(server().port);
  const std::string relayed = "127.0.0.1:" + std::to_string(relay.Port());
  WriteList(relayed + "," + Here());
  hosted::HostedPlatform platform(Session());
  Connections connections;
  connections.BeginHandler();
  ASSERT_TRUE(OpenConnections(platform, connections));
  EXPECT_EQ(connections.DS->ServerInUse(), relayed);
  Statement counter(connections.DS.get());
  EXPECT_EQ(NextIdentifier(counter, "Log"), "Log00000001");

  relay.Shut();  // the server in use dies with every connection on it
  // A read, an identifier draw and a keyed insert each go on on the next server; the
  // connections follow it.
  ds().Exec("INSERT INTO Cuser (User_ID, name) VALUES ('U7', 'gina')");
  Statement read(connections.DS.get());
  read.SetSql("select User_ID from Cuser where name=:n");
  read.BindText("n", "gina");
  read.Open();
  EXPECT_EQ(read.ColumnText("User_ID"), "U7");
  EXPECT_EQ(connections.DS->ServerInUse(), Here());
  WriteEvent(platform, connections, 2, 1, 3, "U7", "APP1", "PC-1", "", "");
  EXPECT_EQ(log().Rows("select ID, UserID from log"), (std::vector<std::vector<std::string>>{{"Log00000002", "U7"}}));
  EXPECT_TRUE(Denied().IsDenied(relayed));
  EXPECT_EQ(connections.DS->Server().passedOver.size(), 1u);
}

TEST_F(FailoverTest, ASingleServerSendsNoReadinessQuery) {
  WriteList(Here());
  std::uint64_t queries = 0;
  EXPECT_EQ(OpenOnce(&queries).first, Here());
  EXPECT_EQ(queries, 0u);
  EXPECT_TRUE(Denied().Entries().empty());
}

}  // namespace
}  // namespace qbnotify
