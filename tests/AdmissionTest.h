// Admission at startup as an administrator sees it: one startup played by the session host
// against the private server, read back as the verdict the client got, the event records
// the session left and the library's progress texts.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "HostRunner.h"
#include "TestDatabase.h"

namespace qbnotify::test {

// The library's progress texts at startup, in code page 936.
namespace traces {
inline constexpr const char* kStartup = "WinStartUp\xC6\xF4\xB6\xAF";  // WinStartUp启动
inline constexpr const char* kProtocolCheck =  // 开始检查是否KEV协议类型
    "\xBF\xAA\xCA\xBC\xBC\xEC\xB2\xE9\xCA\xC7\xB7\xF1KEV\xD0\xAD\xD2\xE9\xC0\xE0\xD0\xCD";
inline constexpr const char* kConnecting = "\xBF\xAA\xCA\xBC\xC1\xAC\xBD\xD3\xCA\xFD\xBE\xDD\xBF\xE2";  // 开始连接数据库
inline constexpr const char* kConnected = "\xCA\xFD\xBE\xDD\xBF\xE2\xC1\xAC\xBD\xD3\xB3\xC9\xB9\xA6";   // 数据库连接成功
inline constexpr const char* kShellCheck =  // 开始检查KEV协议完整性
    "\xBF\xAA\xCA\xBC\xBC\xEC\xB2\xE9KEV\xD0\xAD\xD2\xE9\xCD\xEA\xD5\xFB\xD0\xD4";
inline constexpr const char* kPolicyRefused = "\xB0\xB2\xC8\xAB\xB2\xDF\xC2\xD4\xBE\xDC\xBE\xF8";  // 安全策略拒绝
inline constexpr const char* kRepeatCheck =  // 重复登录数据库检查
    "\xD6\xD8\xB8\xB4\xB5\xC7\xC2\xBC\xCA\xFD\xBE\xDD\xBF\xE2\xBC\xEC\xB2\xE9";
inline constexpr const char* kDuplicateCheck = "\xD6\xD8\xB8\xB4\xD5\xCB\xBA\xC5\xBC\xEC\xB2\xE9";  // 重复账号检查
inline constexpr const char* kDuplicateFound = "\xD6\xD8\xB8\xB4\xD5\xCB\xBA\xC5\xC1\xCB";          // 重复账号了
inline constexpr const char* kAdmitted = "\xB0\xB2\xC8\xAB\xB2\xDF\xC2\xD4\xCD\xA8\xB9\xFD";       // 安全策略通过
}  // namespace traces

// What one startup did.
struct Startup {
  HostRun run;
  // "admitted", "refused 2", "refused 3", "quiet" (neither told nor ended), or a text that
  // says what is out of order: a refusal must send code 0x1000 with its reason, then end the
  // session with flags 10 and reason 0, and nothing may follow.
  std::string verdict;
  // The event records, oldest first, as "TypeID,SourceID,EventID,Parameter1".
  std::vector<std::string> events;
  // The progress texts, in UTF-8 as the host prints them.
  std::vector<std::string> traces;

  // Whether the library traced this text (given in code page 936).
  bool Traced(const std::string& text) const;
};

// A fault of the database during one startup: a statement that breaks it before the
// startup, and one that mends it afterwards.
enum class Database { DS, DC, Log };
struct Fault {
  Database database;
  std::string breakSql;
  std::string mendSql;
};

class AdmissionTest : public DatabaseTest {
 protected:
  static constexpr const char* kProgram =
      "\"C:\\TAV\\kevshell.exe\" /N:APP00000012 /U:alice /M:00-11-22-33-44-55 /E:S0001";

  // The user alice (U001) and the application APP00000012 without a policy or limits: a
  // session of kProgram is admitted.
  void SetUp() override;

  // A session file with one startup, pointing at the settings file.
  nlohmann::ordered_json SessionFile(const std::string& initialProgram = kProgram,
                                     const std::string& clientName = "PC-A",
                                     const std::string& clientAddress = "10.0.0.7");
  // Plays the startup, with the database broken when a fault is given; the event records of
  // earlier startups are forgotten first.
  Startup StartFile(const nlohmann::ordered_json& session, const Fault* fault = nullptr);
  Startup Start(const std::string& initialProgram = kProgram, const std::string& clientName = "PC-A",
                const std::string& clientAddress = "10.0.0.7") {
    return StartFile(SessionFile(initialProgram, clientName, clientAddress));
  }

  AdminConnection& Admin(Database database);
  // Back to the tables of SetUp, for a test that plays several cases.
  void ClearTables();
};

}  // namespace qbnotify::test
