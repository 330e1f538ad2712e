#include "tools/qbnotify-settings/IniEdit.h"

#include <algorithm>
#include <optional>

namespace qbnotify::tools {
namespace {

std::string Folded(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// The section a line opens, if it is a header.
std::optional<std::string> SectionOf(std::string_view line) {
  line = Trimmed(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Folded(Trimmed(line.substr(1, close - 1)));
}

// The key a line sets, if it sets one.
std::optional<std::string> KeyOf(std::string_view line) {
  line = Trimmed(line);
  if (line.empty() || line.front() == ';' || line.front() == '#') return std::nullopt;
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos || equals == 0) return std::nullopt;
  return Folded(Trimmed(line.substr(0, equals)));
}

}  // namespace

std::string SetIniValues(std::string_view text, const std::vector<IniValue>& values) {
  const std::string eol = text.empty() || text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
  }
  std::vector<bool> done(values.size(), false);
  std::vector<std::string> seenSections;
  std::vector<std::string> out;
  std::optional<std::string> section;  // none before the first header
  // Before a new header (or the end): the keys of the section just left that it lacked, in
  // front of the blank lines that end it.
  const auto closeSection = [&] {
    if (!section) return;
    std::size_t insertAt = out.size();
    while (insertAt > 0 && Trimmed(out[insertAt - 1]).empty()) --insertAt;
    std::vector<std::string> added;
    for (std::size_t i = 0; i < values.size(); ++i)
      if (!done[i] && Folded(values[i].section) == *section) {
        added.push_back(values[i].key + "=" + values[i].value);
        done[i] = true;
      }
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(insertAt), added.begin(), added.end());
  };
  for (const std::string& line : lines) {
    if (const std::optional<std::string> header = SectionOf(line)) {
      closeSection();
      const bool repeated = std::find(seenSections.begin(), seenSections.end(), *header) != seenSections.end();
      seenSections.push_back(*header);
      // The reader takes a section's first appearance; a repetition is kept as it is.
      section = repeated ? std::optional<std::string>() : header;
      out.push_back(line);
      continue;
    }
    const std::optional<std::string> key = section ? KeyOf(line) : std::nullopt;
    bool replaced = false;
    for (std::size_t i = 0; key && i < values.size() && !replaced; ++i)
      if (!done[i] && Folded(values[i].section) == *section && Folded(values[i].key) == *key) {
        out.push_back(values[i].key + "=" + values[i].value);
        done[i] = replaced = true;
      }
    if (!replaced) out.push_back(line);
  }
  closeSection();
  // Sections the text lacks, in the order of the values.
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (done[i]) continue;
    if (!out.empty() && !Trimmed(out.back()).empty()) out.emplace_back();
    out.push_back("[" + values[i].section + "]");
    seenSections.push_back(Folded(values[i].section));
    for (std::size_t j = i; j < values.size(); ++j)
      if (!done[j] && Folded(values[j].section) == Folded(values[i].section)) {
        out.push_back(values[j].key + "=" + values[j].value);
        done[j] = true;
      }
  }
  std::string result;
  for (const std::string& line : out) result += line + eol;
  return result;
}

}  // namespace qbnotify::tools
