#include "net/socketlib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "net/wsocket.h"

TEST(SocketLib, DottedAddresses) {
  EXPECT_TRUE(IsDottedAddress("192.168.0.1"));
  EXPECT_TRUE(IsDottedAddress("  192.168.0.1  "));
  EXPECT_TRUE(IsDottedAddress("01.2.3.4"));
  EXPECT_TRUE(IsDottedAddress("255.255.255.255"));
  EXPECT_FALSE(IsDottedAddress("1.2.3"));
  EXPECT_FALSE(IsDottedAddress("1..2.3.4"));
  EXPECT_FALSE(IsDottedAddress("1.2.3.4."));
  EXPECT_FALSE(IsDottedAddress("1.2.3.256"));
  EXPECT_FALSE(IsDottedAddress("300.1.1.1"));
  EXPECT_FALSE(IsDottedAddress("1.2 .3.4"));
  EXPECT_FALSE(IsDottedAddress(".1.2.3"));
  EXPECT_FALSE(IsDottedAddress("1.2.3.4x"));
  EXPECT_FALSE(IsDottedAddress(""));
  EXPECT_FALSE(IsDottedAddress("localhost"));
}

TEST(SocketLib, ResolvePortAndProto) {
  EXPECT_EQ(ResolvePort("80", "tcp"), 80);
  EXPECT_EQ(ResolvePort("8080abc", "tcp"), 8080);
  EXPECT_EQ(ResolveProto("  TCP "), 6);
  EXPECT_EQ(ResolveProto("udp"), 17);
  EXPECT_EQ(ResolveProto("17xyz"), 17);
  try {
    ResolvePort("", "tcp");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Winsock Resolve Port: Invalid Port.");
  }
  try {
    ResolvePort("80", "");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Winsock Resolve Port: Invalid Proto.");
  }
  try {
    ResolveProto("");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Winsock Resolve Proto: Invalid Protocol.");
  }
  try {
    ResolvePort("no-such-service", "tcp");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(),
              "Winsock Resolve Port: Cannot convert port 'no-such-service' - No Data (#11004)");
  }
}

TEST(SocketLib, ResolveHost) {
  EXPECT_EQ(ResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  const uint8_t loop[4] = {127, 0, 0, 1};
  uint32_t want;
  std::memcpy(&want, loop, 4);
  EXPECT_EQ(ResolveHost("127.0.0.1"), want);
  EXPECT_EQ(ResolveHost("localhost"), want);
  try {
    ResolveHost("");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Winsock Resolve Host: '' Invalid Hostname.");
  }
  // Not a dotted address, so it goes to the host database, which knows no such name.
  try {
    ResolveHost("300.1.1.1");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message().rfind("Winsock Resolve Host: Cannot convert host address '300.1.1.1' - ", 0),
              0u)
        << e.Message();
  }
}

TEST(SocketLib, ErrorTexts) {
  EXPECT_EQ(WinsockErrorText(10061), "Connection refused");
  EXPECT_EQ(WinsockErrorText(0), "No Error");
  EXPECT_EQ(WinsockErrorText(12345), "Not a WinSock error");
  EXPECT_EQ(WinsockErrorTextWithCode(11001), "Host not found (#11001)");
  EXPECT_FALSE(LocalHostName().empty());
}

TEST(SocketLib, LibraryIsStartedOnUseAndCleanedUpAfterTheLastSocket) {
  ASSERT_EQ(WSocketCount(), 0);
  auto a = std::make_unique<TWSocket>(nullptr);
  EXPECT_EQ(WSocketCount(), 1);
  a->DnsLookup("127.0.0.1");
  ResolveHost("localhost");
  EXPECT_TRUE(WSocketLoaded());
  EXPECT_EQ(WSocketStartupVersion(), 0x0101);
  // Loaded: the version cannot change.
  try {
    a->SetReqVerLow(2);
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(),
              "Invalid argument (#10022 in SetReqVerLow: WinSock version can't be changed now)");
  }
  a.reset();
  EXPECT_EQ(WSocketCount(), 0);
  EXPECT_FALSE(WSocketLoaded());

  // Unloaded: stored for the next start-up; version 0.x is refused by the library.
  auto b = std::make_unique<TWSocket>(nullptr);
  b->SetReqVerLow(0);
  EXPECT_EQ(b->ReqVerLow(), 0);
  try {
    ResolveHost("localhost");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message().rfind("Winsock startup error wsock32.dll - ", 0), 0u) << e.Message();
  }
  b.reset();
  auto c = std::make_unique<TWSocket>(nullptr);
  c->SetReqVerLow(1);
  ResolveHost("localhost");
  EXPECT_EQ(WSocketStartupVersion(), 0x0101);
}
