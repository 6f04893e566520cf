// The session variant of the engine against a loopback server: what the
// registration sends, which granted ids are stored, the network rule, and
// cancelling a registration.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "Flp2TestSupport.h"
#include "MiniHttpServer.h"
#include "Process.h"
#include "RecordingFacade.h"
#include "SessionProtocol.h"
#include "platform/NR_Constants.h"
#include "txn/Session.h"

namespace {

using flp2test::settings;
using Answer = qvtest::MiniHttpServer::Response;

const std::string kDcd = "application/vnd.kestrova.quorvel+xml";

Answer xml(const std::string& body, int status = 200) { return Answer::make(status, body, {{"Content-Type", kDcd}}); }

std::string registration(const std::string& attributes, int code = 200) {
  return "<dcd version=\"0.8\"><service-registration-response tid=\"0\" " + attributes + "><result code=\"" +
         std::to_string(code) + "\"/></service-registration-response></dcd>";
}

class SessionProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    sessionFile = home.path() + "/qvsession";
    setenv("QUORVEL_SESSION_FILE", sessionFile.c_str(), 1);
    ASSERT_EQ(0, settings().setString(1, "flp20.ServerURL", MString::toWide(server.url("/dcd"))));
    ASSERT_EQ(0, settings().setString(12, "MSISDN", L"+4911"));
  }
  void TearDown() override { unsetenv("QUORVEL_SESSION_FILE"); }

  void writeSession(const std::string& id) { std::ofstream(sessionFile, std::ios::binary | std::ios::trunc) << id; }
  std::string storedSession() { return qvtest::readFile(sessionFile); }

  int update(ProtocolRequest::Trigger trigger = ProtocolRequest::MANUAL) {
    flp2::SessionProtocol engine(0);
    ProtocolRequest request(trigger);
    return engine.handleRequest(&request).mCode;
  }

  flp2test::LogCapture log;
  flp2test::TempHome home;
  RecordingFacade facade;
  qvtest::MiniHttpServer server;
  std::string sessionFile;
};

TEST_F(SessionProtocolTest, KeepsItsSessionInTheConfiguredFile) {
  flp2::SessionProtocol engine(0);
  EXPECT_EQ(sessionFile, engine.getFileSession().getPath());
  EXPECT_EQ(&engine.getFileSession(), &engine.getSessionAttributes());
  EXPECT_EQ("18344", engine.getSessionAttributes().getAttribute("protocol_ver"));
  EXPECT_EQ("+4911", engine.getSessionAttributes().getAttribute("subscriber-id"));
}

