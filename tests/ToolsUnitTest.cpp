// The tools' small parsers and formatters.
#include <gtest/gtest.h>

#include "tools/common/ToolSupport.h"
#include "tools/qbnotify-lint/Lint.h"

namespace qbnotify::tools {
namespace {

// The settings' TLS keys as lint reads them: what counts as which mode, and what it flags.
TEST(TlsSettings, LintFlagsWhatConnectsNothingOrChecksNothing) {
  struct Case {
    const char* mode;
    const char* caFile;
    bool caReadable;
    bool clientTls;
    TlsMode means;
    std::vector<std::string> codes;
  } cases[] = {
      {"", "", false, true, TlsMode::Off, {}},
      {" Off ", "", false, true, TlsMode::Off, {}},
      {"REQUIRED", "", false, true, TlsMode::Required, {}},
      {"verify", "ca.pem", true, true, TlsMode::Verify, {}},
      {"verify", "", false, true, TlsMode::Verify, {"tls-verify-without-ca"}},
      {"verify", "ca.pem", false, true, TlsMode::Verify, {"tls-ca-unreadable"}},
      {"yes", "ca.pem", true, true, TlsMode::Verify, {"tls-unknown"}},
      {"off", "ca.pem", true, true, TlsMode::Off, {"tls-ca-unused"}},
      {"required", "", false, false, TlsMode::Required, {"tls-not-available"}},
      {"off", "", false, false, TlsMode::Off, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("TLS=") + c.mode + " TLSCAFile=" + c.caFile);
    TlsSettings settings;
    settings.modeText = c.mode;
    settings.mode = ParseTlsMode(c.mode, &settings.modeKnown);
    settings.caFile = c.caFile;
    EXPECT_EQ(settings.mode, c.means);
    std::vector<std::string> codes;
    for (const Finding& finding : LintTlsSettings(settings, c.caReadable, c.clientTls)) codes.push_back(finding.code);
    EXPECT_EQ(codes, c.codes);
  }
}

TEST(DottedQuad, ParsesOnlyFourPlainOctets) {
  struct Case {
    const char* text;
    std::optional<std::uint32_t> address;
  } cases[] = {
      {"10.0.0.7", 0x0A000007u},     {"255.255.255.255", 0xFFFFFFFFu}, {"0.0.0.0", 0u},
      {"010.0.0.7", 0x0A000007u},    // parsed; lint then reports it as not plain
      {"10.0.0", std::nullopt},      {"10.0.0.7.1", std::nullopt},     {"256.0.0.1", std::nullopt},
      {"10.0.0.7 ", std::nullopt},   {" 10.0.0.7", std::nullopt},      {"+1.2.3.4", std::nullopt},
      {"1..2.3", std::nullopt},      {"", std::nullopt},               {"0001.2.3.4", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseDottedQuad(c.text), c.address);
    if (c.address && std::string(c.text)[0] != '0') {
      EXPECT_EQ(FormatDottedQuad(*c.address), c.text);
    }
  }
}

TEST(RangeCandidates, TryEveryValueOfEachOctetOfBothEnds) {
  const std::uint32_t low = *ParseDottedQuad("10.0.0.20");
  const std::uint32_t high = *ParseDottedQuad("10.0.1.30");
  const std::vector<std::uint32_t> candidates = RangeCandidates(low, high);
  EXPECT_EQ(candidates.size(), 4u * 2u * 256u);
  // The last octet comes first, starting from the low end.
  EXPECT_EQ(FormatDottedQuad(candidates[0]), "10.0.0.0");
  EXPECT_EQ(FormatDottedQuad(candidates[256]), "10.0.1.0");
  for (const char* expected : {"10.0.0.3", "10.0.0.200", "10.0.1.100", "10.0.9.20", "10.200.0.20", "99.0.1.30"})
    EXPECT_NE(std::find(candidates.begin(), candidates.end(), *ParseDottedQuad(expected)), candidates.end()) << expected;
}

TEST(LocalTimeText, AcceptsOnlyWholeTimes) {
  for (const char* good : {"2026-12-07 08:00:00", "1970-01-01 00:00:00", "2026-02-28 23:59:59"}) EXPECT_TRUE(IsLocalTimeText(good)) << good;
  for (const char* bad : {"2026-12-07", "2026-12-07 8:00:00", "2026-13-01 00:00:00", "2026-12-07 24:00:00",
                          "2026-12-07 08:00:00x", "2026-12-07T08:00:00", "1969-12-31 23:59:59", ""})
    EXPECT_FALSE(IsLocalTimeText(bad)) << bad;
}

TEST(Shortened, CutsByCharactersNotBytes) {
  struct Case {
    const char* text;
    std::size_t width;
    const char* expected;
  } cases[] = {
      {"abcdef", 6, "abcdef"},
      {"abcdefg", 6, "abc..."},
      {"\xE4\xBB\xBB\xE4\xBD\x95\xE5\x90\x8D\xE7\xA7\xB0", 4, "\xE4\xBB\xBB\xE4\xBD\x95\xE5\x90\x8D\xE7\xA7\xB0"},  // 任何名称
      {"\xE4\xBB\xBB\xE4\xBD\x95\xE5\x90\x8D\xE7\xA7\xB0x", 4, "\xE4\xBB\xBB..."},
      {"", 4, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Shortened(c.text, c.width), c.expected) << c.text;
}

}  // namespace
}  // namespace qbnotify::tools
