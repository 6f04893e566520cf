// Connection profiles read from the settings store into the fixed record,
// read back by byte offset as the transports do.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "HttpTestSupport.h"
#include "MiniHttpServer.h"
#include "platform/CnxProfile.h"
#include "platform/Hivra.h"

namespace {

using qvtest::HttpTest;

const char* hostAt(const CNX_ProfileRecord& record, std::size_t offset) {
  return reinterpret_cast<const char*>(&record) + offset;
}

int portAt(const CNX_ProfileRecord& record, std::size_t offset) {
  uint16_t port;
  std::memcpy(&port, reinterpret_cast<const char*>(&record) + offset, sizeof port);
  return port;
}

TEST_F(HttpTest, ProfileProxiesLandAtTheirByteOffsets) {
  ASSERT_EQ(0, settings().setString(8, "ConnProfile.work.Proxy1Host", L"10.0.0.1"));
  ASSERT_EQ(0, settings().setInt(8, "ConnProfile.work.Proxy1Port", 8080));
  ASSERT_EQ(0, settings().setString(8, "ConnProfile.work.Proxy2Host", L"proxy.example"));
  ASSERT_EQ(0, settings().setInt(8, "ConnProfile.work.Proxy2Port", 65535));
  ASSERT_EQ(0, settings().setBoolean(8, "ConnProfile.work.Proxy2Enabled", false));
  ASSERT_EQ(0, settings().setInt(8, "ConnProfile.half.Proxy1Port", 3128));  // port without host

  CNX_ProfileRecord record;
  std::memset(&record, 0x5a, sizeof record);
  ASSERT_EQ(CNX_OK, CNX_ReadProfile("work", &record, 0, 0));
  EXPECT_STREQ("work", record.name);
  EXPECT_STREQ("10.0.0.1", hostAt(record, 760));
  EXPECT_EQ(8080, portAt(record, 860));
  EXPECT_EQ(1, record.proxy1Enabled);
  EXPECT_STREQ("proxy.example", hostAt(record, 963));
  EXPECT_EQ(65535, portAt(record, 1064));
  EXPECT_EQ(0, record.proxy2Enabled);

  for (const char* name : {"half", "never-configured"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(CNX_OK, CNX_ReadProfile(name, &record, 0, 0));
    EXPECT_STREQ(name, record.name);
    EXPECT_STREQ("", hostAt(record, 760));
    EXPECT_STREQ("", hostAt(record, 963));
    EXPECT_EQ(0, record.proxy1Enabled);
    EXPECT_EQ(0, record.proxy2Enabled);
    EXPECT_EQ(0, portAt(record, 1064));
  }
}

TEST_F(HttpTest, UnusableProfilesAndArgumentsAreReported) {
  ASSERT_EQ(0, settings().setInt(8, "ConnProfile.range.Proxy1Port", 70000));
  ASSERT_EQ(0, settings().setString(8, "ConnProfile.typed.Proxy2Port", L"8080"));
  ASSERT_EQ(0, settings().setString(8, "ConnProfile.long.Proxy1Host", std::wstring(100, L'h')));
  ASSERT_EQ(0, settings().setString(8, "ConnProfile.fits.Proxy1Host", std::wstring(99, L'h')));
  ASSERT_EQ(0, settings().setString(8, "ConnProfile.inject.Proxy1Host", L"evil.example/x@y"));
  ASSERT_EQ(0, settings().setInt(8, "ConnProfile.flag.Proxy1Enabled", 1));

  CNX_ProfileRecord record;
  struct Case {
    std::string name;
    CNX_ProfileRecord* record;
    int flags;
    int expected;
  } cases[] = {
      {"range", &record, 0, CNX_ERR_VALUE},
      {"typed", &record, 0, CNX_ERR_VALUE},
      {"long", &record, 0, CNX_ERR_VALUE},
      {"fits", &record, 0, CNX_OK},
      {"inject", &record, 0, CNX_ERR_VALUE},
      {"flag", &record, 0, CNX_ERR_VALUE},
      {"", &record, 0, CNX_ERR_ARGUMENT},
      {std::string(64, 'n'), &record, 0, CNX_ERR_ARGUMENT},
      {"tab\tname", &record, 0, CNX_ERR_ARGUMENT},
      {"fits", nullptr, 0, CNX_ERR_ARGUMENT},
      {"fits", &record, 1, CNX_ERR_ARGUMENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, CNX_ReadProfile(c.name.c_str(), c.record, c.flags, 0));
  }
  EXPECT_EQ(CNX_ERR_ARGUMENT, CNX_ReadProfile(nullptr, &record, 0, 0));
}

// The way both transports use a profile: read it, add its proxies (or the
// name alone) to the stack's connection profile.
TEST_F(HttpTest, AProfileFromTheSettingsRoutesThroughItsProxy) {
  qvtest::MiniHttpServer proxy;
  ASSERT_TRUE(proxy.ok());
  proxy.on("/sync", qvtest::MiniHttpServer::Response::make(200, "via proxy"));
  ASSERT_EQ(0, settings().setString(8, "ConnProfile.gprs.Proxy2Host", L"127.0.0.1"));
  ASSERT_EQ(0, settings().setInt(8, "ConnProfile.gprs.Proxy2Port", proxy.port()));

  CNX_ProfileRecord record;
  ASSERT_EQ(CNX_OK, CNX_ReadProfile("gprs", &record, 0, 0));
  Hivra::ConnectionProfile profile;
  if (record.proxy1Enabled) {
    ASSERT_TRUE(profile.addProfile(record.proxy1Host, record.proxy1Port, "gprs"));
  }
  if (record.proxy2Enabled) {
    ASSERT_TRUE(profile.addProfile(record.proxy2Host, record.proxy2Port, "gprs"));
  }
  ASSERT_EQ(1u, profile.entries().size());

  qvtest::Exchange e = qvtest::runExchange(profile, "http://content.example.invalid:8008/sync");
  EXPECT_EQ(Hivra::ERR_END_OF_BODY, e.error.code()) << e.error.toString();
  EXPECT_EQ("via proxy", e.body);
  ASSERT_EQ(1u, proxy.requests().size());
  EXPECT_EQ("http://content.example.invalid:8008/sync", proxy.requests()[0].target);
}

}  // namespace
