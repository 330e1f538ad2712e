// What a connection loads and whether it is encrypted, against servers made for the purpose:
// a stand-in that asks for an authentication method nobody carries, and a private server
// whose certificate is made at test time from a test certificate authority.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include <errmsg.h>
#include <mysql.h>

#include "Server.h"
#include "TestSupport.h"
#include "store/Database.h"
#include "store/client/MysqlApi.h"
#include "tests/standin/StandInServer.h"

namespace qbnotify::test {
namespace {

// --- A server that asks for an unknown method ---

// The folder with the planted library, on the client library's own plugin path (the variable
// it reads when a program sets no plugin directory), and the marker that loading it leaves.
class PlantedPlugin {
 public:
  PlantedPlugin() {
    std::filesystem::copy_file(QBNOTIFY_PROBE_PLUGIN_PATH, dir_.Path() / "qbprobe.so");
    setenv("MARIADB_PLUGIN_DIR", dir_.Path().c_str(), 1);
    setenv("QB_PROBE_MARKER", Marker().c_str(), 1);
  }
  ~PlantedPlugin() {
    unsetenv("MARIADB_PLUGIN_DIR");
    unsetenv("QB_PROBE_MARKER");
  }
  std::filesystem::path Marker() const { return dir_.Path() / "loaded.marker"; }
  bool Loaded() const { return std::filesystem::exists(Marker()); }

 private:
  TempDir dir_;
};

// A client that sets nothing, in a child process (a library it loads stays loaded): whether
// the planted library would be reached at all.
void ConnectPlainlyInChild(int port) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    MYSQL* handle = mysql_init(nullptr);
    unsigned timeout = 5;
    mysql_options(handle, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_options(handle, MYSQL_OPT_READ_TIMEOUT, &timeout);
    mysql_real_connect(handle, "127.0.0.1", "bob", "pw", nullptr, static_cast<unsigned>(port), nullptr, 0);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

struct UnknownMethod {
  const char* name;
  const char* greeting;
  const char* switchTo;
  bool plainClientLoadsIt;  // what a client without the library's limits does
};

class UnknownMethodTest : public ::testing::TestWithParam<UnknownMethod> {};

TEST_P(UnknownMethodTest, NothingIsLoadedAndTheServerCountsAsUnavailable) {
  const UnknownMethod& method = GetParam();
  PlantedPlugin planted;
  StandInServer server(method.greeting, method.switchTo);
  if (method.plainClientLoadsIt) {
    // The planted library is where an unguarded client looks: the check below can fail.
    ConnectPlainlyInChild(server.Port());
    ASSERT_TRUE(planted.Loaded()) << "the control client did not load the planted library";
    std::filesystem::remove(planted.Marker());
  }
  const int answersBefore = server.Answers();
  Connection connection("DS");
  connection.host = "127.0.0.1";
  connection.port = server.Port();
  connection.user = "bob";
  connection.password = "secret-password";
  connection.database = "qbds";
  connection.connectTimeoutSeconds = 5;
  try {
    connection.Open();
    FAIL() << "connected to the stand-in";
  } catch (const DatabaseError& error) {
    EXPECT_TRUE(error.ServerUnavailable()) << error.what();
  }
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_FALSE(planted.Loaded()) << "a library named by the server was loaded";
  // At most the answer to the greeting: nothing (a password) is sent for the asked method.
  EXPECT_LE(server.Answers() - answersBefore, 1);
}

INSTANTIATE_TEST_SUITE_P(
    StandIn, UnknownMethodTest,
    ::testing::Values(UnknownMethod{"InTheGreeting", "qbprobe", "", true},
                      UnknownMethod{"SwitchedTo", "mysql_native_password", "qbprobe", true},
                      UnknownMethod{"SwitchedToClearText", "mysql_native_password", "mysql_clear_password", false}),
    [](const ::testing::TestParamInfo<UnknownMethod>& tested) { return std::string(tested.param.name); });

// --- Encryption ---

// Runs a shell command; fails the test when it fails.
void Run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// A certificate authority and a server certificate it signed for `names` (subjectAltName).
void MakeCertificate(const std::filesystem::path& dir, const std::string& ca, const std::string& server,
                     const std::string& names) {
  const std::string d = dir.string() + "/";
  std::ofstream(d + server + ".ext") << "subjectAltName=" << names << "\n";
  Run("cd '" + d + "' && openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + server +
      ".key -out " + server + ".csr -subj /CN=qbnotify-test-server 2>/dev/null && openssl x509 -req -in " + server +
      ".csr -CA " + ca + ".pem -CAkey " + ca + ".key -CAcreateserial -days 2 -extfile " + server + ".ext -out " + server +
      ".pem 2>/dev/null");
}

void MakeAuthority(const std::filesystem::path& dir, const std::string& ca) {
  Run("cd '" + dir.string() + "' && openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
      "-keyout " + ca + ".key -out " + ca + ".pem -days 2 -subj /CN=" + ca + " 2>/dev/null");
}

// One private server with TLS for the whole suite: its certificate names 127.0.0.1 and was
// signed by "test-ca"; "other-ca" signed nothing it shows.
class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const std::filesystem::path certs = dir_->Path() / "certs";
    std::filesystem::create_directories(certs);
    MakeAuthority(certs, "test-ca");
    MakeAuthority(certs, "other-ca");
    MakeCertificate(certs, "test-ca", "server", "IP:127.0.0.1");
    MakeCertificate(certs, "test-ca", "misnamed", "DNS:db.elsewhere.invalid");
    std::filesystem::copy_file(certs / "server.pem", certs / "live.pem");
    std::filesystem::copy_file(certs / "server.key", certs / "live.key");
    server_ = new faults::PrivateServer(dir_->Path() / "server", QBNOTIFY_SOURCE_DIR "/db");
    server_->SetExtraOptions({"--ssl-ca=" + (certs / "test-ca.pem").string(),
                              "--ssl-cert=" + (certs / "live.pem").string(),
                              "--ssl-key=" + (certs / "live.key").string()});
    server_->Create();
    std::string grants;
    for (const char* database : {faults::kDsDatabase, faults::kDcDatabase, faults::kLogDatabase})
      grants += std::string("GRANT SELECT ON ") + database + ".* TO '" + faults::kAccount + "'@'127.0.0.1';";
    faults::Admin(*server_).Exec(grants);
  }
  static void TearDownTestSuite() {
    delete server_;
    delete dir_;
  }
  static std::string Cert(const char* file) { return (dir_->Path() / "certs" / file).string(); }

