#include <gtest/gtest.h>

#include "environment/SessionQueries.h"
#include "platform/hosted/HostedPlatform.h"

namespace qbnotify {
namespace {

hosted::HostedPlatform PlatformWith(hosted::Session session) { return hosted::HostedPlatform(std::move(session)); }

TEST(ProtocolLabel, ChoosesByTypeAndWinStationName) {
  struct Case {
    std::uint16_t type;
    const char* winStation;
    const char* label;
  } cases[] = {
      {0, "KEV-Tcp#1", "CONSOLE"},      {1, "KEV-Tcp#1", "CITRIX ICA"}, {2, "KEV-Tcp#3", "TAV KEV"},
      {2, "kev-tcp#3", "TAV KEV"},      {2, "xKeVx", "TAV KEV"},        {2, "RDP-Tcp#0", "MS RDP"},
      {2, "rdp-KEV#1", "MS RDP"},       {2, "KEV-rDp", "MS RDP"},       {2, "", "N/A"},
      {2, "ICA-Tcp#1", "N/A"},          {3, "KEV-Tcp#1", "N/A"},        {0xFFFF, "KEV", "N/A"},
      // Only ASCII letters fold: a double-byte character whose second byte is 'k' or 'e' is
      // not a letter.
      {2, "\x81k\x81" "e\x81v", "N/A"},
  };
  for (const Case& c : cases) EXPECT_EQ(ProtocolLabel(c.type, c.winStation), c.label) << c.type << " " << c.winStation;
}

TEST(GetProtocolName, FailedQueryGivesEmptyLabelAndUsesSuppliedName) {
  hosted::Session session;
  session.winStation = "RDP-Tcp#0";
  auto failing = PlatformWith(session);
  EXPECT_EQ(GetProtocolName(failing, kCurrentSession, "KEV-Tcp#1"), "");

  session.protocolType = 2;
  auto platform = PlatformWith(session);
  // The label follows the name the caller supplies, not the platform's winstation name.
  EXPECT_EQ(GetProtocolName(platform, kCurrentSession, "KEV-Tcp#1"), "TAV KEV");
  EXPECT_EQ(GetProtocolName(platform, kCurrentSession, ""), "N/A");
}

TEST(SessionTextQueries, KeepBlanksStopAtNulAndFailEmpty) {
  hosted::Session session;
  session.winStation = " KEV-Tcp#3 ";
  session.initialProgram = std::string("prog /U:a\0hidden", 16);
  auto platform = PlatformWith(session);
  EXPECT_EQ(GetWinStationName(platform, kCurrentSession), " KEV-Tcp#3 ");
  EXPECT_EQ(GetInitialProgram(platform, kCurrentSession), "prog /U:a");
  EXPECT_EQ(GetClientName(platform, kCurrentSession), "");  // not reported
  EXPECT_EQ(GetWinStationName(platform, 7), "");              // another session: the query fails
}

TEST(ClientAddress, FormatsFamilyAndBytesTwoToFive) {
  struct Case {
    std::uint32_t family;
    std::array<std::uint8_t, 6> head;
    const char* familyText;
    const char* address;
  } cases[] = {
      {2, {0, 0, 10, 0, 0, 7}, "AF_INET", "10.0.0.7"},
      {2, {9, 9, 255, 255, 255, 255}, "AF_INET", "255.255.255.255"},
      {0, {0, 0, 1, 2, 3, 4}, "AF_UNSPEC", "1.2.3.4"},
      {6, {0, 0, 0, 0, 0, 0}, "AF_IPX", "0.0.0.0"},
      {17, {0, 0, 0, 0, 0, 1}, "AF_NETBIOS", "0.0.0.1"},
      {23, {1, 2, 3, 4, 5, 6}, "23", "3.4.5.6"},
  };
  for (const Case& c : cases) {
    hosted::Session session;
    session.clientAddress = hosted::AddressRecord{c.family, {}};
    std::copy(c.head.begin(), c.head.end(), session.clientAddress->bytes.begin());
    auto platform = PlatformWith(session);
    const ClientAddress address = GetClientAddress(platform, kCurrentSession);
    EXPECT_EQ(address.family, c.familyText);
    EXPECT_EQ(address.address, c.address);
  }
  auto failing = PlatformWith({});
  const ClientAddress none = GetClientAddress(failing, kCurrentSession);
  EXPECT_EQ(none.family, "");
  EXPECT_EQ(none.address, "0.0.0.0");
}

}  // namespace
}  // namespace qbnotify
