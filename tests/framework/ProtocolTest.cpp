// Event conversion, request vocabulary and the protocol helpers.
#include <gtest/gtest.h>

#include <regex>

#include "RecordingFacade.h"
#include "framework/Protocol.h"
#include "framework/ProtocolApp.h"

namespace {

QV_Event convert(const std::map<std::string, std::string>& props, const std::string& payload = "") {
  ES_Event event("/t", payload.data(), payload.data() + payload.size(), props);
  return ProtocolApp::convertEvent(event);
}

TEST(EventConversion, ValuePropertyBecomesTheValueAndIsNotCopied) {
  QV_Event e = convert({{"__QV_Event__mValue", "42"}, {"trigger", "man"}});
  EXPECT_EQ("/t", e.mName);
  EXPECT_EQ(42, e.mValue);
  ASSERT_FALSE(e.mProperties.isNull());
  EXPECT_EQ((QV_PropertyMap{{"trigger", "man"}}), *e.mProperties);
  EXPECT_EQ("", e.mData);
}

TEST(EventConversion, ValueTexts) {
  const struct {
    const char* text;
    int expected;
  } cases[] = {{" 7x", 7}, {"abc", 0}, {"", 0}, {"-12", -12}, {"99999999999", INT32_MAX}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, convert({{"__QV_Event__mValue", c.text}}).mValue) << c.text;
  }
  QV_Event none = convert({});
  EXPECT_EQ(0, none.mValue);
  ASSERT_FALSE(none.mProperties.isNull());
  EXPECT_TRUE(none.mProperties->empty());
}

TEST(EventConversion, PayloadIsCutAtTheFirstNul) {
  EXPECT_EQ("abc", convert({}, std::string("abc\0def", 7)).mData);
  EXPECT_EQ("<xml/>", convert({}, "<xml/>").mData);
}

TEST(Trigger, TextsBothWays) {
  const struct {
    const char* text;
    ProtocolRequest::Trigger trigger;
  } cases[] = {{"man", ProtocolRequest::MANUAL},      {"sim", ProtocolRequest::SIM},
               {"mr", ProtocolRequest::MASTER_RESET}, {"mc", ProtocolRequest::MASTER_CLEAR},
               {"ttl", ProtocolRequest::TTL},         {"svr", ProtocolRequest::SERVER},
               {"ds", ProtocolRequest::SERVER_PUSH}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.trigger, ProtocolRequest::triggerFromString(c.text)) << c.text;
    EXPECT_EQ(c.text, ProtocolRequest::triggerToString(c.trigger));
  }
  for (const char* other : {"MAN", "", "x", "man "}) {
    EXPECT_EQ(ProtocolRequest::TTL, ProtocolRequest::triggerFromString(other)) << other;
  }
  EXPECT_EQ("ttl", ProtocolRequest::triggerToString(static_cast<ProtocolRequest::Trigger>(17)));
}

TEST(ProtocolRequest, StatusAndTypeChangesArePublished) {
  RecordingFacade facade;
  ProtocolRequest request(ProtocolRequest::MANUAL);
  EXPECT_EQ(REQUEST_NEW, request.getState());
  request.setType(ProtocolRequest::DATA);
  request.setStatus(static_cast<ProtocolRequest::DownloadStatus>(7));
  request.setStatus(ProtocolRequest::DOWNLOADING);

  auto events = facade.eventsOn(PROTOCOL_TOPIC_REPORTSTATUS);
  ASSERT_EQ(3u, events.size());
  EXPECT_EQ("connecting", events[0].prop("status"));
  EXPECT_EQ("data", events[0].prop("type"));
  EXPECT_EQ("complete", events[1].prop("status"));
  EXPECT_EQ("downloading", events[2].prop("status"));
  for (const auto& e : events) {
    EXPECT_EQ(0, e.value);
    EXPECT_EQ(2u, e.properties.size());
  }
}

TEST(ProtocolRequest, StateAndCancellation) {
  RecordingFacade facade;
  ProtocolRequest request(ProtocolRequest::TTL, {{"channel", "a"}, {"channel", "b"}});
  EXPECT_EQ(2u, request.getParameters().size());
  request.setState(3);
  EXPECT_EQ(3, request.getState());
  request.cancelRequest();
  EXPECT_EQ(REQUEST_CANCELLED, request.getState());
  EXPECT_TRUE(facade.events().empty());  // state changes publish nothing
}

TEST(ProtocolRequest, DeletionLogShowsTheAddressAsSignedDecimal) {
  LogCapture log;
  delete new ProtocolRequest(ProtocolRequest::MANUAL);
  EXPECT_TRUE(std::regex_search(log.text(), std::regex(R"(\]Protocol Request with address, -?[0-9]+, is being deleted\.)")))
      << log.text();
}

TEST(ProtocolHelpers, TtlUpdateAndLineBreaks) {
  RecordingFacade facade;
  sendTtlUpdate(3600);
  auto events = facade.eventsOn(PROTOCOL_TOPIC_TTLUPDATE);
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(3600, events[0].value);
  EXPECT_FALSE(events[0].hasProperties);

  EXPECT_EQ("a b  c ", replaceLineBreaks("a\nb\r\nc\r"));
  EXPECT_EQ("", replaceLineBreaks(""));
}

}  // namespace
