#include <gtest/gtest.h>

#include <algorithm>

#include "TestSupport.h"
#include "environment/ConnectionSettings.h"

namespace qbnotify {
namespace {

TEST(DecodeBase64Text, DecodesStandardTextsWithOptionalPadding) {
  struct Case {
    const char* coded;
    std::string plain;
  } cases[] = {
      {"", ""},           {"QQ==", "A"},      {"QQ=", "A"},       {"QQ", "A"},         {"QUI=", "AB"},
      {"QUI", "AB"},      {"QUJD", "ABC"},    {"QUJDRA==", "ABCD"}, {"QUJDR", "ABC"},  {"Q", ""},
      {"=", ""},          {"==", ""},         {"/w==", "\xFF"},   {"+/+/", "\xFB\xFF\xBF"},
      {"1dXI/Q==", "\xD5\xD5\xC8\xFD"},       {"cWJub3RpZnk=", "qbnotify"},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeBase64Text(c.coded), c.plain) << c.coded;
}

TEST(DecodeBase64Text, RejectsCharactersOutsideTheAlphabet) {
  for (const char* coded : {"QQ===", "Q Q=", "QUJD\nRA==", "QU#D", "Q*==", "\xD5\xC5"})
    EXPECT_EQ(DecodeBase64Text(coded), "") << coded;
}

TEST(EncodeSettingValue, WritesHashForPadding) {
  EXPECT_EQ(EncodeSettingValue("A"), "QQ##");
  EXPECT_EQ(EncodeSettingValue("AB"), "QUI#");
  EXPECT_EQ(EncodeSettingValue("ABC"), "QUJD");
  EXPECT_EQ(EncodeSettingValue(""), "");
}

TEST(EncodeSettingValue, StaysOnOneLineAndDecodesBackAtAnyLength) {
  // 57 bytes fill one line of the Base64 encoder; longer values used to be broken into lines,
  // and a settings file cannot hold a value across a line break.
  for (std::size_t length : {56u, 57u, 58u, 114u, 115u, 400u, 1535u}) {
    std::string plain;
    for (std::size_t i = 0; i < length; ++i) plain.push_back(static_cast<char>(i * 37 + 1));
    std::string coded = EncodeSettingValue(plain);
    EXPECT_EQ(coded.find_first_of("\r\n"), std::string::npos) << length;
    EXPECT_EQ(coded.size(), (length + 2) / 3 * 4) << length;
    std::replace(coded.begin(), coded.end(), '#', '=');
    EXPECT_EQ(DecodeBase64Text(coded), plain) << length;
  }
}

// Settings read through the registry value and the INI file, as the library reads them.
class ReadConnectionSettingTest : public ::testing::Test {
 protected:
  void SetUp() override { test::SetInstallPath(session_, dir_.Path().string()); }
  std::string Read(const char* section, const char* key) {
    hosted::HostedPlatform platform(session_);
    return ReadConnectionSetting(platform, section, key);
  }
  test::TempDir dir_;
  hosted::Session session_;
};

TEST_F(ReadConnectionSettingTest, ReturnsHostAsStoredAndDecodesEveryOtherKey) {
  test::WriteSettingsFile(dir_.Path(),
                          "[DSConnection]\r\n"
                          "DSHost = db#1:3307 \r\n"
                          "dsuid=cWJub3RpZnk#\r\n"
                          "DSPSW=QQ##\r\n"
                          "DSDB=QUI\r\n"
                          "[dcconnection]\r\n"
                          "DCDB=QUJD\r\n"
                          "DSHost=QQ##\r\n");
  EXPECT_EQ(Read("DSConnection", "DSHost"), "db#1:3307");   // trimmed, "#" kept
  EXPECT_EQ(Read("DSConnection", "DSUID"), "qbnotify");     // key name matched without case
  EXPECT_EQ(Read("dsconnection", "DSPSW"), "A");            // "#" padding
  EXPECT_EQ(Read("DSConnection", "DSDB"), "AB");            // no padding at all
  EXPECT_EQ(Read("DCConnection", "DCDB"), "ABC");
  EXPECT_EQ(Read("DCConnection", "DSHost"), "QQ##");        // the key decides, in any section
  EXPECT_EQ(Read("DSConnection", "dshost"), "");            // any other spelling is decoded: "db#1:3307" is no Base64
  EXPECT_EQ(Read("DSConnection", "Missing"), "");
  EXPECT_EQ(Read("LogConnection", "LogDB"), "");
}

TEST_F(ReadConnectionSettingTest, ReadsBackLongValuesAsTheSettingsToolWritesThem) {
  const std::string password(100, 'p');                // two lines' worth of Base64
  const std::string user = "\xD5\xC5\xC8\xFD" + std::string(60, 'u');
  test::WriteSettingsFile(dir_.Path(), "[DSConnection]\r\nDSUID=" + EncodeSettingValue(user) +
                                           "\r\nDSPSW=" + EncodeSettingValue(password) + "\r\n");
  EXPECT_EQ(Read("DSConnection", "DSUID"), user);
  EXPECT_EQ(Read("DSConnection", "DSPSW"), password);
}

TEST_F(ReadConnectionSettingTest, OnlyPaddingDecodesEmpty) {
  test::WriteSettingsFile(dir_.Path(), "[S]\nOne=#\nTwo=##\n");
  EXPECT_EQ(Read("S", "One"), "");
  EXPECT_EQ(Read("S", "Two"), "");
}

TEST_F(ReadConnectionSettingTest, SeesAtMost2047BytesOfAValue) {
  // 2046 characters of "QUJD" groups then "RA": the cut leaves 2047 characters, whose last
  // one alone gives no byte.
  std::string coded;
  while (coded.size() < 2044) coded += "QUJD";
  coded += "QUJD";  // 2048 characters in all
  test::WriteSettingsFile(dir_.Path(), "[S]\nK=" + coded + "\nH=" + std::string(3000, 'h') + "\n");
  EXPECT_EQ(Read("S", "K").size(), 2047u / 4 * 3 + 2);
  hosted::HostedPlatform platform(session_);
  EXPECT_EQ(platform.ReadProfileString("S", "H", "", dir_.Path().string() + "\\Data\\CONFIG\\TavDbCnn.dat", 2048).size(),
            2047u);
}

TEST_F(ReadConnectionSettingTest, MissingFileAndRegistryGiveEmptyTexts) {
  EXPECT_EQ(Read("DSConnection", "DSHost"), "");  // no file yet
  session_.registry.clear();                      // no product key at all
  test::WriteSettingsFile(dir_.Path(), "[DSConnection]\nDSHost=h:1\n");
  EXPECT_EQ(Read("DSConnection", "DSHost"), "");
}

TEST_F(ReadConnectionSettingTest, InstallPathIsJoinedUnchanged) {
  hosted::HostedPlatform platform(session_);
  EXPECT_EQ(*SettingsFilePath(platform), dir_.Path().string() + "\\Data\\CONFIG\\TavDbCnn.dat");
  platform.State().registry[kProductKey][kInstallPathValue].text = "C:\\TAV\\";
  EXPECT_EQ(*SettingsFilePath(platform), "C:\\TAV\\\\Data\\CONFIG\\TavDbCnn.dat");
  platform.State().registry[kProductKey].clear();  // the value is missing: the suffix alone
  EXPECT_EQ(*SettingsFilePath(platform), "\\Data\\CONFIG\\TavDbCnn.dat");
}

TEST_F(ReadConnectionSettingTest, NonStringInstallPathRaises) {
  session_.registry[kProductKey][kInstallPathValue] = RegistryValue{RegistryStatus::OtherType, {}};
  EXPECT_THROW(Read("DSConnection", "DSHost"), SettingsReadError);
}

}  // namespace
}  // namespace qbnotify
