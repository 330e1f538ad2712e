#include "TestSupport.h"

#include <fstream>
#include <random>

#include "environment/ConnectionSettings.h"

namespace qbnotify::test {

TempDir::TempDir() {
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() / ("qbnotify-test-" + std::to_string(random()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteSettingsFile(const std::filesystem::path& installPath, const std::string& text) {
  const std::filesystem::path dir = installPath / "Data" / "CONFIG";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "TavDbCnn.dat", std::ios::binary) << text;
}

void SetInstallPath(hosted::Session& session, const std::string& installPath) {
  session.registry[kProductKey][kInstallPathValue] = RegistryValue{RegistryStatus::Text, installPath};
}

hosted::Session KevSession(const std::string& initialProgram) {
  hosted::Session session;
  session.remote = true;
  session.protocolType = 2;
  session.winStation = "KEV-Tcp#3";
  session.initialProgram = initialProgram;
  session.clientName = "PC-A";
  session.clientAddress = hosted::AddressRecord{2, {0, 0, 10, 0, 0, 7}};
  return session;
}

std::string ChannelText(const hosted::Effect& effect) {
  const auto* write = std::get_if<hosted::ChannelWrite>(&effect);
  return write ? write->bytes : std::string();
}

}  // namespace qbnotify::test
