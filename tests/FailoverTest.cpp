// A list of servers against the private server: a dead or hung first server is passed and
// denied, the deny state saves the next session the wait, a planted state never keeps a
// working server out, read-only servers are a last resort, and a single server costs no
// statement more than it did.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

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

TEST_F(FailoverTest, ASingleServerSendsNoReadinessQuery) {
  WriteList(Here());
  std::uint64_t queries = 0;
  EXPECT_EQ(OpenOnce(&queries).first, Here());
  EXPECT_EQ(queries, 0u);
  EXPECT_TRUE(Denied().Entries().empty());
}

}  // namespace
}  // namespace qbnotify