  // The certificate the server shows from now on.
  static void ShowCertificate(const char* name) {
    std::filesystem::copy_file(Cert((std::string(name) + ".pem").c_str()), Cert("live.pem"),
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(Cert((std::string(name) + ".key").c_str()), Cert("live.key"),
                               std::filesystem::copy_options::overwrite_existing);
    faults::Admin(*server_).Exec("FLUSH SSL");
  }

  static std::unique_ptr<Connection> To(int port, TlsMode mode, const std::string& caFile) {
    auto connection = std::make_unique<Connection>("DS");
    connection->host = "127.0.0.1";
    connection->port = port;
    connection->user = faults::kAccount;
    connection->password = faults::kPassword;
    connection->database = faults::kDsDatabase;
    connection->connectTimeoutSeconds = 5;
    connection->tls = mode;
    connection->tlsCaFile = caFile;
    return connection;
  }

  static TempDir* dir_;
  static faults::PrivateServer* server_;
};

TempDir* TlsTest::dir_ = nullptr;
faults::PrivateServer* TlsTest::server_ = nullptr;

TEST_F(TlsTest, RequiredAndVerifyConnectEncrypted) {
  for (const TlsMode mode : {TlsMode::Required, TlsMode::Verify}) {
    SCOPED_TRACE(TlsModeName(mode));
    const auto connection = To(server_->Port(), mode, Cert("test-ca.pem"));
    connection->Open();
    EXPECT_FALSE(connection->Cipher().empty());
    // The server sees the same: the statements travel encrypted.
    const Connection::Result status = connection->Query("SHOW SESSION STATUS LIKE 'Ssl_cipher'");
    ASSERT_EQ(status.rows.size(), 1u);
    EXPECT_EQ(status.rows[0][1].value_or(""), connection->Cipher());
  }
  const auto plain = To(server_->Port(), TlsMode::Off, "");
  plain->Open();
  EXPECT_TRUE(plain->Cipher().empty());
}

// Each is refused before anything is sent in clear text, as a server that is not there.
TEST_F(TlsTest, WhatCannotBeVerifiedIsNotConnected) {
  struct Case {
    const char* name;
    TlsMode mode;
    const char* ca;
    const char* certificate;
  };
  for (const Case& c : {Case{"another authority", TlsMode::Verify, "other-ca.pem", "server"},
                        Case{"no authority given", TlsMode::Verify, "", "server"},
                        Case{"a certificate naming another host", TlsMode::Verify, "test-ca.pem", "misnamed"}}) {
    SCOPED_TRACE(c.name);
    ShowCertificate(c.certificate);
    const auto connection = To(server_->Port(), c.mode, *c.ca ? Cert(c.ca) : std::string());
    try {
      connection->Open();
      ADD_FAILURE() << "connected";
    } catch (const DatabaseError& error) {
      EXPECT_TRUE(error.ServerUnavailable()) << error.what();
    }
    EXPECT_FALSE(connection->IsOpen());
  }
  ShowCertificate("server");
  // The misnamed certificate is still one the test authority signed: required takes it.
  ShowCertificate("misnamed");
  To(server_->Port(), TlsMode::Required, "")->Open();
  ShowCertificate("server");
}

TEST_F(TlsTest, RequiredToAServerWithoutTlsIsUnavailable) {
  const std::optional<ServerInfo>& plain = Server();
  if (!plain) GTEST_SKIP() << "no private server without TLS";
  auto connection = To(plain->port, TlsMode::Required, "");
  connection->user = plain->user;
  connection->password = plain->password;
  connection->database = plain->ds;
  try {
    connection->Open();
    FAIL() << "connected in clear text";
  } catch (const DatabaseError& error) {
    EXPECT_TRUE(error.ServerUnavailable()) << error.what();
  }
}

// The keys of the settings file reach all three connections.
TEST_F(TlsTest, TheSettingsFileChoosesTheEncryption) {
  for (const auto& [keys, opens] :
       {std::pair{std::string("TLS=verify\r\nTLSCAFile=") + Cert("test-ca.pem"), true},
        std::pair{std::string("TLS=verify\r\nTLSCAFile=") + Cert("other-ca.pem"), false},
        std::pair{std::string("TLS=strict\r\nTLSCAFile=") + Cert("other-ca.pem"), false},  // unknown: verify
        std::pair{std::string("TLS=required"), true}}) {
    SCOPED_TRACE(keys);
    TempDir install;
    ServerInfo info;
    info.host = "127.0.0.1";
    info.port = server_->Port();
    info.user = faults::kAccount;
    info.password = faults::kPassword;
    info.ds = faults::kDsDatabase;
    info.dc = faults::kDcDatabase;
    info.log = faults::kLogDatabase;
    std::string text = SettingsText(info);
    text.insert(text.find("[DSConnection]\r\n") + 16, keys + "\r\n");
    WriteSettingsFile(install.Path(), text);
    hosted::Session session;
    SetInstallPath(session, install.Path().string());
    hosted::HostedPlatform platform(std::move(session));
    Connections connections;
    EXPECT_EQ(OpenConnections(platform, connections), opens);
    for (Connection* c : {connections.DS.get(), connections.DC.get(), connections.Log.get()}) {
      if (opens) {
        EXPECT_FALSE(c->Cipher().empty()) << c->Name();
      }
    }
  }
}

}  // namespace
}  // namespace qbnotify::test
