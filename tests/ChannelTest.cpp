#include <gtest/gtest.h>

#include "TestSupport.h"
#include "channel/Base64.h"
#include "channel/PChannel.h"

namespace qbnotify {
namespace {

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", b);
    out += buf;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

TEST(StatusMessage, GoldenBytesAndTexts) {
  struct Case {
    std::uint16_t code;
    std::int32_t reason;
    const char* bytes;
    const char* text;
  } cases[] = {
      {0x1000, 0, "5A 2E 07 00 10 00 00 00 00 00 00 00 00", "Wi4HABAAAAAAAAAAAA=="},
      {0x1000, 3, "5A 2E 07 00 10 03 00 00 00 00 00 00 00", "Wi4HABADAAAAAAAAAA=="},
      {0x1000, 2, "5A 2E 07 00 10 02 00 00 00 00 00 00 00", "Wi4HABACAAAAAAAAAA=="},
      {0x8000, 0, "5A 2E 07 00 80 00 00 00 00 00 00 00 00", "Wi4HAIAAAAAAAAAAAA=="},
      {0x2000, 0, "5A 2E 07 00 20 00 00 00 00 00 00 00 00", "Wi4HACAAAAAAAAAAAA=="},
      {0x3000, 0, "5A 2E 07 00 30 00 00 00 00 00 00 00 00", "Wi4HADAAAAAAAAAAAA=="},
      {0x4000, 0, "5A 2E 07 00 40 00 00 00 00 00 00 00 00", "Wi4HAEAAAAAAAAAAAA=="},
      {0x1234, -1, "5A 2E 07 34 12 FF FF FF FF 00 00 00 00", "Wi4HNBL/////AAAAAA=="},
  };
  for (const Case& c : cases) {
    const std::string record = BuildStatusMessage(c.code, c.reason);
    EXPECT_EQ(Hex(record), c.bytes);
    EXPECT_EQ(EncodeBase64(record), c.text);
  }
}

TEST(EncodeBase64, KnownEncodingsAndLineBreaks) {
  EXPECT_EQ(EncodeBase64(""), "");
  EXPECT_EQ(EncodeBase64("f"), "Zg==");
  EXPECT_EQ(EncodeBase64("fo"), "Zm8=");
  EXPECT_EQ(EncodeBase64("foo"), "Zm9v");
  EXPECT_EQ(EncodeBase64("foob"), "Zm9vYg==");
  EXPECT_EQ(EncodeBase64(std::string("\xFF\xFE\x00", 3)), "//4A");
  // 57 bytes fill one line exactly; the 58th starts a second.
  EXPECT_EQ(EncodeBase64(std::string(57, 'a')).size(), 76u);
  const std::string two = EncodeBase64(std::string(58, 'a'));
  EXPECT_EQ(two.substr(76, 2), "\r\n");
  EXPECT_EQ(two.substr(78), "YQ==");
}

TEST(NotifyClient, OneWritePerMessageAndFailuresAnswerMinusOne) {
  hosted::HostedPlatform platform(test::KevSession());
  EXPECT_EQ(NotifyClient(platform, 0x1000, 0), 0);
  EXPECT_EQ(NotifyClient(platform, 0x8000, 0), 0);
  ASSERT_EQ(platform.Effects().size(), 2u);
  EXPECT_EQ(std::get<hosted::ChannelWrite>(platform.Effects()[0]).name, "DOZA");
  EXPECT_EQ(test::ChannelText(platform.Effects()[0]), "Wi4HABAAAAAAAAAAAA==");
  EXPECT_EQ(test::ChannelText(platform.Effects()[1]), "Wi4HAIAAAAAAAAAAAA==");

  for (auto state : {hosted::ChannelState::Unavailable, hosted::ChannelState::WriteFails}) {
    platform.State().channel = state;
    EXPECT_EQ(NotifyClient(platform, 0x2000, 0), -1);
  }
}

}  // namespace
}  // namespace qbnotify