TEST_F(SessionProtocolTest, StoresOnlyUsableSessionIdsAndNeverLogsThem) {
  const std::string longest(txn::FileSession::kMaxSessionIdLength, 'L');
  struct Case {
    const char* what;
    Answer answer;
    std::string stored;  // the session file afterwards
  };
  const Case cases[] = {
      {"granted", xml(registration("sid=\"Sess-42\" session-ttl=\"60\"")), "Sess-42"},
      {"longest id", xml(registration("sid=\"" + longest + "\"")), longest},
      {"no session id", xml(registration("")), ""},
      {"empty session id", xml(registration("sid=\"\"")), ""},
      {"control character", xml(registration("sid=\"Sess&#10;X-Injected: 1\"")), ""},
      {"blank", xml(registration("sid=\"Sess 42\"")), ""},
      {"absurd length", xml(registration("sid=\"" + longest + "L\"")), ""},
      {"not ASCII", xml(registration("sid=\"Sess-\xc3\xa9\"")), ""},
      {"an error result with an id", xml(registration("sid=\"Sess-42\"", 600)), ""},
      {"status 505", xml("<dcd><status><result code=\"505\"/></status></dcd>"), ""},
      {"HTTP status listed as fallback", xml(registration("sid=\"Refused-1\""), 503), ""},
      {"not XML", xml("session please"), ""},
  };
  ASSERT_EQ(0, settings().setString(1, "flp20.FallbackHttpCode", L"503"));
  for (const Case& c : cases) {
    writeSession("");
    server.on("/dcd", c.answer);
    const size_t before = server.requests().size();
    // The granted case's update gets the registration answer again: FAILED
    // all the same.
    EXPECT_EQ(FAILED, update()) << c.what;
    EXPECT_EQ(c.stored, storedSession()) << c.what;
    const auto requests = server.requests();
    // A content update follows only a stored session.
    ASSERT_EQ(before + (c.stored.empty() ? 1 : 2), requests.size()) << c.what;
    const auto& sent = requests[before];
    EXPECT_NE(std::string::npos, sent.body.find("<service-registration-request")) << sent.body;
    EXPECT_FALSE(sent.has("QVPv2-Session-ID")) << c.what;
    if (!c.stored.empty()) {
      EXPECT_EQ(c.stored, requests.back().header("QVPv2-Session-ID")) << c.what;
      EXPECT_NE(std::string::npos, requests.back().body.find("<content-update-request")) << c.what;
    }
  }
  const std::string body = server.requests()[0].body;
  for (const char* attribute : {"client-msisdn=\"+4911\"", "application-id=\"x-oma-kestrova:quorvel.ua\"",
                                "encryption=\"false\"", "subscriber-id=\"\"", "device-id=\"\""})
    EXPECT_NE(std::string::npos, body.find(attribute)) << attribute << "\n" << body;
  // The ids that were stored and sent appear nowhere in the log.
  const std::string written = log.text();
  for (const std::string& secret : {std::string("Sess-42"), longest}) {
    const size_t at = written.find(secret);
    EXPECT_EQ(std::string::npos, at) << written.substr(at < 300 ? 0 : at - 300, 400);
  }
}

TEST_F(SessionProtocolTest, WithoutNetworkAccessOnlyAManualRequestRegisters) {
  ASSERT_EQ(0, settings().setBoolean(12, "NetworkAccessAllowed", false));
  server.on("/dcd", xml(registration("")));
  EXPECT_EQ(FAILED, update(ProtocolRequest::TTL));
  EXPECT_TRUE(server.requests().empty());
  const auto events = facade.eventsOn(NR_Constants::EVENT_NOTIFY_NETWORK_ERROR);
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(0, events[0].value);

  EXPECT_EQ(FAILED, update(ProtocolRequest::MANUAL));
  ASSERT_EQ(1u, server.requests().size());
  EXPECT_NE(std::string::npos, server.requests()[0].body.find("<service-registration-request"));
}

TEST_F(SessionProtocolTest, AStoredSessionIsUsedWithoutRegistering) {
  writeSession("Live-1");
  server.on("/dcd", xml("<dcd><status><result code=\"200\"/></status></dcd>"));
  EXPECT_EQ(FAILED, update(ProtocolRequest::TTL));
  ASSERT_EQ(1u, server.requests().size());
  EXPECT_EQ("Live-1", server.requests()[0].header("QVPv2-Session-ID"));
  EXPECT_NE(std::string::npos, server.requests()[0].body.find("<content-update-request"));
  EXPECT_EQ("Live-1", storedSession());
}

TEST_F(SessionProtocolTest, CancelEndsARegistrationInProgress) {
  Answer slow = xml(registration("sid=\"Late\""));
  slow.delayMs = 30000;
  server.on("/dcd", slow);
  flp2::SessionProtocol engine(0);
  ProtocolRequest request(ProtocolRequest::MANUAL);
  int code = -1;
  std::thread worker([&] { code = engine.handleRequest(&request).mCode; });
  for (int i = 0; i < 2000 && server.requests().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const bool sent = server.requests().size() == 1;
  EXPECT_TRUE(engine.cancel());
  worker.join();
  ASSERT_TRUE(sent);
  EXPECT_EQ(CANCELLED, code);
  EXPECT_EQ(REQUEST_CANCELLED, request.getState());
  EXPECT_EQ("", storedSession());
  EXPECT_EQ(1u, server.requests().size());
}

}  // namespace
