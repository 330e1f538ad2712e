// The settings reader: the hosted profile reader and ReadConnectionSetting over a fuzzed
// settings file found through the registry, as the library finds it at startup.
//
// The input is read twice. First as the whole file: every read must answer (no exception)
// within the reader's limits. Then as six values separated by NUL bytes (the host and the
// five coded settings), written in the settings tool's layout: each must read back as
// written, cut to the 2047 characters the reader sees.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "environment/ConnectionSettings.h"
#include "platform/hosted/HostedPlatform.h"

namespace {

using namespace qbnotify;

struct Setting {
  const char* section;
  const char* key;
};
constexpr Setting kSettings[] = {
    {"DSConnection", "DSHost"}, {"DSConnection", "DSUID"}, {"DSConnection", "DSPSW"},
    {"DSConnection", "DSDB"},   {"DCConnection", "DCDB"},  {"LogConnection", "LogDB"},
};
// A value of 2047 characters decodes to 511 groups of three bytes and two bytes more.
constexpr std::size_t kLongestDecoded = (kProfileBufferSize - 1) / 4 * 3 + 2;

std::filesystem::path g_file;
hosted::HostedPlatform* g_platform = nullptr;

void WriteFile(std::string_view text) {
  std::ofstream out(g_file, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  FUZZ_CHECK(static_cast<bool>(out));
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// A host value that the profile rules keep as written: one line, no blanks at its ends, not
// wrapped in quotes, and short enough to be seen whole.
bool KeptAsWritten(std::string_view host) {
  if (host.empty() || host.size() >= kProfileBufferSize) return false;
  if (host.find_first_of("\r\n") != std::string_view::npos || host.find('\0') != std::string_view::npos) return false;
  if (IsBlank(host.front()) || IsBlank(host.back())) return false;
  if (host.size() >= 2 && (host.front() == '"' || host.front() == '\'') && host.back() == host.front()) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qbnotify-fuzz-settings-XXXXXX";
  if (!mkdtemp(pattern.data())) std::abort();
  const std::filesystem::path install(pattern);
  std::filesystem::create_directories(install / "Data" / "CONFIG");
  g_file = install / "Data" / "CONFIG" / "TavDbCnn.dat";
  hosted::Session session;
  session.registry[kProductKey][kInstallPathValue] = RegistryValue{RegistryStatus::Text, install.string()};
  g_platform = new hosted::HostedPlatform(std::move(session));
  std::atexit([] { std::filesystem::remove_all(g_file.parent_path().parent_path().parent_path()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string_view input = fuzz::AsText(data, size);

  // The input as a whole file.
  WriteFile(input);
  for (const Setting& setting : kSettings) {
    const std::string value = ReadConnectionSetting(*g_platform, setting.section, setting.key);
    if (std::string_view(setting.key) == "DSHost") {
      FUZZ_CHECK(value.size() < kProfileBufferSize);
      FUZZ_CHECK(value.find('\n') == std::string::npos);
      // Blanks are trimmed from each end, except inside quotes, which keep what they hold
      // (as the system's own profile reader does).
      const bool quoted = input.find_first_of("\"'") != std::string_view::npos;
      FUZZ_CHECK(quoted || value.empty() || (!IsBlank(value.front()) && !IsBlank(value.back())));
    } else {
      FUZZ_CHECK(value.size() <= kLongestDecoded);
    }
  }

  // The input as six values, written as the settings tool writes them.
  std::vector<std::string> values;
  for (std::size_t start = 0; values.size() < 6;) {
    const std::size_t end = std::min(input.find('\0', start), input.size());
    values.emplace_back(input.substr(std::min(start, input.size()), end - std::min(start, input.size())));
    start = end + 1;
  }
  const bool hostKept = KeptAsWritten(values[0]);
  if (!hostKept) values[0] = "127.0.0.1:3306";
  const std::string text = "[DSConnection]\r\nDSHost=" + values[0] + "\r\nDSUID=" + EncodeSettingValue(values[1]) +
                           "\r\nDSPSW=" + EncodeSettingValue(values[2]) + "\r\nDSDB=" + EncodeSettingValue(values[3]) +
                           "\r\n\r\n[DCConnection]\r\nDCDB=" + EncodeSettingValue(values[4]) +
                           "\r\n\r\n[LogConnection]\r\nLogDB=" + EncodeSettingValue(values[5]) + "\r\n";
  WriteFile(text);
  for (std::size_t i = 0; i < 6; ++i) {
    const std::string value = ReadConnectionSetting(*g_platform, kSettings[i].section, kSettings[i].key);
    FUZZ_CHECK(value == (i == 0 ? values[0] : values[i].substr(0, kLongestDecoded)));
  }
  return 0;
}
