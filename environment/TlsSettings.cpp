#include "environment/TlsSettings.h"

#include "environment/ConnectionSettings.h"

namespace qbnotify {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

bool SameLetters(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = (text[i] >= 'A' && text[i] <= 'Z') ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

TlsMode ParseTlsMode(std::string_view text, bool* known) {
  text = Trim(text);
  if (known) *known = true;
  if (text.empty() || SameLetters(text, "off")) return TlsMode::Off;
  if (SameLetters(text, "required")) return TlsMode::Required;
  if (SameLetters(text, "verify")) return TlsMode::Verify;
  if (known) *known = false;
  return TlsMode::Verify;
}

const char* TlsModeName(TlsMode mode) {
  switch (mode) {
    case TlsMode::Off: return "off";
    case TlsMode::Required: return "required";
    case TlsMode::Verify: return "verify";
  }
  return "verify";
}

TlsSettings ReadTlsSettings(Platform& platform) {
  TlsSettings settings;
  settings.modeText = ReadPlainSetting(platform, "DSConnection", kTlsKey);
  settings.mode = ParseTlsMode(settings.modeText, &settings.modeKnown);
  settings.caFile = std::string(Trim(ReadPlainSetting(platform, "DSConnection", kTlsCaFileKey)));
  return settings;
}

}  // namespace qbnotify
